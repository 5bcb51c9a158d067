#include "decode.h"

#include <errno.h>
#include <string.h>

#include "../platform/platform.h"
#include "crc16.h"
#include "methods.h"

enum {
    NC = 510,             // literals 0-255, then match lengths 3-256
    NT = 19,              // symbols of the code-length code
    NPT = 20,             // room for the largest of NT and the position codes
    MAX_MATCH = 256,
    HIST = 1 << 19,       // the farthest any position code reaches (lhx)
    CHUNK = 1 << 18,      // output handed on per flush
    IN_SIZE = 1 << 15,
    C_FAST = 12,
    PT_FAST = 8,
};

// A canonical Huffman code: a table indexed by the next `fast` bits settles
// most symbols at once; longer codes fall to a search by length.
enum { NO_CODE = 0xFFFF, LONG_CODE = 0xFFFE };

struct Code {
    int fast;
    uint16_t table[1 << C_FAST];  // (symbol << 5) | length, or a marker
    uint16_t first[17], count[17], offset[17];
    uint16_t sorted[NC];
};

struct Bits {
    uint64_t acc;       // unread bits, left-aligned
    int n;              // how many of them
    const unsigned char *p, *end;
    FILE *in;
    uint64_t file_left;  // bytes of the member not yet read from the file
    uint64_t fed;        // bytes put into acc, padding zeros included
    LzhStatus error;
};

static unsigned char inbuf[IN_SIZE];
static unsigned char window[HIST + CHUNK + MAX_MATCH];
static struct Code c_code, pt_code;
static unsigned char c_len[NC], pt_len[NPT];

static void fill_input(struct Bits *b)
{
    size_t want = b->file_left < IN_SIZE ? (size_t)b->file_left : (size_t)IN_SIZE;
    size_t got = want ? fread(inbuf, 1, want, b->in) : 0;
    if (got < want && b->error == LZH_OK)
        b->error = ferror(b->in) ? LZH_READ_ERROR : LZH_DATA_CUT;
    b->file_left -= got;
    b->p = inbuf;
    b->end = inbuf + got;
}

// Past the member's data the stream reads as zeros; whether codes were taken
// from there is judged once, at the end, from the count of bytes fed.
static inline void refill(struct Bits *b)
{
    while (b->n <= 56) {
        if (b->p == b->end)
            fill_input(b);
        unsigned byte = b->p < b->end ? *b->p++ : 0;
        b->acc |= (uint64_t)byte << (56 - b->n);
        b->n += 8;
        b->fed++;
    }
}

static inline unsigned peek(const struct Bits *b, int k)
{
    return (unsigned)(b->acc >> (64 - k));
}

static inline void skip(struct Bits *b, int k)
{
    b->acc <<= k;
    b->n -= k;
}

static inline unsigned get(struct Bits *b, int k)
{
    if (k == 0)
        return 0;
    refill(b);
    unsigned v = peek(b, k);
    skip(b, k);
    return v;
}

// Builds the decoding tables from code lengths (0 = unused symbol). An
// over-subscribed set of lengths is corrupt; an incomplete one is accepted
// and only its unused codes are errors.
static int build(struct Code *code, int nsym, const unsigned char *len, int fast)
{
    uint16_t next[17];
    memset(code->count, 0, sizeof code->count);
    for (int s = 0; s < nsym; s++)
        code->count[len[s]]++;
    code->count[0] = 0;

    int left = 1;
    unsigned c = 0, idx = 0;
    for (int l = 1; l <= 16; l++) {
        left = left * 2 - code->count[l];
        if (left < 0)
            return -1;
        code->first[l] = (uint16_t)c;
        next[l] = (uint16_t)c;
        code->offset[l] = (uint16_t)idx;
        idx += code->count[l];
        c = (c + code->count[l]) << 1;
    }

    code->fast = fast;
    int size = 1 << fast;
    for (int i = 0; i < size; i++)
        code->table[i] = NO_CODE;
    uint16_t placed[17];
    memcpy(placed, code->offset, sizeof placed);
    for (int s = 0; s < nsym; s++) {
        int l = len[s];
        if (l == 0)
            continue;
        code->sorted[placed[l]++] = (uint16_t)s;
        unsigned v = next[l]++;
        if (l <= fast) {
            int span = 1 << (fast - l);
            uint16_t entry = (uint16_t)((s << 5) | l);
            for (int i = 0; i < span; i++)
                code->table[(v << (fast - l)) + i] = entry;
        } else {
            code->table[v >> (l - fast)] = LONG_CODE;
        }
    }
    return 0;
}

