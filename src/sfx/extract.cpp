#include "extract.h"

#include <errno.h>
#include <string.h>

#include "../lzh/decode.h"
#include "../lzh/header.h"
#include "../names/winname.h"
#include "../platform/platform.h"

static int is_pair(const char *p)
{
    return p[1] != '\0' && win_is_pair(plat_is_lead_byte, (unsigned char)p[0], (unsigned char)p[1]);
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
            if (win_name_problem(p, n, plat_is_lead_byte) != NULL || len + n + 2 > size)
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
        if (is_pair(p)) {
            p++;
            continue;
        }
        if (*p == PLAT_SEP || (*p == '\0' && whole)) {
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

static void not_extracted(FILE *err, const char *path, LzhStatus s, int errnum)
{
    fprintf(err, "%s: %s; not extracted\n", path, lzh_status_text(s, errnum));
}

// The temporary file for path, in its folder so that the rename into place
// stays within one folder, under a name of its own: an archive can't make us
// write over a file by naming a member after another's temporary file.
static FILE *create_temp(const char *path, char *temp, size_t size)
{
    static char prefix[LZH_PATH_MAX + 8];
    const char *base = path;
    for (const char *p = path; *p != '\0'; p++) {
        if (is_pair(p))
            p++;
        else if (*p == PLAT_SEP)
            base = p + 1;
    }
    snprintf(prefix, sizeof prefix, "%.*s~sfx", (int)(base - path), path);
    return plat_create_temp(prefix, temp, size);
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
    if (plat_close_written(f) != 0 && s == LZH_OK) {
        s = LZH_WRITE_ERROR;
        errnum = errno;
    }
    if (s == LZH_OK && crc != m->crc)
        s = LZH_BAD_CRC;
    if (s == LZH_OK && plat_replace_file(temp, path) != 0) {
        s = LZH_WRITE_ERROR;
        errnum = errno;
    }
    if (s != LZH_OK) {
        remove(temp);
        not_extracted(err, path, s, errnum);
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

// Everything short of writing data: a name inside the install folder, a
// known method, a size the file holds. Returns 0, or -1 after a report.
static int check_member(const struct LzhMember *m, char *path, unsigned index, int64_t left,
                        FILE *err)
{
    static char shown[LZH_PATH_MAX];
    if (safe_relative_path(m->path, PLAT_SEP, path, LZH_PATH_MAX) != 0) {
        // Shown as stored, separators and all, so the user sees what it was.
        strcpy(shown, m->path);
        for (char *p = shown; *p; p++)
            if (*p == LZH_SEP)
                *p = PLAT_SEP;
        fprintf(err, "%s: refused: not a plain name inside the install folder\n", shown);
        return -1;
    }
    if (!m->is_dir && lzh_method_bits(m->method) < 0) {
        fprintf(err, "%s: unsupported method %s\n", path, m->method);
        return -1;
    }
    if (!m->is_dir && path[0] == '\0') {
        fprintf(err, "archive: member %u has no file name\n", index);
        return -1;
    }
    // A size the file can't hold is damage: say so before anything is
    // created, and never seek by it.
    if (left < 0 || m->packed > (uint64_t)left) {
        not_extracted(err, path[0] ? path : "archive", LZH_DATA_CUT, 0);
        return -1;
    }
    return 0;
}

int extract_archive(FILE *in, FILE *out, FILE *err)
{
    static struct LzhMember m;
    static char path[LZH_PATH_MAX];
    int64_t end = end_of(in);
    if (end < 0) {
        report(err, "archive", strerror(errno));
        return 1;
    }
    for (unsigned count = 0;; count++) {
        int64_t at = plat_tell(in);
        LzhStatus hs = lzh_read_header(in, &m, plat_is_lead_byte);
        if (hs == LZH_END && count == 0) {
            report(err, "archive", "no members found");
            return 1;
        }
        if (hs == LZH_END)
            return 0;
        if (hs == LZH_NO_END_MARK && count == 0) {
            report(err, "archive", "none found after the program");
            return 1;
        }
        if (hs != LZH_OK) {
            fprintf(err, "archive: member %u (header at byte %lld): %s\n", count + 1,
                    (long long)at, lzh_status_text(hs, errno));
            return 1;
        }
        int64_t here = plat_tell(in);
        if (check_member(&m, path, count + 1, here < 0 ? -1 : end - here, err) != 0)
            return 1;
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
        if (extract_file(in, &m, lzh_method_bits(m.method), path, err) != 0)
            return 1;
        fprintf(out, "%s\n", path);
    }
}
