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
    "       mkinstaller --check INSTALLER\n"
    "A FILE is stored under its own name, a DIR's contents under their names\n"
    "relative to it. STUB and SFX default to the ones built beside this tool.\n";

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
        return (o.output.empty() && sources == 0 && o.stub.empty() && o.sfx.empty())
                   ? std::optional<Options>(o) : std::nullopt;
    if (o.output.empty() || sources != 1 || (!o.payload.empty() && !o.sfx.empty()))
        return std::nullopt;
    return o;
}

using File = std::unique_ptr<FILE, int (*)(FILE *)>;

// Opens a file for reading at offset, closed however the caller leaves.
static File open_at(const std::string &path, uint64_t offset = 0)
{
    File f(fopen(path.c_str(), "rb"), fclose);
    if (!f || fseek(f.get(), long(offset), SEEK_SET) != 0)
        fail_errno(path);
    return f;
}

// Up to limit bytes of a file from offset; all of it by default.
static std::string read_file(const std::string &path, uint64_t offset = 0,
                             size_t limit = SIZE_MAX)
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
        if (fwrite(buf, 1, n, out) != n)
            problem = "output: " + std::string(strerror(errno));
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
// Windows build when this tool is the native one.
static std::string find_built(const char *name)
{
    fs::path dir = own_directory();
    for (const fs::path &p : {dir / name, dir / ".." / "win32" / name})
        if (fs::is_regular_file(p))
            return native_from_path(p);
    fail(std::string("no ") + name + " beside " + native_from_path(dir) + "; name one with --" +
         std::string(name).substr(0, std::string(name).find('.')));
}

static std::string load_stub(const std::string &path)
{
    std::string stub = read_file(path);
    if (stub.size() != PAYLOAD_OFFSET)
        fail(path + ": stub is " + std::to_string(stub.size()) + " bytes, not the " +
             std::to_string(PAYLOAD_OFFSET) + " its payload offset needs");
    if (image_end(stub) == 0 || image_end(stub) > stub.size())
        fail(path + ": stub is not a Windows executable");
    return stub;
}

static std::string load_sfx(const std::string &path)
{
    std::string sfx = read_file(path);
    uint32_t end = image_end(sfx);
    if (end == 0)
        fail(path + ": extractor is not a Windows executable");
    // It looks for its archive right after its image.
    if (end != sfx.size())
        fail(path + ": extractor has data after its image");
    return sfx;
}

static void add_entry(std::vector<ArchiveEntry> &entries, const fs::path &source,
                      const fs::path &name, bool is_dir)
{
    ArchiveEntry e;
    e.is_dir = is_dir;
    e.source = is_dir ? "" : native_from_path(source);
    for (const fs::path &part : name) {
        std::string native = native_from_path(part);
        std::optional<std::string> converted = to_archive_name(native);
        if (native.empty() || !converted)
            fail(native_from_path(source) + ": name can't be written in the Shift_JIS code page");
        e.path.push_back(*converted);
    }
    auto when = fs::last_write_time(source);
    e.mtime = std::chrono::duration_cast<std::chrono::seconds>(
                  when - fs::file_time_type::clock::now() + std::chrono::system_clock::now() -
                  std::chrono::system_clock::from_time_t(0))
                  .count();
    entries.push_back(e);
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
            std::vector<fs::path> found;
            for (const auto &d : fs::recursive_directory_iterator(root))
                found.push_back(d.path());
            std::sort(found.begin(), found.end());
            for (const fs::path &p : found) {
                bool dir = fs::is_directory(p);
                if (!dir && !fs::is_regular_file(p))
                    fail(native_from_path(p) + ": neither a file nor a directory");
                add_entry(entries, p, p.lexically_relative(root), dir);
            }
        } else {
            fail(input + ": neither a file nor a directory");
        }
    }
    std::set<std::vector<std::string>> names;
    for (const ArchiveEntry &e : entries)
        if (!names.insert(e.path).second)
            fail(e.source + ": a second member named " + to_display_name(e.path.back()));
    if (entries.empty())
        fail("nothing to pack: the directories are empty");
    return entries;
}

struct ArchiveSummary {
    unsigned files = 0, dirs = 0;
};

