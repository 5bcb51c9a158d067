// The static-Huffman LZ77 methods (-lh4- to -lh7-, -lhx-): blocks, each
// with its symbol count, the code-length code, the literal/length code and
// the position code, then the codes themselves.
#include <stdlib.h>

#include "canonical.h"
#include "decoder.h"

enum {
    NPT = LZH_NP_MAX > LZH_NT ? LZH_NP_MAX : LZH_NT,  // the code-length code, then the position code
    C_FAST = 12,
    PT_FAST = 8,
};

// A block's codes, and how many symbols of it are left.
struct Blocks {
    struct Code c_code, pt_code;
    unsigned char c_len[LZH_NC], pt_len[NPT];
    unsigned block_left;
    int np, pbit;          // position code: symbols, bits of its count
};

// Lengths of the code-length code, and of the position code: 3-bit values,
// with 7 extended in unary. After `special` lengths a 2-bit count of zeros.
static int read_pt_len(struct Blocks *k, struct Bits *b, int nn, int nbit, int special)
{
    int n = (int)get(b, nbit);
    if (n == 0) {
        int c = (int)get(b, nbit);
        if (c >= nn)
            return -1;
        lzh_code_single(&k->pt_code, c, PT_FAST);
        return 0;
    }
    if (n > nn)
        return -1;
    int i = 0;
    while (i < n) {
        refill(b);
        int c = (int)peek(b, 3);
        if (c == 7) {
            uint64_t mask = (uint64_t)1 << 60;
            while (b->acc & mask) {
                mask >>= 1;
                if (++c > LZH_MAX_CODE_LEN)
                    return -1;
            }
            skip(b, c - 3);
        } else {
            skip(b, 3);
        }
        k->pt_len[i++] = (unsigned char)c;
        if (i == special) {
            int zeros = (int)get(b, 2);
            while (zeros-- > 0 && i < nn)
                k->pt_len[i++] = 0;
        }
    }
    while (i < nn)
        k->pt_len[i++] = 0;
    return lzh_code_build(&k->pt_code, nn, k->pt_len, PT_FAST);
}

// Lengths of the literal/length code, themselves coded with pt_code;
// symbols 0-2 stand for runs of zero lengths.
static int read_c_len(struct Blocks *k, struct Bits *b)
{
    int n = (int)get(b, LZH_CBIT);
    if (n == 0) {
        int c = (int)get(b, LZH_CBIT);
        if (c >= LZH_NC)
            return -1;
        lzh_code_single(&k->c_code, c, C_FAST);
        return 0;
    }
    if (n > LZH_NC)
        return -1;
    int i = 0;
    while (i < n) {
        refill(b);
        int c = lzh_code_decode(b, &k->pt_code);
        if (c < 0)
            return -1;
        if (c <= 2) {
            int zeros = c == 0 ? 1 : c == 1 ? (int)get(b, 4) + 3 : (int)get(b, LZH_CBIT) + 20;
            if (i + zeros > LZH_NC)
                return -1;
            while (zeros-- > 0)
                k->c_len[i++] = 0;
        } else {
            k->c_len[i++] = (unsigned char)(c - 2);
        }
    }
    while (i < LZH_NC)
        k->c_len[i++] = 0;
    return lzh_code_build(&k->c_code, LZH_NC, k->c_len, C_FAST);
}

// The block header: symbol count, the code-length code, the literal/length
// code, the position code.
static LzhStatus read_block_header(struct LzDecoder *z, struct Blocks *k)
{
    struct Bits *b = &z->b;
    // Zeros past the end decode as empty blocks for ever; stop them.
    if (b->error != LZH_OK)
        return b->error;
    if (b->fed > z->packed + 16)
        return LZH_CORRUPT;
    k->block_left = get(b, LZH_BLOCK_COUNT_BITS);
    if (read_pt_len(k, b, LZH_NT, LZH_TBIT, LZH_T_SPECIAL) != 0 || read_c_len(k, b) != 0)
        return b->error != LZH_OK ? b->error : LZH_CORRUPT;
    // The position code replaces the code-length code, now done with.
    if (read_pt_len(k, b, k->np, k->pbit, -1) != 0)
        return b->error != LZH_OK ? b->error : LZH_CORRUPT;
    return LZH_OK;
}

