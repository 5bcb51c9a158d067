#include "header_writer.h"

#include <string.h>

#include "../bytes/le.h"
#include "crc16.h"
#include "header.h"

enum {
    ATTRIBUTE_ARCHIVE = 0x20,
    OS_MSDOS = 'M',       // names are in an ANSI code page
    EXT_HEAD = 3,         // an extension's size field counts its type and the next size
};

// One extension: its size was announced by the two bytes before it; the
// next one's size follows its data. Returns where that next size goes.
static size_t extension(unsigned char *h, size_t at, int type, const void *data, size_t n)
{
    put_le16(h + at - 2, (uint32_t)(n + EXT_HEAD));
    h[at] = (unsigned char)type;
    memcpy(h + at + 1, data, n);
    return at + 1 + n + 2;
}

size_t lzh_write_level2(unsigned char *out, size_t room, const struct LzhHeaderFields *f)
{
    size_t size = LZH2_AT_FIRST_EXTENSION + 2 + (EXT_HEAD + 2);
    if (f->name)
        size += EXT_HEAD + f->name_length;
    if (f->dirs_length > 0)
        size += EXT_HEAD + f->dirs_length;
    if (f->wide)
        size += EXT_HEAD + 16;
    // A header whose size has a zero low byte would read as the end mark to
    // readers that look at the first byte alone.
    size_t padded = (size & 0xFF) == 0 ? size + 1 : size;
    if (padded > room || padded > LZH2_MAX_SIZE)
        return 0;

    unsigned char *h = out;
    memset(h, 0, padded);
    put_le16(h + LZH_AT_SIZE, (uint32_t)padded);
    memcpy(h + LZH_AT_METHOD, f->method, 5);
    // Wide sizes keep their low 32 bits here, as the reference encoder does.
    put_le32(h + LZH_AT_PACKED, (uint32_t)f->packed);
    put_le32(h + LZH_AT_ORIGINAL, (uint32_t)f->original);
    put_le32(h + LZH_AT_TIME, (uint32_t)f->mtime);
    h[LZH_AT_ATTRIBUTE] = ATTRIBUTE_ARCHIVE;
    h[LZH_AT_LEVEL] = 2;
    put_le16(h + LZH2_AT_CRC, f->crc);
    h[LZH2_AT_OS] = OS_MSDOS;

    size_t at = LZH2_AT_FIRST_EXTENSION + 2;
    size_t crc_at = at + 1;
    static const unsigned char no_crc[2] = {0, 0};  // filled in below
    at = extension(h, at, LZH_EXT_HEADER_CRC, no_crc, 2);
    if (f->name)
        at = extension(h, at, LZH_EXT_FILE_NAME, f->name, f->name_length);
    if (f->dirs_length > 0)
        at = extension(h, at, LZH_EXT_DIRECTORY, f->dirs, f->dirs_length);
    if (f->wide) {
        unsigned char sizes[16];
        put_le64(sizes, f->packed);
        put_le64(sizes + 8, f->original);
        at = extension(h, at, LZH_EXT_FILE_SIZE_64, sizes, sizeof sizes);
    }
    // The last size field, 0, ends the extensions; a padding byte may follow.
    put_le16(h + crc_at, crc16_update(0, h, padded));
    return padded;
}
