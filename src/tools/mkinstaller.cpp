// mkinstaller: puts an installer together (stub, then a payload: our
// self-extractor with an LZH archive, or a program of the publisher's own),
// and checks installers without running them.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

#include "archive_writer.h"
#include "codepage.h"
#include "member_names.h"
#include "image/pe.h"
#include "launch/layout.h"
#include "lzh/decode.h"
#include "lzh/header.h"
#include "platform/platform.h"
#include "sfx/extract.h"

namespace fs = std::filesystem;

static const char USAGE[] =
    "usage: mkinstaller -o OUTPUT [--stub STUB] [--sfx SFX] FILE|DIR...\n"
    "       mkinstaller -o OUTPUT [--stub STUB] [--sfx SFX] --archive ARCHIVE\n"
    "       mkinstaller -o OUTPUT [--stub STUB] --payload PROGRAM\n"
    "       mkinstaller [--stub STUB] [--sfx SFX] --check INSTALLER\n"
    "A FILE is stored under its own name, a DIR's contents under their names\n"
    "relative to it. STUB and SFX default to the ones built beside this tool;\n"
    "--check compares the installer's stub and extractor with them.\n";

// Failures carry their message up to main, which prints it and exits 1.
struct Failure {
    std::string message;
};

[[noreturn]] static void fail(const std::string &message)
{
    throw Failure{message};
}

[[noreturn]] static void fail_errno(const std::string &subject)
{
    fail(subject + ": " + strerror(errno));
}

struct Options {
    std::string output, stub, sfx, archive, payload, check;
    std::vector<std::string> inputs;
};

static std::optional<Options> parse_args(int argc, char **argv)
{
    Options o;
    std::map<std::string, std::string *> valued = {
        {"-o", &o.output}, {"--stub", &o.stub}, {"--sfx", &o.sfx},
        {"--archive", &o.archive}, {"--payload", &o.payload}, {"--check", &o.check}};
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto v = valued.find(a);
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && v != valued.end()) {
            if (i + 1 >= argc || !v->second->empty())
                return std::nullopt;
            *v->second = argv[++i];
            if (v->second->empty())
                return std::nullopt;
        } else if (!options_done && a.size() > 1 && a[0] == '-') {
            return std::nullopt;
        } else {
            o.inputs.push_back(a);
        }
    }
    int sources = !o.inputs.empty() + !o.archive.empty() + !o.payload.empty();
    if (!o.check.empty())
        return (o.output.empty() && sources == 0) ? std::optional<Options>(o) : std::nullopt;
    if (o.output.empty() || sources != 1 || (!o.payload.empty() && !o.sfx.empty()))
        return std::nullopt;
    return o;
}

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

// Opens a file for reading at offset, closed however the caller leaves.
static File open_at(const std::string &path, uint64_t offset = 0)
{
    File f(fopen(path.c_str(), "rb"), fclose);
    if (!f || plat_seek(f.get(), int64_t(offset), SEEK_SET) != 0)
        fail_errno(path);
    return f;
}

// The size of a regular file; devices, pipes and folders are refused, so
// that nothing is read without a known end.
static uint64_t regular_file_size(const std::string &path)
{
    std::error_code ec;
    fs::path p = path_from_native(path);
    fs::file_status st = fs::status(p, ec);
    if (ec)
        fail(path + ": " + ec.message());
    if (!fs::is_regular_file(st))
        fail(path + ": not a regular file");
    uint64_t size = fs::file_size(p, ec);
    if (ec)
        fail(path + ": " + ec.message());
    return size;
}

// Up to limit bytes of a file from offset.
static std::string read_file(const std::string &path, uint64_t offset, size_t limit)
{
    File f = open_at(path, offset);
    std::string bytes;
    char buf[1 << 16];
    size_t n;
    while (bytes.size() < limit &&
           (n = fread(buf, 1, std::min(sizeof buf, limit - bytes.size()), f.get())) > 0)
        bytes.append(buf, n);
    if (ferror(f.get()))
        fail(path + ": read error");
    return bytes;
}

