// Joins the pieces of a member, each encoded on its own, into one stream:
// each piece's whole bytes, then the bits it ended with, so that the next
// piece's bits follow without a gap.
#ifndef LZH_JOIN_H
#define LZH_JOIN_H

#include <stddef.h>
#include <stdint.h>

#include "../decode/decode.h"
#include "../status.h"

struct LzhJoin {
    LzhSink sink;
    void *ctx;
    LzhStatus status;
    uint32_t acc;       // bits not yet a whole byte, right-aligned
    int nacc;
    uint64_t packed;    // bytes handed to the sink
    size_t nout;
    unsigned char out[1 << 16];
};

void lzh_join_init(struct LzhJoin *j, LzhSink sink, void *ctx);
LzhStatus lzh_join_bytes(struct LzhJoin *j, const unsigned char *p, size_t n);
LzhStatus lzh_join_bits(struct LzhJoin *j, uint32_t value, int count);
// The end of the stream: zero bits to a whole byte, as the reference
// encoder pads it.
LzhStatus lzh_join_finish(struct LzhJoin *j);

#endif
