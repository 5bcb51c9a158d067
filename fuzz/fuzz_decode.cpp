// One decoder (METHOD) over arbitrary data: the first four bytes give the
// decoded size (up to 1 MiB), the rest is the packed data.
#include <stdint.h>
#include <stdio.h>

#include "lzh/decode/decode.h"

static int discard(void *ctx, const unsigned char *, size_t n)
{
    *(uint64_t *)ctx += n;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    uint64_t original = (data[0] | (uint32_t)data[1] << 8 | (uint32_t)data[2] << 16) & 0xFFFFF;
    FILE *f = fmemopen(const_cast<uint8_t *>(data + 4), size - 4 ? size - 4 : 1, "rb");
    uint64_t got = 0;
    uint16_t crc;
    LzhInput in = lzh_file_input(f);
    LzhStatus s = lzh_decode(&in, size - 4, original, lzh_method(METHOD), discard, &got, &crc);
    // A decoder that says it is done has handed over exactly the size asked.
    if (s == LZH_OK && got != original)
        __builtin_trap();
    fclose(f);
    return 0;
}