// Writes to the unbuffered output, with the system's own reason on failure.
static std::string put(FILE *out, const char *p, size_t n)
{
    return plat_write(out, p, n) == 0 ? "" : "output: " + std::string(strerror(errno));
}

// Appends a whole file to out, a block at a time: archives and payloads may
// be large. Returns what went wrong, or an empty string.
static std::string append_file(FILE *out, const std::string &path)
{
    FILE *in = fopen(path.c_str(), "rb");
    if (in == NULL)
        return path + ": " + strerror(errno);
    static char buf[1 << 16];
    size_t n;
    std::string problem;
    while (problem.empty() && (n = fread(buf, 1, sizeof buf, in)) > 0)
        problem = put(out, buf, n);
    if (problem.empty() && ferror(in))
        problem = path + ": read error";
    fclose(in);
    return problem;
}

static uint32_t image_end(const std::string &bytes)
{
    return pe_image_end(reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size());
}

static fs::path own_directory()
{
    static char buf[4096];
    const char *self = plat_module_path(buf, sizeof buf);
    return self ? path_from_native(self).parent_path() : fs::current_path();
}

// A Windows program built by this project: beside this tool, or in the
// Windows build when this tool is the native one. Empty if there is none.
static std::string look_for_built(const char *name)
{
    fs::path dir = own_directory();
    std::error_code ec;
    for (const fs::path &p : {dir / name, dir / ".." / "win32" / name})
        if (fs::is_regular_file(p, ec))
            return native_from_path(p);
    return "";
}

static std::string find_built(const char *name)
{
    std::string found = look_for_built(name);
    if (!found.empty())
        return found;
    fs::path dir = own_directory();
    fail(std::string("no ") + name + " beside " + native_from_path(dir) + "; name one with --" +
         std::string(name).substr(0, std::string(name).find('.')));
}

// Our extractor is some 24 KiB; anything near this is not one.
enum { SFX_SIZE_MAX = 4 << 20 };

static std::string load_stub(const std::string &path)
{
    uint64_t size = regular_file_size(path);
    if (size != PAYLOAD_OFFSET)
        fail(path + ": stub is " + std::to_string(size) + " bytes, not the " +
             std::to_string(PAYLOAD_OFFSET) + " its payload offset needs");
    std::string stub = read_file(path, 0, PAYLOAD_OFFSET + 1);
    if (stub.size() != PAYLOAD_OFFSET)
        fail(path + ": changed while it was read");
    if (image_end(stub) == 0 || image_end(stub) > stub.size())
        fail(path + ": stub is not a Windows executable");
    return stub;
}

static std::string load_sfx(const std::string &path)
{
    uint64_t size = regular_file_size(path);
    if (size > SFX_SIZE_MAX)
        fail(path + ": " + std::to_string(size) + " bytes, too large for an extractor");
    std::string sfx = read_file(path, 0, SFX_SIZE_MAX + 1);
    uint32_t end = image_end(sfx);
    if (end == 0)
        fail(path + ": extractor is not a Windows executable");
    // It looks for its archive right after its image.
    if (end != sfx.size())
        fail(path + ": extractor has data after its image");
    return sfx;
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
    for (const fs::path &part : name) {
        std::string native = native_from_path(part);
        std::optional<std::string> converted = to_archive_name(native);
        if (native.empty() || !converted)
            fail(native_from_path(source) + ": name can't be written in the Shift_JIS code page");
        e.path.push_back(*converted);
        utf8.push_back(part.u8string());
    }
    if (std::optional<std::string> why = member_name_problem(utf8, e.path))
        fail(native_from_path(source) + ": can't be installed: " + *why);
    e.mtime = stored_time(source);
    entries.push_back(e);
}

