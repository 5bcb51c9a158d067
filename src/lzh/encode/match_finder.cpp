#include "match_finder.h"

#include <string.h>

enum { NIL = -1, BUF_SIZE = LZH_MF_BUFFER };

static void fill(struct LzhMatchFinder *mf)
{
    size_t n = mf->src_len - mf->src_at;
    if (n > BUF_SIZE - mf->avail)
        n = BUF_SIZE - mf->avail;
    if (n > 0)
        memcpy(mf->win + mf->avail, mf->src + mf->src_at, n);
    mf->src_at += n;
    mf->avail += (uint32_t)n;
}

// Moves the newer half of the buffer down, and the chains with it.
static void slide(struct LzhMatchFinder *mf)
{
    memmove(mf->win, mf->win + LZH_MF_WINDOW, mf->avail - LZH_MF_WINDOW);
    mf->avail -= LZH_MF_WINDOW;
    for (int i = 0; i < 1 << LZH_MF_HASH_BITS; i++)
        mf->head[i] = mf->head[i] >= LZH_MF_WINDOW ? mf->head[i] - LZH_MF_WINDOW : NIL;
    for (int i = 0; i < LZH_MF_WINDOW; i++)
        mf->prev[i] = mf->prev[i] >= LZH_MF_WINDOW ? mf->prev[i] - LZH_MF_WINDOW : NIL;
    for (int i = 0; i < 2 * LZH_MF_TREE_RING; i++)
        mf->child[i] = mf->child[i] >= LZH_MF_WINDOW ? mf->child[i] - LZH_MF_WINDOW : NIL;
    mf->tree_base += LZH_MF_WINDOW;
}

static int32_t *tree_node(struct LzhMatchFinder *mf, uint32_t pos)
{
    return &mf->child[2 * ((pos + mf->tree_base) & (LZH_MF_TREE_RING - 1))];
}

// How far a and b agree from `len` on, up to limit: eight bytes at a time
// where the first differing byte is the lowest set byte of their XOR.
static inline unsigned match_length(const unsigned char *a, const unsigned char *b, unsigned len,
                                    unsigned limit)
{
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    while (len + 8 <= limit) {
        uint64_t x, y;
        memcpy(&x, a + len, 8);
        memcpy(&y, b + len, 8);
        if (x != y)
            return len + (unsigned)(__builtin_ctzll(x ^ y) >> 3);
        len += 8;
    }
#endif
    while (len < limit && a[len] == b[len])
        len++;
    return len;
}

static uint32_t hash3(const unsigned char *p)
{
    return ((p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16) * 2654435761u) >>
           (32 - LZH_MF_HASH_BITS);
}

void lzh_mf_insert(struct LzhMatchFinder *mf, uint32_t pos)
{
    if (pos + LZH_MIN_MATCH > mf->avail)
        return;
    uint32_t h = hash3(mf->win + pos);
    mf->prev[pos & (LZH_MF_WINDOW - 1)] = mf->head[h];
    mf->head[h] = (int32_t)pos;
}

uint32_t lzh_mf_start(struct LzhMatchFinder *mf, const unsigned char *src, size_t len,
                      uint32_t history, int window_bits, int trees)
{
    mf->src = src;
    mf->src_len = len;
    mf->src_at = 0;
    mf->avail = 0;
    mf->max_dist = 1u << window_bits;
    mf->tree_base = 0;
    for (int i = 0; i < 1 << LZH_MF_HASH_BITS; i++)
        mf->head[i] = NIL;
    for (int i = 0; i < LZH_MF_WINDOW; i++)
        mf->prev[i] = NIL;
    // The history joins the chains or the trees, so that the first matches
    // can reach back into it.
    fill(mf);
    for (uint32_t pos = 0; pos < history; pos++) {
        if (trees)
            lzh_mf_tree_matches(mf, pos, LZH_MF_PRIME_DEPTH, LZH_MAX_MATCH, 0, NULL, NULL, 0);
        else
            lzh_mf_insert(mf, pos);
    }
    return history;
}

