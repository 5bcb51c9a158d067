#include "extract.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "../lzh/decode/decode.h"
#include "../lzh/header.h"
#include "../names/winname.h"
#include "../platform/platform.h"
#include "messages.h"
#include "texts.h"

static int is_pair(const char *p)
{
    return p[1] != '\0' && win_is_pair(cp932_is_lead_byte, (unsigned char)p[0], (unsigned char)p[1]);
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
            if (win_name_problem(p, n, cp932_is_lead_byte) != NULL || len + n + 2 > size)
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

static void report(FILE *err, const char *subject, const char *text)
{
    say(err, TEXT_REPORT, subject, text);
}

int install_folder_sddl(const char *user_sid, char *out, size_t size)
{
    // FA: full control; 0x1200a9: read, execute and list; OICI: inherited
    // by files and folders; P: protected from the parent's entries.
    int n = snprintf(out, size, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;%s)"
                                "(A;OICI;0x1200a9;;;BU)", user_sid);
    return n < 0 || (size_t)n >= size ? -1 : 0;
}

int protect_install_folder(FILE *err)
{
    static char sid[192], sddl[320];
    int open = plat_folder_open_to_all();
    if (open == 0)
        return 0;
    if (open < 0 || plat_user_sid(sid, sizeof sid) != 0 ||
        install_folder_sddl(sid, sddl, sizeof sddl) != 0 || plat_set_folder_access(sddl) != 0) {
        say(err, TEXT_FOLDER_ACCESS, errno_text(errno));
        return -1;
    }
    return 0;
}

// Creates every directory of path up to its last separator (or all of it,
// with whole set), and says why not after a report on err. Existing
// directories are fine; a file in the way is named. A trail byte equal to
// the separator (as in Shift_JIS "表") is part of its character, not a
// separator.
static int make_dirs(char *path, int whole, FILE *err)
{
    for (char *p = path;; p++) {
        if (is_pair(p)) {
            p++;
            continue;
        }
        if (*p == PLAT_SEP || (*p == '\0' && whole)) {
            char c = *p;
            *p = '\0';
            int r = plat_create_dir(path);
            int e = errno;
            const char *why = r == 0 || (e == EEXIST && plat_is_dir(path)) ? NULL
                              : e == EEXIST ? TEXT_FILE_IN_THE_WAY : errno_text(e);
            if (why != NULL)
                report(err, path, why);
            *p = c;
            if (why != NULL)
                return -1;
        }
        if (*p == '\0')
            return 0;
    }
}

// The files this run has written, by identity, each with its path: Windows
// takes many names for one file (case, and code page 932's duplicate
// characters), so a name the archive has not used yet may still be that of
// a file it has just written, which must not be replaced by another member.
// An open-addressing hash set, doubled when half full.
struct Written {
    struct PlatFileId id;
    char *path;  // NULL: a free slot
};

struct WrittenSet {
    struct Written *slots;
    size_t size, used;
};

static size_t slot_of(const struct WrittenSet *w, const struct PlatFileId *id)
{
    uint64_t h = (id->index ^ id->volume * 0x9E3779B97F4A7C15ull) * 0xFF51AFD7ED558CCDull;
    size_t i = (size_t)(h >> 32) & (w->size - 1);
    while (w->slots[i].path != NULL &&
           (w->slots[i].id.index != id->index || w->slots[i].id.volume != id->volume))
        i = (i + 1) & (w->size - 1);
    return i;
}

static const char *written_path(const struct WrittenSet *w, const struct PlatFileId *id)
{
    return w->size == 0 ? NULL : w->slots[slot_of(w, id)].path;
}

