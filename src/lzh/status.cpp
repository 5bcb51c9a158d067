#include "status.h"

#include <errno.h>
#include <string.h>

// Marks the texts for the packing tool's message catalog, which translates
// them where it shows them; here they stay English.
#define N_(s) s

const char *lzh_status_text(LzhStatus s, int errnum)
{
    switch (s) {
    case LZH_OK: return N_("no error");
    case LZH_END: return N_("end of archive");
    case LZH_NO_END_MARK: return N_("archive ends without its end mark (truncated?)");
    case LZH_HEADER_CUT: return N_("archive ends inside a header");
    case LZH_BAD_CHECKSUM: return N_("header checksum mismatch");
    case LZH_BAD_HEADER_CRC: return N_("header CRC mismatch");
    case LZH_BAD_LEVEL: return N_("unsupported header level");
    case LZH_MALFORMED: return N_("malformed header");
    case LZH_NAME_TOO_LONG: return N_("name too long");
    case LZH_DATA_CUT: return N_("archive ends inside this file's data");
    case LZH_CORRUPT: return N_("data is corrupt");
    case LZH_BAD_CRC: return N_("CRC error");
    case LZH_READ_ERROR: return errnum ? strerror(errnum) : N_("read error");
    case LZH_WRITE_ERROR: return errnum ? strerror(errnum) : N_("write error");
    case LZH_UNSUPPORTED: return N_("unsupported method");
    case LZH_NO_MEMORY: return strerror(ENOMEM);
    }
    return N_("unknown archive error");
}
