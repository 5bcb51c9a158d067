// LZH member headers, levels 0, 1 and 2.
#ifndef LZH_HEADER_H
#define LZH_HEADER_H

#include <stdint.h>
#include <stdio.h>

enum { LZH_PATH_MAX = 1024 };

// Separates path components in LzhMember.path. The byte is neither a lead
// nor a trail byte in Shift_JIS, so it can't be confused with a character.
#define LZH_SEP '\xFF'

struct LzhMember {
    char method[6];      // "-lh5-" and so on, NUL-terminated
    int level;
    uint64_t packed;     // bytes of data after the header
    uint64_t original;   // bytes once decoded
    uint16_t crc;        // CRC-16 of the decoded data
    int64_t mtime;       // seconds since 1970 UTC; valid when has_mtime
    int has_mtime;
    int is_dir;          // "-lhd-": a directory entry, no data
    // Directory and file name as stored (bytes in the archive's code page),
    // components separated by LZH_SEP whatever separator the archive used.
    char path[LZH_PATH_MAX];
};

enum LzhHeaderStatus {
    HDR_OK = 0,
    HDR_END,             // the end-of-archive mark
    HDR_TRUNCATED,
    HDR_NO_END_MARK,     // end of file where a header or the end mark belongs
    HDR_BAD_CHECKSUM,    // level 0/1 header sum
    HDR_BAD_CRC,         // header CRC extension
    HDR_BAD_LEVEL,       // a level other than 0, 1 and 2
    HDR_MALFORMED,       // sizes that contradict each other
    HDR_NAME_TOO_LONG,
    HDR_READ_ERROR,      // errno tells why
};

// Reads the header at the current position of in and leaves in at the
// member's data.
LzhHeaderStatus lzh_read_header(FILE *in, struct LzhMember *m);

const char *lzh_header_error(LzhHeaderStatus s);

// Appends a name as stored to a path of LZH_SEP-separated components: '\\',
// '/' and LZH_SEP separate; a lead byte of the ANSI code page takes a trail
// byte after it with it (win_is_pair), so the 0x5C trail byte of Shift_JIS
// characters is no separator. Returns -1 if the result does not fit in size bytes.
int lzh_append_name(char *path, size_t size, const unsigned char *name, size_t n);

#endif