// A code of one symbol takes no bits at all.
static void build_single(struct Code *code, int symbol, int fast)
{
    code->fast = fast;
    for (int i = 0; i < (1 << fast); i++)
        code->table[i] = (uint16_t)(symbol << 5);
}

// Needs at least 16 bits in acc. Returns the symbol, or -1 for a code that
// was never assigned.
static inline int decode(struct Bits *b, const struct Code *code)
{
    unsigned e = code->table[peek(b, code->fast)];
    if (e < LONG_CODE) {
        skip(b, e & 31);
        return e >> 5;
    }
    if (e == NO_CODE)
        return -1;
    unsigned bits16 = peek(b, 16);
    for (int l = code->fast + 1; l <= 16; l++) {
        unsigned v = bits16 >> (16 - l);
        if (v - code->first[l] < code->count[l]) {
            skip(b, l);
            return code->sorted[code->offset[l] + v - code->first[l]];
        }
    }
    return -1;
}

// Lengths of the code-length code, and of the position code: 3-bit values,
// with 7 extended in unary. After `special` lengths a 2-bit count of zeros.
static int read_pt_len(struct Bits *b, int nn, int nbit, int special)
{
    int n = (int)get(b, nbit);
    if (n == 0) {
        int c = (int)get(b, nbit);
        if (c >= nn)
            return -1;
        build_single(&pt_code, c, PT_FAST);
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
                if (++c > 16)
                    return -1;
            }
            skip(b, c - 3);
        } else {
            skip(b, 3);
        }
        pt_len[i++] = (unsigned char)c;
        if (i == special) {
            int zeros = (int)get(b, 2);
            while (zeros-- > 0 && i < nn)
                pt_len[i++] = 0;
        }
    }
    while (i < nn)
        pt_len[i++] = 0;
    return build(&pt_code, nn, pt_len, PT_FAST);
}

// Lengths of the literal/length code, themselves coded with pt_code;
// symbols 0-2 stand for runs of zero lengths.
static int read_c_len(struct Bits *b)
{
    int n = (int)get(b, 9);
    if (n == 0) {
        int c = (int)get(b, 9);
        if (c >= NC)
            return -1;
        build_single(&c_code, c, C_FAST);
        return 0;
    }
    if (n > NC)
        return -1;
    int i = 0;
    while (i < n) {
        refill(b);
        int c = decode(b, &pt_code);
        if (c < 0)
            return -1;
        if (c <= 2) {
            int zeros = c == 0 ? 1 : c == 1 ? (int)get(b, 4) + 3 : (int)get(b, 9) + 20;
            if (i + zeros > NC)
                return -1;
            while (zeros-- > 0)
                c_len[i++] = 0;
        } else {
            c_len[i++] = (unsigned char)(c - 2);
        }
    }
    while (i < NC)
        c_len[i++] = 0;
    return build(&c_code, NC, c_len, C_FAST);
}

struct Out {
    LzhSink sink;
    void *ctx;
    uint16_t crc;
};

static int emit(struct Out *o, const unsigned char *p, size_t n)
{
    o->crc = crc16_update(o->crc, p, n);
    return o->sink(o->ctx, p, n);
}

static LzhStatus copy_stored(struct Bits *b, uint64_t size, struct Out *o)
{
    while (size > 0) {
        fill_input(b);
        size_t n = (size_t)(b->end - b->p);
        if (b->error != LZH_OK)
            return b->error;
        if (emit(o, b->p, n) != 0)
            return LZH_WRITE_ERROR;
        size -= n;
    }
    return LZH_OK;
}

// The state of one member's decoding: the history and the bytes not yet
// handed on live in window[HIST - hist .. pos).
struct Lz {
    struct Bits b;
    struct Out o;
    size_t pos;
    uint64_t left;         // decoded bytes still to come
    unsigned block_left;   // symbols left in the current block
    int np, pbit;          // position code: symbols, bits of its count
    size_t hist;           // the farthest it reaches: 2^(np - 1) bytes
};

