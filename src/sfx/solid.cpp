#include "solid.h"

#include <string.h>

#include "../platform/platform.h"

int solid_at(FILE *in)
{
    unsigned char head[XZ_MAGIC_SIZE];
    int64_t at = plat_tell(in);
    size_t n = fread(head, 1, sizeof head, in);
    if (at < 0 || plat_seek(in, at, SEEK_SET) != 0)
        return 0;
    return n == sizeof head && memcmp(head, XZ_MAGIC, sizeof head) == 0;
}

static LzhStatus status_of(const struct SolidInput *s)
{
    if (s->read_failed)
        return LZH_READ_ERROR;
    switch (s->result) {
    case XZ_MORE: return LZH_DATA_CUT;  // the file ended inside the stream
    case XZ_END: return LZH_OK;         // the archive ended inside it
    case XZ_BAD: return LZH_CORRUPT;
    case XZ_UNSUPPORTED: return LZH_UNSUPPORTED;
    case XZ_NO_MEMORY: return LZH_NO_MEMORY;
    }
    return LZH_CORRUPT;
}

// Decodes straight into the reader's buffer: the archive's bytes are never
// copied on the way.
static size_t read_stream(struct LzhInput *in, unsigned char *p, size_t n)
{
    struct SolidInput *s = (struct SolidInput *)in;
    size_t done = 0;
    while (done < n && s->result == XZ_MORE && !s->read_failed) {
        if (s->at == s->size) {
            s->size = fread(s->buffer, 1, sizeof s->buffer, s->file);
            s->at = 0;
            if (s->size == 0) {
                s->read_failed = ferror(s->file) != 0;
                break;
            }
        }
        size_t before = s->at;
        s->result = xz_decode(&s->decoder, s->buffer, &s->at, s->size, p, &done, n);
        s->stream += s->at - before;
    }
    if (done < n)
        in->error = status_of(s);
    return done;
}

void solid_open(struct SolidInput *s, FILE *file)
{
    s->archive.read = read_stream;
    s->archive.file = NULL;
    s->archive.pos = 0;
    s->archive.error = LZH_OK;
    s->file = file;
    xz_decoder_init(&s->decoder, SOLID_MEMORY_LIMIT);
    s->result = XZ_MORE;
    s->read_failed = 0;
    s->stream = 0;
    s->at = s->size = 0;
}

enum XzResult solid_close(struct SolidInput *s)
{
    unsigned char rest[4096];
    while (lzh_read(&s->archive, rest, sizeof rest) > 0) {
    }
    xz_decoder_end(&s->decoder);
    return s->read_failed ? XZ_MORE : s->result;
}
