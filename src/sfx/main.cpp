// The self-extractor: unpacks the LZH archive appended to its own file into
// the current directory. Run with no arguments, as the installer stub runs
// it; given a file, it unpacks the archive in that file instead (the one
// after its executable image, if it is an executable), for tests and tools.
#include <errno.h>
#include <stdio.h>

#include "../image/pe.h"
#include "../platform/platform.h"
#include "extract.h"
#include "messages.h"
#include "texts.h"

// The last word, after whatever went before: whether the product is there.
static int finish(int status)
{
    fputs(status == 0 ? TEXT_COMPLETE : TEXT_INCOMPLETE, stdout);
    if (fflush(stdout) != 0)
        status = 1;
    return status;
}

int main(int argc, char **argv)
{
    static char self[PATH_BUFFER_SIZE];
    const char *name = argc > 1 ? argv[1] : plat_module_path(self, sizeof self);
    if (name == NULL)
        name = argv[0];

    FILE *in = fopen(name, "rb");
    if (in == NULL) {
        fprintf(stderr, TEXT_REPORT, name, errno_text(errno));
        return finish(1);
    }
    setvbuf(in, NULL, _IOFBF, 64 * 1024);
    int64_t start = pe_file_image_end(in);
    if (start == 0 && argc == 1) {
        fprintf(stderr, TEXT_REPORT, name, TEXT_NO_IMAGE_END);
        return finish(1);
    }
    if (plat_seek(in, start, SEEK_SET) != 0) {
        fprintf(stderr, TEXT_REPORT, name, errno_text(errno));
        return finish(1);
    }
    int status = extract_archive(in, stdout, stderr);
    fclose(in);
    return finish(status);
}
