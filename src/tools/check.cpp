#include <errno.h>
#include <string.h>

#include <algorithm>

#include "authenticode.h"
#include "image/pe.h"
#include "launch/layout.h"
#include "lzh/decode/decode.h"
#include "lzh/find.h"
#include "lzh/header.h"
#include "member_names.h"
#include "names/winname.h"
#include "mkinstaller.h"
#include "platform/codepage.h"
#include "platform/platform.h"
#include "sfx/extract.h"
#include "sfx/solid.h"
#include "stub_properties.h"

// A member's path as its components, as the extractor takes them: empty
// ones and "." dropped.
static std::vector<std::string> components(const char *path)
{
    std::vector<std::string> parts;
    std::string part;
    for (const char *p = path;; p++) {
        if (*p == LZH_SEP || *p == '\0') {
            if (!part.empty() && part != ".")
                parts.push_back(part);
            part.clear();
            if (*p == '\0')
                return parts;
        } else {
            part += *p;
        }
    }
}

// LHA tools unpack a name with a root inside the folder they unpack to: a
// leading separator, a drive letter ("C:") or a volume name ("Work:") is
// dropped. Returns what was dropped, or nothing. (':' is below every trail
// byte of Shift_JIS, so it is always a character of its own.)
static std::string drop_root(bool leading_separator, std::vector<std::string> &parts)
{
    std::string root = leading_separator ? "\\" : "";
    if (!parts.empty() && parts[0].find(':') != std::string::npos) {
        size_t colon = parts[0].find(':');
        root = parts[0].substr(0, colon + 1) + root;
        parts[0].erase(0, colon + 1);
        if (parts[0].empty())
            parts.erase(parts.begin());
    }
    return root;
}

// Windows tools keep the path in UTF-16 too (folders and name apart, U+FFFF
// between folders), which holds what their code page could not. Where it
// covers every part the path has, it is the name: the path in UTF-16, with
// U+FFFF for every separator.
static std::optional<std::u16string> wide_path(const LzhMember &m,
                                               const std::vector<std::string> &parts)
{
    bool has_folders = m.is_dir ? !parts.empty() : parts.size() > 1;
    bool has_name = !m.is_dir && !parts.empty();
    if ((!m.wide_file.present && !m.wide_dir.present) || (has_folders && !m.wide_dir.present) ||
        (has_name && !m.wide_file.present))
        return std::nullopt;
    std::u16string path;
    for (const LzhWideName *w : {&m.wide_dir, &m.wide_file}) {
        if (!path.empty() && path.back() != u'\uFFFF' && w->length >= 2)
            path += u'\uFFFF';
        for (size_t i = 0; i + 1 < w->length; i += 2) {
            char16_t u = char16_t(w->bytes[i] | w->bytes[i + 1] << 8);
            path += u == u'/' || u == u'\\' ? u'\uFFFF' : u;
        }
    }
    return path;
}

// The components of a UTF-16 path, in code page 932; one it can't hold is
// refused.
static std::vector<std::string> wide_components(const LzhMember &m, const std::u16string &path,
                                                const std::string &at)
{
    std::vector<std::string> parts;
    std::u16string part;
    for (size_t i = 0; i <= path.size(); i++) {
        if (i < path.size() && path[i] != u'\uFFFF') {
            part += path[i];
            continue;
        }
        if (!part.empty() && part != u".") {
            std::optional<std::string> name = archive_name_from_utf16(part);
            if (!name)
                fail(format(_("%s (%s): refused: its Unicode name has characters that code "
                              "page 932 lacks"),
                            at.c_str(), to_display_name(m.path).c_str()));
            parts.push_back(*name);
        }
        part.clear();
    }
    return parts;
}