// Packs a folder's contents in name order, following symbolic links to
// folders as to files; a link back to a folder being packed is refused.
static void walk(std::vector<ArchiveEntry> &entries, const fs::path &dir, const fs::path &rel,
                 std::vector<fs::path> &open_dirs)
{
    std::vector<fs::path> found;
    for (const auto &d : fs::directory_iterator(dir))
        found.push_back(d.path());
    std::sort(found.begin(), found.end());
    for (const fs::path &p : found) {
        std::error_code ec;
        fs::file_status st = fs::status(p, ec);
        if (ec)
            fail(native_from_path(p) + ": " + ec.message());
        if (fs::is_regular_file(st)) {
            add_entry(entries, p, rel / p.filename(), false);
        } else if (fs::is_directory(st)) {
            fs::path real = fs::canonical(p);
            for (const fs::path &o : open_dirs)
                if (o == real)
                    fail(native_from_path(p) + ": a link back to " + native_from_path(o) +
                         ", which would never end");
            add_entry(entries, p, rel / p.filename(), true);
            open_dirs.push_back(real);
            walk(entries, p, rel / p.filename(), open_dirs);
            open_dirs.pop_back();
        } else {
            fail(native_from_path(p) + ": neither a file nor a directory");
        }
    }
}

static std::vector<ArchiveEntry> collect(const std::vector<std::string> &inputs)
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
            std::vector<fs::path> open_dirs = {fs::canonical(root)};
            walk(entries, root, fs::path(), open_dirs);
        } else {
            fail(input + ": neither a file nor a directory");
        }
    }
    std::set<std::vector<std::string>> names;
    for (const ArchiveEntry &e : entries)
        if (!names.insert(e.path).second)
            fail(e.source + ": a second member named " + to_display_name(e.path.back()));
    std::vector<std::vector<std::string>> paths;
    for (const ArchiveEntry &e : entries)
        paths.push_back(e.path);
    if (std::optional<std::pair<std::string, std::string>> both = names_windows_merges(paths))
        fail(both->first + " and " + both->second + ": Windows takes these names for one file");
    if (entries.empty())
        fail("nothing to pack: the directories are empty");
    return entries;
}

struct ArchiveSummary {
    unsigned files = 0, dirs = 0;
};

enum class Scan { VERIFY, LIST };

// Walks an archive that ends at byte end of f: every header read, every
// method known, every name one the extractor accepts, no size beyond the
// file, every member decoded and its CRC checked. LIST prints a line per
// member.
static ArchiveSummary scan_archive(FILE *f, uint64_t end, const std::string &what, Scan mode)
{
    ArchiveSummary sum;
    static LzhMember m;
    for (unsigned index = 1;; index++) {
        LzhHeaderStatus hs = lzh_read_header(f, &m);
        if (hs == HDR_END)
            break;
        std::string at = what + ": member " + std::to_string(index);
        if (hs != HDR_OK)
            fail(at + ": " + (hs == HDR_READ_ERROR ? strerror(errno) : lzh_header_error(hs)));
        char rel[LZH_PATH_MAX];
        if (safe_relative_path(m.path, '/', rel, sizeof rel) != 0)
            fail(at + ": refused: not a plain name inside the install folder");
        std::string name = to_display_name(rel);
        int bits = lzh_method_bits(m.method);
        if (!m.is_dir && bits < 0)
            fail(at + " (" + name + "): unsupported method " + m.method);
        int64_t here = plat_tell(f);
        if (here < 0 || m.packed > end - uint64_t(here))
            fail(at + " (" + name + "): archive ends inside its data");
        if (m.is_dir) {
            if (plat_seek(f, int64_t(m.packed), SEEK_CUR) != 0)
                fail_errno(what);
            sum.dirs++;
            if (mode == Scan::LIST)
                printf("  %-5s %10s    %10s  %s/\n", m.method, "", "", name.c_str());
            continue;
        }
        sum.files++;
        uint16_t crc;
        errno = 0;
        LzhStatus s = lzh_decode(f, m.packed, m.original, bits,
                                 [](void *, const unsigned char *, size_t) { return 0; }, NULL, &crc);
        if (s == LZH_READ_ERROR)
            fail(at + " (" + name + "): " + strerror(errno ? errno : EIO));
        if (s != LZH_OK)
            fail(at + " (" + name + "): " +
                 (s == LZH_TRUNCATED ? "archive ends inside its data" : "data is corrupt"));
        if (crc != m.crc)
            fail(at + " (" + name + "): CRC error");
        if (mode == Scan::LIST)
            printf("  %-5s %10llu -> %10llu  %s\n", m.method, (unsigned long long)m.packed,
                   (unsigned long long)m.original, name.c_str());
    }
    if (sum.files + sum.dirs == 0)
        fail(what + ": no members");
    return sum;
}

