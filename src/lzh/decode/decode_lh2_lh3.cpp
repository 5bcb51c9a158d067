// The methods of LHA 2's test releases, which UNLHA32 still writes: -lh2-
// (adaptive codes for literals and lengths and for positions, the position
// code growing as the output does) and -lh3- (static codes sent in blocks).
// Both have an 8 KiB window, 286 literal/length symbols whose last is an
// escape followed by 8 bits (lengths 32 to 287), and positions as a code for
// their upper bits followed by 6 bits plain.
#include <stdlib.h>

#include "canonical.h"
#include "decoder.h"

enum {
    EARLY_NC = 286,             // literals, lengths 3-30, and the escape
    EARLY_ESCAPE = EARLY_NC - 1,
    EARLY_ESCAPE_BITS = 8,
    EARLY_NP = 128,             // position codes: 8 KiB in steps of 64
    EARLY_POSITION_BITS = 6,    // plain bits after a position code
    MATCH_BASE = 256 - 3,       // symbol - MATCH_BASE is a match's length
};

// A match of symbol c's length, from position code p and the plain bits
// that follow it.
static void early_match(struct LzDecoder *z, int c, int p)
{
    unsigned at = (unsigned)p << EARLY_POSITION_BITS | get(&z->b, EARLY_POSITION_BITS);
    copy_match(z, at + 1, (size_t)(c - MATCH_BASE));
}

// -lh2-: one array of nodes holds both trees, the literal/length tree from
// ROOT_C and the position tree from ROOT_P, as the method lays them out
// (the layout decides which way each bit goes). Every internal node's
// children are a pair (child, child - 1); a leaf holds ~symbol, positions
// counted after the N_CHAR symbols LHarc's tree could hold. Counts fall
// with the index (the sibling property); a count raised first swaps its
// node with the first node of its run of equal counts, which keeps them so.
// (The method's own description keeps those runs as numbered blocks; a
// scan finds the same node with fewer dependent loads.)
enum {
    N_CHAR = 314,
    ROOT_C = 0,
    ROOT_P = 2 * N_CHAR,
    NODES = 2 * N_CHAR + 2 * EARLY_NP,
    HALVE_AT = 0x8000,          // a root count at which every count is halved
    GUARD = 0xFFFF,             // the position root's count once it has children
    POSITION_STEP = 64,         // the output per position code
};

// Words, not halves: every step of an update loads and stores them.
struct Dynamic {
    unsigned freq[NODES];
    int child[NODES], parent[NODES];
    int leaf[N_CHAR + EARLY_NP];  // the node of each symbol
    int last_p;                 // the position tree's last node: where it grows
    unsigned total_p;           // the position tree's count (its root holds GUARD)
    uint64_t next_growth;       // output past which the next position code is added
};

static void dynamic_start(struct Dynamic *d)
{
    memset(d, 0, sizeof *d);
    // The literal/length tree: leaves of count 1 from the far end, every
    // pair joined towards the root.
    int j = EARLY_NC * 2 - 2;
    for (int s = 0; s < EARLY_NC; s++, j--) {
        d->freq[j] = 1;
        d->child[j] = ~s;
        d->leaf[s] = j;
    }
    for (int i = EARLY_NC * 2 - 2; j >= 0; i -= 2, j--) {
        d->freq[j] = d->freq[i] + d->freq[i - 1];
        d->child[j] = i;
        d->parent[i] = d->parent[i - 1] = j;
    }
    // The position tree: its root alone, a leaf for position code 0.
    d->freq[ROOT_P] = 1;
    d->child[ROOT_P] = ~N_CHAR;
    d->leaf[N_CHAR] = ROOT_P;
    d->last_p = ROOT_P;
    d->next_growth = POSITION_STEP;
}

// Points what the children of node p's new subtree held back at p.
static void adopt(struct Dynamic *d, int c, int p)
{
    if (c >= 0)
        d->parent[c] = d->parent[c - 1] = p;
    else
        d->leaf[~c] = p;
}

// Halves the counts of the leaves in [start, end) and builds that tree
// again from them, each joined pair placed before the leaves of its count.
static void dynamic_halve(struct Dynamic *d, int start, int end)
{
    int j = start;
    for (int i = start; i < end; i++) {
        if (d->child[i] < 0) {
            d->freq[j] = (d->freq[i] + 1) / 2;
            d->child[j] = d->child[i];
            j++;
        }
    }
    j--;
    int i = end - 1;
    for (int pair = end - 2; i >= start; pair -= 2) {
        while (i >= pair) {
            d->freq[i] = d->freq[j];
            d->child[i] = d->child[j];
            i--, j--;
        }
        unsigned f = d->freq[pair] + d->freq[pair + 1];
        int k = start;
        while (f < d->freq[k])
            k++;
        while (j >= k) {
            d->freq[i] = d->freq[j];
            d->child[i] = d->child[j];
            i--, j--;
        }
        d->freq[i] = f;
        d->child[i] = pair + 1;
        i--;
    }
    for (i = start; i < end; i++)
        adopt(d, d->child[i], i);
}