static int written_add(struct WrittenSet *w, const struct PlatFileId *id, const char *path)
{
    if (2 * (w->used + 1) > w->size) {
        struct WrittenSet bigger = {NULL, w->size ? 2 * w->size : 256, w->used};
        bigger.slots = (struct Written *)calloc(bigger.size, sizeof *bigger.slots);
        if (bigger.slots == NULL)
            return -1;
        for (size_t i = 0; i < w->size; i++)
            if (w->slots[i].path != NULL)
                bigger.slots[slot_of(&bigger, &w->slots[i].id)] = w->slots[i];
        free(w->slots);
        *w = bigger;
    }
    struct Written *s = &w->slots[slot_of(w, id)];
    if (s->path != NULL)
        return 0;
    size_t n = strlen(path) + 1;
    if ((s->path = (char *)malloc(n)) == NULL)
        return -1;
    memcpy(s->path, path, n);
    s->id = *id;
    w->used++;
    return 0;
}

static void written_free(struct WrittenSet *w)
{
    for (size_t i = 0; i < w->size; i++)
        free(w->slots[i].path);
    free(w->slots);
}

// Files this large show how far they have come, on their own line.
enum { PROGRESS_FROM = 4 << 20 };

struct Output {
    FILE *file;
    FILE *out;         // where progress goes; NULL for none
    const char *path;
    uint64_t done, total;
    unsigned shown;    // the percentage last shown, or above 100 for none
};

static int write_to_file(void *ctx, const unsigned char *p, size_t n)
{
    struct Output *o = (struct Output *)ctx;
    if (plat_write(o->file, p, n) != 0)
        return -1;
    o->done += n;
    if (o->out == NULL)
        return 0;
    unsigned percent = (unsigned)(o->done * 100 / o->total);
    if (percent != o->shown) {
        o->shown = percent;
        say(o->out, TEXT_PROGRESS, o->path, percent);
    }
    return 0;
}

static void not_extracted(FILE *err, const char *path, LzhStatus s, int errnum)
{
    say(err, TEXT_NOT_EXTRACTED, path, reason_text(s, errnum));
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
static int extract_file(struct LzhInput *in, const struct LzhMember *m,
                        const struct LzhMethod *method, char *path,
                        struct WrittenSet *written, FILE *out, FILE *err)
{
    static char temp[LZH_PATH_MAX + 32];
    if (make_dirs(path, 0, err) != 0)
        return -1;
    // Made and named to the interruption handler as one step: an install
    // the user stops leaves no temporary file behind.
    plat_hold_interrupts(1);
    FILE *f = create_temp(path, temp, sizeof temp);
    int e = errno;
    if (f != NULL)
        plat_remove_on_interrupt(temp);
    plat_hold_interrupts(0);
    if (f == NULL) {
        report(err, path, errno_text(e));
        return -1;
    }
    // Blocks go to the system as the decoder hands them over: a failed write
    // is seen with its own error, not later at a flush.
    setvbuf(f, NULL, _IONBF, 0);
    struct Output o = {f, m->original >= PROGRESS_FROM ? out : NULL, path, 0, m->original, 101};
    uint16_t crc;
    errno = 0;
    LzhStatus s = lzh_decode(in, m->packed, m->original, method, write_to_file, &o, &crc);
    int errnum = errno;
    if (plat_close_written(f) != 0 && s == LZH_OK) {
        s = LZH_WRITE_ERROR;
        errnum = errno;
    }
    if (s == LZH_OK && crc != m->crc)
        s = LZH_BAD_CRC;
    struct PlatFileId id;
    const char *earlier = s == LZH_OK && plat_file_id(path, &id) == 0 ? written_path(written, &id)
                                                                      : NULL;
    if (s == LZH_OK && earlier == NULL && plat_replace_file(temp, path) != 0) {
        s = LZH_WRITE_ERROR;
        errnum = errno;
    }
    // Kept in mind before anything else can fail: the file is in place.
    errno = 0;
    if (s == LZH_OK && earlier == NULL &&
        (plat_file_id(path, &id) != 0 || written_add(written, &id, path) != 0)) {
        s = LZH_WRITE_ERROR;
        errnum = errno ? errno : ENOMEM;
    }
    // Removed before the handler forgets it: no moment leaves it behind.
    int failed = s != LZH_OK || earlier != NULL;
    if (failed)
        plat_remove(temp);
    plat_remove_on_interrupt(NULL);
    if (failed) {
        if (o.shown <= 100)
            plat_put_text(out, "\n");  // the report starts on a line of its own
        if (earlier != NULL)
            say(err, TEXT_SAME_FILE, path, earlier);
        else
            not_extracted(err, path, s, errnum);
        return -1;
    }
    if (m->has_mtime)
        plat_set_mtime(path, m->mtime);
    return 0;
}

// Where the file ends, found once: a seek discards the read buffer, and an
// archive may hold tens of thousands of members. -1 if it can't be told.
// A stream's end is known only when it comes: every size is taken as it
// stands, and one past the end is found short when read, before the file
// is put in place.
static int64_t end_of(const struct LzhInput *in)
{
    if (in->file == NULL)
        return INT64_MAX;
    int64_t here = plat_tell(in->file);
    if (here < 0 || plat_seek(in->file, 0, SEEK_END) != 0)
        return -1;
    int64_t end = plat_tell(in->file);
    if (plat_seek(in->file, here, SEEK_SET) != 0)
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
        say(err, TEXT_REFUSED, shown);
        return -1;
    }
    if (!m->is_dir && !lzh_can_decode(lzh_method(m->method))) {
        say(err, TEXT_UNSUPPORTED, path, m->method);
        return -1;
    }
    if (!m->is_dir && path[0] == '\0') {
        say(err, TEXT_NO_NAME, index);
        return -1;
    }
    // A size the file can't hold is damage: say so before anything is
    // created, and never seek by it.
    if (left < 0 || m->packed > (uint64_t)left) {
        not_extracted(err, path[0] ? path : TEXT_ARCHIVE, LZH_DATA_CUT, 0);
        return -1;
    }
    return 0;
}

