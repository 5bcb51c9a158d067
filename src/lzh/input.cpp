#include "input.h"

#include "../platform/platform.h"

static size_t read_file(struct LzhInput *in, unsigned char *p, size_t n)
{
    size_t got = fread(p, 1, n, in->file);
    if (got < n && ferror(in->file))
        in->error = LZH_READ_ERROR;
    return got;
}

struct LzhInput lzh_file_input(FILE *f)
{
    struct LzhInput in = {read_file, f, plat_tell(f), LZH_OK};
    return in;
}

size_t lzh_read(struct LzhInput *in, void *p, size_t n)
{
    size_t got = n ? in->read(in, (unsigned char *)p, n) : 0;
    if (in->pos >= 0)  // -1: a file whose position could not be told
        in->pos += (int64_t)got;
    return got;
}

int lzh_skip(struct LzhInput *in, uint64_t n)
{
    if (in->file != NULL) {
        if (plat_seek(in->file, (int64_t)n, SEEK_CUR) != 0) {
            in->error = LZH_READ_ERROR;
            return -1;
        }
        if (in->pos >= 0)
            in->pos += (int64_t)n;
        return 0;
    }
    unsigned char dropped[4096];
    while (n > 0) {
        size_t want = n < sizeof dropped ? (size_t)n : sizeof dropped;
        size_t got = lzh_read(in, dropped, want);
        n -= got;
        if (got < want) {
            if (in->error == LZH_OK)
                in->error = LZH_DATA_CUT;
            return -1;
        }
    }
    return 0;
}
