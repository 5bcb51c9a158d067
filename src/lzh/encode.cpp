#include "encode.h"

#include "methods.h"

#include <stdlib.h>
#include <string.h>

enum {
    NC = 510,              // literals 0-255, then match lengths 3-256
    NT = 19,               // symbols of the code-length code
    NP_MAX = 17,           // position symbols of lh7
    TBIT = 5,              // bits of the code-length code's symbol count
    CBIT = 9,              // bits of the literal/length code's symbol count
    MIN_MATCH = 3,
    MAX_MATCH = 256,
    MAX_CODE_LEN = 16,
    WSIZE = 1 << 16,       // the largest window (lh7); the buffer holds two
    BUF_SIZE = 2 * WSIZE,
    HASH_BITS = 16,
    HASH_SIZE = 1 << HASH_BITS,
    BLOCK_SYMBOLS = 0x2000,  // per block: small blocks follow the data (measured)
    SEGMENT = 8192,          // input bytes per parse of the optimal parser; blocks join them
    SYMBOL_ROOM = 0xFFFF + SEGMENT,  // an open block and a segment after it
    OUT_SIZE = 1 << 16,
    NIL = -1,
};

// How hard the match finder looks: chains followed (a quarter of them past a
// good match), and how far back a 3-byte match is still worth its bits.
enum { MAX_CHAIN = 256, GOOD_LENGTH = 32, TOO_FAR = 8192 };

struct Encoder {
    const unsigned char *src;  // the piece, after its history
    size_t src_len, src_at;
    LzhSink sink;
    void *ctx;
    LzhStatus status;
    int np, pbit;
    uint32_t max_dist;

    unsigned char win[BUF_SIZE + MAX_MATCH];
    uint32_t avail;        // bytes in win
    int32_t head[HASH_SIZE];
    int32_t prev[WSIZE];   // the previous position of the same hash, by pos % WSIZE

    uint16_t sym[SYMBOL_ROOM];   // literal or length symbol
    uint16_t dist[SYMBOL_ROOM];  // distance - 1, for length symbols
    unsigned nsym;
    uint32_t c_freq[NC], p_freq[NP_MAX], t_freq[NT];
    unsigned char c_len[NC], p_len[NP_MAX], t_len[NT];
    uint16_t c_code[NC], p_code[NP_MAX], t_code[NT];

    uint64_t bits;         // pending output bits, right-aligned
    int nbits;
    unsigned char out[OUT_SIZE];
    size_t nout;

    uint64_t packed;       // whole bytes handed to the sink
};

// Output ---------------------------------------------------------------

static void flush_out(struct Encoder *e)
{
    if (e->nout > 0 && e->status == LZH_OK && e->sink(e->ctx, e->out, e->nout) != 0)
        e->status = LZH_WRITE_ERROR;
    e->packed += e->nout;
    e->nout = 0;
}

// Writes the low n bits of v, most significant first (n <= 32).
static void put_bits(struct Encoder *e, int n, uint32_t v)
{
    e->bits = (e->bits << n) | (v & ((1ull << n) - 1));
    e->nbits += n;
    while (e->nbits >= 8) {
        e->nbits -= 8;
        e->out[e->nout++] = (unsigned char)(e->bits >> e->nbits);
        if (e->nout == OUT_SIZE)
            flush_out(e);
    }
}


// Huffman codes --------------------------------------------------------

