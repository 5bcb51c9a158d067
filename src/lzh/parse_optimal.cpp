// The parse, segment by segment of the input: a shortest path over every
// literal and every match the match finder offers, priced in bits by the
// code lengths the segment would be written with, then blocks chosen by
// their cost in bits, tables included: blocks end where the data's
// statistics change.
#include <stdlib.h>
#include <string.h>

#include "encoder.h"
#include "huffman.h"

enum {
    MAX_CANDIDATES = 24,   // the most matches kept per position, each longer than the last
    PRICE_WEIGHT = 4,      // the segment's last parse against the open block, in prices
    UNUSED_LITERAL = 12,   // bits for a symbol the counts have not seen
    UNUSED_LENGTH = 11,
    UNUSED_POSITION = 8,
};

// How hard each parse works. The default takes the chains' first matches
// and passes over the inside of a long match; --best asks the trees, weighs
// longer matches at every length and refines the prices.
static const struct LzhParseEffort {
    int trees;            // the match finder: binary trees, else hash chains
    int depth;            // strings (trees) or chain links looked at per position
    unsigned nice;        // trees: a match this long ends the search
    int candidates;       // matches kept per position
    unsigned long_enough; // a match this long is weighed at its full length only
    unsigned skip_from;   // a match this long is taken without looking inside it; 0: never
    int passes;           // shortest paths per segment, each priced by the last
    int span;             // blocks chosen over this many segments; 0: each joins or not
} EFFORTS[2] = {
    {0, 12, 0, 4, 16, 16, 1, 0},
    {1, 64, LZH_MAX_MATCH, MAX_CANDIDATES, 128, 0, 3, 16},
};

// The segments whose blocks are not yet written, for the choice over a
// span: seg[0..n) hold e->sym[0 .. e->nsym), and cost[k] is the fewest
// bits that seg[0..k) can be written in, its last block from[k]..k-1.
struct Segment {
    unsigned start, nsym;
    uint32_t c_freq[LZH_NC], p_freq[LZH_NP_MAX];
};
struct Split {
    int n;
    struct Segment seg[LZH_PENDING];
    uint64_t cost[LZH_PENDING + 1];
    int from[LZH_PENDING + 1];
};

// The parse's state, allocated per piece.
struct ParseState {
    // Matches at each position of the segment: lengths rising, each with
    // the nearest distance that reaches it.
    uint16_t count[LZH_SEGMENT];
    uint16_t len[LZH_SEGMENT][MAX_CANDIDATES];
    uint32_t dist[LZH_SEGMENT][MAX_CANDIDATES];
    uint32_t cost[LZH_SEGMENT + 1];    // bits to reach each position
    uint16_t step_len[LZH_SEGMENT + 1];  // how it was reached: 1 for a literal
    uint32_t step_dist[LZH_SEGMENT + 1];
    uint32_t ends[LZH_SEGMENT + 1];
    unsigned c_bits[LZH_NC], p_bits[LZH_NP_MAX];
    // The segment's parse, kept after the open block's symbols, and its
    // counts; the open block's size alone.
    unsigned nsym;
    uint32_t c_freq[LZH_NC], p_freq[LZH_NP_MAX];
    uint64_t open_bits;
    struct Split split;
};

// A 3-byte match is kept however far back: the prices decide.
static int collect_matches(struct LzhEncoder *e, const struct LzhParseEffort *f, uint32_t pos,
                           uint16_t *lens, uint32_t *dists)
{
    if (f->trees)
        return lzh_mf_tree_matches(&e->mf, pos, f->depth, f->nice, UINT32_MAX, lens, dists,
                                   f->candidates);
    lzh_mf_insert(&e->mf, pos);
    return lzh_mf_matches(&e->mf, pos, LZH_MIN_MATCH - 1, f->depth, UINT32_MAX, lens, dists,
                          f->candidates);
}

// Prices from the code lengths of the counts the segment would be coded
// with if it joined the open block: the block's, and the segment's last
// parse weighed more. A symbol neither used is priced as a long code, so
// that it stays possible.
static void set_prices(struct LzhEncoder *e, struct ParseState *b)
{
    unsigned char c_len[LZH_NC], p_len[LZH_NP_MAX];
    uint32_t c_freq[LZH_NC], p_freq[LZH_NP_MAX];
    uint32_t w = e->nsym > 0 ? PRICE_WEIGHT : 1;
    for (int c = 0; c < LZH_NC; c++)
        c_freq[c] = e->c_freq[c] + b->c_freq[c] * w;
    for (int j = 0; j < e->pc.np; j++)
        p_freq[j] = e->p_freq[j] + b->p_freq[j] * w;
    lzh_code_lengths(c_freq, LZH_NC, c_len);
    lzh_code_lengths(p_freq, e->pc.np, p_len);
    for (int c = 0; c < LZH_NC; c++)
        b->c_bits[c] = c_len[c] ? c_len[c] : c < 256 ? (unsigned)UNUSED_LITERAL : (unsigned)UNUSED_LENGTH;
    for (int j = 0; j < e->pc.np; j++)
        b->p_bits[j] = (p_len[j] ? p_len[j] : (unsigned)UNUSED_POSITION) + lzh_position_extra_bits(j);
}

