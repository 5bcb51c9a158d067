#include <string.h>

#include <algorithm>
#include <system_error>
#include <thread>

#include "mkinstaller.h"
#include "platform/codepage.h"
#include "solid.h"
#include "stub_properties.h"

// The installer is written under a temporary name beside the output and
// renamed into place once whole (TempOutput).
static void write_installer(const Options &o, const std::string &stub, const std::string &sfx,
                            const std::vector<ArchiveEntry> &entries)
try {
    TempOutput out(o.output);
    if (!o.no_stub)
        put(out.file(), stub.data(), stub.size());
    put(out.file(), sfx.data(), sfx.size());
    if (!o.payload.empty()) {
        append_file(out.file(), o.payload);
    } else {
        int threads = o.jobs ? o.jobs : int(std::max(1u, std::thread::hardware_concurrency()));
        uint64_t bytes = o.solid ? write_solid(out.file(), entries, o.best, threads, !o.quiet)
                                 : write_archive(out.file(), entries, o.window_bits, o.best,
                                                 threads, !o.quiet);
        if (!o.archive.empty())
            note(format(_("%s: the archive written is %llu bytes"), o.output.c_str(),
                        (unsigned long long)bytes));
    }
    out.write_pe_checksum();
    out.commit();
} catch (const OutputError &e) {
    fail(o.output + ": " + strerror(e.errnum));
}

static void refuse_overwriting_inputs(const Options &o, const std::vector<ArchiveEntry> &entries)
{
    std::error_code ec;
    if (!fs::exists(path_from_native(o.output), ec))
        return;
    std::vector<std::string> inputs = {o.stub, o.sfx, o.archive, o.payload, o.stub_changes.icon};
    for (const ArchiveEntry &e : entries)
        inputs.push_back(e.source);
    for (const std::string &in : inputs)
        if (!in.empty() && fs::equivalent(path_from_native(o.output), path_from_native(in), ec))
            fail(o.output + ": " + _("the output is one of the inputs"));
}

int pack(Options o)
{
    if (o.stub.empty() && !o.no_stub)
        o.stub = find_built("stub.exe");
    if (o.payload.empty() && o.sfx.empty())
        o.sfx = find_built("sfx.exe");

    std::string stub = o.no_stub ? "" : customize_stub(load_stub(o.stub), o.stub, o.stub_changes);
    std::string sfx = o.sfx.empty() ? "" : load_sfx(o.sfx);
    std::vector<ArchiveEntry> entries;
    if (!o.inputs.empty())
        entries = collect(o.inputs);
    if (!o.archive.empty())
        entries = import_archive(o.archive, o);
    if (!o.payload.empty())
        check_payload_program(o.payload);
    refuse_overwriting_inputs(o, entries);
    write_installer(o, stub, sfx, entries);
    return 0;
}

