#include "status.h"

#include <errno.h>
#include <string.h>

const char *lzh_status_text(LzhStatus s, int errnum)
{
    switch (s) {
    case LZH_OK: return "no error";
    case LZH_END: return "end of archive";
    case LZH_NO_END_MARK: return "archive ends without its end mark (truncated?)";
    case LZH_HEADER_CUT: return "archive ends inside a header";
    case LZH_BAD_CHECKSUM: return "header checksum mismatch";
    case LZH_BAD_HEADER_CRC: return "header CRC mismatch";
    case LZH_BAD_LEVEL: return "unsupported header level";
    case LZH_MALFORMED: return "malformed header";
    case LZH_NAME_TOO_LONG: return "name too long";
    case LZH_DATA_CUT: return "archive ends inside this file's data";
    case LZH_CORRUPT: return "data is corrupt";
    case LZH_BAD_CRC: return "CRC error";
    case LZH_READ_ERROR: return errnum ? strerror(errnum) : "read error";
    case LZH_WRITE_ERROR: return errnum ? strerror(errnum) : "write error";
    case LZH_UNSUPPORTED: return "unsupported method";
    case LZH_NO_MEMORY: return strerror(ENOMEM);
    }
    return "unknown archive error";
}