// Windows drops the dots and spaces that end a name ("GPL-2." is "GPL-2"),
// so an import names the file as it will be, and says so; "." and "..", and
// a name of nothing else, are left for the rules to refuse. (Dots and
// spaces are below every trail byte of Shift_JIS.) Returns the first part
// that changed, as it was, or nothing.
static std::optional<std::string> drop_trailing_dots(std::vector<std::string> &parts)
{
    std::optional<std::string> first;
    for (std::string &part : parts) {
        size_t keep = part.find_last_not_of(". ");
        if (part == "." || part == ".." || keep == std::string::npos || keep + 1 == part.size())
            continue;
        if (!first)
            first = part;
        part.erase(keep + 1);
    }
    return first;
}

static int discard(void *, const unsigned char *, size_t)
{
    return 0;
}

static int to_spool(void *spool, const unsigned char *p, size_t n)
{
    return static_cast<Spool *>(spool)->append(p, n) ? 0 : -1;
}

// A member of another archive, as the packer writes it again: as it was,
// or its data spooled to be encoded again. Returns where its decoded data
// go.
static Spool *import_member(Import &im, const LzhMember &m, const LzhMethod *method,
                            const std::vector<std::string> &parts, const std::string &what,
                            uint64_t data_at)
{
    ArchiveEntry e;
    e.source = what;
    e.path = parts;
    e.is_dir = m.is_dir != 0;
    e.mtime = m.has_mtime ? std::clamp<int64_t>(m.mtime, 0, 0xFFFFFFFF) : im.mtime;
    e.original = m.original;
    Spool *spool = nullptr;
    if (e.is_dir) {
        if (parts.empty())
            return nullptr;  // the folder unpacked to
    } else if (method->packer_writes && !im.recompress) {
        e.from = ArchiveEntry::From::KEPT;
        e.data_at = data_at;
        e.packed = m.packed;
        e.crc = m.crc;
        e.kept_bits = method->window_bits;
    } else {
        if (!im.spool)
            im.spool = std::make_shared<Spool>();
        e.from = ArchiveEntry::From::SPOOLED;
        e.spool = im.spool;
        e.data_at = im.spool->size();
        spool = im.spool.get();
    }
    im.entries.push_back(e);
    return spool;
}

