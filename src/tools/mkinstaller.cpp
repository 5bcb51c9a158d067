// mkinstaller: puts an installer together (stub, then a payload: our
// self-extractor with an LZH archive, or a program of the publisher's own),
// and checks installers without running them.
#include <stdio.h>

#include "mkinstaller.h"
#include "platform/platform.h"

int main(int argc, char **argv)
{
    // Names as the system holds them, whatever its ANSI code page lacks.
    plat_program_args(&argc, &argv);
    messages_init(own_directory());
    std::string why;
    std::optional<Options> o = parse_args(argc, argv, &why);
    if (!o) {
        show(stderr, "mkinstaller: " + why + "\n" + _(USAGE));
        return 2;
    }
    if (o->help)
        return show(stdout, std::string(_(USAGE)) + "\n" + _(HELP)) ? 0 : 1;
    if (o->version)
        return show(stdout, "mkinstaller " GRELM_VERSION "\n") ? 0 : 1;
    try {
        return o->check.empty() ? pack(*o) : check(*o);
    } catch (const Failure &f) {
        show(stderr, "mkinstaller: " + f.message + "\n");
    } catch (const fs::filesystem_error &e) {
        show(stderr, std::string("mkinstaller: ") + e.what() + "\n");
    }
    return 1;
}