// An optimal code whose deepest levels are folded up by the Kraft sum,
// shortest lengths to the most frequent symbols.
int lzh_code_lengths(const uint32_t *freq, int n, unsigned char *len)
{
    // A heap of nodes by weight; leaves 0..n-1, inner nodes from n.
    uint64_t weight[2 * NC];
    int parent[2 * NC], heap[2 * NC];
    int used = 0, size = 0;
    memset(len, 0, (size_t)n);
    for (int i = 0; i < n; i++)
        if (freq[i] > 0)
            used++;
    if (used < 2)
        return used;

    // Ties broken by node number: the same input gives the same code.
    auto less = [&](int a, int b) {
        return weight[a] < weight[b] || (weight[a] == weight[b] && a < b);
    };
    auto push = [&](int v) {
        int i = size++;
        while (i > 0 && less(v, heap[(i - 1) / 2])) {
            heap[i] = heap[(i - 1) / 2];
            i = (i - 1) / 2;
        }
        heap[i] = v;
    };
    auto pop = [&]() {
        int top = heap[0], last = heap[--size], i = 0;
        for (;;) {
            int c = 2 * i + 1;
            if (c >= size)
                break;
            if (c + 1 < size && less(heap[c + 1], heap[c]))
                c++;
            if (!less(heap[c], last))
                break;
            heap[i] = heap[c];
            i = c;
        }
        heap[i] = last;
        return top;
    };
    for (int i = 0; i < n; i++) {
        if (freq[i] > 0) {
            weight[i] = freq[i];
            push(i);
        }
    }
    int next = n;
    while (size > 1) {
        int a = pop(), b = pop();
        weight[next] = weight[a] + weight[b];
        parent[a] = parent[b] = next;
        push(next++);
    }
    int root = next - 1;

    // Depths, then how many leaves sit at each length (capped).
    int depth[2 * NC];
    int count[MAX_CODE_LEN + 1] = {0};
    depth[root] = 0;
    for (int v = root - 1; v >= 0; v--) {
        if (v < n && freq[v] == 0)
            continue;
        depth[v] = depth[parent[v]] + 1;
        if (v < n)
            count[depth[v] > MAX_CODE_LEN ? MAX_CODE_LEN : depth[v]]++;
    }
    // Capping overfills the code space; take room from the longest codes
    // until the Kraft sum is exactly one again.
    uint32_t kraft = 0;
    for (int l = 1; l <= MAX_CODE_LEN; l++)
        kraft += (uint32_t)count[l] << (MAX_CODE_LEN - l);
    while (kraft > (1u << MAX_CODE_LEN)) {
        count[MAX_CODE_LEN]--;
        for (int l = MAX_CODE_LEN - 1; l > 0; l--) {
            if (count[l] > 0) {
                count[l]--;
                count[l + 1] += 2;
                break;
            }
        }
        kraft--;
    }

    // Symbols by falling frequency (then by number) take the lengths in
    // rising order.
    int order[NC];
    int k = 0;
    for (int i = 0; i < n; i++)
        if (freq[i] > 0)
            order[k++] = i;
    for (int i = 1; i < k; i++) {  // insertion sort: n is at most 510
        int v = order[i], j = i;
        while (j > 0 && (freq[order[j - 1]] < freq[v] ||
                         (freq[order[j - 1]] == freq[v] && order[j - 1] > v))) {
            order[j] = order[j - 1];
            j--;
        }
        order[j] = v;
    }
    int at = 0;
    for (int l = 1; l <= MAX_CODE_LEN; l++)
        for (int c = 0; c < count[l]; c++)
            len[order[at++]] = (unsigned char)l;
    return used;
}

// Canonical codes, as the decoder assigns them: by length, then by symbol.
static void make_codes(const unsigned char *len, int n, uint16_t *code)
{
    uint16_t count[MAX_CODE_LEN + 1] = {0}, next[MAX_CODE_LEN + 2];
    for (int i = 0; i < n; i++)
        count[len[i]]++;
    count[0] = 0;
    unsigned c = 0;
    for (int l = 1; l <= MAX_CODE_LEN; l++) {
        next[l] = (uint16_t)c;
        c = (c + count[l]) << 1;
    }
    for (int i = 0; i < n; i++)
        code[i] = len[i] ? next[len[i]]++ : 0;
}

// The block ------------------------------------------------------------

static int position_symbol(unsigned d)
{
    int j = 0;
    while (d) {
        j++;
        d >>= 1;
    }
    return j;
}

// The code-length code's symbols for the literal/length lengths: 0, 1 and 2
// for runs of zeros, length + 2 otherwise. With t_freq, only counts them
// and returns the bits that follow them; otherwise writes them.
static uint32_t walk_c_lengths(struct Encoder *e, const unsigned char *c_len, int n,
                               uint32_t *t_freq)
{
    uint32_t extra = 0;
    auto symbol = [&](int t) {
        if (t_freq)
            t_freq[t]++;
        else
            put_bits(e, e->t_len[t], e->t_code[t]);
    };
    auto bits = [&](int count, uint32_t v) {
        if (t_freq)
            extra += (uint32_t)count;
        else
            put_bits(e, count, v);
    };
    for (int i = 0; i < n;) {
        int k = c_len[i++];
        if (k != 0) {
            symbol(k + 2);
            continue;
        }
        int run = 1;
        while (i < n && c_len[i] == 0) {
            i++;
            run++;
        }
        if (run <= 2) {
            for (int r = 0; r < run; r++)
                symbol(0);
        } else if (run <= 18) {
            symbol(1);
            bits(4, (uint32_t)(run - 3));
        } else if (run == 19) {
            symbol(0);
            symbol(1);
            bits(4, 15);
        } else {
            symbol(2);
            bits(CBIT, (uint32_t)(run - 20));
        }
    }
    return extra;
}

