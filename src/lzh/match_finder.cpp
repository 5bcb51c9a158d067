#include "match_finder.h"

#include <string.h>

enum { NIL = -1, BUF_SIZE = 2 * LZH_MF_WINDOW };

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
                      uint32_t history, int window_bits)
{
    mf->src = src;
    mf->src_len = len;
    mf->src_at = 0;
    mf->avail = 0;
    mf->max_dist = 1u << window_bits;
    for (int i = 0; i < 1 << LZH_MF_HASH_BITS; i++)
        mf->head[i] = NIL;
    for (int i = 0; i < LZH_MF_WINDOW; i++)
        mf->prev[i] = NIL;
    // The history joins the chains, so that the first matches can reach
    // back into it.
    fill(mf);
    for (uint32_t pos = 0; pos < history; pos++)
        lzh_mf_insert(mf, pos);
    return history;
}

uint32_t lzh_mf_ahead(struct LzhMatchFinder *mf, uint32_t pos, uint32_t ahead)
{
    if (mf->src_at < mf->src_len && mf->avail - pos < ahead) {
        if (pos >= LZH_MF_WINDOW + 1) {
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
    for (int32_t cand = mf->prev[pos & (LZH_MF_WINDOW - 1)]; cand != NIL && chain-- > 0;
         cand = mf->prev[cand & (LZH_MF_WINDOW - 1)]) {
        uint32_t d = pos - (uint32_t)cand;
        if ((uint32_t)cand >= pos || d > mf->max_dist)
            break;
        const unsigned char *there = mf->win + cand;
        if (there[best] != here[best] || there[0] != here[0])
            continue;
        unsigned len = 0;
        while (len < limit && there[len] == here[len])
            len++;
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
