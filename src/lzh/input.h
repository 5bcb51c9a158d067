// What archives are read from: a file, or bytes decoded on the way in (a
// solid payload's stream), which can only be read in order. Headers and
// member data are read through it alike.
#ifndef LZH_INPUT_H
#define LZH_INPUT_H

#include <stdint.h>
#include <stdio.h>

#include "status.h"

struct LzhInput {
    // Hands over up to n bytes; fewer only where the bytes end, or after a
    // failure, which it leaves in error.
    size_t (*read)(struct LzhInput *in, unsigned char *p, size_t n);
    FILE *file;       // a file input's file; NULL for a stream
    int64_t pos;      // where the next byte is, in the file or the stream; -1: unknown
    LzhStatus error;  // LZH_OK, or why the bytes stopped short
};

// Reads f from its current position.
struct LzhInput lzh_file_input(FILE *f);

// Up to n bytes into p, moving pos; fewer at the end or on a failure.
size_t lzh_read(struct LzhInput *in, void *p, size_t n);

// Passes over n bytes: a seek in a file, read and dropped in a stream.
// Returns 0, or -1 with error set (LZH_DATA_CUT where the bytes end).
int lzh_skip(struct LzhInput *in, uint64_t n);

#endif
