// The encoder's view of its input: a buffer of two windows that slides by
// one, and hash chains of 3-byte prefixes over it, from which matches are
// taken nearest first.
#ifndef LZH_MATCH_FINDER_H
#define LZH_MATCH_FINDER_H

#include <stddef.h>
#include <stdint.h>

#include "format.h"

enum {
    LZH_MF_WINDOW = 1 << 16,  // the largest window (lh7); the buffer holds two
    LZH_MF_HASH_BITS = 16,
};

struct LzhMatchFinder {
    const unsigned char *src;  // the piece with its history
    size_t src_len, src_at;    // src_at: bytes of it already in win
    uint32_t max_dist;
    unsigned char win[2 * LZH_MF_WINDOW + LZH_MAX_MATCH];
    uint32_t avail;            // bytes in win
    int32_t head[1 << LZH_MF_HASH_BITS];
    int32_t prev[LZH_MF_WINDOW];  // the previous position of the same hash, by pos % window
};

// Starts on src[0 .. len), whose first `history` bytes only serve as
// history; returns where the piece starts in win.
uint32_t lzh_mf_start(struct LzhMatchFinder *mf, const unsigned char *src, size_t len,
                      uint32_t history, int window_bits);

// Makes room for `ahead` bytes after pos when the input has them, sliding
// the buffer when it must; returns pos as it then is.
uint32_t lzh_mf_ahead(struct LzhMatchFinder *mf, uint32_t pos, uint32_t ahead);

// Puts pos on its chain.
void lzh_mf_insert(struct LzhMatchFinder *mf, uint32_t pos);

// Walks pos's chain (at most `chain` steps) and keeps each match longer
// than the last, starting above `best`, at its nearest distance: the last
// kept is the longest. With room for only one, each replaces the one before.
// 3-byte matches farther than far_3 are passed over. Returns how many were
// kept.
int lzh_mf_matches(const struct LzhMatchFinder *mf, uint32_t pos, unsigned best, int chain,
                   uint32_t far_3, uint16_t *lens, uint32_t *dists, int room);

#endif
