// Where an AmigaOS program says more of it lies; a file of its own, so that
// a program that never asks (the Windows extractor) links none of it.
#include <stdint.h>

#include "../platform/platform.h"
#include "find.h"

// AmigaOS hunk files: a header naming the hunks, then each hunk's blocks up
// to HUNK_END; an overlay table (HUNK_OVERLAY) after them names places in
// the file where the loader finds more, which is where LHA's AmigaOS
// self-extractor keeps its archive (past a small archive of its own usage
// text).
enum { HUNK_HEADER = 0x3F3, HUNK_OVERLAY = 0x3F5, HUNK_BLOCKS_MAX = 1 << 16 };

// The blocks a program's hunks are made of, by how to step over them.
enum HunkShape { HUNK_COUNTED, HUNK_ONE_LONG, HUNK_LISTS, HUNK_ALONE };
static const struct {
    uint32_t type;
    enum HunkShape shape;
} HUNK_BLOCKS[] = {
    {0x3E9, HUNK_COUNTED},  {0x3EA, HUNK_COUNTED}, {0x3F1, HUNK_COUNTED},  // code, data, debug
    {0x3EB, HUNK_ONE_LONG},                                                 // bss: its size
    {0x3EC, HUNK_LISTS}, {0x3ED, HUNK_LISTS}, {0x3EE, HUNK_LISTS},          // relocations:
    {0x3F7, HUNK_LISTS}, {0x3F8, HUNK_LISTS},  // (count, hunk, count offsets)... then 0
    {0x3F0, HUNK_LISTS},                       // symbols: (length, name, value)... then 0
    {0x3F2, HUNK_ALONE},                       // end of a hunk
};

static int read_be32(FILE *f, uint32_t *v)
{
    unsigned char b[4];
    if (fread(b, 1, 4, f) != 4)
        return 0;
    *v = (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
    return 1;
}

static int skip_longs(FILE *f, uint32_t n)
{
    return plat_seek(f, (int64_t)n * 4, SEEK_CUR) == 0;
}

// Steps over one block of the given shape.
static int skip_block(FILE *f, enum HunkShape shape)
{
    uint32_t v = 0;
    if (shape == HUNK_COUNTED)
        return read_be32(f, &v) && skip_longs(f, v);
    if (shape == HUNK_ONE_LONG)
        return read_be32(f, &v);
    if (shape == HUNK_LISTS) {
        while (read_be32(f, &v) && v != 0)
            if (!skip_longs(f, v + 1))
                return 0;
        return v == 0;
    }
    return 1;
}

int lzh_amiga_overlay_places(FILE *f, int64_t *places, int n)
{
    uint32_t v, count, first, last;
    if (plat_seek(f, 0, SEEK_SET) != 0 || !read_be32(f, &v) || v != HUNK_HEADER)
        return 0;
    do  // resident library names, none in a program
        if (!read_be32(f, &v) || !skip_longs(f, v))
            return 0;
    while (v != 0);
    if (!read_be32(f, &count) || !read_be32(f, &first) || !read_be32(f, &last) ||
        last < first || last - first >= HUNK_BLOCKS_MAX || !skip_longs(f, last - first + 1))
        return 0;
    for (int blocks = 0; blocks < HUNK_BLOCKS_MAX; blocks++) {
        if (!read_be32(f, &v))
            return 0;
        uint32_t type = v & 0x3FFFFFFF;  // the top bits say which memory
        if (type == HUNK_OVERLAY) {
            int found = 0;
            if (!read_be32(f, &count))
                return 0;
            for (uint32_t i = 0; i < count && found < n && read_be32(f, &v); i++)
                places[found++] = v;
            return found;
        }
        size_t k = 0;
        while (k < sizeof HUNK_BLOCKS / sizeof HUNK_BLOCKS[0] && HUNK_BLOCKS[k].type != type)
            k++;
        if (k == sizeof HUNK_BLOCKS / sizeof HUNK_BLOCKS[0] || !skip_block(f, HUNK_BLOCKS[k].shape))
            return 0;
    }
    return 0;
}
