#include "header.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "../bytes/le.h"
#include "crc16.h"

// A level 2 header is at most 65535 bytes; a level 1 header's extensions can
// add as much again, and more only in archives nobody writes (level 3's
// 4-byte sizes included).
enum { HEADER_MAX = 2 * 65536, HEADER_FIRST = 1024 };

// The header being read, in a buffer grown as its sizes ask, never past
// HEADER_MAX: a damaged size can't make the reader take more memory.
struct Header {
    unsigned char *b;
    size_t cap;
};

static LzhStatus reserve(struct Header *h, size_t n)
{
    if (n <= h->cap)
        return LZH_OK;
    if (n > HEADER_MAX)
        return LZH_MALFORMED;
    size_t cap = h->cap ? h->cap : (size_t)HEADER_FIRST;
    while (cap < n)
        cap *= 2;
    unsigned char *b = (unsigned char *)realloc(h->b, cap);
    if (b == NULL)
        return LZH_NO_MEMORY;
    h->b = b;
    h->cap = cap;
    return LZH_OK;
}

// Reads n bytes of the header into it at byte `at`.
static LzhStatus read_exact(struct LzhInput *in, struct Header *h, size_t at, size_t n)
{
    LzhStatus s = reserve(h, at + n);
    if (s != LZH_OK)
        return s;
    if (lzh_read(in, h->b + at, n) == n)
        return LZH_OK;
    return in->error != LZH_OK ? in->error : LZH_HEADER_CUT;
}

// MS-DOS date and time, in local time. Returns 0 for fields no clock shows
// (month 13, hour 31, and the like) and for times mktime can't place, so an
// invalid stored time leaves the file's time as written.
static int dos_time(uint32_t t, int64_t *seconds)
{
    unsigned sec2 = t & 31, min = (t >> 5) & 63, hour = (t >> 11) & 31;
    unsigned day = (t >> 16) & 31, mon = (t >> 21) & 15;
    if (sec2 > 29 || min > 59 || hour > 23 || day < 1 || mon < 1 || mon > 12)
        return 0;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_sec = (int)sec2 * 2;
    tm.tm_min = (int)min;
    tm.tm_hour = (int)hour;
    tm.tm_mday = (int)day;
    tm.tm_mon = (int)mon - 1;
    tm.tm_year = (int)(t >> 25) + 80;
    tm.tm_isdst = -1;
    time_t r = mktime(&tm);
    // mktime normalises the 31st of a short month into the next one.
    if (r == (time_t)-1 || tm.tm_mday != (int)day)
        return 0;
    *seconds = (int64_t)r;
    return 1;
}

int lzh_append_name(char *path, size_t size, const unsigned char *name, size_t n,
                    LeadByteRule is_lead)
{
    size_t len = strlen(path);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = name[i];
        if (len + 3 > size)
            return -1;
        if (i + 1 < n && win_is_pair(is_lead, c, name[i + 1])) {
            path[len++] = (char)c;
            path[len++] = (char)name[++i];
        } else if (c == '\\' || c == '/' || c == (unsigned char)LZH_SEP) {
            path[len++] = LZH_SEP;
        } else {
            path[len++] = (char)c;
        }
    }
    path[len] = '\0';
    return 0;
}

// What the header said besides its fixed fields, gathered while reading it.
// Places are offsets in the header, whose buffer may move as it grows.
struct Parsed {
    size_t dir_at, dir_len, file_at, file_len;
    size_t end;        // bytes of the header that its CRC covers
    long crc_at;       // where the header CRC extension keeps it, or -1
};

static void take_extension(struct LzhMember *m, struct Parsed *p, int type,
                           const unsigned char *data, size_t at, size_t n,
                           int *have_windows_time)
{
    switch (type) {
    case LZH_EXT_FILE_NAME:
        p->file_at = at;
        p->file_len = n;
        break;
    case LZH_EXT_DIRECTORY:
        p->dir_at = at;
        p->dir_len = n;
        break;
    // Kept as they are, for mkinstaller's import; a name too long for the
    // room is no name.
    case LZH_EXT_WIDE_FILE_NAME:
    case LZH_EXT_WIDE_DIRECTORY: {
        struct LzhWideName *w = type == LZH_EXT_WIDE_FILE_NAME ? &m->wide_file : &m->wide_dir;
        w->present = n <= sizeof w->bytes;
        w->length = w->present ? n : 0;
        memcpy(w->bytes, data, w->length);
        break;
    }
    case LZH_EXT_WINDOWS_TIME:
        // The last-write FILETIME, 100 ns steps from 1601; 0 means not set.
        if (n >= 16 && (le32(data + 8) | le32(data + 12)) != 0) {
            uint64_t ft = le32(data + 8) | (uint64_t)le32(data + 12) << 32;
            m->mtime = (int64_t)(ft / 10000000u) - 11644473600LL;
            m->has_mtime = 1;
            *have_windows_time = 1;
        }
        break;
    case LZH_EXT_FILE_SIZE_64:
        // Members of 4 GiB or more: the header's own fields hold 32 bits.
        if (n >= 16) {
            m->packed = le64(data);
            m->original = le64(data + 8);
        }
        break;
    case LZH_EXT_UNIX_TIME:
        if (n >= 4 && !*have_windows_time) {
            m->mtime = (int64_t)le32(data);
            m->has_mtime = 1;
        }
        break;
    default:
        break;
    }
}

