// A solid payload: the archive as one .xz stream (LZMA2), which the
// extractor unpacks as it decodes, member by member.
#ifndef SOLID_H
#define SOLID_H

#include <stdint.h>
#include <stdio.h>

#include "../lzh/input.h"
#include "../platform/platform.h"
#include "../xz/xz_decode.h"

// Whether an .xz stream starts at in's position (which is kept).
int solid_at(FILE *in);

// The most blocks a stream may have for a second thread to take a share:
// 6 GiB of the packer's default blocks.
enum { SOLID_AHEAD_BLOCKS_MAX = 64 };

// A second thread's share of the stream: a run of its later blocks, which
// it decodes from their own place in the file into a spool while the first
// thread decodes the blocks before them and unpacks their members. The
// archive then reads on from the spool, and the first thread's decoder
// counts those blocks as its own (the index must list them).
struct SolidAhead {
    struct PlatThread thread;
    int running;               // started, not yet joined
    volatile int abandon;      // set: the first thread no longer waits for it
    int done;                  // its blocks decoded, verified and spooled whole
    FILE *file, *spool;
    uint64_t first, count;     // its blocks: count of them from number first
    int64_t from, to;          // where they start and end in the file
    uint64_t bytes;            // their decoded size
    uint64_t unpadded[SOLID_AHEAD_BLOCKS_MAX], uncompressed[SOLID_AHEAD_BLOCKS_MAX];
    struct XzDecoder decoder;
    unsigned char in[1 << 16], out[1 << 16];
};

// The archive inside the .xz stream of a file, read as it is decoded. The
// input comes first, so the whole is an LzhInput to the archive's readers.
struct SolidInput {
    struct LzhInput archive;
    FILE *file;
    struct XzDecoder decoder;
    enum XzResult result;  // the decoder's last word: XZ_MORE until it ends
    int read_failed;       // the file could not be read
    int64_t start;         // where the stream starts in the file
    uint64_t stream;       // bytes of the stream read from the file
    uint64_t spooled;      // bytes of the archive still to read from ahead's spool
    size_t at, size;       // the unread part of buffer
    unsigned char buffer[1 << 16];
    struct SolidAhead ahead;
};

// Starts decoding the stream at file's position. The archive's error says
// why bytes stopped short: LZH_READ_ERROR, LZH_DATA_CUT (the stream was cut
// short), LZH_CORRUPT, LZH_UNSUPPORTED or LZH_NO_MEMORY.
void solid_open(struct SolidInput *s, FILE *file);

// Has a second thread decode a later share of the stream's blocks ahead,
// where the machine has a second processor, the stream more than one block
// and every block names its sizes, and the spool's disk has room for it
// beside the whole product.
// again is the same file, open for reading; it is closed in the end. The
// archive's bytes and every verdict are the same as without.
void solid_decode_ahead(struct SolidInput *s, FILE *again);

// Reads the rest of the stream, after the archive's end mark, to its
// footer, so that all of it is verified; returns the decoder's verdict
// (XZ_MORE: the stream was cut short, or the file could not be read).
// Frees the decoder.
enum XzResult solid_close(struct SolidInput *s);

// The dictionary the extractor allows a stream: more than the packer ever
// asks (128 MiB), less than a 32-bit process can hope to find in one piece.
enum { SOLID_MEMORY_LIMIT = 768 << 20 };

// The packer's default dictionary, and the most a second thread may take:
// installing takes two of those at most, and never leaves the first thread
// short of memory for a larger one of its own; a stream that needs more is
// decoded by one thread.
enum { SOLID_DEFAULT_DICTIONARY = 32 << 20 };

#endif