static int trimmed(const unsigned char *len, int n)
{
    while (n > 0 && len[n - 1] == 0)
        n--;
    return n;
}

static int only_symbol(const uint32_t *freq, int n)
{
    for (int i = 0; i < n; i++)
        if (freq[i] > 0)
            return i;
    return 0;
}

// Lengths of the code-length code or the position code: 3 bits each, 7 and
// up as that many ones less four and a zero; after the `special`-th, a 2-bit
// count of zeros.
static void write_pt_lengths(struct Encoder *e, const unsigned char *len, int nn, int nbit,
                             int special, int used, const uint32_t *freq)
{
    if (used < 2) {
        put_bits(e, nbit, 0);
        put_bits(e, nbit, (uint32_t)only_symbol(freq, nn));
        return;
    }
    int n = trimmed(len, nn);
    put_bits(e, nbit, (uint32_t)n);
    for (int i = 0; i < n;) {
        int k = len[i++];
        if (k <= 6)
            put_bits(e, 3, (uint32_t)k);
        else
            put_bits(e, k - 3, (1u << (k - 3)) - 2);
        if (i == special) {
            while (i < 6 && i < n && len[i] == 0)
                i++;
            put_bits(e, 2, (uint32_t)(i - special));
        }
    }
}

// What write_pt_lengths would write, in bits.
static uint32_t pt_lengths_bits(const unsigned char *len, int nn, int nbit, int special, int used)
{
    if (used < 2)
        return 2 * (uint32_t)nbit;
    int n = trimmed(len, nn);
    uint32_t bits = (uint32_t)nbit;
    for (int i = 0; i < n;) {
        int k = len[i++];
        bits += k <= 6 ? 3 : (uint32_t)(k - 3);
        if (i == special) {
            while (i < 6 && i < n && len[i] == 0)
                i++;
            bits += 2;
        }
    }
    return bits;
}

// The size in bits of a block with these counts, tables included, as
// flush_block would write it.
static uint64_t block_bits(const struct Encoder *e, const uint32_t *c_freq, const uint32_t *p_freq)
{
    unsigned char c_len[NC], p_len[NP_MAX], t_len[NT];
    int c_used = lzh_code_lengths(c_freq, NC, c_len);
    int p_used = lzh_code_lengths(p_freq, e->np, p_len);
    uint64_t bits = 16;
    if (c_used < 2) {
        bits += 2 * TBIT + 2 * CBIT;
    } else {
        uint32_t t_freq[NT] = {0};
        int n = trimmed(c_len, NC);
        bits += walk_c_lengths(NULL, c_len, n, t_freq) + CBIT;
        int t_used = lzh_code_lengths(t_freq, NT, t_len);
        bits += pt_lengths_bits(t_len, NT, TBIT, 3, t_used);
        for (int t = 0; t < NT; t++)
            bits += (uint64_t)t_freq[t] * t_len[t];
    }
    bits += pt_lengths_bits(p_len, e->np, e->pbit, -1, p_used);
    for (int c = 0; c < NC; c++)
        bits += (uint64_t)c_freq[c] * c_len[c];
    for (int j = 0; j < e->np; j++)
        bits += (uint64_t)p_freq[j] * (p_len[j] + (j > 1 ? j - 1 : 0));
    return bits;
}