// The block header: symbol count, the code-length code, the literal/length
// code, the position code.
static LzhStatus read_block_header(struct Lz *z, uint64_t packed)
{
    struct Bits *b = &z->b;
    // Zeros past the end decode as empty blocks for ever; stop them.
    if (b->error != LZH_OK)
        return b->error;
    if (b->fed > packed + 16)
        return LZH_CORRUPT;
    z->block_left = get(b, 16);
    if (read_pt_len(b, NT, 5, 3) != 0 || read_c_len(b) != 0)
        return b->error != LZH_OK ? b->error : LZH_CORRUPT;
    // The position code replaces the code-length code, now done with.
    if (read_pt_len(b, z->np, z->pbit, -1) != 0)
        return b->error != LZH_OK ? b->error : LZH_CORRUPT;
    return LZH_OK;
}

// A match of len bytes from dist back (1 <= dist <= hist), cut at the
// member's end.
static void copy_match(struct Lz *z, size_t dist, size_t len)
{
    if (len > z->left)
        len = (size_t)z->left;
    unsigned char *dst = window + z->pos;
    const unsigned char *src = window + (z->pos - dist);  // pos >= HIST >= hist >= dist
    if (dist >= len) {
        memcpy(dst, src, len);
    } else {
        for (size_t k = 0; k < len; k++)
            dst[k] = src[k];
    }
    z->pos += len;
    z->left -= len;
}

static void put_literal(struct Lz *z, unsigned c)
{
    window[z->pos++] = (unsigned char)c;
    z->left--;
}

// Hands on the rest once every byte is decoded, and judges the member: a
// decoder stopped early, or codes read from past the member's data, mean
// it was cut or damaged.
static LzhStatus finish(struct Lz *z, uint64_t packed)
{
    if (z->pos > HIST && emit(&z->o, window + HIST, z->pos - HIST) != 0)
        return LZH_WRITE_ERROR;
    if (z->b.error != LZH_OK)
        return z->b.error;
    if (z->left > 0 || z->b.fed * 8 - (uint64_t)z->b.n > packed * 8)
        return LZH_CORRUPT;
    return LZH_OK;
}

// One symbol: a literal byte, or a match of 3-256 bytes from the history.
static LzhStatus decode_symbol(struct Lz *z)
{
    struct Bits *b = &z->b;
    refill(b);
    int c = decode(b, &c_code);
    if (c < 0)
        return b->error != LZH_OK ? b->error : LZH_CORRUPT;
    if (c < 256) {
        put_literal(z, (unsigned)c);
        return LZH_OK;
    }
    size_t len = (size_t)(c - 253);
    refill(b);
    int j = decode(b, &pt_code);
    if (j < 0)
        return b->error != LZH_OK ? b->error : LZH_CORRUPT;
    size_t dist = (j == 0 ? 0 : ((size_t)1 << (j - 1)) + get(b, j - 1)) + 1;
    copy_match(z, dist, len);
    return LZH_OK;
}

// Hands on what was decoded once CHUNK bytes have gathered, keeping the
// history in front of the window.
static LzhStatus flush_full(struct Lz *z)
{
    if (z->pos < HIST + CHUNK)
        return LZH_OK;
    if (emit(&z->o, window + HIST, z->pos - HIST) != 0)
        return LZH_WRITE_ERROR;
    // Only as much history as the code can reach is kept.
    memmove(window + HIST - z->hist, window + z->pos - z->hist, z->hist);
    z->pos = HIST;
    return LZH_OK;
}

// LArc's LZSS (Okumura's, as LArc set it up): a ring of 2^bits bytes that
// output is written into from `start`, whose matches name a place in the
// ring. Decoded into the window as distances: the byte at ring place i was
// written (start - i - 1) mod size + 1 bytes ago, counting what the ring
// held before the first byte, which is its initial content.
struct Ring {
    size_t size, start;
    unsigned char initial[1 << 12];
};

// -lz5- starts its 4 KiB ring with runs of every byte, then every byte up
// and down, zeros, and spaces; -lzs- its 2 KiB one with spaces.
static void ring_setup(struct Lz *z, struct Ring *r, enum LzhFormat format)
{
    memset(r->initial, ' ', sizeof r->initial);
    if (format == LZH_RING_BYTES) {
        r->size = 4096;
        r->start = 4096 - 18;
        for (int i = 0; i < 256; i++)
            memset(r->initial + 18 + 13 * i, i, 13);
        for (int i = 0; i < 256; i++) {
            r->initial[18 + 13 * 256 + i] = (unsigned char)i;
            r->initial[18 + 13 * 256 + 256 + i] = (unsigned char)(255 - i);
        }
        memset(r->initial + 18 + 13 * 256 + 512, 0, 128);
    } else {
        r->size = 2048;
        r->start = 2048 - 17;
    }
    z->hist = r->size;
    for (size_t d = 1; d <= r->size; d++)
        window[HIST - d] = r->initial[(r->start - d) & (r->size - 1)];
}

