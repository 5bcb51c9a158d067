#include "join.h"

#include <string.h>

void lzh_join_init(struct LzhJoin *j, LzhSink sink, void *ctx)
{
    memset(j, 0, sizeof *j);
    j->sink = sink;
    j->ctx = ctx;
}

static void join_flush(struct LzhJoin *j)
{
    if (j->nout > 0 && j->status == LZH_OK && j->sink(j->ctx, j->out, j->nout) != 0)
        j->status = LZH_WRITE_ERROR;
    j->packed += j->nout;
    j->nout = 0;
}

LzhStatus lzh_join_bytes(struct LzhJoin *j, const unsigned char *p, size_t n)
{
    if (j->nacc == 0) {
        // Aligned, as every piece is when the one before ended on a byte.
        join_flush(j);
        if (n > 0 && j->status == LZH_OK && j->sink(j->ctx, p, n) != 0)
            j->status = LZH_WRITE_ERROR;
        j->packed += n;
        return j->status;
    }
    for (size_t i = 0; i < n; i++) {
        j->acc = (j->acc << 8) | p[i];
        j->out[j->nout++] = (unsigned char)(j->acc >> j->nacc);
        j->acc &= (1u << j->nacc) - 1;
        if (j->nout == sizeof j->out)
            join_flush(j);
    }
    return j->status;
}

LzhStatus lzh_join_bits(struct LzhJoin *j, uint32_t value, int count)
{
    j->acc = (j->acc << count) | (value & ((1u << count) - 1));
    j->nacc += count;
    if (j->nacc >= 8) {
        j->nacc -= 8;
        j->out[j->nout++] = (unsigned char)(j->acc >> j->nacc);
        j->acc &= (1u << j->nacc) - 1;
        if (j->nout == sizeof j->out)
            join_flush(j);
    }
    return j->status;
}

LzhStatus lzh_join_finish(struct LzhJoin *j)
{
    if (j->nacc > 0)
        lzh_join_bits(j, 0, 8 - j->nacc);
    join_flush(j);
    return j->status;
}
