// The end of a PE image from the start of a file.
#include <stdint.h>
#include <stdio.h>

#include "image/pe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint32_t end = pe_image_end(data, size);
    // A found image starts with its headers.
    if (end != 0 && (size < 64 || data[0] != 'M' || data[1] != 'Z'))
        __builtin_trap();
    if (size > 0) {
        FILE *f = fmemopen(const_cast<uint8_t *>(data), size, "rb");
        if (pe_file_image_end(f) != pe_image_end(data, size < PE_HEAD_SIZE ? size : PE_HEAD_SIZE))
            __builtin_trap();
        fclose(f);
    }
    return 0;
}
