#include <stdlib.h>

#include <map>

#include "mkinstaller.h"

const char USAGE[] =
    "usage: mkinstaller -o OUTPUT [--stub STUB] [--sfx SFX] [-m METHOD] [--best] [-j N]\n"
    "                   FILE|DIR...\n"
    "       mkinstaller -o OUTPUT [--stub STUB] [--sfx SFX] --archive ARCHIVE\n"
    "       mkinstaller -o OUTPUT [--stub STUB] --payload PROGRAM\n"
    "       mkinstaller [--stub STUB] [--sfx SFX] --check INSTALLER\n"
    "A FILE is stored under its own name, a DIR's contents under their names\n"
    "relative to it. STUB and SFX default to the ones built beside this tool;\n"
    "--check compares the installer's stub and extractor with them. METHOD is\n"
    "lh7 (the default), lh6, lh5 or lh0 (stored); a file that does not shrink\n"
    "is stored. --best: smaller, slower. -j: how many files to compress at once\n"
    "(default: one per core).\n";

std::optional<Options> parse_args(int argc, char **argv)
{
    Options o;
    std::map<std::string, std::string *> valued = {
        {"-o", &o.output}, {"--stub", &o.stub}, {"--sfx", &o.sfx},
        {"--archive", &o.archive}, {"--payload", &o.payload}, {"--check", &o.check},
        {"-m", &o.method}, {"-j", &o.threads}};
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto v = valued.find(a);
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && a == "--best") {
            o.best = true;
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
    // A method only means something for files this tool archives itself.
    if ((!o.method.empty() || !o.threads.empty() || o.best) && o.inputs.empty())
        return std::nullopt;
    static const std::map<std::string, int> methods = {
        {"lh0", 0}, {"lh5", 13}, {"lh6", 15}, {"lh7", 16}};
    auto m = methods.find(o.method.empty() ? "lh7" : o.method);
    if (m == methods.end())
        return std::nullopt;
    o.window_bits = m->second;
    if (!o.threads.empty()) {
        char *end;
        long n = strtol(o.threads.c_str(), &end, 10);
        if (*end != '\0' || n < 1 || n > 64)
            return std::nullopt;
        o.jobs = int(n);
    }
    if (!o.check.empty())
        return (o.output.empty() && sources == 0) ? std::optional<Options>(o) : std::nullopt;
    if (o.output.empty() || sources != 1 || (!o.payload.empty() && !o.sfx.empty()))
        return std::nullopt;
    return o;
}

