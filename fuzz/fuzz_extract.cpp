// Whole extractions into a scratch folder. Findings besides memory errors: a
// file or folder made outside the install folder, one whose name Windows
// would take for a device or can't hold, and a temporary file left behind;
// and for inputs of odd size, an archive unpacked from a solid
// payload's stream otherwise than from a file: another status, other files.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <lzma.h>

#include <filesystem>
#include <map>
#include <string>

#include "names/winname.h"
#include "platform/platform.h"
#include "sfx/extract.h"
#include "sfx/solid.h"

namespace fs = std::filesystem;

static fs::path root, inst;
static FILE *sink;

static void set_up()
{
    char tmpl[] = "/tmp/fuzz-extract-XXXXXX";
    if (mkdtemp(tmpl) == NULL)
        abort();
    root = tmpl;
    inst = root / "a" / "inst";
    fs::create_directories(inst);
    if (chdir(inst.c_str()) != 0)
        abort();
    sink = fopen("/dev/null", "wb");
    atexit([] { fs::remove_all(root); });
}

// What the install folder holds: every path, with its bytes.
static std::map<std::string, std::string> installed()
{
    std::map<std::string, std::string> files;
    for (const auto &e : fs::recursive_directory_iterator(inst)) {
        std::string bytes;
        if (e.is_regular_file()) {
            FILE *f = fopen(e.path().c_str(), "rb");
            char buf[4096];
            size_t n;
            while (f && (n = fread(buf, 1, sizeof buf, f)) > 0)
                bytes.append(buf, n);
            if (f)
                fclose(f);
        }
        files[e.path().string()] = e.is_directory() ? "<dir>" : bytes;
    }
    return files;
}

// The archive in data, compressed as the packer's solid payloads are, and
// unpacked as it is decoded. Returns the extractor's status.
static int extract_solid(const uint8_t *data, size_t size)
{
    static uint8_t stream[1 << 21];
    size_t packed = 0;
    if (size > (1 << 20) ||
        lzma_easy_buffer_encode(0, LZMA_CHECK_CRC32, NULL, data, size, stream, &packed,
                                sizeof stream) != LZMA_OK)
        abort();
    FILE *f = fmemopen(stream, packed, "rb");
    static SolidInput solid;
    solid_open(&solid, f);
    int status = extract_archive(&solid.archive, sink, sink);
    if (solid_close(&solid) != XZ_END)
        __builtin_trap();  // liblzma's stream, whole: ours reads it all
    fclose(f);
    return status;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (root.empty())
        set_up();
    if (size == 0)
        return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    LzhInput in = lzh_file_input(f);
    int status = extract_archive(&in, sink, sink);
    fclose(f);
    if (size % 2 == 1 && size <= (1 << 20)) {
        std::map<std::string, std::string> files = installed();
        for (const auto &e : fs::directory_iterator(inst))
            fs::remove_all(e.path());
        if (extract_solid(data, size) != status)
            __builtin_trap();
        // A stream finds a size past its end only when the data ends: the
        // folders of a failed member may be made by then, as where its data
        // is damaged. Empty folders, then, and only in a failed install.
        std::map<std::string, std::string> again = installed();
        for (auto it = again.begin(); status != 0 && it != again.end();)
            it = it->second == "<dir>" && !files.count(it->first) ? again.erase(it) : ++it;
        if (again != files)
            __builtin_trap();
    }

    // Nothing beside the install folder, nor above it.
    for (const fs::path &dir : {root, root / "a"})
        for (const auto &e : fs::directory_iterator(dir))
            if (e.path() != root / "a" && e.path() != inst)
                __builtin_trap();
    for (const auto &e : fs::recursive_directory_iterator(inst)) {
        std::string name = e.path().filename().string();
        if (win_name_problem(name.data(), name.size(), cp932_is_lead_byte) != NULL)
            __builtin_trap();
        if (name.rfind("~sfx", 0) == 0 && name.size() == 16)
            __builtin_trap();  // a temporary file outlived its member
    }
    for (const auto &e : fs::directory_iterator(inst))
        fs::remove_all(e.path());
    return 0;
}
