// Finding an LZH archive inside another file: a self-extracting program
// (MS-DOS .exe or .com, or Windows), an old installer, or the archive alone.
#ifndef LZH_FIND_H
#define LZH_FIND_H

#include <stdint.h>
#include <stdio.h>

#include "../names/winname.h"

// How far past where it starts the search looks for an archive's start.
enum { LZH_FIND_LIMIT = 1 << 20 };

// The first offset at or after start (and at most LZH_FIND_LIMIT bytes
// after it) where an archive starts whose member headers all read, each
// with its sum or CRC, and lead one after the other to the end mark inside
// the file's size bytes; *end gets where that end mark ends. -1 if there is
// none, -2 if the file could not be read.
int64_t lzh_find_archive(FILE *f, int64_t start, int64_t size, int64_t *end,
                         LeadByteRule is_lead);

#endif
