#include "find.h"

#include <stdlib.h>
#include <string.h>

#include "../platform/platform.h"
#include "header.h"

// Every header has its method where this reads it: "-lh5-", "-lz4-", "-pm2-".
static int method_at(const unsigned char *p)
{
    for (int i = 1; i <= 3; i++)
        if (!((p[i] >= 'a' && p[i] <= 'z') || (p[i] >= '0' && p[i] <= '9')))
            return 0;
    return p[0] == '-' && p[4] == '-';
}

// Whether at least one member from at reads, and they lead header by header
// to the end mark. An end mark alone is no archive: a zero byte two bytes
// before a method name is common in program code (our own extractor's
// table of methods has one).
static int archive_from(FILE *f, int64_t at, int64_t size, int64_t *end, LeadByteRule is_lead)
{
    static struct LzhMember m;
    if (plat_seek(f, at, SEEK_SET) != 0)
        return 0;
    struct LzhInput in = lzh_file_input(f);
    for (int members = 0;; members++) {
        LzhStatus s = lzh_read_header(&in, &m, is_lead);
        if (s == LZH_END) {
            *end = in.pos;
            return members > 0;
        }
        if (s != LZH_OK || in.pos < 0 || m.packed > (uint64_t)(size - in.pos) ||
            lzh_skip(&in, m.packed) != 0)
            return 0;
    }
}

int64_t lzh_find_archive(FILE *f, int64_t start, int64_t size, int64_t *end,
                         LeadByteRule is_lead)
{
    enum { METHOD_AT = 2, METHOD_LEN = 5 };
    if (start < 0 || start >= size)
        return -1;
    int64_t span = size - start < LZH_FIND_LIMIT + METHOD_AT + METHOD_LEN
                       ? size - start : LZH_FIND_LIMIT + METHOD_AT + METHOD_LEN;
    unsigned char *buf = (unsigned char *)malloc((size_t)span);
    if (buf == NULL || plat_seek(f, start, SEEK_SET) != 0 ||
        fread(buf, 1, (size_t)span, f) != (size_t)span) {
        free(buf);
        return -2;
    }
    int64_t found = -1;
    for (int64_t i = 0; i + METHOD_AT + METHOD_LEN <= span && found < 0; i++)
        if (method_at(buf + i + METHOD_AT) && archive_from(f, start + i, size, end, is_lead))
            found = start + i;
    free(buf);
    return found;
}

int64_t lzh_locate_archive(FILE *f, const int64_t *places, int n, int64_t size, LzhSearch search,
                           LeadByteRule is_lead)
{
    static struct LzhMember m;
    for (int i = 0; i < n; i++) {
        if (places[i] <= 0 || places[i] >= size || plat_seek(f, places[i], SEEK_SET) != 0)
            continue;
        struct LzhInput in = lzh_file_input(f);
        if (lzh_read_header(&in, &m, is_lead) == LZH_OK)
            return places[i];
    }
    if (search == NULL)
        return -1;
    int64_t end, from = n > 0 && places[0] > 0 && places[0] < size ? places[0] : 0;
    int64_t at = search(f, from, size, &end, is_lead);
    if (at == -1 && from > 0)
        at = search(f, 0, size, &end, is_lead);
    return at;
}

// How each system's programs start, and so where a self-extractor of one
// may be: MS-DOS and Windows ("MZ"), Human68k's .x ("HU"), GEMDOS's .tos
// and .prg (a BRA.S over the header, 60 1A), AmigaOS's hunk files
// (HUNK_HEADER, 00 00 03 F3).
static const struct {
    unsigned char magic[4];
    size_t size;
} PROGRAM_MAGIC[] = {
    {{'M', 'Z'}, 2}, {{'H', 'U'}, 2}, {{0x60, 0x1A}, 2}, {{0x00, 0x00, 0x03, 0xF3}, 4},
};

int lzh_is_program(FILE *f, const char *name)
{
    size_t n = strlen(name);
    if (n >= 4 && name[n - 4] == '.' && (name[n - 3] | 0x20) == 'c' &&
        (name[n - 2] | 0x20) == 'o' && (name[n - 1] | 0x20) == 'm')
        return 1;
    unsigned char head[4];
    size_t got = plat_seek(f, 0, SEEK_SET) == 0 ? fread(head, 1, sizeof head, f) : 0;
    for (size_t i = 0; i < sizeof PROGRAM_MAGIC / sizeof PROGRAM_MAGIC[0]; i++)
        if (got >= PROGRAM_MAGIC[i].size &&
            memcmp(head, PROGRAM_MAGIC[i].magic, PROGRAM_MAGIC[i].size) == 0)
            return 1;
    return 0;
}