// The size of the next extension, which ends the one before: 2 bytes, or 4
// in level 3.
static size_t next_size(const struct Header *h, size_t end, int width)
{
    return width == 2 ? le16(h->b + end - 2) : le32(h->b + end - 4);
}

// Walks the extension headers of levels 1, 2 and 3, which start at byte at
// of the header with size `next` and end at byte limit; each is a type byte, its data and
// the size of the next, `width` bytes. Level 1 reads them from the file as
// it goes (limit is then how much may be read); levels 2 and 3 have them
// already.
static LzhStatus read_extensions(struct LzhInput *in, struct Header *h, struct LzhMember *m, size_t at,
                                 size_t limit, size_t next, int width, int from_file,
                                 struct Parsed *p)
{
    int have_windows_time = 0;
    while (next != 0) {
        if (next < 1 + (size_t)width || next > limit || at > limit - next)
            return LZH_MALFORMED;
        if (from_file) {
            LzhStatus s = read_exact(in, h, at, next);
            if (s != LZH_OK)
                return s;
        }
        int type = h->b[at];
        size_t n = next - 1 - (size_t)width;
        if (type == LZH_EXT_HEADER_CRC) {
            if (n < 2)
                return LZH_MALFORMED;
            p->crc_at = (long)(at + 1);
        }
        take_extension(m, p, type, h->b + at + 1, at + 1, n, &have_windows_time);
        at += next;
        next = next_size(h, at, width);
    }
    p->end = at;
    return LZH_OK;
}

static LzhStatus read_level01(struct LzhInput *in, struct Header *h, struct LzhMember *m, struct Parsed *p)
{
    size_t base = (size_t)h->b[LZH_AT_SIZE] + 2;
    if (base < LZH_AT_NAME + 2)
        return LZH_MALFORMED;
    LzhStatus s = read_exact(in, h, LZH_COMMON_SIZE, base - LZH_COMMON_SIZE);
    if (s != LZH_OK)
        return s;
    unsigned sum = 0;
    for (size_t i = LZH_AT_METHOD; i < base; i++)
        sum += h->b[i];
    if ((sum & 0xFF) != h->b[LZH_AT_CHECKSUM])
        return LZH_BAD_CHECKSUM;
    size_t name_len = h->b[LZH_AT_NAME_LENGTH];
    if (LZH_AT_NAME + name_len + 2 > base)
        return LZH_MALFORMED;
    p->file_at = LZH_AT_NAME;
    p->file_len = name_len;
    m->crc = (uint16_t)le16(h->b + LZH_AT_NAME + name_len);
    m->has_mtime = dos_time(le32(h->b + LZH_AT_TIME), &m->mtime);
    p->end = base;
    if (m->level == 0)
        return LZH_OK;
    // Level 1: the OS byte and the size of the first extension follow.
    if (LZH_AT_NAME + name_len + 5 > base)
        return LZH_MALFORMED;
    s = read_extensions(in, h, m, base, HEADER_MAX, le16(h->b + base - 2), 2, 1, p);
    if (s != LZH_OK)
        return s;
    // Level 1 counts its extensions as part of the packed size.
    if (m->packed < p->end - base)
        return LZH_MALFORMED;
    m->packed -= p->end - base;
    return LZH_OK;
}

static LzhStatus read_level2(struct LzhInput *in, struct Header *h, struct LzhMember *m, struct Parsed *p)
{
    size_t total = le16(h->b + LZH_AT_SIZE);
    if (total < LZH2_MIN_SIZE)
        return LZH_MALFORMED;
    LzhStatus s = read_exact(in, h, LZH_COMMON_SIZE, total - LZH_COMMON_SIZE);
    if (s != LZH_OK)
        return s;
    m->crc = (uint16_t)le16(h->b + LZH2_AT_CRC);
    m->mtime = (int64_t)le32(h->b + LZH_AT_TIME);
    m->has_mtime = 1;
    s = read_extensions(in, h, m, LZH2_AT_FIRST_EXTENSION + 2, total,
                        le16(h->b + LZH2_AT_FIRST_EXTENSION), 2, 0, p);
    // LHa for OS-9/68k states a total 2 bytes short, leaving out the last
    // extension's zero size: where the stated total does not hold the
    // extensions, they end 2 bytes further.
    if (s == LZH_MALFORMED && h->b[LZH2_AT_OS] == LZH_OS_9_68K) {
        total += 2;
        s = read_exact(in, h, total - 2, 2);
        if (s == LZH_OK)
            s = read_extensions(in, h, m, LZH2_AT_FIRST_EXTENSION + 2, total,
                                le16(h->b + LZH2_AT_FIRST_EXTENSION), 2, 0, p);
    }
    p->end = total;  // a padding byte may follow the last extension
    return s;
}

