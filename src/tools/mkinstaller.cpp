// mkinstaller: puts an installer together (stub, then a payload: our
// self-extractor with an LZH archive, or a program of the publisher's own),
// and checks installers without running them.
#include <stdio.h>

#include "mkinstaller.h"

int main(int argc, char **argv)
{
    messages_init(own_directory());
    std::string why;
    std::optional<Options> o = parse_args(argc, argv, &why);
    if (!o) {
        fprintf(stderr, "mkinstaller: %s\n", why.c_str());
        fputs(_(USAGE), stderr);
        return 2;
    }
    if (o->help) {
        fputs(_(USAGE), stdout);
        fputs("\n", stdout);
        fputs(_(HELP), stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (o->version) {
        puts("mkinstaller " GRELM_VERSION);
        return fflush(stdout) == 0 ? 0 : 1;
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