// Raises node p's count by one, first swapped with the first node of its
// run of equal counts. Returns the parent of where the count went. (A
// root's count is above its children's, so the scan stops inside the tree.)
static int dynamic_bump(struct Dynamic *d, int p)
{
    unsigned k = d->freq[p];
    int q = p;
    while (d->freq[q - 1] == k)
        q--;
    if (q != p) {
        int r = d->child[p], s = d->child[q];
        d->child[p] = s;
        d->child[q] = r;
        adopt(d, r, q);
        adopt(d, s, p);
    }
    d->freq[q] = k + 1;
    return d->parent[q];
}

static void count_symbol(struct Dynamic *d, int c)
{
    if (d->freq[ROOT_C] == HALVE_AT)
        dynamic_halve(d, ROOT_C, EARLY_NC * 2 - 1);
    d->freq[ROOT_C]++;
    int q = d->leaf[c];
    do
        q = dynamic_bump(d, q);
    while (q != ROOT_C);
}

static void count_position(struct Dynamic *d, int p)
{
    if (d->total_p == HALVE_AT) {
        dynamic_halve(d, ROOT_P, d->last_p + 1);
        d->total_p = d->freq[ROOT_P];
        d->freq[ROOT_P] = GUARD;
    }
    int q = d->leaf[p + N_CHAR];
    while (q != ROOT_P)
        q = dynamic_bump(d, q);
    d->total_p++;
}

// Adds a leaf for position code p: the last node becomes the parent of
// itself and of the new leaf, which is then counted once.
static void add_position(struct Dynamic *d, int p)
{
    int last = d->last_p, r = last + 1, q = last + 2;
    d->child[r] = d->child[last];
    d->leaf[~d->child[r]] = r;
    d->child[q] = ~(p + N_CHAR);
    d->child[last] = q;
    d->freq[r] = d->freq[last];
    d->freq[q] = 0;
    if (last == ROOT_P)
        d->freq[ROOT_P] = GUARD;
    d->parent[r] = d->parent[q] = last;
    d->leaf[p + N_CHAR] = q;
    d->last_p = q;
    count_position(d, p);
}

// The symbol a tree's code at the bits gives: a 1 takes the pair's second.
// The walk reads the bit buffer itself, topped up every 48 bits (a code is
// rarely that long; counts of at most 2^15 keep trees far shallower).
static int dynamic_symbol(const struct Dynamic *d, struct Bits *b, int root)
{
    int c = d->child[root];
    refill(b);
    uint64_t acc = b->acc;
    int used = 0;
    while (c > 0) {
        if (used == 48) {
            skip(b, used);
            refill(b);
            acc = b->acc;
            used = 0;
        }
        c = d->child[c - (int)(acc >> 63)];
        acc <<= 1;
        used++;
    }
    skip(b, used);
    return ~c;
}

static LzhStatus decode_dynamic(struct LzDecoder *z, const struct LzhMethod *m, struct Dynamic *d)
{
    dynamic_start(d);
    struct Bits *b = &z->b;
    lz_prefill(z, (size_t)1 << m->window_bits, ' ');
    while (lz_going(z, 8)) {
        int c = dynamic_symbol(d, b, ROOT_C);
        count_symbol(d, c);
        if (c == EARLY_ESCAPE)
            c += (int)get(b, EARLY_ESCAPE_BITS);
        if (c < 256) {
            put_literal(z, (unsigned)c);
        } else {
            // The position code grows by a leaf for each 64 bytes decoded.
            uint64_t done = z->original - z->left;
            while (done > d->next_growth) {
                add_position(d, (int)(d->next_growth / POSITION_STEP));
                d->next_growth += POSITION_STEP;
                if (d->next_growth >= (uint64_t)POSITION_STEP * EARLY_NP)
                    d->next_growth = UINT64_MAX;
            }
            int p = dynamic_symbol(d, b, ROOT_P) - N_CHAR;
            count_position(d, p);
            early_match(z, c, p);
        }
        LzhStatus s = lz_flush_full(z);
        if (s != LZH_OK)
            return s;
    }
    return lz_finish(z);
}

