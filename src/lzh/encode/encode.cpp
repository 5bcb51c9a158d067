#include "encode.h"

#include <stdlib.h>
#include <string.h>

#include "encoder.h"
#include "../methods.h"

void lzh_flush_block(struct LzhEncoder *e)
{
    if (e->nsym == 0)
        return;
    struct LzhBlock b = {e->sym, e->dist, e->nsym, e->c_freq, e->p_freq};
    lzh_write_block(&e->w, &b, e->pc);
    e->nsym = 0;
    memset(e->c_freq, 0, sizeof e->c_freq);
    memset(e->p_freq, 0, sizeof e->p_freq);
}

static int used_symbols(const uint32_t *freq, int n)
{
    int used = 0;
    for (int i = 0; i < n; i++)
        used += freq[i] > 0;
    return used;
}

// Writes the piece's last block. Some decoders (jlha) stop once they have
// used every bit of the stream when they still have a code to read, even
// one of no bits: a stream that ends on a byte boundary right before such a
// code (a match's position code, when the block's position code has one
// symbol; a literal's, when its literal/length code has one) loses its last
// symbol. Padding with a whole byte more is refused by others (7-Zip). So
// the last code of a piece always takes a bit: its code gets a second,
// unused symbol, in the open block or in a block of the last symbol alone,
// whichever is smaller.
static void flush_last_block(struct LzhEncoder *e)
{
    if (e->nsym == 0)
        return;
    unsigned last = e->sym[e->nsym - 1];
    uint16_t d = e->dist[e->nsym - 1];
    int match = last >= 256, j = match ? lzh_position_symbol(d) : 0;
    if (match ? used_symbols(e->p_freq, e->pc.np) >= 2 || j > 1 : used_symbols(e->c_freq, LZH_NC) >= 2) {
        lzh_flush_block(e);
        return;
    }
    int dummy = (match ? j : (int)last) == 0 ? 1 : 0;
    uint32_t c_freq[LZH_NC], p_freq[LZH_NP_MAX];
    memcpy(c_freq, e->c_freq, sizeof c_freq);
    memcpy(p_freq, e->p_freq, sizeof p_freq);
    (match ? p_freq : c_freq)[dummy] = 1;
    uint64_t in_place = lzh_block_bits(c_freq, p_freq, e->pc);
    uint64_t split = UINT64_MAX;
    uint32_t alone_c[LZH_NC] = {0}, alone_p[LZH_NP_MAX] = {0};
    alone_c[last] = 1;
    if (match)
        alone_p[j] = 1;
    (match ? alone_p : alone_c)[dummy] = 1;
    if (e->nsym > 1) {
        memcpy(c_freq, e->c_freq, sizeof c_freq);
        memcpy(p_freq, e->p_freq, sizeof p_freq);
        c_freq[last]--;
        if (match)
            p_freq[j]--;
        split = lzh_block_bits(c_freq, p_freq, e->pc) + lzh_block_bits(alone_c, alone_p, e->pc);
    }
    if (split < in_place) {
        e->nsym--;
        e->c_freq[last]--;
        if (match)
            e->p_freq[j]--;
        lzh_flush_block(e);
        e->sym[0] = (uint16_t)last;
        e->dist[0] = d;
        e->nsym = 1;
        memcpy(e->c_freq, alone_c, sizeof alone_c);
        memcpy(e->p_freq, alone_p, sizeof alone_p);
    } else {
        (match ? e->p_freq : e->c_freq)[dummy] = 1;
    }
    lzh_flush_block(e);
}

LzhStatus lzh_encode_piece(const unsigned char *data, size_t history, size_t n,
                           int window_bits, int best, LzhSink sink, void *ctx,
                           struct LzhPiece *r)
{
    memset(r, 0, sizeof *r);
    const struct LzhMethod *m = lzh_method_of_bits(window_bits);
    if (m == NULL || !m->packer_writes || window_bits == 0 ||
        history > ((size_t)1 << window_bits))
        return LZH_UNSUPPORTED;
    struct LzhEncoder *e = (struct LzhEncoder *)calloc(1, sizeof *e);
    if (e == NULL)
        return LZH_NO_MEMORY;
    e->pc.np = m->np;
    e->pc.pbit = m->pbit;
    lzh_bits_init(&e->w, sink, ctx, e->out, sizeof e->out);
    LzhStatus s = lzh_parse_optimal(e, data, history + n, (uint32_t)history, window_bits, best);
    if (s == LZH_OK && e->w.status == LZH_OK)
        flush_last_block(e);
    if (e->w.status == LZH_OK)
        lzh_bits_flush(&e->w);
    if (s == LZH_OK)
        s = e->w.status;
    r->packed = e->w.packed;
    r->tail = (uint32_t)(e->w.bits & ((1u << e->w.nbits) - 1));
    r->tail_bits = e->w.nbits;
    free(e);
    return s;
}

size_t lzh_history(int window_bits, uint64_t offset)
{
    size_t w = (size_t)1 << window_bits;
    return offset < w ? (size_t)offset : w;
}
