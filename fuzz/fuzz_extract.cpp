// Whole extractions into a scratch folder. Findings besides memory errors: a
// file or folder made outside the install folder, one whose name Windows
// would take for a device or can't hold, and a temporary file left behind.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "names/winname.h"
#include "platform/platform.h"
#include "sfx/extract.h"

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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (root.empty())
        set_up();
    if (size == 0)
        return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    LzhInput in = lzh_file_input(f);
    extract_archive(&in, sink, sink);
    fclose(f);

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