// Walks an archive that ends at byte end of f: every header read, every
// method known, every name one the extractor accepts, no size beyond the
// file, every member decoded and its CRC checked. LIST prints a line per
// member; an import takes the members, names as LHA tools unpack them.
ArchiveSummary scan_archive(FILE *f, uint64_t end, const std::string &what, Scan mode,
                            Import *import)
{
    ArchiveSummary sum;
    static LzhMember m;
    std::vector<MemberPath> paths;
    LzhInput in = lzh_file_input(f);
    for (unsigned index = 1;; index++) {
        LzhStatus hs = lzh_read_header(&in, &m, cp932_is_lead_byte);
        if (hs == LZH_END)
            break;
        // LHA tools take the end of the file for the end mark; an archive
        // written again gets one.
        if (hs == LZH_NO_END_MARK && import && index > 1) {
            import->no_end_mark = true;
            break;
        }
        std::string at = format(_("%s: member %u"), what.c_str(), index);
        if (hs != LZH_OK)
            fail(at + ": " + _(lzh_status_text(hs, errno)));
        std::vector<std::string> parts = components(m.path);
        std::string member = m.path, root;
        if (import) {
            bool leading = m.path[0] == LZH_SEP;
            if (std::optional<std::u16string> wide = wide_path(m, parts)) {
                parts = wide_components(m, *wide, at);
                leading = !wide->empty() && (*wide)[0] == u'\uFFFF';
            }
            root = drop_root(leading, parts);
            std::optional<std::string> trimmed = drop_trailing_dots(parts);
            if (trimmed && import->trimmed++ == 0)
                import->first_trimmed = to_display_name(*trimmed);
            member.clear();
            for (const std::string &part : parts)
                member += (member.empty() ? "" : std::string(1, LZH_SEP)) + part;
        }
        char rel[LZH_PATH_MAX];
        if (safe_relative_path(member.c_str(), '/', rel, sizeof rel) != 0)
            fail(format(_("%s: refused: not a plain name inside the install folder"), at.c_str()));
        std::string name = to_display_name(rel);
        if (import && !root.empty() && import->rooted++ == 0)
            import->first_rooted = format(_("\"%s\" of %s"), to_display_name(root).c_str(),
                                          name.c_str());
        for (const std::string &part : parts)
            if (std::optional<std::string> why = unassigned_problem(part))
                fail(format(_("%s (%s): refused: %s"), at.c_str(), name.c_str(), why->c_str()));
        if (import && !parts.empty())
            // Split at every separator already: no source spelling to check.
            if (std::optional<std::string> why =
                    member_name_problem(std::vector<std::string>(parts.size()), parts))
                fail(format(_("%s (%s): can't be installed: %s"), at.c_str(), name.c_str(),
                            why->c_str()));
        if (import && !parts.empty())
            if (std::optional<std::string> warning = member_path_warning(parts))
                note(format("%s (%s): %s", at.c_str(), name.c_str(), warning->c_str()));
        if (import && !m.is_dir && parts.empty())
            fail(format(_("%s: refused: a file with no name"), at.c_str()));
        paths.push_back({parts, m.is_dir != 0});
        const LzhMethod *method = lzh_method(m.method);
        if (!m.is_dir && method == NULL)
            fail(format(_("%s (%s): unsupported method %s"), at.c_str(), name.c_str(), m.method));
        int64_t here = in.pos;
        if (here < 0 || uint64_t(here) > end || m.packed > end - uint64_t(here))
            fail(at + " (" + name + "): " + _(lzh_status_text(LZH_DATA_CUT, 0)));
        Spool *spool = import ? import_member(*import, m, method, parts, what, uint64_t(here))
                              : nullptr;
        if (m.is_dir) {
            if (lzh_skip(&in, m.packed) != 0)
                fail_errno(what);
            sum.dirs++;
            if (mode == Scan::LIST)
                show(stdout, format("  %-5s %10s    %10s         %s/\n", m.method, "", "",
                                    name.c_str()));
            continue;
        }
        sum.files++;
        // A few bytes of a crafted archive can state gigabytes: refused
        // before they fill the temporary folder, not after.
        uint64_t free_space;
        if (spool && plat_spool_free_space(&free_space) == 0 && m.original > free_space)
            fail(format(_("%s (%s): its %llu bytes, decoded to be encoded again, do not fit in "
                          "the %llu bytes free in the folder for temporary files"),
                        at.c_str(), name.c_str(), (unsigned long long)m.original,
                        (unsigned long long)free_space));
        uint16_t crc;
        errno = 0;
        LzhStatus s = lzh_decode(&in, m.packed, m.original, method, spool ? to_spool : discard,
                                 spool, &crc);
        if (s == LZH_OK && crc != m.crc)
            s = LZH_BAD_CRC;
        if (s == LZH_WRITE_ERROR)
            fail(format(_("%s (%s): the temporary file it is decoded to: %s"), at.c_str(),
                        name.c_str(), strerror(errno ? errno : EIO)));
        if (s != LZH_OK)
            fail(at + " (" + name + "): " + _(lzh_status_text(s, errno)));
        if (mode == Scan::LIST)
            show(stdout, format("  %-5s %10llu -> %10llu %5.1f%%  %s\n", m.method,
                                (unsigned long long)m.packed, (unsigned long long)m.original,
                                m.original ? 100.0 * double(m.packed) / double(m.original) : 100.0,
                                name.c_str()));
    }
    if (sum.files + sum.dirs == 0)
        fail(what + ": " + _("no members"));
    // The extractor would write the first and stop at the second.
    if (std::optional<NameClash> both = names_windows_merges(paths))
        fail(format(_("%s: members %u (%s) and %u (%s): %s; the installer would stop at the "
                      "second"),
                    what.c_str(), unsigned(both->first + 1), both->first_name.c_str(),
                    unsigned(both->second + 1), both->second_name.c_str(), _(both->rule)));
    if (in.pos < 0)
        fail_errno(what);
    sum.end = uint64_t(in.pos);
    return sum;
}