// Walks an archive: every header read, every method known, every name one
// the extractor accepts. With verify, every member is decoded and its CRC
// checked, and a line per member goes to stdout.
static ArchiveSummary scan_archive(FILE *f, const std::string &what, bool verify)
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
            fail(at + ": name leads outside the install folder");
        std::string name = to_display_name(rel);
        int bits = lzh_method_bits(m.method);
        if (!m.is_dir && bits < 0)
            fail(at + " (" + name + "): unsupported method " + m.method);
        if (m.is_dir) {
            sum.dirs++;
            if (fseek(f, long(m.packed), SEEK_CUR) != 0)
                fail_errno(what);
            if (verify)
                printf("  %-5s %10s    %10s  %s/\n", m.method, "", "", name.c_str());
            continue;
        }
        sum.files++;
        if (!verify) {
            if (fseek(f, long(m.packed), SEEK_CUR) != 0)
                fail_errno(what);
            continue;
        }
        uint16_t crc;
        LzhStatus s = lzh_decode(f, m.packed, m.original, bits,
                                 [](void *, const unsigned char *, size_t) { return 0; }, NULL, &crc);
        if (s != LZH_OK)
            fail(at + " (" + name + "): " +
                 (s == LZH_TRUNCATED ? "archive ends inside its data" : "data is corrupt"));
        if (crc != m.crc)
            fail(at + " (" + name + "): CRC error");
        printf("  %-5s %10llu -> %10llu  %s\n", m.method, (unsigned long long)m.packed,
               (unsigned long long)m.original, name.c_str());
    }
    if (sum.files + sum.dirs == 0)
        fail(what + ": no members");
    return sum;
}

static void check_archive_file(const std::string &path)
{
    scan_archive(open_at(path).get(), path, false);
}

// Writes the installer next to its final place and renames it there, so a
// failed run never leaves a half-written installer.
static void write_installer(const Options &o, const std::string &stub, const std::string &sfx,
                            const std::vector<ArchiveEntry> &entries)
{
    std::string temp = o.output + ".tmp-" + std::to_string(getpid());
    FILE *out = fopen(temp.c_str(), "w+b");
    if (out == NULL)
        fail_errno(temp);
    std::string problem;
    auto put = [&](const std::string &bytes) {
        if (problem.empty() && fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size())
            problem = "output: " + std::string(strerror(errno));
    };
    put(stub);
    put(sfx);
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
    if (!o.payload.empty()) {
        std::error_code ec;
        auto size = fs::file_size(path_from_native(o.payload), ec);
        if (ec)
            fail(o.payload + ": " + ec.message());
        if (size == 0)
            fail(o.payload + ": payload is empty");
    }
    refuse_overwriting_inputs(o, entries);
    write_installer(o, stub, sfx, entries);
    return 0;
}

static int check(const std::string &path)
{
    std::error_code ec;
    uint64_t size = fs::file_size(path_from_native(path), ec);
    if (ec)
        fail(path + ": " + ec.message());
    std::string stub = read_file(path, 0, PAYLOAD_OFFSET);
    if (stub.size() < PAYLOAD_OFFSET || image_end(stub) == 0 || image_end(stub) > PAYLOAD_OFFSET)
        fail(path + ": no installer stub of " + std::to_string(PAYLOAD_OFFSET) + " bytes at its start");
    if (size == PAYLOAD_OFFSET)
        fail(path + ": no payload after the stub");
    uint64_t payload = size - PAYLOAD_OFFSET;
    uint32_t program = image_end(read_file(path, PAYLOAD_OFFSET, PE_HEAD_SIZE));
    if (program == 0)
        fail(path + ": the payload is not a Windows program");
    printf("%s: stub %u bytes, payload %llu bytes\n", path.c_str(), unsigned(PAYLOAD_OFFSET),
           (unsigned long long)payload);
    if (program >= payload) {
        printf("%s: OK; the payload is a program with nothing appended, not checked further\n",
               path.c_str());
        return 0;
    }
    File f = open_at(path, PAYLOAD_OFFSET + program);
    printf("  extractor %u bytes, archive %llu bytes:\n", program,
           (unsigned long long)(payload - program));
    ArchiveSummary sum = scan_archive(f.get(), path, true);
    printf("%s: OK, %u file%s and %u director%s, every CRC verified\n", path.c_str(), sum.files,
           sum.files == 1 ? "" : "s", sum.dirs, sum.dirs == 1 ? "y" : "ies");
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
        return o->check.empty() ? pack(*o) : check(o->check);
    } catch (const Failure &f) {
        fprintf(stderr, "mkinstaller: %s\n", f.message.c_str());
    } catch (const fs::filesystem_error &e) {
        fprintf(stderr, "mkinstaller: %s\n", e.what());
    }
    return 1;
}
