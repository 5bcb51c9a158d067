#include "huffman.h"

#include <string.h>

#include "../format.h"

// Least significant digit first, a byte at a time, skipping bytes that all
// keys share: no comparisons at all, for the few hundred keys of a code that
// the parser builds thousands of times. Keys are below 2^48.
static void sort_keys(uint64_t *k, int n)
{
    uint64_t tmp[LZH_NC];
    uint64_t *from = k, *to = tmp;
    for (int shift = 0; shift < 48; shift += 8) {
        unsigned count[257] = {0};
        for (int i = 0; i < n; i++)
            count[((from[i] >> shift) & 0xFF) + 1]++;
        if (count[((from[0] >> shift) & 0xFF) + 1] == (unsigned)n)
            continue;
        for (int d = 0; d < 256; d++)
            count[d + 1] += count[d];
        for (int i = 0; i < n; i++)
            to[count[(from[i] >> shift) & 0xFF]++] = from[i];
        uint64_t *t = from;
        from = to;
        to = t;
    }
    if (from != k)
        memcpy(k, from, (size_t)n * sizeof k[0]);
}

// The depths of an optimal (unlimited) Huffman tree for weights w[0..n)
// sorted rising, computed in place (Moffat and Katajainen's method: the
// tree's inner nodes are built in the array as the leaves are consumed,
// then their depths, then the leaves' depths). n >= 2.
static void huffman_depths(uint64_t *w, int n)
{
    int root = 0, leaf = 2;
    w[0] += w[1];
    for (int next = 1; next < n - 1; next++) {
        if (leaf >= n || w[root] < w[leaf]) {
            w[next] = w[root];
            w[root++] = (uint64_t)next;
        } else {
            w[next] = w[leaf++];
        }
        if (leaf >= n || (root < next && w[root] < w[leaf])) {
            w[next] += w[root];
            w[root++] = (uint64_t)next;
        } else {
            w[next] += w[leaf++];
        }
    }
    w[n - 2] = 0;
    for (int next = n - 3; next >= 0; next--)
        w[next] = w[w[next]] + 1;
    int avail = 1, used = 0, depth = 0, next = n - 1;
    root = n - 2;
    while (avail > 0) {
        while (root >= 0 && w[root] == (uint64_t)depth) {
            used++;
            root--;
        }
        while (avail > used) {
            w[next--] = (uint64_t)depth;
            avail--;
        }
        avail = 2 * used;
        depth++;
        used = 0;
    }
}

// An optimal code whose deepest levels are folded up by the Kraft sum,
// shortest lengths to the most frequent symbols.
int lzh_code_lengths(const uint32_t *freq, int n, unsigned char *len)
{
    memset(len, 0, (size_t)n);
    // The used symbols by rising frequency; among equals the lower symbol
    // last, so that it gets the shorter code.
    uint64_t key[LZH_NC];
    int used = 0;
    for (int i = 0; i < n; i++)
        if (freq[i] > 0)
            key[used++] = (uint64_t)freq[i] << 16 | (uint64_t)(0xFFFF - i);
    if (used < 2)
        return used;
    sort_keys(key, used);

    uint64_t w[LZH_NC];
    for (int i = 0; i < used; i++)
        w[i] = key[i] >> 16;
    huffman_depths(w, used);
    int count[LZH_MAX_CODE_LEN + 1] = {0};
    for (int i = 0; i < used; i++)
        count[w[i] > LZH_MAX_CODE_LEN ? (uint64_t)LZH_MAX_CODE_LEN : w[i]]++;

    // Capping overfills the code space; take room from the longest codes
    // until the Kraft sum is exactly one again.
    uint32_t kraft = 0;
    for (int l = 1; l <= LZH_MAX_CODE_LEN; l++)
        kraft += (uint32_t)count[l] << (LZH_MAX_CODE_LEN - l);
    while (kraft > (1u << LZH_MAX_CODE_LEN)) {
        count[LZH_MAX_CODE_LEN]--;
        for (int l = LZH_MAX_CODE_LEN - 1; l > 0; l--) {
            if (count[l] > 0) {
                count[l]--;
                count[l + 1] += 2;
                break;
            }
        }
        kraft--;
    }

    // The lengths in rising order, from the most frequent symbol down.
    int at = used - 1;
    for (int l = 1; l <= LZH_MAX_CODE_LEN; l++)
        for (int c = 0; c < count[l]; c++, at--)
            len[0xFFFF - (key[at] & 0xFFFF)] = (unsigned char)l;
    return used;
}

// Canonical codes, as the decoder assigns them: by length, then by symbol.
void lzh_code_words(const unsigned char *len, int n, uint16_t *code)
{
    uint16_t count[LZH_MAX_CODE_LEN + 1] = {0}, next[LZH_MAX_CODE_LEN + 2];
    for (int i = 0; i < n; i++)
        count[len[i]]++;
    count[0] = 0;
    unsigned c = 0;
    for (int l = 1; l <= LZH_MAX_CODE_LEN; l++) {
        next[l] = (uint16_t)c;
        c = (c + count[l]) << 1;
    }
    for (int i = 0; i < n; i++)
        code[i] = len[i] ? next[len[i]]++ : 0;
}
