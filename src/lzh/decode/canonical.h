// Canonical Huffman codes as the LZH family writes them: lengths of at most
// 16 bits, codes taken in order of length, then of symbol, most significant
// bit first. Shared by the static-Huffman blocks and PMarc's trees.
#ifndef LZH_CANONICAL_H
#define LZH_CANONICAL_H

#include "decoder.h"
#include "../format.h"

enum { LZH_CODE_FAST_MAX = 12 };

// A canonical Huffman code: a table indexed by the next `fast` bits settles
// most symbols at once; longer codes fall to a search by length.
enum { NO_CODE = 0xFFFF, LONG_CODE = 0xFFFE };

struct Code {
    int fast;
    uint16_t table[1 << LZH_CODE_FAST_MAX];  // (symbol << 5) | length, or a marker
    uint16_t first[17], count[17], offset[17];
    uint16_t sorted[LZH_NC];  // the largest alphabet
};

// Builds the decoding tables from code lengths (0 = unused symbol). An
// over-subscribed set of lengths is corrupt (-1); an incomplete one is
// accepted and only its unused codes are errors. fast is at most
// LZH_CODE_FAST_MAX.
int lzh_code_build(struct Code *code, int nsym, const unsigned char *len, int fast);

// A code of one symbol, which takes no bits at all.
void lzh_code_single(struct Code *code, int symbol, int fast);

// The first table's entry for the bits of acc: (symbol << 5) | length, or
// LONG_CODE or NO_CODE.
static inline unsigned lzh_code_entry(uint64_t acc, const struct Code *code)
{
    return code->table[acc >> (64 - code->fast)];
}

// The symbol whose code starts the bits of acc (left-aligned, at least 16
// of them valid), and its length in *len; -1 for a code that was never
// assigned.
static inline int lzh_code_peek(uint64_t acc, const struct Code *code, int *len)
{
    unsigned e = lzh_code_entry(acc, code);
    if (e < LONG_CODE) {
        *len = (int)(e & 31);
        return (int)(e >> 5);
    }
    if (e == NO_CODE)
        return -1;
    unsigned bits16 = (unsigned)(acc >> 48);
    for (int l = code->fast + 1; l <= LZH_MAX_CODE_LEN; l++) {
        unsigned v = bits16 >> (16 - l);
        if (v - code->first[l] < code->count[l]) {
            *len = l;
            return code->sorted[code->offset[l] + v - code->first[l]];
        }
    }
    return -1;
}

// Needs at least 16 bits in acc. Takes the symbol's bits and returns it,
// or -1 (taking nothing) for a code that was never assigned.
static inline int lzh_code_decode(struct Bits *b, const struct Code *code)
{
    int len;
    int c = lzh_code_peek(b->acc, code, &len);
    if (c >= 0)
        skip(b, len);
    return c;
}


#endif