// The cheapest way through the segment's n bytes at win[start..), under the
// current prices; the steps are left in step_len/step_dist.
static void shortest_path(struct LzhEncoder *e, struct ParseState *b, unsigned long_enough,
                          uint32_t start, unsigned n)
{
    b->cost[0] = 0;
    for (unsigned i = 1; i <= n; i++)
        b->cost[i] = UINT32_MAX;
    for (unsigned i = 0; i < n; i++) {
        uint32_t here = b->cost[i];
        uint32_t lit = here + b->c_bits[e->mf.win[start + i]];
        if (lit < b->cost[i + 1]) {
            b->cost[i + 1] = lit;
            b->step_len[i + 1] = 1;
        }
        unsigned lo = LZH_MIN_MATCH;
        for (int k = 0; k < b->count[i]; k++) {
            unsigned hi = b->len[i][k];
            if (i + hi > n)
                hi = n - i;
            uint32_t d = b->dist[i][k];
            // Long matches only at their full length: the rest of a long
            // run is rarely worth weighing, and weighing it is slow.
            if (hi >= long_enough)
                lo = hi;
            uint32_t base = here + b->p_bits[lzh_position_symbol(d - 1)];
            const unsigned *len_bits = b->c_bits + 256 - LZH_MIN_MATCH;
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
static void take_path(struct LzhEncoder *e, struct ParseState *b, uint32_t start, unsigned n)
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
            unsigned char c = e->mf.win[start + at];
            sym[b->nsym] = c;
            b->c_freq[c]++;
        } else {
            unsigned c = 256 + l - LZH_MIN_MATCH;
            sym[b->nsym] = (uint16_t)c;
            dist[b->nsym] = (uint16_t)(b->step_dist[i] - 1);
            b->c_freq[c]++;
            b->p_freq[lzh_position_symbol(b->step_dist[i] - 1)]++;
        }
        b->nsym++;
        at = i;
    }
}

// Adds one set of counts to another: literal/length, then position.
static void add_counts(uint32_t *c_to, uint32_t *p_to, const uint32_t *c_from,
                       const uint32_t *p_from, int np)
{
    for (int c = 0; c < LZH_NC; c++)
        c_to[c] += c_from[c];
    for (int j = 0; j < np; j++)
        p_to[j] += p_from[j];
}

// The segment joins the open block if that is smaller than ending the
// block before it; otherwise the open block is written and the segment
// opens the next.
static void close_segment(struct LzhEncoder *e, struct ParseState *b)
{
    uint64_t alone = lzh_block_bits(b->c_freq, b->p_freq, e->pc);
    if (e->nsym > 0) {
        uint32_t c_freq[LZH_NC], p_freq[LZH_NP_MAX];
        memcpy(c_freq, e->c_freq, sizeof c_freq);
        memcpy(p_freq, e->p_freq, sizeof p_freq);
        add_counts(c_freq, p_freq, b->c_freq, b->p_freq, e->pc.np);
        uint64_t joined = lzh_block_bits(c_freq, p_freq, e->pc);
        if (e->nsym + b->nsym <= LZH_MAX_BLOCK && joined <= b->open_bits + alone) {
            memcpy(e->c_freq, c_freq, sizeof c_freq);
            memcpy(e->p_freq, p_freq, sizeof(uint32_t) * e->pc.np);
            e->nsym += b->nsym;
            b->open_bits = joined;
            return;
        }
        unsigned open = e->nsym;
        lzh_flush_block(e);
        memmove(e->sym, e->sym + open, b->nsym * sizeof e->sym[0]);
        memmove(e->dist, e->dist + open, b->nsym * sizeof e->dist[0]);
    }
    memcpy(e->c_freq, b->c_freq, sizeof e->c_freq);
    memcpy(e->p_freq, b->p_freq, sizeof(uint32_t) * e->pc.np);
    e->nsym = b->nsym;
    b->open_bits = alone;
}

// The best last block for seg[0..k+1) given the best for each shorter
// prefix: every start within the span, each priced whole. The winner's
// counts become the open block's, which the next segment is priced by.
static void choose_last_block(struct LzhEncoder *e, struct Split *s, int k, int span)
{
    uint32_t c_freq[LZH_NC] = {0}, p_freq[LZH_NP_MAX] = {0};
    uint64_t best = UINT64_MAX;
    unsigned nsym = 0;
    for (int i = k; i >= 0 && i > k - span; i--) {
        const struct Segment *g = &s->seg[i];
        nsym += g->nsym;
        if (nsym > LZH_MAX_BLOCK)
            break;
        add_counts(c_freq, p_freq, g->c_freq, g->p_freq, e->pc.np);
        uint64_t bits = s->cost[i] + lzh_block_bits(c_freq, p_freq, e->pc);
        if (bits < best) {
            best = bits;
            s->from[k + 1] = i;
            memcpy(e->c_freq, c_freq, sizeof c_freq);
            memcpy(e->p_freq, p_freq, sizeof p_freq);
        }
    }
    s->cost[k + 1] = best;
}

