#include "extract.h"

#include <errno.h>
#include <string.h>

#include "../lzh/decode.h"
#include "../lzh/header.h"
#include "../names/winname.h"
#include "../platform/platform.h"

#ifdef _WIN32
static const char SEP = '\\';
#else
static const char SEP = '/';
#endif

static int component_ok(const char *c, size_t n)
{
    return win_name_problem(c, n, plat_is_lead_byte) == NULL;
}

int safe_relative_path(const char *member_path, char sep, char *out, size_t size)
{
    const char *p = member_path;
    size_t len = 0;
    out[0] = '\0';
    if (*p == LZH_SEP)
        return -1;  // rooted: "\x" is the root of the current drive
    while (*p != '\0') {
        const char *end = strchr(p, LZH_SEP);
        size_t n = end ? (size_t)(end - p) : strlen(p);
        if (!(n == 0 || (n == 1 && p[0] == '.'))) {
            if (!component_ok(p, n) || len + n + 2 > size)
                return -1;
            if (len > 0)
                out[len++] = sep;
            memcpy(out + len, p, n);
            len += n;
            out[len] = '\0';
        }
        p += n;
        if (*p == LZH_SEP)
            p++;
    }
    return 0;
}

// Creates every directory of path up to its last separator (or all of it,
// with whole set). Existing directories are fine. A trail byte equal to the
// separator (as in Shift_JIS "表") is part of its character, not a separator.
static int make_dirs(char *path, int whole)
{
    for (char *p = path;; p++) {
        if (p[1] != '\0' && win_is_pair(plat_is_lead_byte, (unsigned char)p[0], (unsigned char)p[1])) {
            p++;
            continue;
        }
        if (*p == SEP || (*p == '\0' && whole)) {
            char c = *p;
            *p = '\0';
            int r = plat_make_dir(path);
            int e = errno;
            *p = c;
            if (r != 0 && e != EEXIST) {
                errno = e;
                return -1;
            }
        }
        if (*p == '\0')
            return 0;
    }
}

static int write_to_file(void *ctx, const unsigned char *p, size_t n)
{
    return plat_write((FILE *)ctx, p, n);
}

static void report(FILE *err, const char *subject, const char *text)
{
    fprintf(err, "%s: %s\n", subject, text);
}

static const char *data_error(LzhStatus s, int errnum)
{
    switch (s) {
    case LZH_TRUNCATED: return "archive ends inside this file's data";
    case LZH_CORRUPT: return "data is corrupt";
    case LZH_READ_ERROR: return errnum ? strerror(errnum) : "read error";
    case LZH_WRITE_ERROR: return errnum ? strerror(errnum) : "write error";
    default: return "error";
    }
}

// Creates a temporary file of a name that was free, in the folder of path, so
// that the rename into place stays within one folder. Its name is in temp.
// The name is never one the archive chose: an archive can't make us write
// over a file by naming it after another member's temporary file.
static FILE *create_temp(const char *path, char *temp, size_t size)
{
    static unsigned serial;
    const char *base = path;
    for (const char *p = path; *p != '\0'; p++) {
        if (p[1] != '\0' && win_is_pair(plat_is_lead_byte, (unsigned char)p[0], (unsigned char)p[1]))
            p++;
        else if (*p == SEP)
            base = p + 1;
    }
    int dir_len = (int)(base - path);
    for (int tries = 0; tries < 1000; tries++) {
        serial = serial * 1103515245u + 12345u + (unsigned)tries;
        snprintf(temp, size, "%.*s~sfx%08x.tmp", dir_len, path, serial);
        FILE *f = plat_create_new(temp);
        if (f != NULL || errno != EEXIST)
            return f;
    }
    return NULL;
}