static int extract_members(struct LzhInput *in, struct WrittenSet *written, FILE *out, FILE *err)
{
    static struct LzhMember m;
    static char path[LZH_PATH_MAX];
    int64_t end = end_of(in);
    if (end < 0 || in->pos < 0) {
        report(err, TEXT_ARCHIVE, errno_text(errno));
        return 1;
    }
    for (unsigned count = 0;; count++) {
        int64_t at = in->pos;
        LzhStatus hs = lzh_read_header(in, &m, cp932_is_lead_byte);
        if (hs == LZH_END && count == 0) {
            report(err, TEXT_ARCHIVE, TEXT_NO_MEMBERS);
            return 1;
        }
        if (hs == LZH_END)
            return 0;
        if (hs == LZH_NO_END_MARK && count == 0) {
            report(err, TEXT_ARCHIVE, TEXT_NO_ARCHIVE);
            return 1;
        }
        // A stream that failed is damage to the whole payload, not to a
        // member of it.
        if (hs != LZH_OK && in->file == NULL && in->error != LZH_OK) {
            report(err, TEXT_ARCHIVE, reason_text(in->error, errno));
            return 1;
        }
        if (hs != LZH_OK) {
            say(err, TEXT_BAD_MEMBER, count + 1, (long long)at, reason_text(hs, errno));
            return 1;
        }
        if (check_member(&m, path, count + 1, end - in->pos, err) != 0)
            return 1;
        if (m.is_dir) {
            // Its data (none in archives we write) is passed over first: a
            // stream's size is only found wrong there.
            if (m.packed > 0 && lzh_skip(in, m.packed) != 0) {
                not_extracted(err, path[0] ? path : TEXT_ARCHIVE, in->error, errno);
                return 1;
            }
            if (path[0] != '\0' && make_dirs(path, 1, err) != 0)
                return 1;
            continue;
        }
        if (extract_file(in, &m, lzh_method(m.method), path, written, out, err) != 0)
            return 1;
        say(out, TEXT_EXTRACTED, path);
    }
}

int extract_archive(struct LzhInput *in, FILE *out, FILE *err)
{
    struct WrittenSet written = {NULL, 0, 0};
    int status = extract_members(in, &written, out, err);
    written_free(&written);
    return status;
}
