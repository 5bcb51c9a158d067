#include "methods.h"

#include <string.h>

// The static-Huffman methods share one format; only the window and the
// position code differ. lh4 shares lh5's position code, whose distances
// reach past its 4 KiB window; lhx (UNLHA32) has a 512 KiB one.
const struct LzhMethod LZH_METHODS[] = {
    {"-lh0-", 0, 0, 0, 1, LZH_STORED},
    {"-lh1-", 12, 0, 0, 0, LZH_ADAPTIVE},  // LHarc 1.x
    {"-lh2-", 13, 0, 0, 0, LZH_DYNAMIC},   // LHA 2's test releases; UNLHA32 -jm5
    {"-lh3-", 13, 0, 0, 0, LZH_EARLY_STATIC},  // the same; UNLHA32 -jm6
    {"-lz4-", 0, 0, 0, 0, LZH_STORED},  // LArc's
    {"-pm0-", 0, 0, 0, 0, LZH_STORED},  // PMarc's
    {"-lh4-", 12, 14, 4, 0, LZH_STATIC_HUFFMAN},
    {"-lh5-", 13, 14, 4, 1, LZH_STATIC_HUFFMAN},
    {"-lh6-", 15, 16, 5, 1, LZH_STATIC_HUFFMAN},
    {"-lh7-", 16, 17, 5, 1, LZH_STATIC_HUFFMAN},
    {"-lhx-", 19, 20, 5, 0, LZH_STATIC_HUFFMAN},
    {"-lz5-", 12, 0, 0, 0, LZH_RING_BYTES},
    {"-lzs-", 11, 0, 0, 0, LZH_RING_BITS},
    {"-pm1-", 14, 0, 0, 0, LZH_PM1},
    {"-pm2-", 13, 0, 0, 0, LZH_PM2},
};
const int LZH_METHOD_COUNT = sizeof LZH_METHODS / sizeof LZH_METHODS[0];

const struct LzhMethod *lzh_method(const char name[5])
{
    for (int i = 0; i < LZH_METHOD_COUNT; i++)
        if (memcmp(name, LZH_METHODS[i].name, 5) == 0)
            return &LZH_METHODS[i];
    return NULL;
}

const struct LzhMethod *lzh_method_of_bits(int window_bits)
{
    for (int i = 0; i < LZH_METHOD_COUNT; i++)
        if (LZH_METHODS[i].packer_writes && LZH_METHODS[i].window_bits == window_bits)
            return &LZH_METHODS[i];
    return NULL;
}
