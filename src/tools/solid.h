// The solid payload method (-m xz): the whole product as one .xz stream
// (LZMA2, CRC32) of an -lh0- archive in the packer's own form, so that
// every member keeps its header, name rules, time and CRC-16, and any .xz
// tool can verify the stream.
#ifndef TOOLS_SOLID_H
#define TOOLS_SOLID_H

#include <stdint.h>
#include <stdio.h>

#include <vector>

#include "piece_pipeline.h"

// The dictionaries: the extractor needs about this much memory, and never
// more than the archive's own size.
enum : uint64_t { SOLID_DICTIONARY = 64 << 20, SOLID_DICTIONARY_BEST = 128 << 20 };
// A block is this many dictionaries of the archive (the last one less);
// threads encode blocks side by side, as many as memory takes.
enum : uint64_t { SOLID_BLOCK_DICTIONARIES = 3 };

// Whether this build can write solid payloads (it has the encoder).
bool solid_available();

// Writes the archive of entries to out as one .xz stream: --best searches
// harder with the larger dictionary. The output is the same for any number
// of threads. Returns the archive's size before compression.
uint64_t write_solid(FILE *out, const std::vector<ArchiveEntry> &entries, bool best, int threads,
                     bool progress_shown);

#endif
