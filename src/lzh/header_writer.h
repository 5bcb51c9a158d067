// Level 2 headers as the packer writes them: the name and the folders in
// extensions, a header CRC, and 64-bit sizes for a member of 4 GiB or more.
#ifndef LZH_HEADER_WRITER_H
#define LZH_HEADER_WRITER_H

#include <stddef.h>
#include <stdint.h>

struct LzhHeaderFields {
    const char *method;        // "-lh5-" and so on; "-lhd-" for a directory
    uint64_t packed, original;
    int64_t mtime;             // seconds since 1970 UTC
    uint16_t crc;              // of the decoded data
    const char *name;          // the file's name; NULL for a directory
    size_t name_length;
    const char *dirs;          // the folders, each ended by LZH_SEP
    size_t dirs_length;
    int wide;                  // sizes in the 64-bit extension too
};

// The largest header: its size is a 16-bit field.
enum { LZH2_MAX_SIZE = 0xFFFF };

// Writes the header to out and returns its length, or 0 if it would be
// longer than room (or than LZH2_MAX_SIZE). Its length depends on the
// names and on wide alone, so a placeholder can be written over in place.
size_t lzh_write_level2(unsigned char *out, size_t room, const struct LzhHeaderFields *f);

#endif