// Decodes one member into path by way of a temporary file next to it, so a
// failure never leaves a damaged file, nor destroys one already there.
static int extract_file(FILE *in, const struct LzhMember *m, int bits, char *path, FILE *err)
{
    static char temp[LZH_PATH_MAX + 32];
    if (make_dirs(path, 0) != 0) {
        report(err, path, strerror(errno));
        return -1;
    }
    FILE *f = create_temp(path, temp, sizeof temp);
    if (f == NULL) {
        report(err, path, strerror(errno));
        return -1;
    }
    // Blocks go to the system as the decoder hands them over: a failed write
    // is seen with its own error, not later at a flush.
    setvbuf(f, NULL, _IONBF, 0);
    uint16_t crc;
    errno = 0;
    LzhStatus s = lzh_decode(in, m->packed, m->original, bits, write_to_file, f, &crc);
    int errnum = errno;
    if (fclose(f) != 0 && s == LZH_OK) {
        s = LZH_WRITE_ERROR;
        errnum = errno;
    }
    const char *problem = NULL;
    if (s != LZH_OK)
        problem = data_error(s, errnum);
    else if (crc != m->crc)
        problem = "CRC error";
    else if (plat_replace_file(temp, path) != 0)
        problem = strerror(errno);
    if (problem != NULL) {
        remove(temp);
        fprintf(err, "%s: %s; not extracted\n", path, problem);
        return -1;
    }
    if (m->has_mtime)
        plat_set_mtime(path, m->mtime);
    return 0;
}

// Where the file ends, found once: a seek discards the read buffer, and an
// archive may hold tens of thousands of members. -1 if it can't be told.
static int64_t end_of(FILE *in)
{
    int64_t here = plat_tell(in);
    if (here < 0 || plat_seek(in, 0, SEEK_END) != 0)
        return -1;
    int64_t end = plat_tell(in);
    if (plat_seek(in, here, SEEK_SET) != 0)
        return -1;
    return end;
}

int extract_archive(FILE *in, FILE *out, FILE *err)
{
    static struct LzhMember m;
    static char path[LZH_PATH_MAX];
    unsigned count = 0;
    int64_t end = end_of(in);
    if (end < 0) {
        report(err, "archive", strerror(errno));
        return 1;
    }

    for (;; count++) {
        int64_t at = plat_tell(in);
        LzhHeaderStatus hs = lzh_read_header(in, &m);
        if (hs == HDR_END) {
            if (count == 0) {
                report(err, "archive", "no members found");
                return 1;
            }
            return 0;
        }
        if (hs == HDR_NO_END_MARK && count == 0) {
            report(err, "archive", "none found after the program");
            return 1;
        }
        if (hs != HDR_OK) {
            fprintf(err, "archive: member %u (header at byte %lld): %s\n", count + 1,
                    (long long)at,
                    hs == HDR_READ_ERROR ? strerror(errno) : lzh_header_error(hs));
            return 1;
        }
        if (safe_relative_path(m.path, SEP, path, sizeof path) != 0) {
            // Shown as stored, separators and all, so the user sees what it was.
            for (char *p = m.path; *p; p++)
                if (*p == LZH_SEP)
                    *p = SEP;
            fprintf(err, "%s: refused: not a plain name inside the install folder\n", m.path);
            return 1;
        }
        int bits = lzh_method_bits(m.method);
        if (!m.is_dir && bits < 0) {
            fprintf(err, "%s: unsupported method %s\n", path, m.method);
            return 1;
        }
        if (!m.is_dir && path[0] == '\0') {
            fprintf(err, "archive: member %u has no file name\n", count + 1);
            return 1;
        }
        // A size the file can't hold is damage: say so before anything is
        // created, and never seek by it.
        int64_t here = plat_tell(in);
        if (here < 0 || here > end || m.packed > (uint64_t)(end - here)) {
            fprintf(err, "%s: %s; not extracted\n", path[0] ? path : "archive",
                    data_error(LZH_TRUNCATED, 0));
            return 1;
        }
        if (m.is_dir) {
            if (path[0] != '\0' && make_dirs(path, 1) != 0) {
                report(err, path, strerror(errno));
                return 1;
            }
            if (m.packed > 0 && plat_seek(in, (int64_t)m.packed, SEEK_CUR) != 0) {
                report(err, "archive", strerror(errno));
                return 1;
            }
            continue;
        }
        if (extract_file(in, &m, bits, path, err) != 0)
            return 1;
        fprintf(out, "%s\n", path);
    }
}
