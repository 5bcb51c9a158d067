// Encoding of LZH member data with the static-Huffman LZ77 methods "-lh5-",
// "-lh6-" and "-lh7-", in the block format lzh_decode reads: per block the
// symbol count, the code-length code, the literal/length code and the
// position code, then the codes themselves.
#ifndef LZH_ENCODE_H
#define LZH_ENCODE_H

#include <stdint.h>
#include <stddef.h>

#include "decode.h"
#include "status.h"

// A member is encoded in pieces of LZH_PIECE input bytes, each parsed on its
// own with the history before it, so that pieces can be encoded at once on
// several cores and joined; the result is the same however they were made.
enum { LZH_PIECE = 1 << 22 };

struct LzhPiece {
    uint64_t packed;    // whole bytes handed to the sink
    uint32_t tail;      // the bits after them, right-aligned
    int tail_bits;      // 0-7
};

// How much history the piece starting at offset gets: the window, or all
// there is before it.
size_t lzh_history(int window_bits, uint64_t offset);

// Encodes data[history .. history + n), the piece; data[0 .. history) is the
// input just before it, which matches may reach into. window_bits is 13, 15
// or 16 (lh5, lh6, lh7). With best, the parse is optimal for the block's
// own codes (slower). Reentrant. Returns LZH_OK or LZH_WRITE_ERROR.
LzhStatus lzh_encode_piece(const unsigned char *data, size_t history, size_t n,
                           int window_bits, int best, LzhSink sink, void *ctx,
                           struct LzhPiece *r);

// Joins pieces' bits into one stream: each piece's bytes, then its tail.
struct LzhJoin {
    LzhSink sink;
    void *ctx;
    LzhStatus status;
    uint32_t acc;       // bits not yet a whole byte, right-aligned
    int nacc;
    uint64_t packed;    // bytes handed to the sink
    size_t nout;
    unsigned char out[1 << 16];
};
void lzh_join_init(struct LzhJoin *j, LzhSink sink, void *ctx);
LzhStatus lzh_join_bytes(struct LzhJoin *j, const unsigned char *p, size_t n);
LzhStatus lzh_join_bits(struct LzhJoin *j, uint32_t value, int count);
LzhStatus lzh_join_finish(struct LzhJoin *j);  // 7 zero bits, then zeros to a byte

// Code lengths for freq[0..n) (n <= 510), none over 16, that still make a
// complete prefix code (the Kraft sum is exactly one) when two or more
// symbols are used. Returns how many symbols are used; with fewer than two,
// every length is 0.
int lzh_code_lengths(const uint32_t *freq, int n, unsigned char *len);

#endif
