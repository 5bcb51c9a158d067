// What the parsers share: one piece's encoding state, with its match
// finder, the open block's symbols and counts, and the bit writer.
#ifndef LZH_ENCODER_H
#define LZH_ENCODER_H

#include "block_writer.h"
#include "match_finder.h"

enum {
    LZH_SEGMENT = 4096,  // input bytes per parse of the optimal parser; blocks join them
    LZH_PENDING = 32,    // segments at most whose blocks are not yet chosen
    // An open block and a segment after it, or the pending segments.
    LZH_SYMBOL_ROOM = LZH_PENDING * LZH_SEGMENT > LZH_MAX_BLOCK + LZH_SEGMENT
                          ? LZH_PENDING * LZH_SEGMENT : LZH_MAX_BLOCK + LZH_SEGMENT,
};

struct LzhEncoder {
    struct LzhMatchFinder mf;
    struct LzhPositionCode pc;
    uint16_t sym[LZH_SYMBOL_ROOM];   // literal or length symbol
    uint16_t dist[LZH_SYMBOL_ROOM];  // distance - 1, for length symbols
    unsigned nsym;
    uint32_t c_freq[LZH_NC], p_freq[LZH_NP_MAX];
    struct LzhBitWriter w;
    unsigned char out[1 << 16];
};

// Writes the open block, and opens an empty one.
void lzh_flush_block(struct LzhEncoder *e);

static inline LzhStatus lzh_encoder_status(const struct LzhEncoder *e)
{
    return e->w.status;
}

// Parses data[history .. len), the piece, after the history before it,
// writing full blocks and leaving the last symbols in the open block: with
// best, at --best's effort, else at the default's. Fails as the sink does,
// or with LZH_NO_MEMORY.
LzhStatus lzh_parse_optimal(struct LzhEncoder *e, const unsigned char *data, size_t len,
                            uint32_t history, int window_bits, int best);

#endif
