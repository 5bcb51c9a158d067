// The encoder's view of its input: a buffer of three windows that slides
// by one, and two ways to find matches in it, nearest first: hash chains of
// 3-byte prefixes (for the lazy parse), and binary trees of the strings
// under each prefix's hash (for the optimal parse), which give the nearest
// distance for every length.
#ifndef LZH_MATCH_FINDER_H
#define LZH_MATCH_FINDER_H

#include <stddef.h>
#include <stdint.h>

#include "../format.h"

enum {
    LZH_MF_WINDOW = 1 << 16,  // the largest window (lh7); the buffer holds two
    LZH_MF_HASH_BITS = 16,
    // A window of history, and up to two of look-ahead before a slide.
    LZH_MF_BUFFER = 3 * LZH_MF_WINDOW,
    LZH_MF_TREE_RING = 2 * LZH_MF_WINDOW,
    LZH_MF_PRIME_DEPTH = 64,  // tree strings looked at to place a position of history
};

struct LzhMatchFinder {
    const unsigned char *src;  // the piece with its history
    size_t src_len, src_at;    // src_at: bytes of it already in win
    uint32_t max_dist;
    unsigned char win[LZH_MF_BUFFER + LZH_MAX_MATCH];
    uint32_t avail;            // bytes in win
    int32_t head[1 << LZH_MF_HASH_BITS];
    int32_t prev[LZH_MF_WINDOW];  // the previous position of the same hash, by pos % window
    // The trees: each position's smaller and larger strings, in a ring of
    // two windows (by tree_base + pos), so that a string a whole window back
    // keeps its links while pos takes its own. A tree's root is its newest
    // string, and every string is newer than those below it.
    int32_t child[2 * LZH_MF_TREE_RING];
    uint32_t tree_base;
};

// Starts on src[0 .. len), whose first `history` bytes only serve as
// history, put on the chains or, with trees, in the trees (the two are not
// mixed: they share their heads). Returns where the piece starts in win.
uint32_t lzh_mf_start(struct LzhMatchFinder *mf, const unsigned char *src, size_t len,
                      uint32_t history, int window_bits, int trees);

// Makes room for `ahead` bytes (at most a window) after pos when the input
// has them, sliding the buffer when it must; returns pos as it then is.
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

// Puts pos at the root of its tree and returns the matches met on the way
// down, each longer than the last, at the nearest distance the tree gives
// for it: at most `room`, after `depth` strings, or once one reaches `nice`
// bytes. 3-byte matches farther than far_3 are passed over. With room 0,
// only inserts.
int lzh_mf_tree_matches(struct LzhMatchFinder *mf, uint32_t pos, int depth, unsigned nice,
                        uint32_t far_3, uint16_t *lens, uint32_t *dists, int room);

#endif
