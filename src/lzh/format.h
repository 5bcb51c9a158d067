// What the static-Huffman block format (-lh4- to -lh7-, -lhx-) fixes for
// encoder and decoder alike: the alphabets, the match lengths, how a block's
// tables are laid out, and the position code's rule.
#ifndef LZH_FORMAT_H
#define LZH_FORMAT_H

#include <stdint.h>

enum {
    LZH_NC = 510,            // literals 0-255, then match lengths 3-256
    LZH_NT = 19,             // the code-length code: 0-2 runs of zeros, then length + 2
    LZH_NP_MAX = 20,         // position symbols of the widest method (lhx)
    LZH_TBIT = 5,            // bits of the code-length code's symbol count
    LZH_CBIT = 9,            // bits of the literal/length code's symbol count
    LZH_T_SPECIAL = 3,       // after this many code-length lengths, a 2-bit count of zeros
    LZH_BLOCK_COUNT_BITS = 16,  // a block starts with its symbol count
    LZH_MAX_BLOCK = 0xFFFF,  // so a block holds at most this many symbols
    LZH_MIN_MATCH = 3,
    LZH_MAX_MATCH = 256,
    LZH_MAX_CODE_LEN = 16,
};

// A distance d (1 up) is sent as position symbol j, the bit length of d - 1,
// then the j - 1 bits of d - 1 below its top bit.
static inline int lzh_position_symbol(uint32_t dist_minus_1)
{
#if defined(__GNUC__)
    return dist_minus_1 ? 32 - __builtin_clz(dist_minus_1) : 0;
#else
    int j = 0;
    while (dist_minus_1 >> j)
        j++;
    return j;
#endif
}

static inline int lzh_position_extra_bits(int j)
{
    return j > 1 ? j - 1 : 0;
}

// dist - 1 of position symbol j with its extra bits.
static inline uint32_t lzh_position_value(int j, uint32_t extra)
{
    return j == 0 ? 0 : (1u << (j - 1)) + extra;
}

#endif