LzhStatus lzh_decode_dynamic(struct LzDecoder *z, const struct LzhMethod *m)
{
    struct Dynamic *d = (struct Dynamic *)malloc(sizeof *d);
    if (d == NULL)
        return LZH_NO_MEMORY;
    LzhStatus s = decode_dynamic(z, m, d);
    free(d);
    return s;
}

// -lh3-: blocks of a 16-bit symbol count (0 for 65536), the literal/length
// code's lengths (a bit for each symbol, then 4 bits of length - 1 where it
// is set; three lengths of 1 first mean one symbol, in 9 bits, for the
// whole block), and a bit choosing the position code: 128 lengths of 4 bits
// (three of 1 first: one code, in 7 bits), or the fixed code.
enum { LENGTH_BITS = 4, ONE_SYMBOL_BITS = 9, ONE_POSITION_BITS = 7 };

struct EarlyBlocks {
    struct Code c_code, p_code;
    unsigned char len[EARLY_NC];
    unsigned block_left;
};

// The fixed position code: lengths rising from 2, by one at each code
// listed (twice at code 1).
static void fixed_position_lengths(unsigned char *len)
{
    static const unsigned char RISE_AT[] = {1, 1, 3, 6, 13, 31, 78};
    unsigned char l = 2;
    size_t r = 0;
    for (int i = 0; i < EARLY_NP; i++) {
        while (r < sizeof RISE_AT && RISE_AT[r] == i) {
            l++;
            r++;
        }
        len[i] = l;
    }
}

// Whether the three lengths read so far are all 1, which no code can have:
// the mark of a code of one symbol.
static int one_symbol_mark(const unsigned char *len, int i)
{
    return i == 3 && len[0] == 1 && len[1] == 1 && len[2] == 1;
}

// Reads a code's n lengths, each behind a bit that says whether the symbol
// is used (flagged) or plain; at the mark, the one symbol in one_bits.
static int early_code(struct Code *code, struct Bits *b, unsigned char *len, int n, int flagged,
                      int one_bits, int fast)
{
    for (int i = 0; i < n;) {
        len[i] = (unsigned char)(!flagged ? get(b, LENGTH_BITS)
                                 : get(b, 1) ? get(b, LENGTH_BITS) + 1 : 0);
        if (one_symbol_mark(len, ++i)) {
            int c = (int)get(b, one_bits);
            if (c >= n)
                return -1;
            lzh_code_single(code, c, fast);
            return 0;
        }
    }
    return lzh_code_build(code, n, len, fast);
}

static int early_block(struct EarlyBlocks *k, struct Bits *b)
{
    k->block_left = get(b, 16);
    if (k->block_left == 0)
        k->block_left = 1 << 16;
    if (early_code(&k->c_code, b, k->len, EARLY_NC, 1, ONE_SYMBOL_BITS, 12) != 0)
        return -1;
    if (get(b, 1))
        return early_code(&k->p_code, b, k->len, EARLY_NP, 0, ONE_POSITION_BITS, 8);
    fixed_position_lengths(k->len);
    return lzh_code_build(&k->p_code, EARLY_NP, k->len, 8);
}

static LzhStatus decode_early_static(struct LzDecoder *z, const struct LzhMethod *m,
                                     struct EarlyBlocks *k)
{
    struct Bits *b = &z->b;
    k->block_left = 0;
    lz_prefill(z, (size_t)1 << m->window_bits, ' ');
    while (lz_going(z, 8)) {
        if (k->block_left == 0 && early_block(k, b) != 0)
            return LZH_CORRUPT;
        k->block_left--;
        refill(b);
        int c = lzh_code_decode(b, &k->c_code);
        if (c < 0)
            return LZH_CORRUPT;
        if (c == EARLY_ESCAPE)
            c += (int)get(b, EARLY_ESCAPE_BITS);
        if (c < 256) {
            put_literal(z, (unsigned)c);
        } else {
            refill(b);
            int p = lzh_code_decode(b, &k->p_code);
            if (p < 0)
                return LZH_CORRUPT;
            early_match(z, c, p);
        }
        LzhStatus s = lz_flush_full(z);
        if (s != LZH_OK)
            return s;
    }
    return lz_finish(z);
}

LzhStatus lzh_decode_early_static(struct LzDecoder *z, const struct LzhMethod *m)
{
    struct EarlyBlocks *k = (struct EarlyBlocks *)malloc(sizeof *k);
    if (k == NULL)
        return LZH_NO_MEMORY;
    LzhStatus s = decode_early_static(z, m, k);
    free(k);
    return s;
}
