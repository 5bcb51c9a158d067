// The fast parse: greedy matching with one step of look-ahead, in blocks of
// a fixed number of symbols.
#include "encoder.h"

enum {
    BLOCK_SYMBOLS = 0x2000,  // per block: small blocks follow the data (measured)
    // How hard the match finder looks: chains followed (a quarter of them
    // past a good match), and how far back a 3-byte match is still worth
    // its bits.
    MAX_CHAIN = 256,
    GOOD_LENGTH = 32,
    TOO_FAR = 8192,
};

// A full block is written when the next symbol comes, so that the last
// one of a piece is always left to the piece's end.
static void emit_literal(struct LzhEncoder *e, unsigned char c)
{
    if (e->nsym == BLOCK_SYMBOLS)
        lzh_flush_block(e);
    e->sym[e->nsym] = c;
    e->c_freq[c]++;
    e->nsym++;
}

static void emit_match(struct LzhEncoder *e, unsigned len, unsigned dist)
{
    if (e->nsym == BLOCK_SYMBOLS)
        lzh_flush_block(e);
    unsigned c = 256 + len - LZH_MIN_MATCH;
    e->sym[e->nsym] = (uint16_t)c;
    e->dist[e->nsym] = (uint16_t)(dist - 1);
    e->c_freq[c]++;
    e->p_freq[lzh_position_symbol(dist - 1)]++;
    e->nsym++;
}

// The longest match for pos longer than at_least, or 0; its distance in
// *dist. A short match far back costs more bits than its bytes as literals.
static unsigned longest_match(const struct LzhMatchFinder *mf, uint32_t pos, unsigned at_least,
                              unsigned *dist)
{
    uint16_t len;
    uint32_t d;
    int chain = at_least >= GOOD_LENGTH ? MAX_CHAIN / 4 : MAX_CHAIN;
    unsigned best = at_least < LZH_MIN_MATCH - 1 ? LZH_MIN_MATCH - 1 : at_least;
    if (lzh_mf_matches(mf, pos, best, chain, TOO_FAR, &len, &d, 1) == 0)
        return 0;
    *dist = d;
    return len;
}

void lzh_parse_lazy(struct LzhEncoder *e, uint32_t pos)
{
    struct LzhMatchFinder *mf = &e->mf;
    unsigned prev_len = 0, prev_dist = 0;
    int pending = 0;  // win[pos - 1] waits, as a literal or as prev_len's start
    for (;;) {
        pos = lzh_mf_ahead(mf, pos, LZH_MAX_MATCH + 1);
        if (pos >= mf->avail || lzh_encoder_status(e) != LZH_OK)
            break;
        lzh_mf_insert(mf, pos);
        unsigned dist = 0;
        unsigned len = longest_match(mf, pos, prev_len, &dist);
        if (pending && prev_len >= LZH_MIN_MATCH && len <= prev_len) {
            emit_match(e, prev_len, prev_dist);
            // The match began at pos - 1; its other positions join the chains.
            uint32_t end = pos - 1 + prev_len;
            while (++pos < end)
                lzh_mf_insert(mf, pos);
            pending = 0;
            prev_len = 0;
            continue;
        }
        if (pending)
            emit_literal(e, mf->win[pos - 1]);
        pending = 1;
        prev_len = len;
        prev_dist = dist;
        pos++;
    }
    if (pending && lzh_encoder_status(e) == LZH_OK) {
        if (prev_len >= LZH_MIN_MATCH)
            emit_match(e, prev_len, prev_dist);
        else
            emit_literal(e, mf->win[pos - 1]);
    }
}
