// A solid payload: the archive as one .xz stream (LZMA2), which the
// extractor decodes before it unpacks.
#ifndef SOLID_H
#define SOLID_H

#include <stdint.h>
#include <stdio.h>

#include "../xz/xz_decode.h"

// Whether an .xz stream starts at in's position (which is kept).
int solid_at(FILE *in);

// Decodes the .xz stream at in's position into out: XZ_END once its footer
// is read, XZ_MORE if the input ended first, otherwise the decoder's
// verdict. *io_failed is 1 where a read failed, 2 where a write did (errno
// says why), else 0; *stream counts the bytes read of the stream.
enum XzResult solid_decode(FILE *in, FILE *out, int *io_failed, uint64_t *stream);

// The archive of the .xz stream at in's position, decoded into a spool (a
// temporary file the system removes however the program ends), at its
// start. NULL after a report on err: damage, a stream cut short, a full
// disk, too little memory.
FILE *solid_archive(FILE *in, FILE *err);

// The dictionary the extractor allows a stream: more than the packer ever
// asks (128 MiB), less than a 32-bit process can hope to find in one piece.
enum { SOLID_MEMORY_LIMIT = 768 << 20 };

#endif
