// Encoding of LZH member data with the static-Huffman LZ77 methods "-lh5-",
// "-lh6-" and "-lh7-". The parts: the match finder (match_finder.h), the
// Huffman codes (huffman.h), the block writer that also prices blocks
// (block_writer.h), the parser at two efforts (parse_optimal.cpp), and the
// joining of pieces (join.h).
#ifndef LZH_ENCODE_H
#define LZH_ENCODE_H

#include <stdint.h>
#include <stddef.h>

#include "../decode/decode.h"
#include "join.h"
#include "../status.h"

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
// own codes (slower). Reentrant. Returns LZH_OK, LZH_UNSUPPORTED for another
// window or a history longer than it, LZH_NO_MEMORY, or LZH_WRITE_ERROR
// when the sink fails.
LzhStatus lzh_encode_piece(const unsigned char *data, size_t history, size_t n,
                           int window_bits, int best, LzhSink sink, void *ctx,
                           struct LzhPiece *r);

#endif