static void flush_block(struct Encoder *e)
{
    if (e->nsym == 0)
        return;
    int c_used = lzh_code_lengths(e->c_freq, NC, e->c_len);
    int p_used = lzh_code_lengths(e->p_freq, e->np, e->p_len);
    put_bits(e, 16, e->nsym);
    if (c_used < 2) {
        // One symbol: both the code-length code and the code are empty.
        put_bits(e, TBIT, 0);
        put_bits(e, TBIT, 0);
        put_bits(e, CBIT, 0);
        put_bits(e, CBIT, (uint32_t)only_symbol(e->c_freq, NC));
    } else {
        int n = trimmed(e->c_len, NC);
        memset(e->t_freq, 0, sizeof e->t_freq);
        walk_c_lengths(e, e->c_len, n, e->t_freq);
        int t_used = lzh_code_lengths(e->t_freq, NT, e->t_len);
        make_codes(e->t_len, NT, e->t_code);
        write_pt_lengths(e, e->t_len, NT, TBIT, 3, t_used, e->t_freq);
        put_bits(e, CBIT, (uint32_t)n);
        walk_c_lengths(e, e->c_len, n, NULL);
    }
    make_codes(e->c_len, NC, e->c_code);
    make_codes(e->p_len, e->np, e->p_code);
    write_pt_lengths(e, e->p_len, e->np, e->pbit, -1, p_used, e->p_freq);

    for (unsigned i = 0; i < e->nsym; i++) {
        unsigned c = e->sym[i];
        put_bits(e, e->c_len[c], e->c_code[c]);
        if (c >= 256) {
            unsigned d = e->dist[i];
            int j = position_symbol(d);
            put_bits(e, e->p_len[j], e->p_code[j]);
            if (j > 1)
                put_bits(e, j - 1, d);
        }
    }
    e->nsym = 0;
    memset(e->c_freq, 0, sizeof e->c_freq);
    memset(e->p_freq, 0, sizeof e->p_freq);
}

static int used_symbols(const uint32_t *freq, int n)
{
    int used = 0;
    for (int i = 0; i < n; i++)
        used += freq[i] > 0;
    return used;
}

// Writes the piece's last block. Some decoders (jlha) stop once they have
// used every bit of the stream when they still have a code to read, even
// one of no bits: a stream that ends on a byte boundary right before such a
// code (a match's position code, when the block's position code has one
// symbol; a literal's, when its literal/length code has one) loses its last
// symbol. Padding with a whole byte more is refused by others (7-Zip). So
// the last code of a piece always takes a bit: its code gets a second,
// unused symbol, in the open block or in a block of the last symbol alone,
// whichever is smaller.
static void flush_last_block(struct Encoder *e)
{
    if (e->nsym == 0)
        return;
    unsigned last = e->sym[e->nsym - 1];
    uint16_t d = e->dist[e->nsym - 1];
    int match = last >= 256, j = match ? position_symbol(d) : 0;
    if (match ? used_symbols(e->p_freq, e->np) >= 2 || j > 1 : used_symbols(e->c_freq, NC) >= 2) {
        flush_block(e);
        return;
    }
    int dummy = (match ? j : (int)last) == 0 ? 1 : 0;
    uint32_t c_freq[NC], p_freq[NP_MAX];
    memcpy(c_freq, e->c_freq, sizeof c_freq);
    memcpy(p_freq, e->p_freq, sizeof p_freq);
    (match ? p_freq : c_freq)[dummy] = 1;
    uint64_t in_place = block_bits(e, c_freq, p_freq);
    uint64_t split = UINT64_MAX;
    uint32_t alone_c[NC] = {0}, alone_p[NP_MAX] = {0};
    alone_c[last] = 1;
    if (match)
        alone_p[j] = 1;
    (match ? alone_p : alone_c)[dummy] = 1;
    if (e->nsym > 1) {
        memcpy(c_freq, e->c_freq, sizeof c_freq);
        memcpy(p_freq, e->p_freq, sizeof p_freq);
        c_freq[last]--;
        if (match)
            p_freq[j]--;
        split = block_bits(e, c_freq, p_freq) + block_bits(e, alone_c, alone_p);
    }
    if (split < in_place) {
        e->nsym--;
        e->c_freq[last]--;
        if (match)
            e->p_freq[j]--;
        flush_block(e);
        e->sym[0] = (uint16_t)last;
        e->dist[0] = d;
        e->nsym = 1;
        memcpy(e->c_freq, alone_c, sizeof alone_c);
        memcpy(e->p_freq, alone_p, sizeof alone_p);
    } else {
        (match ? e->p_freq : e->c_freq)[dummy] = 1;
    }
    flush_block(e);
}

// A full block is written when the next symbol comes, so that the last
// one of a piece is always written by flush_last_block.
static void emit_literal(struct Encoder *e, unsigned char c)
{
    if (e->nsym == BLOCK_SYMBOLS)
        flush_block(e);
    e->sym[e->nsym] = c;
    e->c_freq[c]++;
    e->nsym++;
}

