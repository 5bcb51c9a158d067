// LZH member headers, levels 0, 1, 2 and 3.
#ifndef LZH_HEADER_H
#define LZH_HEADER_H

#include <stdint.h>
#include <stdio.h>

#include "../names/winname.h"
#include "../platform/platform.h"
#include "input.h"
#include "status.h"

enum { LZH_PATH_MAX = PATH_BUFFER_SIZE };

// Separates path components in LzhMember.path. The byte is neither a lead
// nor a trail byte in Shift_JIS, so it can't be confused with a character.
#define LZH_SEP '\xFF'

// Where the fields of a header are, counted from its first byte. The first
// 21 bytes are laid out alike in every level.
enum {
    LZH_AT_SIZE = 0,        // level 0/1: header size less 2 (1 byte); level 2: total size (2)
    LZH_AT_CHECKSUM = 1,    // level 0/1: sum of the header's bytes from LZH_AT_METHOD
    LZH_AT_METHOD = 2,      // "-lh5-" and so on, 5 bytes
    LZH_AT_PACKED = 7,      // 32 bits
    LZH_AT_ORIGINAL = 11,   // 32 bits
    LZH_AT_TIME = 15,       // level 0/1: MS-DOS local time; level 2: seconds since 1970
    LZH_AT_ATTRIBUTE = 19,
    LZH_AT_LEVEL = 20,
    LZH_COMMON_SIZE = 21,
    // Level 0 and 1: the name, then the data's CRC (and level 1: OS, extensions).
    LZH_AT_NAME_LENGTH = 21,
    LZH_AT_NAME = 22,
    // Level 2: the data's CRC, the OS, then extensions up to the total size.
    LZH2_AT_CRC = 21,
    LZH2_AT_OS = 23,
    LZH_OS_9_68K = 'K',  // the OS byte of LHa for OS-9/68k
    LZH2_AT_FIRST_EXTENSION = 24,
    LZH2_MIN_SIZE = 26,
    // Level 3: as level 2, the header's size and the first extension's in
    // 4 bytes each.
    LZH3_AT_HEADER_SIZE = 24,
    LZH3_AT_FIRST_EXTENSION = 28,
    LZH3_MIN_SIZE = 32,
};

// Extension headers: a type byte, its data, and the size of the next one.
enum {
    LZH_EXT_HEADER_CRC = 0x00,
    LZH_EXT_FILE_NAME = 0x01,
    LZH_EXT_DIRECTORY = 0x02,
    LZH_EXT_WINDOWS_TIME = 0x41,  // creation, last write, last access FILETIMEs
    LZH_EXT_FILE_SIZE_64 = 0x42,  // packed, then original size, 64 bits each
    LZH_EXT_WIDE_FILE_NAME = 0x44,  // the name in UTF-16LE, as Windows tools add it
    LZH_EXT_WIDE_DIRECTORY = 0x45,  // the folders likewise, U+FFFF between them
    LZH_EXT_UNIX_TIME = 0x54,
};

struct LzhWideName {
    unsigned char bytes[LZH_PATH_MAX];
    size_t length;
    int present;
};

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
    // The name and the folders in UTF-16LE, as Windows tools add them.
    struct LzhWideName wide_file, wide_dir;
};

// Reads the header at in's position and leaves in at the member's data.
// Returns LZH_OK, LZH_END at the end mark, or what is wrong (in's own error
// where its bytes failed). is_lead is the code page's lead-byte rule, for
// separators in names.
LzhStatus lzh_read_header(struct LzhInput *in, struct LzhMember *m, LeadByteRule is_lead);

// Appends a name as stored to a path of LZH_SEP-separated components: '\\',
// '/' and LZH_SEP separate; a lead byte takes a trail byte after it with it
// (win_is_pair), so the 0x5C trail byte of Shift_JIS characters is no
// separator. Returns -1 if the result does not fit in size bytes.
int lzh_append_name(char *path, size_t size, const unsigned char *name, size_t n,
                    LeadByteRule is_lead);

#endif
