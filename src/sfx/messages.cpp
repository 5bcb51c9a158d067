#include "messages.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "../lzh/header.h"
#include "../platform/platform.h"
#include "texts.h"

void say(FILE *f, const char *format, ...)
{
    // Room for the longest text with two paths in it.
    static char text[2 * LZH_PATH_MAX + 512];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    text[sizeof text - 1] = '\0';  // msvcrt's leaves a cut text unended
    plat_put_text(f, text);
}

const char *errno_text(int errnum)
{
    switch (errnum) {
    case ENOSPC: return TEXT_ENOSPC;
    case EACCES:
    case EPERM: return TEXT_EACCES;
    case ENOENT: return TEXT_ENOENT;
    case EROFS: return TEXT_EROFS;
    case EIO: return TEXT_EIO;
    case ENAMETOOLONG: return TEXT_ENAMETOOLONG;
    case EILSEQ: return TEXT_EILSEQ;
    case EEXIST: return TEXT_EEXIST;
    case ENOTDIR: return TEXT_ENOTDIR;
    case EISDIR: return TEXT_EISDIR;
    case EMFILE: return TEXT_EMFILE;
    case ENOMEM: return TEXT_ENOMEM;
    }
    // Rare enough to leave in the C library's words, with the number that
    // a support page can look up.
    static char other[160];
    snprintf(other, sizeof other, TEXT_OTHER_ERROR, errnum, strerror(errnum));
    return other;
}

const char *reason_text(LzhStatus s, int errnum)
{
    switch (s) {
    case LZH_OK:
    case LZH_END: break;
    case LZH_NO_END_MARK: return TEXT_NO_END_MARK;
    case LZH_HEADER_CUT: return TEXT_HEADER_CUT;
    case LZH_BAD_CHECKSUM:
    case LZH_BAD_HEADER_CRC:
    case LZH_MALFORMED: return TEXT_HEADER_DAMAGED;
    case LZH_BAD_LEVEL: return TEXT_BAD_LEVEL;
    case LZH_NAME_TOO_LONG: return TEXT_NAME_TOO_LONG;
    case LZH_DATA_CUT: return TEXT_DATA_CUT;
    case LZH_CORRUPT: return TEXT_CORRUPT;
    case LZH_BAD_CRC: return TEXT_BAD_CRC;
    case LZH_READ_ERROR: return errnum ? errno_text(errnum) : TEXT_READ_ERROR;
    case LZH_WRITE_ERROR: return errnum ? errno_text(errnum) : TEXT_WRITE_ERROR;
    case LZH_UNSUPPORTED: return TEXT_CORRUPT;  // refused, by name, before decoding
    case LZH_NO_MEMORY: return TEXT_ENOMEM;
    }
    return TEXT_CORRUPT;
}