uint32_t lzh_mf_ahead(struct LzhMatchFinder *mf, uint32_t pos, uint32_t ahead)
{
    if (mf->src_at < mf->src_len && mf->avail - pos < ahead) {
        // Sliding keeps a whole window before pos.
        if (pos >= 2 * LZH_MF_WINDOW) {
            slide(mf);
            pos -= LZH_MF_WINDOW;
        }
        fill(mf);
    }
    return pos;
}

int lzh_mf_matches(const struct LzhMatchFinder *mf, uint32_t pos, unsigned best, int chain,
                   uint32_t far_3, uint16_t *lens, uint32_t *dists, int room)
{
    unsigned limit = mf->avail - pos < (uint32_t)LZH_MAX_MATCH ? mf->avail - pos
                                                              : (uint32_t)LZH_MAX_MATCH;
    if (limit < LZH_MIN_MATCH)
        return 0;
    const unsigned char *here = mf->win + pos;
    int n = 0;
    // A chain only goes back in time: the link of a position a whole window
    // back is pos's own slot, rewritten by pos, and would lead forward.
    uint32_t newer = pos;
    for (int32_t cand = mf->prev[pos & (LZH_MF_WINDOW - 1)]; cand != NIL && chain-- > 0;
         cand = mf->prev[cand & (LZH_MF_WINDOW - 1)]) {
        uint32_t d = pos - (uint32_t)cand;
        if ((uint32_t)cand >= newer || d > mf->max_dist)
            break;
        newer = (uint32_t)cand;
        const unsigned char *there = mf->win + cand;
        if (there[best] != here[best] || there[0] != here[0])
            continue;
        unsigned len = match_length(there, here, 0, limit);
        if (len <= best || (len == LZH_MIN_MATCH && d > far_3))
            continue;
        best = len;
        if (n == room)
            n--;  // keep the longest: it replaces the last kept
        lens[n] = (uint16_t)len;
        dists[n] = d;
        n++;
        if (len >= limit)
            break;
    }
    return n;
}

int lzh_mf_tree_matches(struct LzhMatchFinder *mf, uint32_t pos, int depth, unsigned nice,
                        uint32_t far_3, uint16_t *lens, uint32_t *dists, int room)
{
    unsigned limit = mf->avail - pos < (uint32_t)LZH_MAX_MATCH ? mf->avail - pos
                                                              : (uint32_t)LZH_MAX_MATCH;
    if (limit < LZH_MIN_MATCH)
        return 0;
    if (nice > limit)
        nice = limit;
    const unsigned char *here = mf->win + pos;
    uint32_t h = hash3(here);
    int32_t cur = mf->head[h];
    mf->head[h] = (int32_t)pos;
    // The two links still to set: where the next string smaller than pos's
    // goes, and where the next larger one goes.
    int32_t *smaller = tree_node(mf, pos);
    int32_t *larger = smaller + 1;
    unsigned smaller_len = 0, larger_len = 0, best = LZH_MIN_MATCH - 1;
    int n = 0;
    uint32_t reach = mf->max_dist;
    for (;;) {
        if (cur == NIL || pos - (uint32_t)cur > reach || depth-- <= 0) {
            *smaller = *larger = NIL;
            return n;
        }
        const unsigned char *there = mf->win + cur;
        // Both sides agree with pos's string on the shorter of their lengths.
        unsigned len = smaller_len < larger_len ? smaller_len : larger_len;
        len = match_length(there, here, len, nice);
        int32_t *node = tree_node(mf, (uint32_t)cur);
        if (len > best && !(len == LZH_MIN_MATCH && pos - (uint32_t)cur > far_3)) {
            best = len;
            if (n < room) {
                lens[n] = (uint16_t)len;
                dists[n] = pos - (uint32_t)cur;
                n++;
            } else if (room > 0) {
                lens[n - 1] = (uint16_t)len;  // keep the longest
                dists[n - 1] = pos - (uint32_t)cur;
            }
        }
        if (len >= nice) {
            // pos's string takes cur's place, and its subtrees.
            *smaller = node[0];
            *larger = node[1];
            return n;
        }
        if (there[len] < here[len]) {
            *smaller = cur;
            smaller = &node[1];
            smaller_len = len;
            cur = *smaller;
        } else {
            *larger = cur;
            larger = &node[0];
            larger_len = len;
            cur = *larger;
        }
    }
}
