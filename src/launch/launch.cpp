#include "launch.h"

#include <errno.h>

#include "../image/pe.h"
#include "../platform/platform.h"
#include "layout.h"

// Block copy through the standard streams: the same bytes as a byte loop,
// without a library call per byte, and memory independent of the payload.
// The streams are left unbuffered for it: each block then goes to the system
// in one call, instead of being copied once more through a 4 KiB buffer.
static unsigned char block[COPY_BLOCK_SIZE];

static int error_or(int fallback)
{
    return errno != 0 ? errno : fallback;
}

int64_t payload_end(FILE *installer, int64_t offset)
{
    if (plat_seek(installer, 0, SEEK_SET) != 0)
        return -1;
    size_t n = fread(block, 1, PE_HEAD_SIZE, installer);
    if (plat_seek(installer, 0, SEEK_END) != 0)
        return -1;
    int64_t size = plat_tell(installer);
    int64_t table = pe_certificate_table(installer, 0, size, offset, block, n);
    return table >= 0 ? table : -1;
}

CopyResult copy_payload(FILE *installer, FILE *payload, int64_t offset, int64_t end, int *errnum)
{
    errno = 0;
    // A failed seek would copy the stub itself and run it as the payload.
    if (plat_seek(installer, offset, SEEK_SET) != 0) {
        *errnum = error_or(EIO);
        return COPY_READ_FAILED;
    }
    int64_t left = end - offset;
    for (;;) {
        size_t want = sizeof block;
        if (end >= 0 && left < (int64_t)want)
            want = (size_t)left;
        errno = 0;
        size_t n = want > 0 ? fread(block, 1, want, installer) : 0;
        if (n > 0 && plat_write(payload, block, n) != 0) {
            *errnum = error_or(EIO);
            return COPY_WRITE_FAILED;
        }
        left -= (int64_t)n;
        if (n < sizeof block) {
            if (ferror(installer)) {
                *errnum = error_or(EIO);
                return COPY_READ_FAILED;
            }
            return COPY_DONE;
        }
    }
}

int launch(const Host *h, const char *installer_path)
{
    FILE *installer = h->open_file(h->ctx, installer_path, "rb");
    if (installer == NULL) {
        error_report(h, installer_path, errno);
        return 1;
    }
    FILE *payload = h->open_file(h->ctx, TMP_NAME, "wb");
    if (payload == NULL) {
        error_report(h, TMP_NAME, errno);
        fclose(installer);
        return 1;
    }
    setvbuf(installer, NULL, _IONBF, 0);
    setvbuf(payload, NULL, _IONBF, 0);

    int errnum = 0;
    CopyResult r = copy_payload(installer, payload, PAYLOAD_OFFSET,
                                payload_end(installer, PAYLOAD_OFFSET), &errnum);
    fclose(installer);
    // Closing may flush what the system still holds: a full disk or a lost
    // network share can show only here.
    errno = 0;
    if (plat_close_written(payload) != 0 && r == COPY_DONE) {
        r = COPY_WRITE_FAILED;
        errnum = error_or(EIO);
    }
    if (r != COPY_DONE) {
        error_report(h, r == COPY_READ_FAILED ? installer_path : TMP_NAME, errnum);
        remove(TMP_NAME);
        return 1;
    }

    run_command(h, TMP_NAME);
    run_command(h, "del " TMP_NAME);
    return 0;
}
