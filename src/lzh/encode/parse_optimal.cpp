// The parse, segment by segment of the input: a shortest path over every
// literal and every match the match finder offers, priced in bits by the
// code lengths the segment would be written with, then blocks chosen by
// their cost in bits, tables included: blocks end where the data's
// statistics change. --best then parses each block again at the code it
// is written in.
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
    // Matches kept for the pending segments, for refining their blocks: a
    // segment whose matches do not fit is written as first parsed.
    MATCH_POOL = 1 << 19,
};

// How hard each parse works. The default takes the chains' first matches
// and passes over the inside of a long match; --best asks the trees, weighs
// longer matches at every length, refines the prices and parses each
// block again at its own code.
static constexpr struct LzhParseEffort {
    int trees;            // the match finder: binary trees, else hash chains
    int depth;            // strings (trees) or chain links looked at per position
    unsigned nice;        // trees: a match this long ends the search
    int candidates;       // matches kept per position
    unsigned long_enough; // a match this long is weighed at its full length only
    unsigned skip_from;   // a match this long is taken without looking inside it; 0: never
    int passes;           // shortest paths per segment, each priced by the last
    int span;             // blocks chosen over this many segments; 0: each joins or not
    int refines;          // span: parses of each chosen block at its own code lengths
} EFFORTS[2] = {
    {0, 12, 0, 4, 16, 16, 1, 0, 0},
    {1, 64, LZH_MAX_MATCH, MAX_CANDIDATES, 128, 0, 2, 16, 2},
};
// Once the pending segments fill, the best split's last block must start
// after the first of them, or nothing is written and the next segment has
// no room: a span of LZH_PENDING would let one block take them all.
static_assert(EFFORTS[0].span < LZH_PENDING && EFFORTS[1].span < LZH_PENDING,
              "a span must leave a pending segment to write");

// The segments whose blocks are not yet written, for the choice over a
// span: seg[0..n) hold e->sym[0 .. e->nsym), and cost[k] is the fewest
// bits that seg[0..k) can be written in, its last block from[k]..k-1.
struct Segment {
    unsigned start, nsym;
    uint32_t c_freq[LZH_NC], p_freq[LZH_NP_MAX];
    const unsigned char *bytes;  // the segment's input, in the piece
    unsigned n;                  // its length
    uint32_t counts_at, matches_at;  // its matches in the pools
    int kept;                        // whether they fit
};
struct Split {
    int n;
    struct Segment seg[LZH_PENDING];
    uint64_t cost[LZH_PENDING + 1];
    int from[LZH_PENDING + 1];
};

