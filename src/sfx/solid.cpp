#include "solid.h"

#include <errno.h>
#include <string.h>

#include "../platform/platform.h"
#include "../xz/xz_decode.h"
#include "messages.h"
#include "texts.h"

int solid_at(FILE *in)
{
    unsigned char head[XZ_MAGIC_SIZE];
    int64_t at = plat_tell(in);
    size_t n = fread(head, 1, sizeof head, in);
    if (at < 0 || plat_seek(in, at, SEEK_SET) != 0)
        return 0;
    return n == sizeof head && memcmp(head, XZ_MAGIC, sizeof head) == 0;
}

static FILE *failed(FILE *spool, FILE *err, const char *why)
{
    say(err, TEXT_REPORT, TEXT_ARCHIVE, why);
    if (spool != NULL)
        fclose(spool);
    return NULL;
}

enum XzResult solid_decode(FILE *in, FILE *out, int *io_failed, uint64_t *stream)
{
    static struct XzDecoder d;
    static unsigned char input[1 << 16], output[1 << 16];
    xz_decoder_init(&d, SOLID_MEMORY_LIMIT);
    size_t in_pos = 0, in_size = 0;
    enum XzResult r = XZ_MORE;
    *io_failed = 0;
    *stream = 0;
    do {
        if (in_pos == in_size) {
            in_size = fread(input, 1, sizeof input, in);
            in_pos = 0;
            if (in_size == 0) {
                *io_failed = ferror(in) ? 1 : 0;
                break;
            }
        }
        size_t out_pos = 0, before = in_pos;
        r = xz_decode(&d, input, &in_pos, in_size, output, &out_pos, sizeof output);
        *stream += in_pos - before;
        if (out_pos > 0 && fwrite(output, 1, out_pos, out) != out_pos) {
            *io_failed = 2;
            break;
        }
    } while (r == XZ_MORE);
    xz_decoder_end(&d);
    return r;
}

FILE *solid_archive(FILE *in, FILE *err)
{
    FILE *spool = plat_create_spool();
    if (spool == NULL)
        return failed(NULL, err, errno_text(errno));
    int io_failed;
    uint64_t stream;
    enum XzResult r = solid_decode(in, spool, &io_failed, &stream);
    if (io_failed != 0)
        return failed(spool, err, io_failed == 1 ? TEXT_READ_ERROR : errno_text(errno));
    if (r != XZ_END)
        return failed(spool, err, r == XZ_MORE ? TEXT_DATA_CUT
                                  : r == XZ_NO_MEMORY ? TEXT_ENOMEM : TEXT_CORRUPT);
    if (fflush(spool) != 0 || plat_seek(spool, 0, SEEK_SET) != 0)
        return failed(spool, err, errno_text(errno));
    return spool;
}