// One symbol: a literal byte, or a match of 3-256 bytes from the history.
static LzhStatus decode_symbol(struct LzDecoder *z, const struct Blocks *k)
{
    struct Bits *b = &z->b;
    refill(b);
    int c = lzh_code_decode(b, &k->c_code);
    if (c < 0)
        return b->error != LZH_OK ? b->error : LZH_CORRUPT;
    if (c < 256) {
        put_literal(z, (unsigned)c);
        return LZH_OK;
    }
    size_t len = (size_t)(c - 256 + LZH_MIN_MATCH);
    refill(b);
    int j = lzh_code_decode(b, &k->pt_code);
    if (j < 0)
        return b->error != LZH_OK ? b->error : LZH_CORRUPT;
    size_t dist = (size_t)lzh_position_value(j, get(b, lzh_position_extra_bits(j))) + 1;
    copy_match(z, dist, len);
    return LZH_OK;
}

// Symbols while nothing can run out: input for a whole symbol in the
// buffer, room for a whole match before the flush, and more bytes to come
// than a match holds. The bit state is kept in locals, which the window's
// stores cannot alias. What the first tables do not settle is left for
// decode_symbol.
static void decode_fast(struct LzDecoder *z, struct Blocks *k)
{
    struct Bits *b = &z->b;
    uint64_t acc = b->acc;
    int n = b->n;
    const unsigned char *p = b->p;
    unsigned char *w = z->window;
    size_t pos = z->pos;
    uint64_t left = z->left;
    unsigned block_left = k->block_left;
    // One load of eight bytes gives 56 bits or more: a literal/length code
    // (16), a position code (16) and its extra bits (18) at most.
    while (block_left > 0 && b->end - p >= 8 && pos < HIST + CHUNK && left > LZH_MAX_MATCH) {
        p = refill_word(&acc, &n, p);
        // Codes the first table settles; longer ones, rare, are left to
        // decode_symbol too.
        unsigned ec = lzh_code_entry(acc, &k->c_code);
        if (ec >= LONG_CODE)
            break;
        int c = (int)(ec >> 5), len_c = (int)(ec & 31);
        if (c < 256) {
            acc <<= len_c;
            n -= len_c;
            w[pos++] = (unsigned char)c;
            left--;
            block_left--;
            continue;
        }
        unsigned ep = lzh_code_entry(acc << len_c, &k->pt_code);
        if (ep >= LONG_CODE)
            break;
        int j = (int)(ep >> 5), len_p = (int)(ep & 31);
        acc <<= len_c + len_p;
        n -= len_c + len_p;
        int x = lzh_position_extra_bits(j);
        uint32_t extra = x ? (uint32_t)(acc >> (64 - x)) : 0;
        acc <<= x;
        n -= x;
        size_t dist = (size_t)lzh_position_value(j, extra) + 1;
        size_t len = (size_t)(c - 256 + LZH_MIN_MATCH);
        lz_copy_back(w + pos, dist, len);
        pos += len;
        left -= len;
        block_left--;
    }
    b->fed += (uint64_t)(p - b->p);
    b->acc = acc;
    b->n = n;
    b->p = p;
    z->pos = pos;
    z->left = left;
    k->block_left = block_left;
}

LzhStatus lzh_decode_static(struct LzDecoder *z, const struct LzhMethod *m)
{
    struct Blocks *k = (struct Blocks *)malloc(sizeof *k);
    if (k == NULL)
        return LZH_NO_MEMORY;
    k->block_left = 0;
    k->np = m->np;
    k->pbit = m->pbit;
    // Matches may reach before the first byte; the window starts as spaces.
    lz_prefill(z, (size_t)1 << (m->np - 1), ' ');
    LzhStatus s = LZH_OK;
    while (s == LZH_OK && z->left > 0) {
        if (k->block_left == 0) {
            s = read_block_header(z, k);
        } else {
            decode_fast(z, k);
            s = lz_flush_full(z);
            if (s != LZH_OK || k->block_left == 0 || z->left == 0)
                continue;
            k->block_left--;
            s = decode_symbol(z, k);
            if (s == LZH_OK)
                s = lz_flush_full(z);
        }
    }
    free(k);
    return s == LZH_OK ? lz_finish(z) : s;
}
