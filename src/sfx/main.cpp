// The self-extractor: unpacks the LZH archive appended to its own file into
// the current directory. Run with no arguments, as the installer stub runs
// it; given a file, it unpacks the archive in that file instead (the one
// after its executable image, if it is an executable), for tests and tools.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "../image/pe.h"
#include "../platform/platform.h"
#include "extract.h"

int main(int argc, char **argv)
{
    static char self[PATH_BUFFER_SIZE];
    const char *name = argc > 1 ? argv[1] : plat_module_path(self, sizeof self);
    if (name == NULL)
        name = argv[0];

    FILE *in = fopen(name, "rb");
    if (in == NULL) {
        fprintf(stderr, "%s: %s\n", name, strerror(errno));
        return 1;
    }
    setvbuf(in, NULL, _IOFBF, 64 * 1024);
    int64_t start = pe_file_image_end(in);
    if (start == 0 && argc == 1) {
        fprintf(stderr, "%s: cannot find the end of this program's image\n", name);
        return 1;
    }
    if (plat_seek(in, start, SEEK_SET) != 0) {
        fprintf(stderr, "%s: %s\n", name, strerror(errno));
        return 1;
    }
    int status = extract_archive(in, stdout, stderr);
    fclose(in);
    if (fflush(stdout) != 0)
        status = 1;
    return status;
}
