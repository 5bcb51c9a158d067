// Member headers of every level, read one after another as the extractor
// does, until the end mark or the first error.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "lzh/header.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    static LzhMember m;
    for (int i = 0; i < 64; i++) {
        LzhStatus s = lzh_read_header(f, &m, plat_is_lead_byte);
        if (s != LZH_OK)
            break;
        // What the header reader promises of every member it accepts.
        if (strlen(m.path) >= sizeof m.path || m.packed > 0xFFFFFFFFu)
            __builtin_trap();
        int64_t here = plat_tell(f);
        if (here < 0 || m.packed > size - (uint64_t)here)
            break;  // the extractor's own test: damage, not a seek
        if (plat_seek(f, (int64_t)m.packed, SEEK_CUR) != 0)
            break;
    }
    fclose(f);
    return 0;
}
