#include "decode.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include "../../platform/platform.h"
#include "../crc16.h"
#include "decoder.h"

void lzh_fill_input(struct Bits *b)
{
    size_t want = b->file_left < IN_SIZE ? (size_t)b->file_left : (size_t)IN_SIZE;
    size_t got = lzh_read(b->in, b->buf, want);
    if (got < want && b->error == LZH_OK)
        b->error = b->in->error != LZH_OK ? b->in->error : LZH_DATA_CUT;
    b->file_left -= got;
    b->p = b->buf;
    b->end = b->buf + got;
}

static int emit(struct Out *o, const unsigned char *p, size_t n)
{
    o->crc = crc16_update(o->crc, p, n);
    return o->sink(o->ctx, p, n);
}

static LzhStatus copy_stored(struct LzDecoder *z)
{
    struct Bits *b = &z->b;
    if (z->packed != z->original)
        return LZH_CORRUPT;
    for (uint64_t size = z->original; size > 0;) {
        lzh_fill_input(b);
        size_t n = (size_t)(b->end - b->p);
        if (b->error != LZH_OK)
            return b->error;
        if (emit(&z->o, b->p, n) != 0)
            return LZH_WRITE_ERROR;
        size -= n;
    }
    return LZH_OK;
}

LzhStatus lz_flush_full(struct LzDecoder *z)
{
    if (z->pos < HIST + CHUNK)
        return LZH_OK;
    if (emit(&z->o, z->window + HIST, z->pos - HIST) != 0)
        return LZH_WRITE_ERROR;
    // Only as much history as the method can reach is kept.
    memmove(z->window + HIST - z->hist, z->window + z->pos - z->hist, z->hist);
    z->pos = HIST;
    return LZH_OK;
}

LzhStatus lz_finish(struct LzDecoder *z)
{
    if (z->pos > HIST && emit(&z->o, z->window + HIST, z->pos - HIST) != 0)
        return LZH_WRITE_ERROR;
    if (z->b.error != LZH_OK)
        return z->b.error;
    if (z->left > 0 || z->b.fed * 8 - (uint64_t)z->b.n > z->packed * 8)
        return LZH_CORRUPT;
    return LZH_OK;
}

static const struct LzhFormatDecoderEntry *decoder_of(const struct LzhMethod *m)
{
    // The stored entry, which needs no decoder, ends the list.
    for (const struct LzhFormatDecoderEntry *e = LZH_FORMAT_DECODERS; m != NULL; e++) {
        if (e->format == m->format)
            return e;
        if (e->decode == NULL)
            break;
    }
    return NULL;
}

int lzh_can_decode(const struct LzhMethod *m)
{
    return decoder_of(m) != NULL;
}

LzhStatus lzh_decode(struct LzhInput *in, uint64_t packed, uint64_t original,
                     const struct LzhMethod *m, LzhSink sink, void *ctx, uint16_t *crc)
{
    *crc = 0;
    const struct LzhFormatDecoderEntry *d = decoder_of(m);
    if (d == NULL)
        return LZH_UNSUPPORTED;
    // Some 800 KiB: too much for a stack, and each call has its own.
    struct LzDecoder *z = (struct LzDecoder *)malloc(sizeof *z);
    if (z == NULL)
        return LZH_NO_MEMORY;
    memset(z, 0, offsetof(struct LzDecoder, window));
    z->b.in = in;
    z->b.file_left = packed;
    z->o.sink = sink;
    z->o.ctx = ctx;
    z->packed = packed;
    z->original = original;
    z->left = original;
    z->pos = HIST;
    LzhStatus s = d->decode ? d->decode(z, m) : copy_stored(z);
    // Codes read from the zeros past input that ended early: the data was
    // cut short, not damaged.
    if (s == LZH_CORRUPT && z->b.error != LZH_OK)
        s = z->b.error;
    *crc = z->o.crc;
    // Leftover bytes of the member are skipped so the next header follows.
    if (s == LZH_OK && z->b.file_left > 0 && lzh_skip(in, z->b.file_left) != 0)
        s = in->error;
    free(z);
    return s;
}

int lzh_method_bits(const char method[5])
{
    const struct LzhMethod *m = lzh_method(method);
    return m ? m->window_bits : -1;
}