// Level 3 is level 2 with 4-byte sizes: the header's at 24, the first
// extension's at 28, and each extension's next. Its first field is the
// width, 4.
static LzhStatus read_level3(struct LzhInput *in, struct Header *h, struct LzhMember *m, struct Parsed *p)
{
    if (le16(h->b + LZH_AT_SIZE) != 4)
        return LZH_MALFORMED;
    LzhStatus s = read_exact(in, h, LZH_COMMON_SIZE, LZH3_MIN_SIZE - LZH_COMMON_SIZE);
    if (s != LZH_OK)
        return s;
    uint32_t total = le32(h->b + LZH3_AT_HEADER_SIZE);
    if (total < LZH3_MIN_SIZE || total > HEADER_MAX)
        return LZH_MALFORMED;
    s = read_exact(in, h, LZH3_MIN_SIZE, total - LZH3_MIN_SIZE);
    if (s != LZH_OK)
        return s;
    m->crc = (uint16_t)le16(h->b + LZH2_AT_CRC);
    m->mtime = (int64_t)le32(h->b + LZH_AT_TIME);
    m->has_mtime = 1;
    s = read_extensions(in, h, m, LZH3_MIN_SIZE, total, le32(h->b + LZH3_AT_FIRST_EXTENSION), 4, 0,
                        p);
    p->end = total;
    return s;
}

static LzhStatus check_header_crc(struct Header *h, const struct Parsed *p)
{
    if (p->crc_at < 0)
        return LZH_OK;
    unsigned stored = le16(h->b + p->crc_at);
    h->b[p->crc_at] = h->b[p->crc_at + 1] = 0;
    return crc16_update(0, h->b, p->end) == stored ? LZH_OK : LZH_BAD_HEADER_CRC;
}

static LzhStatus build_path(const struct Header *h, struct LzhMember *m, const struct Parsed *p,
                            LeadByteRule is_lead)
{
    m->path[0] = '\0';
    if (lzh_append_name(m->path, sizeof m->path, h->b + p->dir_at, p->dir_len, is_lead) != 0)
        return LZH_NAME_TOO_LONG;
    size_t len = strlen(m->path);
    if (len > 0 && m->path[len - 1] != LZH_SEP && p->file_len > 0) {
        m->path[len] = LZH_SEP;
        m->path[len + 1] = '\0';
    }
    if (lzh_append_name(m->path, sizeof m->path, h->b + p->file_at, p->file_len, is_lead) != 0)
        return LZH_NAME_TOO_LONG;
    return LZH_OK;
}

// The rest of the header, whose first 21 bytes are in h.
static LzhStatus read_member(struct LzhInput *in, struct Header *h, struct LzhMember *m,
                             LeadByteRule is_lead)
{
    m->level = h->b[LZH_AT_LEVEL];
    memcpy(m->method, h->b + LZH_AT_METHOD, 5);
    m->packed = le32(h->b + LZH_AT_PACKED);
    m->original = le32(h->b + LZH_AT_ORIGINAL);
    m->is_dir = memcmp(m->method, "-lhd-", 5) == 0;

    struct Parsed p = {0, 0, 0, 0, 0, -1};
    LzhStatus s;
    if (m->level == 0 || m->level == 1)
        s = read_level01(in, h, m, &p);
    else if (m->level == 2)
        s = read_level2(in, h, m, &p);
    else if (m->level == 3)
        s = read_level3(in, h, m, &p);
    else
        s = LZH_BAD_LEVEL;
    if (s == LZH_OK)
        s = check_header_crc(h, &p);
    if (s == LZH_OK)
        s = build_path(h, m, &p, is_lead);
    return s;
}

LzhStatus lzh_read_header(struct LzhInput *in, struct LzhMember *m, LeadByteRule is_lead)
{
    memset(m, 0, sizeof *m);
    // Archives end with a zero byte; without it, a file cut between two
    // members would pass for a whole archive.
    unsigned char first;
    if (lzh_read(in, &first, 1) == 0)
        return in->error != LZH_OK ? in->error : LZH_NO_END_MARK;
    if (first == 0)
        return LZH_END;
    struct Header h = {NULL, 0};
    LzhStatus s = reserve(&h, HEADER_FIRST);
    if (s == LZH_OK) {
        h.b[0] = first;
        s = read_exact(in, &h, 1, LZH_COMMON_SIZE - 1);
    }
    if (s == LZH_OK)
        s = read_member(in, &h, m, is_lead);
    free(h.b);
    return s;
}