// Writes the blocks of the best path for seg[0..n) but its last, which stays
// open with its segments moved to the front.
static void write_chosen_blocks(struct LzhEncoder *e, struct Split *s, int span)
{
    int ends[LZH_PENDING + 1], nends = 0;
    for (int j = s->n; j > 0; j = s->from[j])
        ends[nends++] = j;
    int start = 0;
    for (int b = nends - 1; b >= 1; b--) {
        int end = ends[b];
        uint32_t c_freq[LZH_NC] = {0}, p_freq[LZH_NP_MAX] = {0};
        unsigned nsym = 0;
        for (int i = start; i < end; i++) {
            nsym += s->seg[i].nsym;
            add_counts(c_freq, p_freq, s->seg[i].c_freq, s->seg[i].p_freq, e->pc.np);
        }
        struct LzhBlock block = {e->sym + s->seg[start].start, e->dist + s->seg[start].start, nsym,
                                 c_freq, p_freq};
        lzh_write_block(&e->w, &block, e->pc);
        start = end;
    }
    unsigned first = s->seg[start].start;
    memmove(e->sym, e->sym + first, (e->nsym - first) * sizeof e->sym[0]);
    memmove(e->dist, e->dist + first, (e->nsym - first) * sizeof e->dist[0]);
    e->nsym -= first;
    s->n -= start;
    memmove(s->seg, s->seg + start, (size_t)s->n * sizeof s->seg[0]);
    for (int k = 0; k < s->n; k++) {
        s->seg[k].start -= first;
        choose_last_block(e, s, k, span);
    }
}

// The segment just parsed joins the pending ones; once they fill, the
// blocks of all but the last are written.
static void add_segment(struct LzhEncoder *e, struct ParseState *b, int span)
{
    struct Split *s = &b->split;
    struct Segment *g = &s->seg[s->n];
    g->start = e->nsym;
    g->nsym = b->nsym;
    memcpy(g->c_freq, b->c_freq, sizeof g->c_freq);
    memcpy(g->p_freq, b->p_freq, sizeof g->p_freq);
    e->nsym += b->nsym;
    choose_last_block(e, s, s->n++, span);
    if (s->n == LZH_PENDING)
        write_chosen_blocks(e, s, span);
}

LzhStatus lzh_parse_optimal(struct LzhEncoder *e, const unsigned char *data, size_t len,
                            uint32_t history, int window_bits, int best)
{
    const struct LzhParseEffort *f = &EFFORTS[best ? 1 : 0];
    struct ParseState *b = (struct ParseState *)malloc(sizeof *b);
    if (b == NULL)
        return LZH_NO_MEMORY;
    struct LzhMatchFinder *mf = &e->mf;
    b->split.n = 0;
    b->split.cost[0] = 0;
    uint32_t pos = lzh_mf_start(mf, data, len, history, window_bits, f->trees);
    // The first prices are plain; later segments start from the last one's.
    for (int c = 0; c < LZH_NC; c++)
        b->c_freq[c] = c < 256 ? 4 : 1;
    for (int j = 0; j < e->pc.np; j++)
        b->p_freq[j] = 1;
    while (lzh_encoder_status(e) == LZH_OK) {
        pos = lzh_mf_ahead(mf, pos, LZH_SEGMENT + LZH_MAX_MATCH + 1);
        if (pos >= mf->avail)
            break;
        unsigned n = mf->avail - pos < (uint32_t)LZH_SEGMENT ? mf->avail - pos : (uint32_t)LZH_SEGMENT;
        for (unsigned i = 0; i < n; i++) {
            int k = b->count[i] = (uint16_t)collect_matches(e, f, pos + i, b->len[i], b->dist[i]);
            if (f->skip_from == 0 || k == 0 || b->len[i][k - 1] < f->skip_from)
                continue;
            // Inside a long match only the chains learn the positions.
            unsigned end = i + b->len[i][k - 1] < n ? i + b->len[i][k - 1] : n;
            while (i + 1 < end) {
                b->count[++i] = 0;
                lzh_mf_insert(mf, pos + i);
            }
        }
        for (int pass = 0; pass < f->passes; pass++) {
            set_prices(e, b);
            shortest_path(e, b, f->long_enough, pos, n);
            take_path(e, b, pos, n);
        }
        if (f->span > 0)
            add_segment(e, b, f->span);
        else
            close_segment(e, b);
        pos += n;
    }
    // The last block stays open, for the piece's end to write: its counts
    // are then those of every symbol left.
    while (f->span > 0 && b->split.n > 0 && b->split.from[b->split.n] != 0)
        write_chosen_blocks(e, &b->split, f->span);
    free(b);
    return LZH_OK;
}