static void emit_match(struct Encoder *e, unsigned len, unsigned dist)
{
    if (e->nsym == BLOCK_SYMBOLS)
        flush_block(e);
    unsigned c = 256 + len - MIN_MATCH;
    e->sym[e->nsym] = (uint16_t)c;
    e->dist[e->nsym] = (uint16_t)(dist - 1);
    e->c_freq[c]++;
    e->p_freq[position_symbol(dist - 1)]++;
    e->nsym++;
}

// Matching -------------------------------------------------------------

static uint32_t hash3(const unsigned char *p)
{
    return ((p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16) * 2654435761u) >> (32 - HASH_BITS);
}

static void insert(struct Encoder *e, uint32_t pos)
{
    if (pos + MIN_MATCH > e->avail)
        return;
    uint32_t h = hash3(e->win + pos);
    e->prev[pos & (WSIZE - 1)] = e->head[h];
    e->head[h] = (int32_t)pos;
}

// Walks pos's hash chain (at most `chain` steps) and keeps each match longer
// than the last, starting above `best`, at its nearest distance: the last
// kept is the longest. With room for only one, each replaces the one before.
// With skip_far_3, 3-byte matches beyond TOO_FAR are passed over. Returns
// how many were kept.
static int walk_chain(struct Encoder *e, uint32_t pos, unsigned best, int chain, int skip_far_3,
                      uint16_t *lens, uint32_t *dists, int room)
{
    unsigned limit = e->avail - pos < (uint32_t)MAX_MATCH ? e->avail - pos : (uint32_t)MAX_MATCH;
    if (limit < MIN_MATCH)
        return 0;
    const unsigned char *here = e->win + pos;
    int n = 0;
    for (int32_t cand = e->prev[pos & (WSIZE - 1)]; cand != NIL && chain-- > 0;
         cand = e->prev[cand & (WSIZE - 1)]) {
        uint32_t d = pos - (uint32_t)cand;
        if ((uint32_t)cand >= pos || d > e->max_dist)
            break;
        const unsigned char *there = e->win + cand;
        if (there[best] != here[best] || there[0] != here[0])
            continue;
        unsigned len = 0;
        while (len < limit && there[len] == here[len])
            len++;
        if (len <= best || (skip_far_3 && len == MIN_MATCH && d > TOO_FAR))
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

// The longest match for pos longer than at_least, or 0; its distance in
// *dist. A short match far back costs more bits than its bytes as literals.
static unsigned longest_match(struct Encoder *e, uint32_t pos, unsigned at_least,
                              unsigned *dist)
{
    uint16_t len;
    uint32_t d;
    int chain = at_least >= GOOD_LENGTH ? MAX_CHAIN / 4 : MAX_CHAIN;
    if (walk_chain(e, pos, at_least < MIN_MATCH - 1 ? MIN_MATCH - 1 : at_least, chain, 0, &len,
                   &d, 1) == 0)
        return 0;
    if (len == MIN_MATCH && d > TOO_FAR)
        return 0;
    *dist = d;
    return len;
}

// Input ----------------------------------------------------------------

static void fill(struct Encoder *e)
{
    size_t n = e->src_len - e->src_at;
    if (n > BUF_SIZE - e->avail)
        n = BUF_SIZE - e->avail;
    if (n > 0)
        memcpy(e->win + e->avail, e->src + e->src_at, n);
    e->src_at += n;
    e->avail += (uint32_t)n;
}

// The history before the piece joins the chains, so that the first matches
// can reach back into it; returns where the piece itself starts.
static uint32_t prime(struct Encoder *e, uint32_t history)
{
    fill(e);
    for (uint32_t pos = 0; pos < history; pos++)
        insert(e, pos);
    return history;
}

// Moves the newer half of the buffer down, and the chains with it.
static void slide(struct Encoder *e)
{
    memmove(e->win, e->win + WSIZE, e->avail - WSIZE);
    e->avail -= WSIZE;
    for (int i = 0; i < HASH_SIZE; i++)
        e->head[i] = e->head[i] >= WSIZE ? e->head[i] - WSIZE : NIL;
    for (int i = 0; i < WSIZE; i++)
        e->prev[i] = e->prev[i] >= WSIZE ? e->prev[i] - WSIZE : NIL;
}

// Greedy matching with one step of look-ahead: a match is taken only if the
// next position does not start a longer one.
static void compress(struct Encoder *e, uint32_t history)
{
    uint32_t pos = prime(e, history);
    unsigned prev_len = 0, prev_dist = 0;
    int pending = 0;  // win[pos - 1] waits, as a literal or as prev_len's start
    for (;;) {
        if (e->src_at < e->src_len && e->avail - pos < MAX_MATCH + 1) {
            if (pos >= WSIZE + 1) {
                slide(e);
                pos -= WSIZE;
            }
            fill(e);
        }
        if (pos >= e->avail || e->status != LZH_OK)
            break;
        insert(e, pos);
        unsigned dist = 0;
        unsigned len = longest_match(e, pos, prev_len, &dist);
        if (pending && prev_len >= MIN_MATCH && len <= prev_len) {
            emit_match(e, prev_len, prev_dist);
            // The match began at pos - 1; its other positions join the chains.
            uint32_t end = pos - 1 + prev_len;
            while (++pos < end)
                insert(e, pos);
            pending = 0;
            prev_len = 0;
            continue;
        }
        if (pending)
            emit_literal(e, e->win[pos - 1]);
        pending = 1;
        prev_len = len;
        prev_dist = dist;
        pos++;
    }
    if (pending && e->status == LZH_OK) {
        if (prev_len >= MIN_MATCH)
            emit_match(e, prev_len, prev_dist);
        else
            emit_literal(e, e->win[pos - 1]);
    }
}

// Optimal parsing --------------------------------------------------------

// The best parse of a segment of the input: a shortest path over every
// literal and every match the chains offer, priced in bits by the code
// lengths of the segment's own previous parse, refined over a few passes.
// A segment joins the block before it when one block for both is smaller
// than two: blocks end where the data's statistics change.
enum {
    MAX_CANDIDATES = 24,   // matches kept per position, each longer than the last
    BEST_CHAIN = 512,
    BEST_PASSES = 3,
    LONG_ENOUGH = 128,     // a match this long is taken without weighing others
    MAX_BLOCK = 0xFFFF,    // symbols a block's count can say
};

struct Best {
    // Matches at each position of the segment: lengths rising, each with
    // the nearest distance that reaches it.
    uint16_t count[SEGMENT];
    uint16_t len[SEGMENT][MAX_CANDIDATES];
    uint32_t dist[SEGMENT][MAX_CANDIDATES];
    uint32_t cost[SEGMENT + 1];    // bits to reach each position
    uint16_t step_len[SEGMENT + 1];  // how it was reached: 1 for a literal
    uint32_t step_dist[SEGMENT + 1];
    uint32_t ends[SEGMENT + 1];
    unsigned c_bits[NC], p_bits[NP_MAX];
    // The segment's parse, kept after the open block's symbols, and its
    // counts; the open block's size alone.
    unsigned nsym;
    uint32_t c_freq[NC], p_freq[NP_MAX];
    uint64_t open_bits;
};

static int collect_matches(struct Encoder *e, uint32_t pos, uint16_t *lens, uint32_t *dists)
{
    return walk_chain(e, pos, MIN_MATCH - 1, BEST_CHAIN, 1, lens, dists, MAX_CANDIDATES);
}

// Prices from the code lengths of the counts; a symbol the last parse did
// not use is priced as a long code, so that it stays possible.
static void set_prices(struct Encoder *e, struct Best *b)
{
    unsigned char c_len[NC], p_len[NP_MAX];
    lzh_code_lengths(b->c_freq, NC, c_len);
    lzh_code_lengths(b->p_freq, e->np, p_len);
    for (int c = 0; c < NC; c++)
        b->c_bits[c] = c_len[c] ? c_len[c] : (c < 256 ? 12 : 14);
    for (int j = 0; j < e->np; j++)
        b->p_bits[j] = (p_len[j] ? p_len[j] : 8) + (j > 1 ? j - 1 : 0);
}

// The cheapest way through the segment's n bytes at win[start..), under the
// current prices; the steps are left in step_len/step_dist.
static void shortest_path(struct Encoder *e, struct Best *b, uint32_t start, unsigned n)
{
    b->cost[0] = 0;
    for (unsigned i = 1; i <= n; i++)
        b->cost[i] = UINT32_MAX;
    for (unsigned i = 0; i < n; i++) {
        uint32_t here = b->cost[i];
        uint32_t lit = here + b->c_bits[e->win[start + i]];
        if (lit < b->cost[i + 1]) {
            b->cost[i + 1] = lit;
            b->step_len[i + 1] = 1;
        }
        unsigned lo = MIN_MATCH;
        for (int k = 0; k < b->count[i]; k++) {
            unsigned hi = b->len[i][k];
            if (i + hi > n)
                hi = n - i;
            uint32_t d = b->dist[i][k];
            // Long matches only at their full length: the rest of a long
            // run is rarely worth weighing, and weighing it is slow.
            if (hi >= LONG_ENOUGH)
                lo = hi;
            uint32_t base = here + b->p_bits[position_symbol(d - 1)];
            const unsigned *len_bits = b->c_bits + 256 - MIN_MATCH;
            for (unsigned l = lo; l <= hi; l++) {
                uint32_t c = base + len_bits[l];
                if (c < b->cost[i + l]) {
                    b->cost[i + l] = c;
                    b->step_len[i + l] = (uint16_t)l;
                    b->step_dist[i + l] = d;
                }
            }
            lo = hi + 1;
        }
    }
}

// Turns the path into the segment's symbols, after the open block's, and
// their counts.
static void take_path(struct Encoder *e, struct Best *b, uint32_t start, unsigned n)
{
    // Walk back, then forward.
    uint32_t *ends = b->ends;
    unsigned k = 0;
    for (unsigned i = n; i > 0; i -= b->step_len[i])
        ends[k++] = i;
    memset(b->c_freq, 0, sizeof b->c_freq);
    memset(b->p_freq, 0, sizeof b->p_freq);
    uint16_t *sym = e->sym + e->nsym, *dist = e->dist + e->nsym;
    unsigned at = 0;
    b->nsym = 0;
    while (k > 0) {
        unsigned i = ends[--k], l = i - at;
        if (l == 1) {
            unsigned char c = e->win[start + at];
            sym[b->nsym] = c;
            b->c_freq[c]++;
        } else {
            unsigned c = 256 + l - MIN_MATCH;
            sym[b->nsym] = (uint16_t)c;
            dist[b->nsym] = (uint16_t)(b->step_dist[i] - 1);
            b->c_freq[c]++;
            b->p_freq[position_symbol(b->step_dist[i] - 1)]++;
        }
        b->nsym++;
        at = i;
    }
}

// The segment joins the open block if that is smaller than ending the
// block before it; otherwise the open block is written and the segment
// opens the next.
static void close_segment(struct Encoder *e, struct Best *b)
{
    uint64_t alone = block_bits(e, b->c_freq, b->p_freq);
    if (e->nsym > 0) {
        uint32_t c_freq[NC], p_freq[NP_MAX];
        for (int c = 0; c < NC; c++)
            c_freq[c] = e->c_freq[c] + b->c_freq[c];
        for (int j = 0; j < e->np; j++)
            p_freq[j] = e->p_freq[j] + b->p_freq[j];
        uint64_t joined = block_bits(e, c_freq, p_freq);
        if (e->nsym + b->nsym <= MAX_BLOCK && joined <= b->open_bits + alone) {
            memcpy(e->c_freq, c_freq, sizeof c_freq);
            memcpy(e->p_freq, p_freq, sizeof(uint32_t) * e->np);
            e->nsym += b->nsym;
            b->open_bits = joined;
            return;
        }
        unsigned open = e->nsym;
        flush_block(e);
        memmove(e->sym, e->sym + open, b->nsym * sizeof e->sym[0]);
        memmove(e->dist, e->dist + open, b->nsym * sizeof e->dist[0]);
    }
    memcpy(e->c_freq, b->c_freq, sizeof e->c_freq);
    memcpy(e->p_freq, b->p_freq, sizeof(uint32_t) * e->np);
    e->nsym = b->nsym;
    b->open_bits = alone;
}

static void compress_best(struct Encoder *e, uint32_t history)
{
    struct Best *b = (struct Best *)malloc(sizeof *b);
    if (b == NULL) {
        e->status = LZH_WRITE_ERROR;
        return;
    }
    uint32_t pos = prime(e, history);
    // The first prices are plain; later segments start from the last one's.
    for (int c = 0; c < NC; c++)
        b->c_freq[c] = c < 256 ? 4 : 1;
    for (int j = 0; j < e->np; j++)
        b->p_freq[j] = 1;
    while (e->status == LZH_OK) {
        if (e->src_at < e->src_len && e->avail - pos < SEGMENT + MAX_MATCH + 1) {
            if (pos >= WSIZE + 1) {
                slide(e);
                pos -= WSIZE;
            }
            fill(e);
        }
        if (pos >= e->avail)
            break;
        unsigned n = e->avail - pos < (uint32_t)SEGMENT ? e->avail - pos : (uint32_t)SEGMENT;
        for (unsigned i = 0; i < n; i++) {
            insert(e, pos + i);
            b->count[i] = (uint16_t)collect_matches(e, pos + i, b->len[i], b->dist[i]);
        }
        for (int pass = 0; pass < BEST_PASSES; pass++) {
            set_prices(e, b);
            shortest_path(e, b, pos, n);
            take_path(e, b, pos, n);
        }
        close_segment(e, b);
        pos += n;
    }
    free(b);
}

LzhStatus lzh_encode_piece(const unsigned char *data, size_t history, size_t n,
                           int window_bits, int best, LzhSink sink, void *ctx,
                           struct LzhPiece *r)
{
    memset(r, 0, sizeof *r);
    const struct LzhMethod *m = lzh_method_of_bits(window_bits);
    if (m == NULL || !m->packer_writes || window_bits == 0 ||
        history > ((size_t)1 << window_bits))
        return LZH_CORRUPT;
    struct Encoder *e = (struct Encoder *)calloc(1, sizeof *e);
    if (e == NULL)
        return LZH_WRITE_ERROR;
    e->src = data;
    e->src_len = history + n;
    e->sink = sink;
    e->ctx = ctx;
    e->np = m->np;
    e->pbit = m->pbit;
    e->max_dist = 1u << window_bits;
    for (int i = 0; i < HASH_SIZE; i++)
        e->head[i] = NIL;
    for (int i = 0; i < WSIZE; i++)
        e->prev[i] = NIL;

    if (best)
        compress_best(e, (uint32_t)history);
    else
        compress(e, (uint32_t)history);
    if (e->status == LZH_OK)
        flush_last_block(e);
    if (e->status == LZH_OK)
        flush_out(e);
    r->packed = e->packed;
    r->tail = (uint32_t)(e->bits & ((1u << e->nbits) - 1));
    r->tail_bits = e->nbits;
    LzhStatus s = e->status;
    free(e);
    return s;
}

// Joining ---------------------------------------------------------------

void lzh_join_init(struct LzhJoin *j, LzhSink sink, void *ctx)
{
    memset(j, 0, sizeof *j);
    j->sink = sink;
    j->ctx = ctx;
}

static void join_flush(struct LzhJoin *j)
{
    if (j->nout > 0 && j->status == LZH_OK && j->sink(j->ctx, j->out, j->nout) != 0)
        j->status = LZH_WRITE_ERROR;
    j->packed += j->nout;
    j->nout = 0;
}

LzhStatus lzh_join_bytes(struct LzhJoin *j, const unsigned char *p, size_t n)
{
    if (j->nacc == 0) {
        // Aligned, as every piece is when the one before ended on a byte.
        join_flush(j);
        if (n > 0 && j->status == LZH_OK && j->sink(j->ctx, p, n) != 0)
            j->status = LZH_WRITE_ERROR;
        j->packed += n;
        return j->status;
    }
    for (size_t i = 0; i < n; i++) {
        j->acc = (j->acc << 8) | p[i];
        j->out[j->nout++] = (unsigned char)(j->acc >> j->nacc);
        j->acc &= (1u << j->nacc) - 1;
        if (j->nout == sizeof j->out)
            join_flush(j);
    }
    return j->status;
}

LzhStatus lzh_join_bits(struct LzhJoin *j, uint32_t value, int count)
{
    j->acc = (j->acc << count) | (value & ((1u << count) - 1));
    j->nacc += count;
    if (j->nacc >= 8) {
        j->nacc -= 8;
        j->out[j->nout++] = (unsigned char)(j->acc >> j->nacc);
        j->acc &= (1u << j->nacc) - 1;
        if (j->nout == sizeof j->out)
            join_flush(j);
    }
    return j->status;
}

LzhStatus lzh_join_finish(struct LzhJoin *j)
{
    if (j->nacc > 0)
        lzh_join_bits(j, 0, 8 - j->nacc);
    join_flush(j);
    return j->status;
}

// History ---------------------------------------------------------------

size_t lzh_history(int window_bits, uint64_t offset)
{
    size_t w = (size_t)1 << window_bits;
    return offset < w ? (size_t)offset : w;
}
