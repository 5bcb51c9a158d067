#include <stdlib.h>

#include <map>

#include "mkinstaller.h"

const char USAGE[] =
    "usage: mkinstaller -o OUTPUT [--no-stub] [--stub STUB] [--sfx SFX] [-m METHOD] [--best]\n"
    "                   [-j N] FILE|DIR...\n"
    "       mkinstaller -o OUTPUT [--no-stub] [--stub STUB] [--sfx SFX] --archive ARCHIVE\n"
    "       mkinstaller -o OUTPUT [--stub STUB] --payload PROGRAM\n"
    "       mkinstaller [--stub STUB] [--sfx SFX] --check INSTALLER\n"
    "       mkinstaller --help | --version\n";

const char HELP[] =
    "Puts together installers for 32-bit Windows: the installer stub, which asks\n"
    "in Japanese where to install, then a payload it runs there as tmp.exe; the\n"
    "usual payload is the self-extractor with an LZH archive of the product.\n"
    "\n"
    "  -o OUTPUT          the installer to write (replaced only once complete)\n"
    "  FILE|DIR...        pack these: a FILE under its name, a DIR's contents\n"
    "  -m METHOD          lh7 (default), lh6, lh5, or lh0 (stored)\n"
    "  --best             optimal parsing: smaller, several times slower\n"
    "  -j N               threads that compress (default: one per core)\n"
    "  --archive ARCHIVE  pack this LZH archive as it is, after the extractor\n"
    "  --payload PROGRAM  run this program of your own instead of the extractor\n"
    "  --no-stub          write the extractor and archive alone (to sign for --payload)\n"
    "  --stub STUB        the stub to use (default: the one installed with this tool)\n"
    "  --sfx SFX          the extractor to use (default: likewise)\n"
    "  --check INSTALLER  check an installer without running it, and list it\n"
    "  --help             show this help\n"
    "  --version          show the version\n"
    "\n"
    "Members are sorted by name; SOURCE_DATE_EPOCH, if set, caps their times, so\n"
    "the same inputs give the same bytes.\n"
    "\n"
    "Exit status: 0 done (or checked and sound), 1 failed (nothing is left\n"
    "half written), 2 usage error.\n";

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
        } else if (!options_done && a == "--no-stub") {
            o.no_stub = true;
        } else if (!options_done && a == "--help") {
            o.help = true;
        } else if (!options_done && a == "--version") {
            o.version = true;
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
    if (o.help || o.version)
        return argc == 2 ? std::optional<Options>(o) : std::nullopt;
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
        return (o.output.empty() && sources == 0 && !o.no_stub) ? std::optional<Options>(o)
                                                                 : std::nullopt;
    if (o.output.empty() || sources != 1 || (!o.payload.empty() && (!o.sfx.empty() || o.no_stub)))
        return std::nullopt;
    if (o.no_stub && !o.stub.empty())
        return std::nullopt;
    return o;
}

