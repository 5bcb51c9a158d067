// Member headers of every level, read one after another as the extractor
// does, until the end mark or the first error; and the search for an
// archive inside a file, which reads them from every place it might start.
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "lzh/find.h"
#include "lzh/header.h"
#include "names/winname.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    static LzhMember m;
    LzhInput in = lzh_file_input(f);
    for (int i = 0; i < 64; i++) {
        LzhStatus s = lzh_read_header(&in, &m, cp932_is_lead_byte);
        if (s != LZH_OK)
            break;
        // What the header reader promises of every member it accepts.
        if (strlen(m.path) >= sizeof m.path)
            __builtin_trap();
        if (in.pos != plat_tell(f))
            __builtin_trap();  // the input counts what it read
        if (in.pos < 0 || m.packed > size - (uint64_t)in.pos)
            break;  // the extractor's own test: damage, not a seek
        if (lzh_skip(&in, m.packed) != 0)
            break;
    }
    int64_t end = 0;
    int64_t at = lzh_find_archive(f, 0, (int64_t)size, &end, cp932_is_lead_byte);
    if (at >= 0 && (at >= (int64_t)size || end <= at || end > (int64_t)size))
        __builtin_trap();
    fclose(f);
    return 0;
}
