// A solid payload: the archive as one .xz stream (LZMA2), which the
// extractor unpacks as it decodes, member by member.
#ifndef SOLID_H
#define SOLID_H

#include <stdint.h>
#include <stdio.h>

#include "../lzh/input.h"
#include "../xz/xz_decode.h"

// Whether an .xz stream starts at in's position (which is kept).
int solid_at(FILE *in);

// The archive inside the .xz stream of a file, read as it is decoded. The
// input comes first, so the whole is an LzhInput to the archive's readers.
struct SolidInput {
    struct LzhInput archive;
    FILE *file;
    struct XzDecoder decoder;
    enum XzResult result;  // the decoder's last word: XZ_MORE until it ends
    int read_failed;       // the file could not be read
    uint64_t stream;       // bytes of the stream read from the file
    size_t at, size;       // the unread part of buffer
    unsigned char buffer[1 << 16];
};

// Starts decoding the stream at file's position. The archive's error says
// why bytes stopped short: LZH_READ_ERROR, LZH_DATA_CUT (the stream was cut
// short), LZH_CORRUPT, LZH_UNSUPPORTED or LZH_NO_MEMORY.
void solid_open(struct SolidInput *s, FILE *file);

// Reads the rest of the stream, after the archive's end mark, to its
// footer, so that all of it is verified; returns the decoder's verdict
// (XZ_MORE: the stream was cut short, or the file could not be read).
// Frees the decoder.
enum XzResult solid_close(struct SolidInput *s);

// The dictionary the extractor allows a stream: more than the packer ever
// asks (128 MiB), less than a 32-bit process can hope to find in one piece.
enum { SOLID_MEMORY_LIMIT = 768 << 20 };

#endif