static LzhStatus decode_ring(struct Lz *z, uint64_t packed, uint64_t original,
                             enum LzhFormat format)
{
    static struct Ring r;
    ring_setup(z, &r, format);
    struct Bits *b = &z->b;
    unsigned flags = 0;
    while (z->left > 0 && b->error == LZH_OK && b->fed <= packed + 8) {
        size_t at, len;
        int literal;
        if (format == LZH_RING_BYTES) {
            // Eight items to a flag byte, lowest bit first; 1 is a literal.
            if ((flags >>= 1) < 0x100)
                flags = get(b, 8) | 0xFF00;
            literal = flags & 1;
        } else {
            literal = get(b, 1);
        }
        if (literal) {
            put_literal(z, get(b, 8));
        } else {
            if (format == LZH_RING_BYTES) {
                unsigned lo = get(b, 8), hi = get(b, 8);
                at = lo | (hi & 0xF0) << 4;
                len = (hi & 0x0F) + 3;
            } else {
                at = get(b, 11);
                len = get(b, 4) + 2;
            }
            // The next byte's ring place: start, and every byte decoded.
            size_t here = (size_t)((r.start + original - z->left) & (r.size - 1));
            copy_match(z, ((here - at - 1) & (r.size - 1)) + 1, len);
        }
        LzhStatus s = flush_full(z);
        if (s != LZH_OK)
            return s;
    }
    return finish(z, packed);
}

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

static LzhStatus decode_adaptive(struct Lz *z, uint64_t packed)
{
    static struct Adaptive a;
    adaptive_start(&a);
    struct Bits *b = &z->b;
    z->hist = 4096;
    memset(window + HIST - z->hist, ' ', z->hist);
    while (z->left > 0 && b->error == LZH_OK && b->fed <= packed + 8) {
        int c = a.son[ROOT];
        while (c < TREE)
            c = a.son[c + (int)get(b, 1)];
        c -= TREE;
        adaptive_update(&a, c);
        if (c < 256)
            put_literal(z, (unsigned)c);
        else
            copy_match(z, adaptive_position(b) + 1, (size_t)(c - 253));
        LzhStatus s = flush_full(z);
        if (s != LZH_OK)
            return s;
    }
    return finish(z, packed);
}

static LzhStatus decode_lz(struct Lz *z, uint64_t packed)
{
    while (z->left > 0) {
        LzhStatus s;
        if (z->block_left == 0) {
            s = read_block_header(z, packed);
        } else {
            z->block_left--;
            s = decode_symbol(z);
            if (s == LZH_OK)
                s = flush_full(z);
        }
        if (s != LZH_OK)
            return s;
    }
    return finish(z, packed);
}

LzhStatus lzh_decode(FILE *in, uint64_t packed, uint64_t original,
                     const struct LzhMethod *m, LzhSink sink, void *ctx, uint16_t *crc)
{
    static struct Lz z;
    memset(&z, 0, sizeof z);
    z.b.in = in;
    z.b.file_left = packed;
    z.o.sink = sink;
    z.o.ctx = ctx;
    z.pos = HIST;
    z.left = original;
    *crc = 0;

    LzhStatus s;
    if (m == NULL) {
        s = LZH_CORRUPT;
    } else if (m->format == LZH_STORED) {
        s = packed == original ? copy_stored(&z.b, original, &z.o) : LZH_CORRUPT;
    } else if (m->format == LZH_ADAPTIVE) {
        s = decode_adaptive(&z, packed);
    } else if (m->format != LZH_STATIC_HUFFMAN) {
        s = decode_ring(&z, packed, original, m->format);
    } else {
        z.np = m->np;
        z.pbit = m->pbit;
        z.hist = (size_t)1 << (m->np - 1);
        // Matches may reach before the first byte; the window starts as spaces.
        memset(window + HIST - z.hist, ' ', z.hist);
        s = decode_lz(&z, packed);
    }
    *crc = z.o.crc;
    // Leftover bytes of the member are skipped so the next header follows.
    if (s == LZH_OK && z.b.file_left > 0 && plat_seek(in, (int64_t)z.b.file_left, SEEK_CUR) != 0)
        s = LZH_READ_ERROR;
    return s;
}

int lzh_method_bits(const char method[5])
{
    const struct LzhMethod *m = lzh_method(method);
    return m ? m->window_bits : -1;
}
