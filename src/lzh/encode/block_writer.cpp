#include "block_writer.h"

#include <string.h>

#include "huffman.h"

void lzh_bits_init(struct LzhBitWriter *w, LzhSink sink, void *ctx, unsigned char *out,
                   size_t room)
{
    memset(w, 0, sizeof *w);
    w->sink = sink;
    w->ctx = ctx;
    w->out = out;
    w->room = room;
}

void lzh_bits_flush(struct LzhBitWriter *w)
{
    if (w->nout > 0 && w->status == LZH_OK && w->sink(w->ctx, w->out, w->nout) != 0)
        w->status = LZH_WRITE_ERROR;
    w->packed += w->nout;
    w->nout = 0;
}

// A block's three codes.
struct Codes {
    unsigned char c_len[LZH_NC], p_len[LZH_NP_MAX], t_len[LZH_NT];
    uint16_t c_code[LZH_NC], p_code[LZH_NP_MAX], t_code[LZH_NT];
    uint32_t t_freq[LZH_NT];
    int c_used, p_used, t_used;
    int c_count;  // literal/length lengths sent, trailing zeros left off
};

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

// The code-length code's symbols for the literal/length lengths: 0, 1 and 2
// for runs of zeros, length + 2 otherwise. With t_freq, only counts the
// symbols; otherwise writes them and the bits that follow them.
static void walk_c_lengths(struct LzhBitWriter *w, const struct Codes *k, uint32_t *t_freq)
{
    auto symbol = [&](int t) {
        if (t_freq)
            t_freq[t]++;
        else
            lzh_put_bits(w, k->t_len[t], k->t_code[t]);
    };
    auto bits = [&](int count, uint32_t v) {
        if (!t_freq)
            lzh_put_bits(w, count, v);
    };
    const unsigned char *c_len = k->c_len;
    for (int i = 0, n = k->c_count; i < n;) {
        int len = c_len[i++];
        if (len != 0) {
            symbol(len + 2);
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
            bits(LZH_CBIT, (uint32_t)(run - 20));
        }
    }
}

// Lengths of the code-length code or the position code: 3 bits each, 7 and
// up as that many ones less four and a zero; after the `special`-th, a 2-bit
// count of zeros. A code of one symbol is a count of 0 and the symbol.
static void write_pt_lengths(struct LzhBitWriter *w, const unsigned char *len, int nn, int nbit,
                             int special, int used, const uint32_t *freq)
{
    if (used < 2) {
        lzh_put_bits(w, nbit, 0);
        lzh_put_bits(w, nbit, (uint32_t)only_symbol(freq, nn));
        return;
    }
    int n = trimmed(len, nn);
    lzh_put_bits(w, nbit, (uint32_t)n);
    for (int i = 0; i < n;) {
        int k = len[i++];
        if (k <= 6)
            lzh_put_bits(w, 3, (uint32_t)k);
        else
            lzh_put_bits(w, k - 3, (1u << (k - 3)) - 2);
        if (i == special) {
            while (i < 6 && i < n && len[i] == 0)
                i++;
            lzh_put_bits(w, 2, (uint32_t)(i - special));
        }
    }
}

// The lengths of the three codes; with words, their code words too, which
// pricing does not need.
static void make_codes(struct Codes *k, const uint32_t *c_freq, const uint32_t *p_freq, int np,
                       int words)
{
    k->c_used = lzh_code_lengths(c_freq, LZH_NC, k->c_len);
    k->p_used = lzh_code_lengths(p_freq, np, k->p_len);
    k->c_count = trimmed(k->c_len, LZH_NC);
    memset(k->t_freq, 0, sizeof k->t_freq);
    k->t_used = 0;
    if (k->c_used >= 2) {
        walk_c_lengths(NULL, k, k->t_freq);
        k->t_used = lzh_code_lengths(k->t_freq, LZH_NT, k->t_len);
    }
    if (!words)
        return;
    if (k->c_used >= 2)
        lzh_code_words(k->t_len, LZH_NT, k->t_code);
    lzh_code_words(k->c_len, LZH_NC, k->c_code);
    lzh_code_words(k->p_len, np, k->p_code);
}

static void write_block_with(struct LzhBitWriter *w, const struct Codes *k,
                             const struct LzhBlock *b, struct LzhPositionCode pc)
{
    lzh_put_bits(w, LZH_BLOCK_COUNT_BITS, b->nsym);
    if (k->c_used < 2) {
        // One symbol: both the code-length code and the code are empty.
        lzh_put_bits(w, LZH_TBIT, 0);
        lzh_put_bits(w, LZH_TBIT, 0);
        lzh_put_bits(w, LZH_CBIT, 0);
        lzh_put_bits(w, LZH_CBIT, (uint32_t)only_symbol(b->c_freq, LZH_NC));
    } else {
        write_pt_lengths(w, k->t_len, LZH_NT, LZH_TBIT, LZH_T_SPECIAL, k->t_used, k->t_freq);
        lzh_put_bits(w, LZH_CBIT, (uint32_t)k->c_count);
        walk_c_lengths(w, k, NULL);
    }
    write_pt_lengths(w, k->p_len, pc.np, pc.pbit, -1, k->p_used, b->p_freq);

    if (w->sink == NULL) {
        uint64_t bits = 0;
        for (int c = 0; c < LZH_NC; c++)
            bits += (uint64_t)b->c_freq[c] * k->c_len[c];
        for (int j = 0; j < pc.np; j++)
            bits += (uint64_t)b->p_freq[j] * (k->p_len[j] + lzh_position_extra_bits(j));
        w->counted += bits;
        return;
    }
    for (unsigned i = 0; i < b->nsym; i++) {
        unsigned c = b->sym[i];
        lzh_put_bits(w, k->c_len[c], k->c_code[c]);
        if (c >= 256) {
            uint32_t d = b->dist[i];
            int j = lzh_position_symbol(d);
            lzh_put_bits(w, k->p_len[j], k->p_code[j]);
            lzh_put_bits(w, lzh_position_extra_bits(j), d);
        }
    }
}

void lzh_write_block(struct LzhBitWriter *w, const struct LzhBlock *b, struct LzhPositionCode pc)
{
    struct Codes k;
    make_codes(&k, b->c_freq, b->p_freq, pc.np, w->sink != NULL);
    write_block_with(w, &k, b, pc);
}

uint64_t lzh_block_bits(const uint32_t *c_freq, const uint32_t *p_freq, struct LzhPositionCode pc)
{
    struct LzhBitWriter w;
    lzh_bits_init(&w, NULL, NULL, NULL, 0);
    struct LzhBlock b = {NULL, NULL, 0, c_freq, p_freq};
    lzh_write_block(&w, &b, pc);
    return w.counted;
}
