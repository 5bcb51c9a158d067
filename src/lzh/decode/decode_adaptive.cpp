#include "decoder.h"

// -lh1-, LHarc 1.x's: Yoshizaki's adaptive Huffman coding (after Okumura's
// LZHUF) of 314 symbols, literals then match lengths 3-60, over a tree kept
// ordered by frequency, each decoded symbol's count raised and the tree
// rebuilt at half the counts once the root reaches MAX_FREQ; positions in a
// 4 KiB window, their upper 6 bits in a fixed prefix code and 6 bits plain.
enum { N_CHAR = 314, TREE = 2 * N_CHAR - 1, ROOT = TREE - 1, MAX_FREQ = 0x8000 };

struct Adaptive {
    uint16_t freq[TREE + 1];
    uint16_t parent[TREE + N_CHAR];  // of nodes, then of leaves (at TREE + symbol)
    uint16_t son[TREE];              // left child, or TREE + symbol for a leaf
};

static void adaptive_start(struct Adaptive *a)
{
    for (int i = 0; i < N_CHAR; i++) {
        a->freq[i] = 1;
        a->son[i] = (uint16_t)(i + TREE);
        a->parent[i + TREE] = (uint16_t)i;
    }
    for (int i = 0, j = N_CHAR; j <= ROOT; i += 2, j++) {
        a->freq[j] = (uint16_t)(a->freq[i] + a->freq[i + 1]);
        a->son[j] = (uint16_t)i;
        a->parent[i] = a->parent[i + 1] = (uint16_t)j;
    }
    a->freq[TREE] = 0xFFFF;  // a guard above every count
    a->parent[ROOT] = 0;
}

// Halves every leaf's count and builds the tree again from them.
static void adaptive_rebuild(struct Adaptive *a)
{
    int j = 0;
    for (int i = 0; i < TREE; i++) {
        if (a->son[i] >= TREE) {
            a->freq[j] = (uint16_t)((a->freq[i] + 1) / 2);
            a->son[j] = a->son[i];
            j++;
        }
    }
    for (int i = 0, n = N_CHAR; n < TREE; i += 2, n++) {
        uint16_t f = (uint16_t)(a->freq[i] + a->freq[i + 1]);
        int k = n - 1;
        while (f < a->freq[k])
            k--;
        k++;
        memmove(a->freq + k + 1, a->freq + k, (size_t)(n - k) * sizeof a->freq[0]);
        a->freq[k] = f;
        memmove(a->son + k + 1, a->son + k, (size_t)(n - k) * sizeof a->son[0]);
        a->son[k] = (uint16_t)i;
    }
    for (int i = 0; i < TREE; i++) {
        int k = a->son[i];
        a->parent[k] = (uint16_t)i;
        if (k < TREE)
            a->parent[k + 1] = (uint16_t)i;
    }
}

// Counts symbol c once more, swapping nodes to keep the order.
static void adaptive_update(struct Adaptive *a, int c)
{
    if (a->freq[ROOT] == MAX_FREQ)
        adaptive_rebuild(a);
    c = a->parent[c + TREE];
    do {
        unsigned k = ++a->freq[c];
        int l = c + 1;
        if (k > a->freq[l]) {
            while (k > a->freq[++l])
                ;
            l--;
            a->freq[c] = a->freq[l];
            a->freq[l] = (uint16_t)k;
            int i = a->son[c];
            a->parent[i] = (uint16_t)l;
            if (i < TREE)
                a->parent[i + 1] = (uint16_t)l;
            int j = a->son[l];
            a->son[l] = (uint16_t)i;
            a->parent[j] = (uint16_t)c;
            if (j < TREE)
                a->parent[j + 1] = (uint16_t)c;
            a->son[c] = (uint16_t)j;
            c = l;
        }
    } while ((c = a->parent[c]) != 0);
}

// The upper 6 bits of a position: 1 code of 3 bits, 3 of 4, 8 of 5, 12 of
// 6, 24 of 7 and 16 of 8, in canonical order.
static const unsigned char POSITION_LENGTHS[][2] = {{3, 1}, {4, 3}, {5, 8}, {6, 12}, {7, 24},
                                                     {8, 16}};

static unsigned adaptive_position(struct Bits *b)
{
    unsigned code = 0, first = 0, symbol = 0;
    int len = 0;
    for (size_t i = 0; i < sizeof POSITION_LENGTHS / sizeof POSITION_LENGTHS[0]; i++) {
        while (len < POSITION_LENGTHS[i][0]) {
            code = code << 1 | get(b, 1);
            first <<= 1;
            len++;
        }
        if (code - first < POSITION_LENGTHS[i][1])
            return (symbol + code - first) << 6 | get(b, 6);
        symbol += POSITION_LENGTHS[i][1];
        first += POSITION_LENGTHS[i][1];
    }
    return 0;  // not reached: the code is complete
}

LzhStatus lzh_decode_adaptive(struct LzDecoder *z, const struct LzhMethod *m)
{
    struct Adaptive a;
    adaptive_start(&a);
    struct Bits *b = &z->b;
    lz_prefill(z, (size_t)1 << m->window_bits, ' ');
    while (lz_going(z, 8)) {
        int c = a.son[ROOT];
        while (c < TREE)
            c = a.son[c + (int)get(b, 1)];
        c -= TREE;
        adaptive_update(&a, c);
        if (c < 256)
            put_literal(z, (unsigned)c);
        else
            copy_match(z, adaptive_position(b) + 1, (size_t)(c - 253));
        LzhStatus s = lz_flush_full(z);
        if (s != LZH_OK)
            return s;
    }
    return lz_finish(z);
}

