#include <ctype.h>
#include <errno.h>
#include <stdlib.h>

#include <map>

#include "lzh/methods.h"

#include "mkinstaller.h"
#include "solid.h"

const char USAGE[] = N_(  // xgettext:no-c-format
    "usage: mkinstaller -o OUTPUT [--no-stub | --stub STUB] [STUB OPTIONS] [--sfx SFX]\n"
    "                   [-m METHOD] [--best] [-j N] [-q] FILE|DIR...\n"
    "       mkinstaller -o OUTPUT [--no-stub | --stub STUB] [STUB OPTIONS] [--sfx SFX]\n"
    "                   [-m METHOD] [--best] [-j N] [-q] [--recompress] --archive ARCHIVE\n"
    "       mkinstaller -o OUTPUT [--stub STUB] [STUB OPTIONS] --payload PROGRAM\n"
    "       mkinstaller [--stub STUB] [--sfx SFX] --check INSTALLER\n"
    "       mkinstaller --help | --version\n");

const char HELP[] = N_(  // xgettext:no-c-format (printed as it is)
    "Puts together installers for 32-bit Windows: the installer stub, which asks\n"
    "in Japanese where to install, then a payload it runs there as tmp.exe; the\n"
    "usual payload is the self-extractor with an LZH archive of the product,\n"
    "compressed whole as one LZMA stream by default.\n"
    "\n"
    "  -o OUTPUT          the installer to write (replaced only once complete)\n"
    "  FILE|DIR...        pack these: a FILE under its name, a DIR's contents\n"
    "  -m METHOD          xz (default): the whole product in one LZMA stream\n"
    "                     (solid), about half lh7's size; installing needs some\n"
    "                     64 MiB of memory (128 MiB with --best), never more than\n"
    "                     the product's size; or lh7, lh6, lh5, lh0 (stored): an\n"
    "                     LZH archive, which needs under 1 MiB; in any case\n"
    "  --best             a thorough parse: some 3% smaller, about 4 times slower\n"
    "                     (xz: a larger dictionary and a deeper search)\n"
    "  -j N               threads that compress, 1 to 64 (default: one per core)\n"
    "  -q                 no progress line (shown only when stderr is a terminal)\n"
    "  --archive ARCHIVE  pack the members of an LZH archive made by any LHA tool,\n"
    "                     in their order, each verified first; those in lh0, lh5,\n"
    "                     lh6 or lh7 are kept as they are, the others encoded\n"
    "                     again with -m (lh7 unless given); a root on names (\\, C:)\n"
    "                     is dropped. In a\n"
    "                     program (.exe or .com: a self-extractor, an old installer)\n"
    "                     the archive is looked for in the 1 MiB after its image\n"
    "  --recompress       with --archive: encode every member again with -m\n"
    "  --payload PROGRAM  run this program of your own instead of the extractor\n"
    "  --no-stub          write the extractor and archive alone (to sign for --payload)\n"
    "  --stub STUB        the stub to use (default: the one installed with this tool)\n"
    "  --sfx SFX          the extractor to use (default: likewise)\n"
    "  --check INSTALLER  check an installer without running it, and list it\n"
    "  --help             show this help\n"
    "  --version          show the version\n"
    "\n"
    "Stub options: what Windows shows of setup.exe, and where it offers to install\n"
    "  --product NAME            the product's name (file properties)\n"
    "  --product-version V       its version, 1 to 4 numbers: 2.1 or 2.1.0.7\n"
    "  --company NAME            the publisher\n"
    "  --description TEXT        what the file is (default: \"NAME Installer\", and\n"
    "                            its Japanese, in the Japanese properties)\n"
    "  --copyright TEXT          the copyright notice\n"
    "  --icon FILE.ico           the installer's icon; PNG-compressed images too\n"
    "  --default-folder NAME     offer \\NAME instead of \\grelm: one folder under\n"
    "                            the drive's root, at most 32 bytes in Shift_JIS\n"
    "  They take some 11 KiB of room in the stub: an icon of 16x16 and 32x32\n"
    "  images, or PNG-compressed ones, fits.\n"
    "\n"
    "Members are sorted by name; SOURCE_DATE_EPOCH, if set, caps their times, so\n"
    "the same inputs give the same bytes.\n"
    "\n"
    "Exit status: 0 done (or checked and sound), 1 failed (nothing is left\n"
    "half written), 2 usage error.\n");

// A method as -m takes it, in lower case: the header's name without its
// dashes.
static std::optional<int> method_bits(const std::string &name)
{
    for (int i = 0; i < LZH_METHOD_COUNT; i++)
        if (LZH_METHODS[i].packer_writes && name == std::string(LZH_METHODS[i].name + 1, 3))
            return LZH_METHODS[i].window_bits;
    return std::nullopt;
}

static std::optional<Options> usage_error(std::string *why, const std::string &what)
{
    *why = what;
    return std::nullopt;
}

