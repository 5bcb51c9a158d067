#include "solid.h"

#include <errno.h>
#include <string.h>

#include "../platform/platform.h"
#include "../xz/xz_decode.h"
#include "messages.h"
#include "texts.h"

static const unsigned char XZ_MAGIC[6] = {0xFD, '7', 'z', 'X', 'Z', 0x00};

int solid_at(FILE *in)
{
    unsigned char head[sizeof XZ_MAGIC];
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

FILE *solid_archive(FILE *in, FILE *err)
{
    static struct XzDecoder d;
    static unsigned char input[1 << 16], output[1 << 16];
    FILE *spool = plat_create_spool();
    if (spool == NULL)
        return failed(NULL, err, errno_text(errno));
    xz_decoder_init(&d, SOLID_MEMORY_LIMIT);
    size_t in_pos = 0, in_size = 0;
    enum XzResult r;
    do {
        if (in_pos == in_size) {
            in_size = fread(input, 1, sizeof input, in);
            in_pos = 0;
            if (in_size == 0) {
                xz_decoder_end(&d);
                return failed(spool, err, ferror(in) ? TEXT_READ_ERROR : TEXT_DATA_CUT);
            }
        }
        size_t out_pos = 0;
        r = xz_decode(&d, input, &in_pos, in_size, output, &out_pos, sizeof output);
        if (out_pos > 0 && fwrite(output, 1, out_pos, spool) != out_pos) {
            xz_decoder_end(&d);
            return failed(spool, err, errno_text(errno));
        }
    } while (r == XZ_MORE);
    xz_decoder_end(&d);
    if (r != XZ_END)
        return failed(spool, err, r == XZ_NO_MEMORY ? TEXT_ENOMEM : TEXT_CORRUPT);
    if (fflush(spool) != 0 || plat_seek(spool, 0, SEEK_SET) != 0)
        return failed(spool, err, errno_text(errno));
    return spool;
}