// An archive is decoded and verified whole before it is packed: a damaged
// one would be found only by the user, half-way through installing.
static void check_archive_file(const std::string &path)
{
    uint64_t size = regular_file_size(path);
    scan_archive(open_at(path).get(), size, path, Scan::VERIFY);
}

// Writes the installer next to its final place and renames it there, so a
// failed run never leaves a half-written installer. The temporary name is
// created afresh, never taken over from a file already there.
static void write_installer(const Options &o, const std::string &stub, const std::string &sfx,
                            const std::vector<ArchiveEntry> &entries)
{
    std::string temp;
    FILE *out = NULL;
    for (int n = 0; out == NULL; n++) {
        temp = o.output + ".tmp-" + std::to_string(getpid()) + (n ? "-" + std::to_string(n) : "");
        out = plat_create_new(temp.c_str());
        if (out == NULL && (errno != EEXIST || n == 100))
            fail_errno(temp);
    }
    setvbuf(out, NULL, _IONBF, 0);
    std::string problem = put(out, stub.data(), stub.size());
    if (problem.empty())
        problem = put(out, sfx.data(), sfx.size());
    if (problem.empty()) {
        if (!o.archive.empty())
            problem = append_file(out, o.archive);
        else if (!o.payload.empty())
            problem = append_file(out, o.payload);
        else
            problem = write_archive(out, entries);
    }
    if (fclose(out) != 0 && problem.empty())
        problem = "output: " + std::string(strerror(errno));
    if (problem.empty() && plat_replace_file(temp.c_str(), o.output.c_str()) != 0)
        problem = o.output + ": " + strerror(errno);
    if (!problem.empty()) {
        remove(temp.c_str());
        fail(problem);
    }
}

static void refuse_overwriting_inputs(const Options &o, const std::vector<ArchiveEntry> &entries)
{
    std::error_code ec;
    if (!fs::exists(path_from_native(o.output), ec))
        return;
    std::vector<std::string> inputs = {o.stub, o.sfx, o.archive, o.payload};
    for (const ArchiveEntry &e : entries)
        inputs.push_back(e.source);
    for (const std::string &in : inputs)
        if (!in.empty() && fs::equivalent(path_from_native(o.output), path_from_native(in), ec))
            fail(o.output + ": the output is one of the inputs");
}

// A payload of the publisher's own must be a whole Windows program: the stub
// runs it as "tmp.exe", and anything else fails on the user's machine.
static void check_payload_program(const std::string &path)
{
    uint64_t size = regular_file_size(path);
    if (size == 0)
        fail(path + ": payload is empty");
    uint32_t end = image_end(read_file(path, 0, PE_HEAD_SIZE));
    if (end == 0)
        fail(path + ": payload is not a Windows program");
    if (end > size)
        fail(path + ": payload is cut short: its program needs " + std::to_string(end) +
             " bytes, the file has " + std::to_string(size));
}

static int pack(Options o)
{
    if (o.stub.empty())
        o.stub = find_built("stub.exe");
    if (o.payload.empty() && o.sfx.empty())
        o.sfx = find_built("sfx.exe");

    std::string stub = load_stub(o.stub);
    std::string sfx = o.sfx.empty() ? "" : load_sfx(o.sfx);
    std::vector<ArchiveEntry> entries;
    if (!o.inputs.empty())
        entries = collect(o.inputs);
    if (!o.archive.empty())
        check_archive_file(o.archive);
    if (!o.payload.empty())
        check_payload_program(o.payload);
    refuse_overwriting_inputs(o, entries);
    write_installer(o, stub, sfx, entries);
    return 0;
}