std::optional<Options> parse_args(int argc, char **argv, std::string *why)
{
    Options o;
    why->clear();
    std::map<std::string, std::string *> valued = {
        {"-o", &o.output}, {"--stub", &o.stub}, {"--sfx", &o.sfx},
        {"--archive", &o.archive}, {"--payload", &o.payload}, {"--check", &o.check},
        {"-m", &o.method}, {"-j", &o.threads},
        {"--product", &o.stub_changes.properties.product},
        {"--product-version", &o.stub_changes.properties.version},
        {"--company", &o.stub_changes.properties.company},
        {"--description", &o.stub_changes.properties.description},
        {"--copyright", &o.stub_changes.properties.copyright},
        {"--icon", &o.stub_changes.icon}, {"--default-folder", &o.stub_changes.folder}};
    bool options_done = false;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        auto v = valued.find(a);
        if (!options_done && a == "--") {
            options_done = true;
        } else if (!options_done && a == "--best") {
            o.best = true;
        } else if (!options_done && a == "-q") {
            o.quiet = true;
        } else if (!options_done && a == "--recompress") {
            o.recompress = true;
        } else if (!options_done && a == "--no-stub") {
            o.no_stub = true;
        } else if (!options_done && a == "--help") {
            o.help = true;
        } else if (!options_done && a == "--version") {
            o.version = true;
        } else if (!options_done && v != valued.end()) {
            if (i + 1 >= argc || argv[i + 1][0] == '\0')
                return usage_error(why, format(_("%s needs a value"), a.c_str()));
            if (!v->second->empty())
                return usage_error(why, format(_("%s given twice"), a.c_str()));
            *v->second = argv[++i];
        } else if (!options_done && a.size() > 1 && a[0] == '-') {
            return usage_error(why, format(_("%s: no such option"), a.c_str()));
        } else {
            o.inputs.push_back(a);
        }
    }
    if (o.help || o.version)
        return argc == 2 ? std::optional<Options>(o)
                         : usage_error(why, format(_("%s goes alone"),
                                                   o.help ? "--help" : "--version"));
    int sources = !o.inputs.empty() + !o.archive.empty() + !o.payload.empty();
    // A method only means something for what this tool encodes itself.
    if ((!o.method.empty() || !o.threads.empty() || o.best) && o.inputs.empty() &&
        o.archive.empty())
        return usage_error(why, _("-m, -j and --best apply to files and folders to pack, and "
                                  "to --archive"));
    if (o.recompress && o.archive.empty())
        return usage_error(why, _("--recompress applies to --archive"));
    std::string method = o.method;
    for (char &c : method)
        c = char(tolower((unsigned char)c));
    // Files and folders are packed solid by default, where this build has
    // the encoder; an archive's members are kept as they are.
    if (method.empty())
        method = o.archive.empty() && solid_available() ? "xz" : "lh7";
    o.solid = method == "xz";
    std::optional<int> bits = o.solid ? 0 : method_bits(method);
    if (!bits)
        return usage_error(why, format(_("-m %s: no such method; lh7, lh6, lh5, lh0 or xz"),
                                       o.method.c_str()));
    o.window_bits = *bits;
    if (!o.threads.empty()) {
        char *end;
        errno = 0;
        long n = strtol(o.threads.c_str(), &end, 10);
        if (*end != '\0' || errno != 0 || n < 1 || n > JOBS_MAX)
            return usage_error(why, format(_("-j %s: the number of threads is 1 to %d"),
                                           o.threads.c_str(), int(JOBS_MAX)));
        o.jobs = int(n);
    }
    const FileProperties &props = o.stub_changes.properties;
    if (!props.version.empty() && !version_numbers(props.version))
        return usage_error(why, format(_("--product-version %s: 1 to 4 numbers of 0 to 65535, "
                                         "between dots"),
                                       props.version.c_str()));
    for (const std::string *text : {&props.product, &props.version, &props.company,
                                    &props.description, &props.copyright})
        if (!utf16_from_utf8(*text))
            return usage_error(why, format(_("%s: not UTF-8 text"), text->c_str()));
    if (!o.check.empty()) {
        if (!o.output.empty() || sources != 0 || o.no_stub || !o.stub_changes.empty())
            return usage_error(why, _("--check takes only --stub and --sfx besides"));
        return o;
    }
    if (o.output.empty())
        return usage_error(why, _("no -o OUTPUT"));
    if (sources == 0)
        return usage_error(why, _("nothing to pack: name files, --archive or --payload"));
    if (sources > 1)
        return usage_error(why, _("files, --archive and --payload: one of them only"));
    if (!o.payload.empty() && !o.sfx.empty())
        return usage_error(why, _("--payload replaces the extractor: no --sfx with it"));
    if (!o.payload.empty() && o.no_stub)
        return usage_error(why, _("--payload with --no-stub would write the program as it is"));
    if (o.no_stub && !o.stub.empty())
        return usage_error(why, _("--no-stub and --stub contradict each other"));
    if (o.no_stub && !o.stub_changes.empty())
        return usage_error(why, _("--no-stub writes no stub for the stub options to change"));
    return o;
}
