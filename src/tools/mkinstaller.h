// mkinstaller's parts: arguments (args.cpp), files and the temporary output
// (files.cpp), the inputs (inputs.cpp), writing (pack.cpp, piece_pipeline.cpp)
// and checking (check.cpp). Every failure is a Failure thrown up to main,
// which prints it and exits 1; what was being written is removed on the way.
#ifndef MKINSTALLER_H
#define MKINSTALLER_H

#include <stdint.h>
#include <stdio.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image/resources.h"
#include "messages.h"
#include "piece_pipeline.h"

namespace fs = std::filesystem;

struct Failure {
    std::string message;
};

[[noreturn]] void fail(const std::string &message);
[[noreturn]] void fail_errno(const std::string &subject);  // subject: strerror(errno)
void note(const std::string &message);  // "mkinstaller: message" on stderr

// A write, seek or close of the output failed with errnum; whoever knows the
// output's name turns it into a Failure naming it.
struct OutputError {
    int errnum;
};
[[noreturn]] void fail_output();  // with errno

// args.cpp
// What the publisher asks of the stub (stub_properties.h): empty fields
// change nothing.
struct StubChanges {
    FileProperties properties;
    std::string icon;    // an .ico file
    std::string folder;  // "NAME" or "\NAME"
    bool empty() const { return properties.empty() && icon.empty() && folder.empty(); }
};

struct Options {
    std::string output, stub, sfx, archive, payload, check, method, threads;
    std::vector<std::string> inputs;
    StubChanges stub_changes;
    int window_bits = 16;  // of the method; 0 stores
    bool solid = false;    // -m xz: the stored archive in one .xz stream
    int jobs = 0;          // files compressed at once; 0: one per core
    bool best = false;     // the thorough parse
    bool quiet = false;    // -q: no progress line
    bool recompress = false;  // every member of --archive encoded again
    bool no_stub = false;  // write the payload alone
    bool help = false, version = false;
};
extern const char USAGE[], HELP[];
enum { JOBS_MAX = 64 };
// Nothing: a usage error, and *why says what is wrong.
std::optional<Options> parse_args(int argc, char **argv, std::string *why);

// inputs.cpp: the folder this program is in
fs::path own_directory();

// files.cpp
using File = std::unique_ptr<FILE, int (*)(FILE *)>;
File open_at(const std::string &path, uint64_t offset = 0);  // for reading
uint64_t regular_file_size(const std::string &path);         // refuses devices and pipes
std::string read_file(const std::string &path, uint64_t offset, size_t limit);
void put(FILE *out, const void *p, size_t n);                 // to the unbuffered output
void append_file(FILE *out, const std::string &path, uint64_t from = 0,
                 uint64_t length = UINT64_MAX);

// The output, written under a temporary name beside it and renamed into place
// by commit(); left any other way, or interrupted by a signal, the temporary
// file is removed, so a failed run never leaves a half-written installer nor
// touches an older one. An output that is a symbolic link is written where
// it points; one that exists and is no regular file is refused.
class TempOutput {
public:
    explicit TempOutput(const std::string &final_path);
    ~TempOutput();
    TempOutput(const TempOutput &) = delete;
    TempOutput &operator=(const TempOutput &) = delete;
    FILE *file() const { return file_; }
    // Writes the checksum of the whole file as written so far into the
    // header of the PE image it starts with, as signing tools do.
    void write_pe_checksum();
    void commit();

private:
    std::string final_, temp_;  // final_: the link's target for a link
    FILE *file_ = nullptr;
    bool done_ = false;
};

// inputs.cpp
uint32_t image_end(const std::string &bytes);  // of a PE image; 0 if none
std::string look_for_built(const char *name);  // beside this tool; empty if none
std::string find_built(const char *name);      // the same, or fails saying where it looked
std::string load_stub(const std::string &path);
std::string load_sfx(const std::string &path);
std::optional<int64_t> source_date_epoch();   // SOURCE_DATE_EPOCH, if set
std::vector<ArchiveEntry> collect(const std::vector<std::string> &inputs);  // sorted
void check_payload_program(const std::string &path);
// The members of another archive, verified, as the packer writes them again.
std::vector<ArchiveEntry> import_archive(const std::string &path, const Options &o);

// check.cpp
struct ArchiveSummary {
    unsigned files = 0, dirs = 0;
    uint64_t end = 0;  // where the end mark ends
};
enum class Scan { VERIFY, LIST };
// What an import takes from the members as scan_archive meets them.
struct Import {
    bool recompress = false;  // every member, not only those the extractor can't read
    int64_t mtime = 0;        // for members whose header has no time
    std::shared_ptr<Spool> spool;
    std::vector<ArchiveEntry> entries;
    unsigned rooted = 0;      // names that lost a root
    std::string first_rooted; // one of them, and the root, for the note
    unsigned trimmed = 0;     // names that lost trailing dots or spaces
    std::string first_trimmed;
    bool no_end_mark = false; // the file ended after a member
};
ArchiveSummary scan_archive(FILE *f, uint64_t end, const std::string &what, Scan mode,
                            Import *import = nullptr);
int check(const Options &o);
// A solid payload's archive: the .xz stream at f's position decoded whole
// into a spool (at its start), every check of the stream verified, or a
// failure saying what is wrong with it.
struct SolidSpool {
    std::unique_ptr<FILE, int (*)(FILE *)> spool;
    uint64_t stream, archive;  // bytes of the stream, and of the archive in it
};
SolidSpool decode_solid(FILE *f, const std::string &path);

// pack.cpp
int pack(Options o);

#endif
