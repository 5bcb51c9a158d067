#include "decoder.h"

// LArc's LZSS (Okumura's, as LArc set it up): a ring of 2^bits bytes that
// output is written into from `start`, whose matches name a place in the
// ring. Decoded into the window as distances: the byte at ring place i was
// written (start - i - 1) mod size + 1 bytes ago, counting what the ring
// held before the first byte, which is its initial content.
struct Ring {
    size_t size, start;
    unsigned char initial[1 << 12];
};

// -lz5- starts its 4 KiB ring, from place 0, with runs of 13 of every
// byte, every byte up and down, 128 zeros and 110 spaces, then the 18
// zeros the first bytes are written over (as LArc and LHA for MS-DOS
// start it; a stream that copies the whole ring shows it); -lzs- its 2 KiB
// one with spaces.
static void ring_setup(struct LzDecoder *z, struct Ring *r, enum LzhFormat format)
{
    memset(r->initial, ' ', sizeof r->initial);
    if (format == LZH_RING_BYTES) {
        r->size = 4096;
        r->start = 4096 - 18;
        for (int i = 0; i < 256; i++)
            memset(r->initial + 13 * i, i, 13);
        for (int i = 0; i < 256; i++) {
            r->initial[13 * 256 + i] = (unsigned char)i;
            r->initial[13 * 256 + 256 + i] = (unsigned char)(255 - i);
        }
        memset(r->initial + 13 * 256 + 512, 0, 128);
        memset(r->initial + r->start, 0, 18);
    } else {
        r->size = 2048;
        r->start = 2048 - 17;
    }
    z->hist = r->size;
    for (size_t d = 1; d <= r->size; d++)
        z->window[HIST - d] = r->initial[(r->start - d) & (r->size - 1)];
}

LzhStatus lzh_decode_ring(struct LzDecoder *z, const struct LzhMethod *m)
{
    enum LzhFormat format = m->format;
    struct Ring r;
    ring_setup(z, &r, format);
    struct Bits *b = &z->b;
    unsigned flags = 0;
    while (lz_going(z, 8)) {
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
            size_t here = (size_t)((r.start + z->original - z->left) & (r.size - 1));
            copy_match(z, ((here - at - 1) & (r.size - 1)) + 1, len);
        }
        LzhStatus s = lz_flush_full(z);
        if (s != LZH_OK)
            return s;
    }
    return lz_finish(z);
}

