#include "catalog.h"

#include <stdint.h>
#include <string.h>

#include "bytes/le.h"

// The .mo header's fields, as 32-bit words in the file's byte order.
enum { MO_MAGIC, MO_REVISION, MO_COUNT, MO_ORIGINALS, MO_TRANSLATIONS, MO_HEADER_WORDS };
static const uint32_t MO_MAGIC_VALUE = 0x950412DEu;

struct MoReader {
    const unsigned char *mo;
    size_t size;
    bool swapped;
};

static bool read_word(const MoReader &r, uint64_t at, uint32_t *w)
{
    if (at + 4 > r.size)
        return false;
    *w = r.swapped ? __builtin_bswap32(le32(r.mo + at)) : le32(r.mo + at);
    return true;
}

// Entry i of the table at table: a string that must end in a NUL inside the
// catalog.
static const char *string_at(const MoReader &r, uint32_t table, uint32_t i)
{
    uint32_t length, offset;
    if (!read_word(r, uint64_t(table) + 8ull * i, &length) ||
        !read_word(r, uint64_t(table) + 8ull * i + 4, &offset))
        return NULL;
    if (uint64_t(offset) + length >= r.size || r.mo[uint64_t(offset) + length] != '\0')
        return NULL;
    return reinterpret_cast<const char *>(r.mo + offset);
}

const char *catalog_find(const unsigned char *mo, size_t size, const char *msgid)
{
    MoReader r = {mo, size, false};
    uint32_t h[MO_HEADER_WORDS];
    if (!read_word(r, 0, &h[MO_MAGIC]))
        return NULL;
    if (h[MO_MAGIC] != MO_MAGIC_VALUE) {
        r.swapped = true;
        read_word(r, 0, &h[MO_MAGIC]);
        if (h[MO_MAGIC] != MO_MAGIC_VALUE)
            return NULL;
    }
    for (int i = MO_REVISION; i < MO_HEADER_WORDS; i++)
        if (!read_word(r, 4u * unsigned(i), &h[i]))
            return NULL;
    // Binary search; strcmp stops at the NUL between a singular and its plural.
    uint32_t lo = 0, hi = h[MO_COUNT];
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        const char *original = string_at(r, h[MO_ORIGINALS], mid);
        if (original == NULL)
            return NULL;
        int c = strcmp(msgid, original);
        if (c == 0)
            return string_at(r, h[MO_TRANSLATIONS], mid);
        if (c < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    return NULL;
}