// A parse of up to LZH_PENDING segments.
struct Symbols {
    uint16_t sym[LZH_PENDING * LZH_SEGMENT], dist[LZH_PENDING * LZH_SEGMENT];
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
    // The pending segments' matches, in their order: a count per position,
    // then each match's length - LZH_MIN_MATCH and distance - 1.
    unsigned char pool_count[LZH_PENDING * LZH_SEGMENT];
    unsigned char pool_len[MATCH_POOL];
    uint16_t pool_dist[MATCH_POOL];
    uint32_t pool_counts, pool_matches;  // in use
    struct Symbols refined[2];  // a block's parses: the one tried, the best kept
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

// Prices from the code lengths of these counts. A symbol they lack is
// priced as a long code, so that it stays possible.
static void prices_of(struct LzhEncoder *e, struct ParseState *b, const uint32_t *c_freq,
                      const uint32_t *p_freq)
{
    unsigned char c_len[LZH_NC], p_len[LZH_NP_MAX];
    lzh_code_lengths(c_freq, LZH_NC, c_len);
    lzh_code_lengths(p_freq, e->pc.np, p_len);
    for (int c = 0; c < LZH_NC; c++)
        b->c_bits[c] = c_len[c] ? c_len[c] : c < 256 ? (unsigned)UNUSED_LITERAL : (unsigned)UNUSED_LENGTH;
    for (int j = 0; j < e->pc.np; j++)
        b->p_bits[j] = (p_len[j] ? p_len[j] : (unsigned)UNUSED_POSITION) + lzh_position_extra_bits(j);
}

// Prices from the counts the segment would be coded with if it joined the
// open block: the block's, and the segment's last parse weighed more.
static void set_prices(struct LzhEncoder *e, struct ParseState *b)
{
    uint32_t c_freq[LZH_NC], p_freq[LZH_NP_MAX];
    uint32_t w = e->nsym > 0 ? PRICE_WEIGHT : 1;
    for (int c = 0; c < LZH_NC; c++)
        c_freq[c] = e->c_freq[c] + b->c_freq[c] * w;
    for (int j = 0; j < e->pc.np; j++)
        p_freq[j] = e->p_freq[j] + b->p_freq[j] * w;
    prices_of(e, b, c_freq, p_freq);
}

// The cheapest way through the segment's n bytes, under the current
// prices; the steps are left in step_len/step_dist.
static void shortest_path(struct ParseState *b, unsigned long_enough, const unsigned char *bytes,
                          unsigned n)
{
    b->cost[0] = 0;
    for (unsigned i = 1; i <= n; i++)
        b->cost[i] = UINT32_MAX;
    for (unsigned i = 0; i < n; i++) {
        uint32_t here = b->cost[i];
        uint32_t lit = here + b->c_bits[bytes[i]];
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

// Turns the path into the segment's symbols, into sym and dist, adds them
// to the counts, and returns how many there are.
static unsigned take_path(struct ParseState *b, const unsigned char *bytes, unsigned n,
                          uint16_t *sym, uint16_t *dist, uint32_t *c_freq, uint32_t *p_freq)
{
    // Walk back, then forward.
    uint32_t *ends = b->ends;
    unsigned k = 0;
    for (unsigned i = n; i > 0; i -= b->step_len[i])
        ends[k++] = i;
    unsigned at = 0, nsym = 0;
    while (k > 0) {
        unsigned i = ends[--k], l = i - at;
        if (l == 1) {
            unsigned char c = bytes[at];
            sym[nsym] = c;
            c_freq[c]++;
        } else {
            unsigned c = 256 + l - LZH_MIN_MATCH;
            sym[nsym] = (uint16_t)c;
            dist[nsym] = (uint16_t)(b->step_dist[i] - 1);
            c_freq[c]++;
            p_freq[lzh_position_symbol(b->step_dist[i] - 1)]++;
        }
        nsym++;
        at = i;
    }
    return nsym;
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

// Keeps the matches of the segment just parsed, g, for refining its block.
static void keep_matches(struct ParseState *b, struct Segment *g)
{
    g->counts_at = b->pool_counts;
    g->matches_at = b->pool_matches;
    uint32_t m = 0;
    for (unsigned i = 0; i < g->n; i++)
        m += b->count[i];
    g->kept = b->pool_matches + m <= MATCH_POOL;
    if (!g->kept)
        return;
    for (unsigned i = 0; i < g->n; i++) {
        b->pool_count[b->pool_counts++] = (unsigned char)b->count[i];
        for (int k = 0; k < b->count[i]; k++) {
            b->pool_len[b->pool_matches] = (unsigned char)(b->len[i][k] - LZH_MIN_MATCH);
            b->pool_dist[b->pool_matches++] = (uint16_t)(b->dist[i][k] - 1);
        }
    }
}

static void restore_matches(struct ParseState *b, const struct Segment *g)
{
    uint32_t m = g->matches_at;
    for (unsigned i = 0; i < g->n; i++) {
        int count = b->count[i] = b->pool_count[g->counts_at + i];
        for (int k = 0; k < count; k++, m++) {
            b->len[i][k] = (uint16_t)(b->pool_len[m] + LZH_MIN_MATCH);
            b->dist[i][k] = b->pool_dist[m] + 1u;
        }
    }
}

// Parses the block of seg[first..end) again, priced by the code lengths it
// is to be written with, for as long as that makes it smaller: each parse
// is the cheapest under the last one's code. The block's segments were
// parsed at the prices of the blocks before them; this is where they learn
// their own. *k, its symbols and counts, becomes the smallest parse found.
static void refine_block(struct LzhEncoder *e, struct ParseState *b,
                         const struct LzhParseEffort *f, int first, int end, struct LzhBlock *k,
                         uint32_t *c_freq, uint32_t *p_freq)
{
    const struct Split *s = &b->split;
    for (int i = first; i < end; i++)
        if (!s->seg[i].kept)
            return;
    struct Symbols *tried = &b->refined[0], *kept = &b->refined[1];
    uint64_t bits = lzh_block_bits(c_freq, p_freq, e->pc);
    for (int round = 0; round < f->refines; round++) {
        prices_of(e, b, c_freq, p_freq);
        uint32_t c_try[LZH_NC] = {0}, p_try[LZH_NP_MAX] = {0};
        unsigned nsym = 0;
        for (int i = first; i < end; i++) {
            const struct Segment *g = &s->seg[i];
            restore_matches(b, g);
            shortest_path(b, f->long_enough, g->bytes, g->n);
            nsym += take_path(b, g->bytes, g->n, tried->sym + nsym, tried->dist + nsym, c_try,
                              p_try);
        }
        uint64_t tried_bits = lzh_block_bits(c_try, p_try, e->pc);
        if (nsym > LZH_MAX_BLOCK || tried_bits >= bits)
            break;
        bits = tried_bits;
        memcpy(c_freq, c_try, sizeof c_try);
        memcpy(p_freq, p_try, sizeof(uint32_t) * e->pc.np);
        k->sym = tried->sym;
        k->dist = tried->dist;
        k->nsym = nsym;
        struct Symbols *t = kept;
        kept = tried;
        tried = t;
    }
}

// Drops the matches of the segments before seg[first].
static void drop_matches(struct ParseState *b, int first)
{
    struct Split *s = &b->split;
    uint32_t counts = s->seg[first].counts_at, matches = s->seg[first].matches_at;
    b->pool_counts -= counts;
    b->pool_matches -= matches;
    memmove(b->pool_count, b->pool_count + counts, b->pool_counts);
    memmove(b->pool_len, b->pool_len + matches, b->pool_matches);
    memmove(b->pool_dist, b->pool_dist + matches, b->pool_matches * sizeof b->pool_dist[0]);
    for (int i = first; i < s->n; i++) {
        s->seg[i].counts_at -= counts;
        s->seg[i].matches_at -= matches;
    }
}

// Writes the blocks of the best path for seg[0..n) but its last, which stays
// open with its segments moved to the front.
static void write_chosen_blocks(struct LzhEncoder *e, struct ParseState *p,
                                const struct LzhParseEffort *f)
{
    struct Split *s = &p->split;
    int span = f->span;
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
        refine_block(e, p, f, start, end, &block, c_freq, p_freq);
        lzh_write_block(&e->w, &block, e->pc);
        start = end;
    }
    drop_matches(p, start);
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
static void add_segment(struct LzhEncoder *e, struct ParseState *b, const struct LzhParseEffort *f,
                        const unsigned char *bytes, unsigned n)
{
    struct Split *s = &b->split;
    struct Segment *g = &s->seg[s->n];
    g->start = e->nsym;
    g->nsym = b->nsym;
    memcpy(g->c_freq, b->c_freq, sizeof g->c_freq);
    memcpy(g->p_freq, b->p_freq, sizeof g->p_freq);
    g->bytes = bytes;
    g->n = n;
    keep_matches(b, g);
    e->nsym += b->nsym;
    choose_last_block(e, s, s->n++, f->span);
    if (s->n == LZH_PENDING)
        write_chosen_blocks(e, b, f);
}

// The piece's last block, refined where it lies: the piece's end writes it.
static void refine_open_block(struct LzhEncoder *e, struct ParseState *b,
                              const struct LzhParseEffort *f)
{
    struct LzhBlock block = {e->sym, e->dist, e->nsym, e->c_freq, e->p_freq};
    refine_block(e, b, f, 0, b->split.n, &block, e->c_freq, e->p_freq);
    if (block.sym != e->sym) {
        memcpy(e->sym, block.sym, block.nsym * sizeof e->sym[0]);
        memcpy(e->dist, block.dist, block.nsym * sizeof e->dist[0]);
        e->nsym = block.nsym;
    }
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
    b->pool_counts = b->pool_matches = 0;
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
        // The piece's own bytes: the window slides before pending blocks are written.
        const unsigned char *bytes = mf->src + (mf->src_at - mf->avail + pos);
        for (int pass = 0; pass < f->passes; pass++) {
            set_prices(e, b);
            shortest_path(b, f->long_enough, bytes, n);
            memset(b->c_freq, 0, sizeof b->c_freq);
            memset(b->p_freq, 0, sizeof b->p_freq);
            b->nsym = take_path(b, bytes, n, e->sym + e->nsym, e->dist + e->nsym, b->c_freq,
                                b->p_freq);
        }
        if (f->span > 0)
            add_segment(e, b, f, bytes, n);
        else
            close_segment(e, b);
        pos += n;
    }
    // The last block stays open, for the piece's end to write: its counts
    // are then those of every symbol left.
    while (f->span > 0 && b->split.n > 0 && b->split.from[b->split.n] != 0)
        write_chosen_blocks(e, b, f);
    if (f->span > 0 && b->split.n > 0)
        refine_open_block(e, b, f);
    free(b);
    return LZH_OK;
}