// Where two byte strings first differ, as text; they are assumed to differ.
static std::string first_difference(const std::string &a, const std::string &b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        i++;
    return format(_("first difference at byte %llu"), (unsigned long long)i);
}

static PeSigning signing_of(const std::string &program)
{
    PeSigning s{};
    if (!pe_signing(reinterpret_cast<const unsigned char *>(program.data()), program.size(), &s))
        s = PeSigning{};
    return s;
}

// A program as built, with the two header fields that signing rewrites
// (the checksum and the certificate-table entry) blanked in both: a signed
// copy still counts as the same program, and any other change does not.
static void blank_signing_fields(std::string &built, std::string &seen)
{
    PeSigning s = signing_of(built);
    if (s.cert_entry_at == 0)
        return;
    for (std::string *p : {&built, &seen}) {
        if (p->size() >= s.cert_entry_at + 8) {
            p->replace(s.checksum_at, 4, 4, '\0');
            p->replace(s.cert_entry_at, 8, 8, '\0');
        }
    }
}

// The certificate table that a program's headers name, by the rule the stub
// cuts at (pe_certificate_table): the program starts at byte base of the
// file, whose signed content ends at end, and the table may start no
// earlier than from. Returns where the signed content ends: the table's
// start, or end when unsigned.
static uint64_t signed_content_end(const std::string &path, FILE *f, const std::string &head,
                                   uint64_t base, uint64_t end, uint64_t from, const char *what)
{
    int64_t table = pe_certificate_table(f, int64_t(base), int64_t(end - base), int64_t(from),
                                         reinterpret_cast<const unsigned char *>(head.data()),
                                         head.size());
    if (table == PE_UNSIGNED)
        return end;
    if (table == PE_NO_TABLE) {
        PeSigning s = signing_of(head);
        fail(format(_("%s: the %s's certificate-table entry (offset %u, %u bytes) names no "
                      "certificate table at its end"),
                    path.c_str(), _(what), unsigned(s.cert_offset), unsigned(s.cert_size)));
    }
    uint64_t at = base + uint64_t(table);
    std::string digest = check_authenticode(f, path, what, base, signing_of(head), uint64_t(table),
                                            end);
    show(stdout, format(_("  %s signed: certificate table of %llu bytes at byte %llu; its %s digest "
                          "matches the file (whether Windows trusts the signer is not checked "
                          "here)\n"),
                        _(what), (unsigned long long)(end - at), (unsigned long long)at,
                        digest.c_str()));
    return at;
}

SolidSpool decode_solid(FILE *f, const std::string &path)
{
    SolidSpool out{std::unique_ptr<FILE, int (*)(FILE *)>(plat_create_spool(), fclose), 0, 0};
    if (!out.spool)
        fail_errno(_("temporary file"));
    static SolidInput solid;
    solid_open(&solid, f);
    std::vector<unsigned char> buffer(1 << 16);
    while (size_t n = lzh_read(&solid.archive, buffer.data(), buffer.size())) {
        if (fwrite(buffer.data(), 1, n, out.spool.get()) != n)
            fail_errno(_("temporary file"));
        out.archive += n;
    }
    XzResult r = solid_close(&solid);
    if (solid.read_failed)
        fail(path + ": " + _("read error"));
    if (r == XZ_MORE)
        fail(format(_("%s: the payload's LZMA stream is cut short"), path.c_str()));
    if (r != XZ_END)
        fail(format(_("%s: the payload's LZMA stream is %s"), path.c_str(),
                    r == XZ_NO_MEMORY ? _("larger than the extractor takes")
                    : r == XZ_UNSUPPORTED ? _("of a kind the extractor does not take")
                                          : _("damaged")));
    out.stream = solid.stream;
    if (fflush(out.spool.get()) != 0 || plat_seek(out.spool.get(), 0, SEEK_SET) != 0)
        fail_errno(_("temporary file"));
    return out;
}

