// Static-Huffman blocks, written and priced by one routine: the same steps
// that write a block's tables and codes to a sink count them when the
// writer has none, so a block's price is always the bits it is written in.
#ifndef LZH_BLOCK_WRITER_H
#define LZH_BLOCK_WRITER_H

#include <stddef.h>
#include <stdint.h>

#include "../decode/decode.h"
#include "../format.h"
#include "../status.h"

// Bits, most significant first, into bytes for a sink; with no sink, only
// counted.
struct LzhBitWriter {
    LzhSink sink;
    void *ctx;
    LzhStatus status;
    uint64_t bits;      // pending bits, right-aligned
    int nbits;
    uint64_t packed;    // whole bytes handed to the sink
    uint64_t counted;   // bits counted, with no sink
    unsigned char *out;  // the owner's buffer of `room` bytes
    size_t nout, room;
};

// With sink NULL (and no buffer), the writer only counts.
void lzh_bits_init(struct LzhBitWriter *w, LzhSink sink, void *ctx, unsigned char *out,
                   size_t room);
void lzh_bits_flush(struct LzhBitWriter *w);  // whole bytes to the sink

// The low n bits of v (n <= 32).
static inline void lzh_put_bits(struct LzhBitWriter *w, int n, uint32_t v)
{
    if (w->sink == NULL) {
        w->counted += (unsigned)n;
        return;
    }
    w->bits = (w->bits << n) | (v & ((1ull << n) - 1));
    w->nbits += n;
    while (w->nbits >= 8) {
        w->nbits -= 8;
        w->out[w->nout++] = (unsigned char)(w->bits >> w->nbits);
        if (w->nout == w->room)
            lzh_bits_flush(w);
    }
}

// A block's symbols and their counts: literals 0-255 and length symbols
// 256 up, each length symbol with its distance - 1.
struct LzhBlock {
    const uint16_t *sym;
    const uint16_t *dist;
    unsigned nsym;
    const uint32_t *c_freq;   // LZH_NC counts
    const uint32_t *p_freq;   // np counts
};

// The position code of a method: its symbols, the bits of their count.
struct LzhPositionCode {
    int np, pbit;
};

// Writes the block to w, or with a counting w prices it (the symbols'
// codes then come from the counts, and sym may be NULL).
void lzh_write_block(struct LzhBitWriter *w, const struct LzhBlock *b,
                     struct LzhPositionCode pc);

// The bits lzh_write_block takes for a block of these counts.
uint64_t lzh_block_bits(const uint32_t *c_freq, const uint32_t *p_freq, struct LzhPositionCode pc);

#endif
