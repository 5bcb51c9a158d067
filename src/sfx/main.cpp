// The self-extractor: unpacks the LZH archive appended to its own file into
// the current directory. Run with no arguments, as the installer stub runs
// it; given a file, it unpacks the archive in that file instead (the one
// after its executable image, if it is an executable, or the payload's in a
// whole installer; natively also one inside another tool's self-extractor),
// for tests and tools.
#include <errno.h>
#include <stdio.h>

#include "../image/pe.h"
#include "../launch/layout.h"
#include "../lzh/find.h"
#include "../lzh/header.h"
#include "../names/winname.h"
#include "../platform/platform.h"
#include "extract.h"
#include "messages.h"
#include "solid.h"
#include "texts.h"

// The last word, after whatever went before: whether the product is there.
static int finish(int status)
{
    if (plat_put_text(stdout, status == 0 ? TEXT_COMPLETE : TEXT_INCOMPLETE) != 0)
        status = 1;
    return status;
}

// Natively, a self-extractor of another tool is searched; the Windows
// extractor only ever reads the archive after its own image, and links no
// search, nor the places another system's program names. The build chooses
// (search_all.cpp, search_none.cpp).
extern const LzhSearch SFX_SEARCH;
extern int (*const SFX_MORE_PLACES)(FILE *f, int64_t *places, int n);

// Where the archive starts: after the program's image. A file given on the
// command line may be a whole installer (its archive after the extractor
// that follows the stub), a self-extractor of another tool, or an archive.
static int64_t archive_start(FILE *in, const char *given)
{
    int64_t start = pe_file_image_end(in, 0);
    if (given == NULL || !lzh_is_program(in, given))
        return start;
    int64_t size = -1;
    if (plat_seek(in, 0, SEEK_END) == 0)
        size = plat_tell(in);
    int64_t inner = pe_file_image_end(in, PAYLOAD_OFFSET);
    int64_t places[2 + LZH_OVERLAY_PLACES] = {start, inner ? PAYLOAD_OFFSET + inner : 0};
    // A solid payload where an archive would start.
    for (int i = 0; i < 2; i++)
        if (places[i] > 0 && plat_seek(in, places[i], SEEK_SET) == 0 && solid_at(in))
            return places[i];
    int n = 2 + (SFX_MORE_PLACES ? SFX_MORE_PLACES(in, places + 2, LZH_OVERLAY_PLACES) : 0);
    int64_t at = size < 0 ? -1 : lzh_locate_archive(in, places, n, size, SFX_SEARCH,
                                                  cp932_is_lead_byte);
    // Nothing found: reading from the start says what is wrong.
    return at >= 0 ? at : start;
}

int main(int argc, char **argv)
{
    // Interrupted, it says so and ends with status 1, the file it was
    // writing removed (extract.cpp): an install the user can run again.
    plat_end_interrupted_saying(TEXT_INTERRUPTED);
    static char self[PATH_BUFFER_SIZE];
    const char *name = argc > 1 ? argv[1] : plat_own_path(self, sizeof self);
    if (name == NULL)
        name = argv[0];

    // Its own file by the system's name for it: the install folder's name
    // may hold characters code page 932 lacks.
    FILE *in = argc > 1 ? plat_open_read(name) : plat_open_own_file();
    if (in == NULL) {
        say(stderr, TEXT_REPORT, name, errno_text(errno));
        return finish(1);
    }
    setvbuf(in, NULL, _IOFBF, 64 * 1024);
    int64_t start = archive_start(in, argc > 1 ? name : NULL);
    if (start == 0 && argc == 1) {
        say(stderr, TEXT_REPORT, name, TEXT_NO_IMAGE_END);
        return finish(1);
    }
    if (plat_seek(in, start, SEEK_SET) != 0) {
        say(stderr, TEXT_REPORT, name, errno_text(errno));
        return finish(1);
    }
    // Installing: a folder under the drive's root is made the installing
    // users' own before anything is written in it.
    if (argc == 1 && protect_install_folder(stderr) != 0) {
        fclose(in);
        return finish(1);
    }
    int status;
    if (solid_at(in)) {
        // A solid payload is unpacked as it is decoded; once the archive's
        // end mark is read, the rest of the stream is read too, so that
        // its checks (the block's CRC32, the index) are all verified.
        static struct SolidInput solid;
        solid_open(&solid, in);
        solid_decode_ahead(&solid, argc > 1 ? plat_open_read(name) : plat_open_own_file());
        status = extract_archive(&solid.archive, stdout, stderr);
        enum XzResult r = solid_close(&solid);
        if (status == 0 && r != XZ_END) {
            say(stderr, TEXT_REPORT, TEXT_ARCHIVE,
                reason_text(solid.archive.error != LZH_OK ? solid.archive.error : LZH_CORRUPT, 0));
            status = 1;
        }
    } else {
        struct LzhInput archive = lzh_file_input(in);
        status = extract_archive(&archive, stdout, stderr);
    }
    fclose(in);
    return finish(status);
}