// A solid payload at `from`: the .xz stream decoded whole and verified,
// then its archive listed and verified. Returns the summary with `end`
// where the stream ends in the file.
static ArchiveSummary check_solid(FILE *f, const std::string &path, uint64_t from)
{
    SolidSpool decoded = decode_solid(f, path);
    show(stdout, format(_("  extractor %u bytes, LZMA stream %llu bytes, archive %llu bytes:\n"),
                        unsigned(from - PAYLOAD_OFFSET), (unsigned long long)decoded.stream,
                        (unsigned long long)decoded.archive));
    ArchiveSummary sum = scan_archive(decoded.spool.get(), decoded.archive, path, Scan::LIST);
    if (sum.end != decoded.archive)
        fail(format(_("%s: %llu bytes after the archive's end mark in the LZMA stream, which no "
                      "one reads"),
                    path.c_str(), (unsigned long long)(decoded.archive - sum.end)));
    sum.end = from + decoded.stream;
    return sum;
}

// Checks an installer without running it: the stub and the extractor are
// byte for byte the ones this tool would pack, every archive member decodes
// to its CRC, and nothing but a certificate table follows the archive. A
// payload with no archive after it is a program of the publisher's own,
// and is said to be unverified.
int check(const Options &o)
{
    const std::string &path = o.check;
    const uint64_t file_size = regular_file_size(path);
    uint64_t size = file_size;
    std::string stub_path = o.stub.empty() ? find_built("stub.exe") : o.stub;
    std::string real_stub = load_stub(stub_path);
    std::string stub = read_file(path, 0, PAYLOAD_OFFSET);
    if (stub.size() < PAYLOAD_OFFSET || image_end(stub) == 0 || image_end(stub) > PAYLOAD_OFFSET)
        fail(format(_("%s: no installer stub of %u bytes at its start"), path.c_str(),
                    unsigned(PAYLOAD_OFFSET)));
    std::string seen_stub = stub, built_stub = real_stub;
    blank_signing_fields(built_stub, seen_stub);
    // The publisher's properties, icon and folder may differ, as the packer
    // writes them; nothing else may.
    StubPlaces changeable = stub_places(real_stub);
    blank_stub_places(changeable, built_stub);
    blank_stub_places(changeable, seen_stub);
    if (seen_stub != built_stub)
        fail(format(_("%s: the stub differs from %s (%s)"), path.c_str(), stub_path.c_str(),
                    first_difference(seen_stub, built_stub).c_str()));
    std::vector<std::string> stub_lines = describe_stub(path, stub, real_stub);
    auto show_stub = [&](uint64_t payload) {
        show(stdout, format(_("%s: stub %u bytes, payload %llu bytes\n"), path.c_str(),
                            unsigned(PAYLOAD_OFFSET), (unsigned long long)payload));
        for (const std::string &line : stub_lines)
            show(stdout, line);
    };
    File f = open_at(path);
    // What follows a signed installer's payload is its certificate table.
    size = signed_content_end(path, f.get(), stub, 0, size, PAYLOAD_OFFSET, N_("installer"));
    if (size <= PAYLOAD_OFFSET)
        fail(path + ": " + _("no payload after the stub"));
    uint64_t payload = size - PAYLOAD_OFFSET;
    uint32_t program = image_end(read_file(path, PAYLOAD_OFFSET, PE_HEAD_SIZE));

    std::string sfx_path = o.sfx.empty() ? look_for_built("sfx.exe") : o.sfx;
    std::string real_sfx = sfx_path.empty() ? "" : load_sfx(sfx_path);
    // The payload is our extractor with an archive when an archive starts
    // where our extractor would end, whatever its damaged headers say of
    // its length; or where its headers say it ends.
    // An archive further on is found too, and the extractor before it then
    // differs from ours.
    uint32_t extractor = 0;
    int64_t places[2] = {real_sfx.empty() ? 0 : int64_t(PAYLOAD_OFFSET + real_sfx.size()),
                         program == 0 ? 0 : int64_t(PAYLOAD_OFFSET + program)};
    // A solid payload (an .xz stream) where our extractor ends.
    bool solid = places[0] > 0 && plat_seek(f.get(), places[0], SEEK_SET) == 0 &&
                 solid_at(f.get());
    int64_t at = solid ? places[0]
                       : lzh_locate_archive(f.get(), places, 2, int64_t(size), NULL,
                                            cp932_is_lead_byte);
    if (at == -2)
        fail(path + ": " + _("read error"));
    if (at > int64_t(PAYLOAD_OFFSET))
        extractor = uint32_t(at - int64_t(PAYLOAD_OFFSET));
    if (extractor == 0) {
        if (program == 0)
            fail(path + ": " + _("the payload is not a Windows program"));
        if (program > payload)
            fail(format(_("%s: the payload is cut inside its program (%llu of %u bytes)"),
                        path.c_str(), (unsigned long long)payload, unsigned(program)));
        if (!real_sfx.empty() && program == real_sfx.size())
            fail(path + ": " + _("no archive after the extractor"));
        show_stub(payload);
        show(stdout, format(_("%s: stub OK; the payload is a program of its own, with no archive "
                              "after it: NOT verified\n"),
                            path.c_str()));
        return 0;
    }
    if (real_sfx.empty())
        find_built("sfx.exe");  // fails, saying where it looked
    std::string head = read_file(path, PAYLOAD_OFFSET, extractor);
    std::string seen_head = head;
    blank_signing_fields(real_sfx, seen_head);
    if (seen_head != real_sfx)
        fail(format(_("%s: the extractor differs from %s (%s of the payload)"), path.c_str(),
                    sfx_path.c_str(), first_difference(seen_head, real_sfx).c_str()));
    // A payload signed before it was packed ends with a table of its own.
    size = signed_content_end(path, f.get(), head, PAYLOAD_OFFSET, size, extractor, N_("payload"));
    payload = size - PAYLOAD_OFFSET;
    show_stub(payload);
    if (plat_seek(f.get(), int64_t(PAYLOAD_OFFSET + extractor), SEEK_SET) != 0)
        fail_errno(path);
    ArchiveSummary sum;
    if (solid) {
        sum = check_solid(f.get(), path, PAYLOAD_OFFSET + extractor);
    } else {
        show(stdout, format(_("  extractor %u bytes, archive %llu bytes:\n"), extractor,
                            (unsigned long long)(payload - extractor)));
        sum = scan_archive(f.get(), size, path, Scan::LIST);
    }
    // The extractor stops at the end mark: whatever follows it is lost, but
    // for the zeros that signing puts before the table to align it to 8.
    bool padding = size != file_size && size - sum.end < 8 &&
                   read_file(path, sum.end, 8).find_first_not_of('\0') >= size - sum.end;
    if (sum.end != size && !padding)
        fail(format(_("%s: %llu bytes after the archive's end mark at byte %llu, which no one "
                      "reads"),
                    path.c_str(), (unsigned long long)(size - sum.end),
                    (unsigned long long)sum.end));
    // Two counts, each with its own plural: the sentence in three parts.
    std::string files = format(trn("%u file", "%u files", sum.files), sum.files);
    std::string dirs = format(trn("%u directory", "%u directories", sum.dirs), sum.dirs);
    show(stdout, format(_("%s: OK, %s and %s, every CRC verified; stub and extractor as built\n"),
                        path.c_str(), files.c_str(), dirs.c_str()));
    return 0;
}
