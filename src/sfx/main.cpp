// The self-extractor: unpacks the LZH archive appended to its own file into
// the current directory. Run with no arguments, as the installer stub runs
// it; given a file, it unpacks the archive in that file instead (the one
// after its executable image, if it is an executable, or the payload's in a
// whole installer), for tests and tools.
#include <errno.h>
#include <stdio.h>

#include "../image/pe.h"
#include "../launch/layout.h"
#include "../lzh/header.h"
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

// Whether an archive member's header starts at byte at.
static int archive_at(FILE *in, int64_t at)
{
    static struct LzhMember m;
    return plat_seek(in, at, SEEK_SET) == 0 &&
           lzh_read_header(in, &m, plat_is_lead_byte) == LZH_OK;
}

// Where the archive starts: after the program's image. A file given on the
// command line may be a whole installer, whose stub is followed by this
// extractor and its archive at the payload offset.
static int64_t archive_start(FILE *in, int given)
{
    int64_t start = pe_file_image_end(in, 0);
    if (!given || start == 0 || start > PAYLOAD_OFFSET || archive_at(in, start))
        return start;
    uint32_t inner = pe_file_image_end(in, PAYLOAD_OFFSET);
    return inner != 0 && archive_at(in, PAYLOAD_OFFSET + (int64_t)inner)
               ? PAYLOAD_OFFSET + (int64_t)inner : start;
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
    int64_t start = archive_start(in, argc > 1);
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
