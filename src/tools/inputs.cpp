#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <set>
#include <system_error>

#include "image/pe.h"
#include "lzh/find.h"
#include "launch/layout.h"
#include "member_names.h"
#include "names/winname.h"
#include "mkinstaller.h"
#include "platform/codepage.h"
#include "platform/platform.h"
#include "sfx/solid.h"

uint32_t image_end(const std::string &bytes)
{
    return pe_image_end(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

fs::path own_directory()
{
    static char buf[PATH_BUFFER_SIZE];
    const char *self = plat_own_path(buf, sizeof buf);
    return self ? path_from_native(self).parent_path() : fs::current_path();
}

// A Windows program built by this project: beside this tool; where it is
// installed with it; or, in a build tree, in the Windows programs that a
// native build makes, or in the Windows build beside this one. Empty if
// there is none.
std::string look_for_built(const char *name)
{
    fs::path dir = own_directory();
    std::vector<fs::path> places = {dir / name};
#ifdef DATA_FROM_BIN
    places.push_back(dir / DATA_FROM_BIN / name);
#endif
    places.push_back(dir / "windows" / name);
    places.push_back(dir / ".." / "win32" / name);
    std::error_code ec;
    for (const fs::path &p : places)
        if (fs::is_regular_file(p, ec))
            return native_from_path(p.lexically_normal());
    return "";
}

std::string find_built(const char *name)
{
    std::string found = look_for_built(name);
    if (!found.empty())
        return found;
    fs::path dir = own_directory();
    std::string option = std::string(name).substr(0, std::string(name).find('.'));
    fail(format(_("no %s beside %s; name one with --%s"), name, native_from_path(dir).c_str(),
                option.c_str()));
}

// Our extractor is some 24 KiB; anything near this is not one.
enum { SFX_SIZE_MAX = 4 << 20 };

std::string load_stub(const std::string &path)
{
    uint64_t size = regular_file_size(path);
    if (size != PAYLOAD_OFFSET)
        fail(format(_("%s: stub is %llu bytes, not the %u its payload offset needs"),
                    path.c_str(), (unsigned long long)size, unsigned(PAYLOAD_OFFSET)));
    std::string stub = read_file(path, 0, PAYLOAD_OFFSET + 1);
    if (stub.size() != PAYLOAD_OFFSET)
        fail(path + ": " + _("changed while it was read"));
    if (image_end(stub) == 0 || image_end(stub) > stub.size())
        fail(path + ": " + _("stub is not a Windows executable"));
    return stub;
}

std::string load_sfx(const std::string &path)
{
    uint64_t size = regular_file_size(path);
    if (size > SFX_SIZE_MAX)
        fail(format(_("%s: %llu bytes, too large for an extractor"), path.c_str(),
                    (unsigned long long)size));
    std::string sfx = read_file(path, 0, SFX_SIZE_MAX + 1);
    uint32_t end = image_end(sfx);
    if (end == 0)
        fail(path + ": " + _("extractor is not a Windows executable"));
    // It looks for its archive right after its image.
    if (end != sfx.size())
        fail(path + ": " + _("extractor has data after its image"));
    return sfx;
}

// SOURCE_DATE_EPOCH, the reproducible-builds convention: the time of the
// build's sources, in seconds since 1970; no stored time is later.
std::optional<int64_t> source_date_epoch()
{
    const char *s = getenv("SOURCE_DATE_EPOCH");
    if (s == NULL || *s == '\0')
        return std::nullopt;
    char *end;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (*end != '\0' || errno != 0 || !isdigit((unsigned char)s[0]))
        fail(format(_("SOURCE_DATE_EPOCH: \"%s\" is not a number of seconds since 1970"), s));
    return std::min<long long>(v, 0xFFFFFFFF);
}

// Level 2 headers hold times as unsigned 32-bit seconds since 1970.
static int64_t stored_time(const fs::path &source)
{
    int64_t t = 0;
    if (plat_get_mtime(native_from_path(source).c_str(), &t) != 0)
        fail_errno(native_from_path(source));
    return std::clamp<int64_t>(t, 0, 0xFFFFFFFF);
}

static void add_entry(std::vector<ArchiveEntry> &entries, const fs::path &source,
                      const fs::path &name, bool is_dir)
{
    ArchiveEntry e;
    e.is_dir = is_dir;
    e.source = is_dir ? "" : native_from_path(source);
    std::vector<std::string> utf8;
    std::string native;
    for (const fs::path &part : name) {
        native = native_from_path(part);
        std::optional<std::string> converted = to_archive_name(native);
        if (native.empty() || !converted)
            fail(native_from_path(source) + ": " +
                 _("name can't be written in the Shift_JIS code page"));
        e.path.push_back(*converted);
        utf8.push_back(part.u8string());
    }
    if (std::optional<std::string> why = member_name_problem(utf8, e.path))
        fail(format(_("%s: can't be installed: %s"), native_from_path(source).c_str(),
                    why->c_str()));
    if (std::optional<std::string> warning = member_path_warning(e.path))
        note(native_from_path(source) + ": " + *warning);
    // A few characters have no code in code page 932 of their own and take
    // that of a look-alike (WAVE DASH 〜 that of ～), which is what Windows
    // will show. Each name is said once, with the entry that ends in it.
    if (!e.path.empty()) {
        std::string shown = to_display_name(e.path.back());
        if (shown != native)
            note(format(_("%s: the name is stored as \"%s\": code page 932 has those "
                          "characters only in that form"),
                        native_from_path(source).c_str(), shown.c_str()));
    }
    e.mtime = stored_time(source);
    entries.push_back(e);
}

// Packs a folder's contents in name order, following symbolic links to
// folders as to files; a link back to a folder being packed is refused.
static void walk(std::vector<ArchiveEntry> &entries, const fs::path &dir, const fs::path &rel,
                 std::vector<fs::path> &open_dirs)
{
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        found.push_back(it->path());
    if (ec)
        fail(format(_("%s: can't read the folder: %s"), native_from_path(dir).c_str(),
                    ec.message().c_str()));
    std::sort(found.begin(), found.end());
    for (const fs::path &p : found) {
        fs::file_status st = fs::status(p, ec);
        if (ec)
            fail(native_from_path(p) + ": " + ec.message());
        if (fs::is_regular_file(st)) {
            add_entry(entries, p, rel / p.filename(), false);
        } else if (fs::is_directory(st)) {
            fs::path real = fs::canonical(p, ec);
            if (ec)
                fail(native_from_path(p) + ": " + ec.message());
            for (const fs::path &o : open_dirs)
                if (o == real)
                    fail(format(_("%s: a link back to %s, which would never end"),
                                native_from_path(p).c_str(), native_from_path(o).c_str()));
            add_entry(entries, p, rel / p.filename(), true);
            open_dirs.push_back(real);
            walk(entries, p, rel / p.filename(), open_dirs);
            open_dirs.pop_back();
        } else {
            fail(native_from_path(p) + ": " + _("neither a file nor a directory"));
        }
    }
}

std::vector<ArchiveEntry> collect(const std::vector<std::string> &inputs)
{
    std::vector<ArchiveEntry> entries;
    for (const std::string &input : inputs) {
        std::error_code ec;
        fs::path root = path_from_native(input);
        fs::file_status st = fs::status(root, ec);
        if (ec)
            fail(input + ": " + ec.message());
        if (fs::is_regular_file(st)) {
            add_entry(entries, root, root.filename(), false);
        } else if (fs::is_directory(st)) {
            std::vector<fs::path> open_dirs = {fs::canonical(root, ec)};
            if (ec)
                fail(input + ": " + ec.message());
            walk(entries, root, fs::path(), open_dirs);
        } else {
            fail(input + ": " + _("neither a file nor a directory"));
        }
    }
    std::set<std::vector<std::string>> names;
    for (const ArchiveEntry &e : entries)
        if (!names.insert(e.path).second)
            fail(format(_("%s: a second member named %s"), e.source.c_str(),
                        to_display_name(e.path.back()).c_str()));
    std::vector<MemberPath> paths;
    for (const ArchiveEntry &e : entries)
        paths.push_back({e.path, e.is_dir});
    if (std::optional<NameClash> both = names_windows_merges(paths))
        fail(format(_("%s and %s: %s"), both->first_name.c_str(), both->second_name.c_str(),
                    _(both->rule)));
    if (entries.empty())
        fail(_("nothing to pack: the directories are empty"));
    // The same inputs make the same archive: members in the order of their
    // archive names (a folder before what it holds), whatever order the
    // command line or the file system gave them in, and no time later than
    // the build's.
    std::sort(entries.begin(), entries.end(),
              [](const ArchiveEntry &a, const ArchiveEntry &b) { return a.path < b.path; });
    if (std::optional<int64_t> epoch = source_date_epoch())
        for (ArchiveEntry &e : entries)
            e.mtime = std::min(e.mtime, *epoch);
    return entries;
}

// An archive is decoded and verified whole before it is packed: a damaged
// one would be found only by the user, half-way through installing. It may
// sit inside a program (a self-extractor, an old installer): it is looked
// for from the end of a Windows program's image, or from the start, and
// only the archive is packed.
std::vector<ArchiveEntry> import_archive(const std::string &path, const Options &o)
{
    uint64_t size = regular_file_size(path);
    File f = open_at(path);
    int64_t at = 0;
    bool solid = false;
    if (lzh_is_program(f.get(), path.c_str())) {
        // Where the program's image ends; in a whole installer (ours or
        // another's of the same layout), where its payload's image ends.
        // Or where an AmigaOS program's overlay table points.
        int64_t inner = pe_file_image_end(f.get(), PAYLOAD_OFFSET);
        int64_t places[2 + LZH_OVERLAY_PLACES] = {pe_file_image_end(f.get(), 0),
                                                  inner ? PAYLOAD_OFFSET + inner : 0};
        int n = 2 + lzh_amiga_overlay_places(f.get(), places + 2, LZH_OVERLAY_PLACES);
        // A whole installer with a solid payload: its archive is the
        // stream's content, decoded and verified whole first.
        solid = places[1] > 0 && plat_seek(f.get(), places[1], SEEK_SET) == 0 &&
                solid_at(f.get());
        at = solid ? places[1]
                   : lzh_locate_archive(f.get(), places, n, int64_t(size), lzh_find_archive,
                                        cp932_is_lead_byte);
        if (at == -2)
            fail(path + ": " + _("read error"));
        if (at < 0)
            fail(format(_("%s: a program with no LHA archive in the %u MiB searched after its "
                          "image"),
                        path.c_str(), unsigned(LZH_FIND_LIMIT >> 20)));
    }
    if (plat_seek(f.get(), at, SEEK_SET) != 0)
        fail_errno(path);
    std::optional<SolidSpool> decoded;
    if (solid)
        decoded = decode_solid(f.get(), path);
    Import im;
    // A solid payload compresses the members' own bytes: none is kept
    // encoded. Nor is one of a stream, which has no place in the file.
    im.recompress = o.recompress || o.solid || solid;
    im.mtime = stored_time(path_from_native(path));
    const uint64_t end = solid ? decoded->archive : size;
    ArchiveSummary sum = scan_archive(solid ? decoded->spool.get() : f.get(), end, path,
                                      Scan::VERIFY, &im);
    // No reader looks past the end mark: what follows it (a CP/M file's
    // padding to its 128-byte records, a program's own data) is no part of
    // the archive, and is left out.
    if (solid)
        note(format(_("%s: the archive in the LZMA stream at bytes %lld to %llu is packed, "
                      "without the program around it"),
                    path.c_str(), (long long)at, (unsigned long long)(at + decoded->stream)));
    else if (at > 0)
        note(format(_("%s: the archive at bytes %lld to %llu is packed, without the program "
                      "around it"),
                    path.c_str(), (long long)at, (unsigned long long)sum.end));
    if ((solid || at == 0) && sum.end != end)
        note(format(_("%s: the %llu bytes after the archive's end mark (at byte %llu) are not "
                      "packed"),
                    path.c_str(), (unsigned long long)(end - sum.end),
                    (unsigned long long)sum.end));
    if (im.rooted > 0)
        note(format(trn("%s: %u name had a root, dropped as LHA tools unpack them (%s)",
                        "%s: %u names had a root, dropped as LHA tools unpack them (%s)",
                        im.rooted),
                    path.c_str(), im.rooted, im.first_rooted.c_str()));
    if (im.trimmed > 0)
        note(format(trn("%s: %u name ended in dots or spaces, which Windows drops; packed "
                        "without them (\"%s\")",
                        "%s: %u names ended in dots or spaces, which Windows drops; packed "
                        "without them (\"%s\")",
                        im.trimmed),
                    path.c_str(), im.trimmed, im.first_trimmed.c_str()));
    if (im.no_end_mark)
        note(format(_("%s: no end mark: the file ends after its member %u, where LHA tools end "
                      "it too (if the file was cut short, members are missing)"),
                    path.c_str(), sum.files + sum.dirs));
    auto count = [&](ArchiveEntry::From from) {
        return unsigned(std::count_if(im.entries.begin(), im.entries.end(),
                                      [&](const ArchiveEntry &e) { return e.from == from; }));
    };
    note(format(trn("%s: an archive of %llu bytes, with %u file: kept as they are %u, encoded "
                    "again with %s %u",
                    "%s: an archive of %llu bytes, with %u files: kept as they are %u, encoded "
                    "again with %s %u",
                    sum.files),
                path.c_str(), (unsigned long long)(sum.end - at), sum.files,
                count(ArchiveEntry::From::KEPT), method_name(o.window_bits),
                count(ArchiveEntry::From::SPOOLED)));
    if (std::optional<int64_t> epoch = source_date_epoch())
        for (ArchiveEntry &e : im.entries)
            e.mtime = std::min(e.mtime, *epoch);
    return im.entries;
}

// A payload of the publisher's own must be a whole Windows program: the stub
// runs it as "tmp.exe", and anything else fails on the user's machine.
void check_payload_program(const std::string &path)
{
    uint64_t size = regular_file_size(path);
    if (size == 0)
        fail(path + ": " + _("payload is empty"));
    uint32_t end = image_end(read_file(path, 0, PE_HEAD_SIZE));
    if (end == 0)
        fail(path + ": " + _("payload is not a Windows program"));
    if (end > size)
        fail(format(_("%s: payload is cut short: its program needs %u bytes, the file has %llu"),
                    path.c_str(), unsigned(end), (unsigned long long)size));
}

