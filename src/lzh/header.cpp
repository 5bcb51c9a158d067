#include "header.h"

#include <string.h>
#include <time.h>

#include "../names/winname.h"
#include "../platform/platform.h"
#include "crc16.h"

// A level 2 header is at most 65535 bytes; a level 1 header's extensions can
// add as much again, and more only in archives nobody writes.
enum { HEADER_MAX = 2 * 65536 };
static unsigned char hdr[HEADER_MAX];

static unsigned u16(const unsigned char *p)
{
    return p[0] | (unsigned)p[1] << 8;
}

static uint32_t u32(const unsigned char *p)
{
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static LzhHeaderStatus read_exact(FILE *in, unsigned char *p, size_t n)
{
    if (fread(p, 1, n, in) == n)
        return HDR_OK;
    return ferror(in) ? HDR_READ_ERROR : HDR_TRUNCATED;
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
    tm.tm_sec = (int)(t & 31) * 2;
    tm.tm_min = (int)(t >> 5) & 63;
    tm.tm_hour = (int)(t >> 11) & 31;
    tm.tm_mday = (int)(t >> 16) & 31;
    tm.tm_mon = (int)((t >> 21) & 15) - 1;
    tm.tm_year = (int)(t >> 25) + 80;
    tm.tm_isdst = -1;
    time_t r = mktime(&tm);
    // mktime normalises the 31st of a short month into the next one.
    if (r == (time_t)-1 || tm.tm_mday != (int)day)
        return 0;
    *seconds = (int64_t)r;
    return 1;
}

int lzh_append_name(char *path, size_t size, const unsigned char *name, size_t n)
{
    size_t len = strlen(path);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = name[i];
        if (len + 3 > size)
            return -1;
        if (i + 1 < n && win_is_pair(plat_is_lead_byte, c, name[i + 1])) {
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

struct Names {
    const unsigned char *dir, *file;
    size_t dir_len, file_len;
};

// Walks the extension headers of levels 1 and 2, which start at hdr + at
// with size `next` and end at hdr + limit. Level 1 reads them from the file
// as it goes (limit is then how much may be read); level 2 has them already.
static LzhHeaderStatus read_extensions(FILE *in, struct LzhMember *m, size_t at, size_t limit,
                                       unsigned next, int from_file, struct Names *names,
                                       size_t *end, long *crc_at)
{
    int have_windows_time = 0;
    while (next != 0) {
        if (next < 3 || at + next > limit)
            return HDR_MALFORMED;
        if (from_file) {
            LzhHeaderStatus s = read_exact(in, hdr + at, next);
            if (s != HDR_OK)
                return s;
        }
        const unsigned char *data = hdr + at + 1;
        size_t n = next - 3;
        switch (hdr[at]) {
        case 0x00:  // header CRC
            if (n < 2)
                return HDR_MALFORMED;
            *crc_at = (long)(at + 1);
            break;
        case 0x01:
            names->file = data;
            names->file_len = n;
            break;
        case 0x02:
            names->dir = data;
            names->dir_len = n;
            break;
        case 0x41:  // Windows FILETIMEs: creation, last write, last access
            if (n >= 16 && (u32(data + 8) | u32(data + 12)) != 0) {  // 0: not set
                uint64_t ft = u32(data + 8) | (uint64_t)u32(data + 12) << 32;
                m->mtime = (int64_t)(ft / 10000000u) - 11644473600LL;
                m->has_mtime = 1;
                have_windows_time = 1;
            }
            break;
        case 0x54:  // Unix modification time
            if (n >= 4 && !have_windows_time) {
                m->mtime = (int64_t)u32(data);
                m->has_mtime = 1;
            }
            break;
        default:
            break;
        }
        at += next;
        next = u16(hdr + at - 2);
    }
    *end = at;
    return HDR_OK;
}

LzhHeaderStatus lzh_read_header(FILE *in, struct LzhMember *m)
{
    memset(m, 0, sizeof *m);
    // Archives end with a zero byte; without it, a file cut between two
    // members would pass for a whole archive.
    int first = getc(in);
    if (first == EOF)
        return ferror(in) ? HDR_READ_ERROR : HDR_NO_END_MARK;
    if (first == 0)
        return HDR_END;
    hdr[0] = (unsigned char)first;
    LzhHeaderStatus s = read_exact(in, hdr + 1, 20);
    if (s != HDR_OK)
        return s;

    m->level = hdr[20];
    memcpy(m->method, hdr + 2, 5);
    m->packed = u32(hdr + 7);
    m->original = u32(hdr + 11);
    m->is_dir = memcmp(m->method, "-lhd-", 5) == 0;

    struct Names names = {NULL, NULL, 0, 0};
    size_t end = 0;
    long crc_at = -1;

    if (m->level == 0 || m->level == 1) {
        size_t base = (size_t)hdr[0] + 2;
        if (base < 24)
            return HDR_MALFORMED;
        s = read_exact(in, hdr + 21, base - 21);
        if (s != HDR_OK)
            return s;
        unsigned sum = 0;
        for (size_t i = 2; i < base; i++)
            sum += hdr[i];
        if ((sum & 0xFF) != hdr[1])
            return HDR_BAD_CHECKSUM;
        size_t name_len = hdr[21];
        if (22 + name_len + 2 > base)
            return HDR_MALFORMED;
        names.file = hdr + 22;
        names.file_len = name_len;
        m->crc = (uint16_t)u16(hdr + 22 + name_len);
        m->has_mtime = dos_time(u32(hdr + 15), &m->mtime);
        end = base;
        if (m->level == 1) {
            if (22 + name_len + 5 > base)
                return HDR_MALFORMED;
            s = read_extensions(in, m, base, HEADER_MAX, u16(hdr + base - 2), 1, &names,
                                &end, &crc_at);
            if (s != HDR_OK)
                return s;
            // Level 1 counts its extensions as part of the packed size.
            if (m->packed < end - base)
                return HDR_MALFORMED;
            m->packed -= end - base;
        }
    } else if (m->level == 2) {
        size_t total = u16(hdr);
        if (total < 26)
            return HDR_MALFORMED;
        s = read_exact(in, hdr + 21, total - 21);
        if (s != HDR_OK)
            return s;
        m->crc = (uint16_t)u16(hdr + 21);
        m->mtime = (int64_t)u32(hdr + 15);
        m->has_mtime = 1;
        s = read_extensions(in, m, 26, total, u16(hdr + 24), 0, &names, &end, &crc_at);
        if (s != HDR_OK)
            return s;
        end = total;  // a padding byte may follow the last extension
    } else {
        return HDR_BAD_LEVEL;
    }

    if (crc_at >= 0) {
        unsigned stored = u16(hdr + crc_at);
        hdr[crc_at] = hdr[crc_at + 1] = 0;
        if (crc16_update(0, hdr, end) != stored)
            return HDR_BAD_CRC;
    }

    m->path[0] = '\0';
    if (lzh_append_name(m->path, sizeof m->path, names.dir, names.dir_len) != 0)
        return HDR_NAME_TOO_LONG;
    size_t len = strlen(m->path);
    if (len > 0 && m->path[len - 1] != LZH_SEP && names.file_len > 0) {
        m->path[len] = LZH_SEP;
        m->path[len + 1] = '\0';
    }
    if (lzh_append_name(m->path, sizeof m->path, names.file, names.file_len) != 0)
        return HDR_NAME_TOO_LONG;
    return HDR_OK;
}

const char *lzh_header_error(LzhHeaderStatus s)
{
    switch (s) {
    case HDR_OK: return "no error";
    case HDR_END: return "end of archive";
    case HDR_TRUNCATED: return "archive ends inside a header";
    case HDR_NO_END_MARK: return "archive ends without its end mark (truncated?)";
    case HDR_BAD_CHECKSUM: return "header checksum mismatch";
    case HDR_BAD_CRC: return "header CRC mismatch";
    case HDR_BAD_LEVEL: return "unsupported header level";
    case HDR_MALFORMED: return "malformed header";
    case HDR_NAME_TOO_LONG: return "name too long";
    case HDR_READ_ERROR: return "read error";
    }
    return "unknown header error";
}
