// Encoding of LZH member data with the static-Huffman LZ77 methods "-lh5-",
// "-lh6-" and "-lh7-", in the block format lzh_decode reads: per block the
// symbol count, the code-length code, the literal/length code and the
// position code, then the codes themselves.
#ifndef LZH_ENCODE_H
#define LZH_ENCODE_H

#include <stdint.h>
#include <stdio.h>

#include "decode.h"
#include "status.h"

struct LzhEncoded {
    uint64_t original;  // bytes read from the input
    uint64_t packed;    // bytes handed to the sink
    uint16_t crc;       // CRC-16 of the input
};

// Reads in to its end and hands the encoded data to sink, in pieces; memory
// use is fixed, whatever the size. window_bits is 13, 15 or 16 (lh5, lh6,
// lh7). With best, the parse is optimal for the block's own codes (slower).
// Reentrant: the state is allocated per call. Returns LZH_OK,
// LZH_READ_ERROR or LZH_WRITE_ERROR (errno tells why). The caller decides
// whether the result is worth keeping over storing the input as it is.
LzhStatus lzh_encode(FILE *in, int window_bits, int best, LzhSink sink, void *ctx,
                     struct LzhEncoded *r);

// Code lengths for freq[0..n) (n <= 510), none over 16, that still make a
// complete prefix code (the Kraft sum is exactly one) when two or more
// symbols are used. Returns how many symbols are used; with fewer than two,
// every length is 0.
int lzh_code_lengths(const uint32_t *freq, int n, unsigned char *len);

#endif
