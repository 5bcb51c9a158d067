// What every decoder of the family shares: the bit reader, the output
// window with its history, and the steps that put bytes into it and hand
// them on. Each member's decoding has a state of its own (LzDecoder), and
// each method's decoder keeps its tables in an object of its own.
#ifndef LZH_DECODER_H
#define LZH_DECODER_H

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "decode.h"
#include "../methods.h"

enum {
    MAX_MATCH = 288,      // the longest match of any method (-lh2-, -lh3-: 287)
    HIST = 1 << 19,       // the farthest any method reaches (lhx)
    CHUNK = 1 << 18,      // output handed on per flush
    IN_SIZE = 1 << 15,
};

// Bits are taken from the most significant end of each byte, as every
// method of the family writes them.
struct Bits {
    uint64_t acc;       // unread bits, left-aligned
    int n;              // how many of them
    const unsigned char *p, *end;
    struct LzhInput *in;
    uint64_t file_left;  // bytes of the member not yet read
    uint64_t fed;        // bytes put into acc, padding zeros included
    LzhStatus error;
    unsigned char buf[IN_SIZE];
};

struct Out {
    LzhSink sink;
    void *ctx;
    uint16_t crc;
};

// One member's decoding: the history and the bytes not yet handed on live
// in window[HIST - hist .. pos).
struct LzDecoder {
    struct Bits b;
    struct Out o;
    uint64_t packed;       // the member's data, in bytes
    uint64_t original;     // its decoded size
    uint64_t left;         // decoded bytes still to come
    size_t pos;
    size_t hist;           // the farthest the method reaches
    unsigned char window[HIST + CHUNK + MAX_MATCH + 8];  // and what a match copy overruns
};

void lzh_fill_input(struct Bits *b);

// Past the member's data the stream reads as zeros; whether codes were taken
// from there is judged once, at the end, from the count of bytes fed.
// Tops acc (n bits valid, n <= 63) up to 56 bits or more from the eight
// bytes at p, which must be there; returns p past the whole bytes taken.
// What lands below the bits counted is the stream's next bits, in place, so
// loading them again is harmless.
static inline const unsigned char *refill_word(uint64_t *acc, int *n, const unsigned char *p)
{
    uint64_t v = (uint64_t)p[0] << 56 | (uint64_t)p[1] << 48 | (uint64_t)p[2] << 40 |
                 (uint64_t)p[3] << 32 | (uint64_t)p[4] << 24 | (uint64_t)p[5] << 16 |
                 (uint64_t)p[6] << 8 | (uint64_t)p[7];
    *acc |= v >> *n;
    p += (unsigned)(63 - *n) >> 3;
    *n |= 56;
    return p;
}

static inline void refill(struct Bits *b)
{
    if (b->n <= 56 && b->end - b->p >= 8) {
        const unsigned char *p = refill_word(&b->acc, &b->n, b->p);
        b->fed += (uint64_t)(p - b->p);
        b->p = p;
        return;
    }
    while (b->n <= 56) {
        if (b->p == b->end)
            lzh_fill_input(b);
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

// Whether the decoder should go on: bytes still to come, nothing wrong,
// and no more than `slack` bytes of zeros read past the data (which a
// damaged stream would otherwise decode from for ever).
static inline int lz_going(const struct LzDecoder *z, unsigned slack)
{
    return z->left > 0 && z->b.error == LZH_OK && z->b.fed <= z->packed + slack;
}

// The history before the first byte, which matches may reach into: hist
// bytes of c.
static inline void lz_prefill(struct LzDecoder *z, size_t hist, int c)
{
    z->hist = hist;
    memset(z->window + HIST - hist, c, hist);
}

// Copies len bytes to dst from dist back. From eight back or more, eight
// bytes at a time, each read at least eight behind where it goes, so
// overlapping copies repeat as they must; up to seven bytes past the match
// are written, and decoded over later (the window has room for them).
static inline void lz_copy_back(unsigned char *dst, size_t dist, size_t len)
{
    const unsigned char *src = dst - dist;
    if (dist >= 8) {
        for (size_t k = 0; k < len; k += 8)
            memcpy(dst + k, src + k, 8);
    } else if (dist >= len) {
        memcpy(dst, src, len);
    } else {
        for (size_t k = 0; k < len; k++)
            dst[k] = src[k];
    }
}

// A match of len bytes from dist back (1 <= dist <= hist), cut at the
// member's end.
static inline void copy_match(struct LzDecoder *z, size_t dist, size_t len)
{
    if (len > z->left)
        len = (size_t)z->left;
    lz_copy_back(z->window + z->pos, dist, len);  // pos >= HIST >= hist >= dist
    z->pos += len;
    z->left -= len;
}

static inline void put_literal(struct LzDecoder *z, unsigned c)
{
    z->window[z->pos++] = (unsigned char)c;
    z->left--;
}

// Hands on what was decoded once CHUNK bytes have gathered, keeping the
// history in front of the window.
LzhStatus lz_flush_full(struct LzDecoder *z);

// Hands on the rest once every byte is decoded, and judges the member: a
// decoder stopped early, or codes read from past the member's data, mean
// it was cut or damaged.
LzhStatus lz_finish(struct LzDecoder *z);

// The decoders of the family, one per format (methods.h).
typedef LzhStatus (*LzhFormatDecoder)(struct LzDecoder *z, const struct LzhMethod *m);
LzhStatus lzh_decode_static(struct LzDecoder *z, const struct LzhMethod *m);
LzhStatus lzh_decode_adaptive(struct LzDecoder *z, const struct LzhMethod *m);
LzhStatus lzh_decode_dynamic(struct LzDecoder *z, const struct LzhMethod *m);
LzhStatus lzh_decode_early_static(struct LzDecoder *z, const struct LzhMethod *m);
LzhStatus lzh_decode_ring(struct LzDecoder *z, const struct LzhMethod *m);
LzhStatus lzh_decode_pm1(struct LzDecoder *z, const struct LzhMethod *m);
LzhStatus lzh_decode_pm2(struct LzDecoder *z, const struct LzhMethod *m);

// The decoders a program links (decoders_all.cpp, or decoders_packer.cpp
// for the Windows extractor, which reads only what the packer writes):
// the formats it reads besides stored data, ended by a NULL decoder.
struct LzhFormatDecoderEntry {
    enum LzhFormat format;
    LzhFormatDecoder decode;
};
extern const struct LzhFormatDecoderEntry LZH_FORMAT_DECODERS[];

#endif
