// Decoding of LZH member data: stored ("-lh0-") and the static-Huffman LZ77
// methods of the method table (methods.h): "-lh4-" to "-lh7-" and "-lhx-",
// and LArc's "-lz5-" and "-lzs-".
#ifndef LZH_DECODE_H
#define LZH_DECODE_H

#include <stdint.h>
#include <stdio.h>

#include "methods.h"
#include "status.h"

// Takes decoded bytes in order; returns 0, or -1 (with errno set) to stop.
typedef int (*LzhSink)(void *ctx, const unsigned char *p, size_t n);

// Window bits of a method (methods.h): 0 for stored, -1 for methods this
// decoder does not know.
int lzh_method_bits(const char method[5]);

// Reads exactly `packed` bytes from in and hands `original` decoded bytes to
// sink; *crc receives their CRC-16. Returns LZH_OK, LZH_DATA_CUT, LZH_CORRUPT,
// LZH_READ_ERROR or LZH_WRITE_ERROR. Memory use is fixed, whatever the sizes.
// Not reentrant: the window and tables are static.
LzhStatus lzh_decode(FILE *in, uint64_t packed, uint64_t original,
                     const struct LzhMethod *method, LzhSink sink, void *ctx, uint16_t *crc);

#endif