// Where two byte strings first differ, as text; they are assumed to differ.
static std::string first_difference(const std::string &a, const std::string &b)
{
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        i++;
    return "first difference at byte " + std::to_string(i);
}

// Checks an installer without running it: the stub and the extractor are
// byte for byte the ones this tool would pack, and every archive member
// decodes to its CRC. A payload of the publisher's own is taken as it is.
static int check(const Options &o)
{
    const std::string &path = o.check;
    uint64_t size = regular_file_size(path);
    std::string stub_path = o.stub.empty() ? find_built("stub.exe") : o.stub;
    std::string real_stub = load_stub(stub_path);
    std::string stub = read_file(path, 0, PAYLOAD_OFFSET);
    if (stub.size() < PAYLOAD_OFFSET || image_end(stub) == 0 || image_end(stub) > PAYLOAD_OFFSET)
        fail(path + ": no installer stub of " + std::to_string(PAYLOAD_OFFSET) + " bytes at its start");
    if (stub != real_stub)
        fail(path + ": the stub differs from " + stub_path + " (" +
             first_difference(stub, real_stub) + ")");
    if (size == PAYLOAD_OFFSET)
        fail(path + ": no payload after the stub");
    uint64_t payload = size - PAYLOAD_OFFSET;
    uint32_t program = image_end(read_file(path, PAYLOAD_OFFSET, PE_HEAD_SIZE));
    if (program == 0)
        fail(path + ": the payload is not a Windows program");
    if (program > payload)
        fail(path + ": the payload is cut inside its program (" + std::to_string(payload) +
             " of " + std::to_string(program) + " bytes)");

    std::string sfx_path = o.sfx.empty() ? look_for_built("sfx.exe") : o.sfx;
    std::string real_sfx = sfx_path.empty() ? "" : load_sfx(sfx_path);
    std::string head = read_file(path, PAYLOAD_OFFSET, program);
    // Our extractor is known by its bytes, and by an archive after it; an
    // extractor damaged in place keeps its length.
    static LzhMember m;
    File f = open_at(path, PAYLOAD_OFFSET + program);
    bool archive_follows = program < payload && lzh_read_header(f.get(), &m) == HDR_OK;
    bool ours = !real_sfx.empty() && head == real_sfx;
    if (!ours && !archive_follows && !(real_sfx.size() == program && !real_sfx.empty())) {
        printf("%s: stub %u bytes, payload %llu bytes\n", path.c_str(), unsigned(PAYLOAD_OFFSET),
               (unsigned long long)payload);
        printf("%s: OK; the payload is a program of its own, not checked further\n", path.c_str());
        return 0;
    }
    if (real_sfx.empty())
        find_built("sfx.exe");  // fails, saying where it looked
    if (!ours)
        fail(path + ": the extractor differs from " + sfx_path + " (" +
             first_difference(head, real_sfx) + " of the payload)");
    if (program == payload)
        fail(path + ": no archive after the extractor");
    printf("%s: stub %u bytes, payload %llu bytes\n", path.c_str(), unsigned(PAYLOAD_OFFSET),
           (unsigned long long)payload);
    printf("  extractor %u bytes, archive %llu bytes:\n", program,
           (unsigned long long)(payload - program));
    f = open_at(path, PAYLOAD_OFFSET + program);
    ArchiveSummary sum = scan_archive(f.get(), size, path, Scan::LIST);
    printf("%s: OK, %u file%s and %u director%s, every CRC verified; stub and extractor as built\n",
           path.c_str(), sum.files, sum.files == 1 ? "" : "s", sum.dirs,
           sum.dirs == 1 ? "y" : "ies");
    return 0;
}

int main(int argc, char **argv)
{
    std::optional<Options> o = parse_args(argc, argv);
    if (!o) {
        fputs(USAGE, stderr);
        return 2;
    }
    try {
        return o->check.empty() ? pack(*o) : check(*o);
    } catch (const Failure &f) {
        fprintf(stderr, "mkinstaller: %s\n", f.message.c_str());
    } catch (const fs::filesystem_error &e) {
        fprintf(stderr, "mkinstaller: %s\n", e.what());
    }
    return 1;
}
