// Decoding of LZH member data, by the methods of the method table
// (methods.h), with one decoder per format (decoder.h).
#ifndef LZH_DECODE_H
#define LZH_DECODE_H

#include <stdint.h>
#include <stdio.h>

#include "../input.h"
#include "../methods.h"
#include "../status.h"

// Takes decoded bytes in order; returns 0, or -1 (with errno set) to stop.
typedef int (*LzhSink)(void *ctx, const unsigned char *p, size_t n);

// Window bits of a method (methods.h): 0 for stored, -1 for methods this
// decoder does not know.
int lzh_method_bits(const char method[5]);

// Whether this program decodes the method: mkinstaller and the native
// extractor decode every method of the table, the Windows extractor only
// the formats the packer writes.
int lzh_can_decode(const struct LzhMethod *method);

// Reads exactly `packed` bytes from in and hands `original` decoded bytes to
// sink; *crc receives their CRC-16. Returns LZH_OK, LZH_DATA_CUT, LZH_CORRUPT,
// LZH_WRITE_ERROR, LZH_UNSUPPORTED, LZH_NO_MEMORY, or in's own error where
// its bytes failed. Memory use is fixed (under 1 MiB), whatever the sizes;
// reentrant, each call allocating its own state.
LzhStatus lzh_decode(struct LzhInput *in, uint64_t packed, uint64_t original,
                     const struct LzhMethod *method, LzhSink sink, void *ctx, uint16_t *crc);

#endif
