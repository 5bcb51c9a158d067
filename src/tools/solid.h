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

// The method's two levels. The dictionary: the extractor needs about this
// much memory, and never more than the archive's own size; twice as much
// where it decodes two blocks at once, which is why the default's is 32
// MiB (on Wine's DLLs 0.3% larger than 64 MiB, installing in 60% of the
// time). The blocks, each
// of which starts with an empty dictionary: the archive is cut in
// `blocks_at_least` blocks or more, none smaller than a dictionary nor
// larger than three (liblzma's own choice). Each block is cut in up to
// `pieces_per_block` pieces, none under SOLID_PIECE_MIN, which threads
// encode side by side. A piece after the first starts from the window
// before it, which its encoder hashes first, each byte at `window_cost`
// percent of what encoding one takes; pieces are cut so that each takes
// about the same time, and the block decodes as one LZMA2 stream. With
// --best a window costs 62% (Wine's DLLs: hashing 72 MiB took 30 s,
// encoding them 44 s, and their code is slower to encode at the start);
// at the default it costs as much as encoding, so the default cuts blocks
// instead. On Wine's DLLs the default's two blocks cost 3% of its size and
// take half the time on two cores; --best's two pieces cost 0.01%. Sizes
// alone decide, never threads: the output is the same for any -j.
struct SolidLevel {
    uint32_t preset;
    uint64_t dictionary;
    uint64_t blocks_at_least;
    uint64_t pieces_per_block;
    uint64_t window_cost;
};
extern const SolidLevel SOLID_DEFAULT, SOLID_BEST;
enum : uint64_t { SOLID_BLOCK_DICTIONARIES_MAX = 3, SOLID_PIECE_MIN = 1 << 20 };

// A piece of the archive: bytes [start, end), the `window` bytes before
// them in its block, and whether it is its block's last.
struct SolidPiece {
    uint64_t start, end, window;
    bool ends_block;
};

// The pieces, in order, of an archive of `size` bytes at a level with a
// dictionary of that size: at least one, even for an empty archive.
std::vector<SolidPiece> solid_pieces(const SolidLevel &level, uint64_t size,
                                     uint64_t dictionary);

// Whether this build can write solid payloads (it has the encoder).
bool solid_available();

// Writes the archive of entries to out as one .xz stream: --best searches
// harder with the larger dictionary. The output is the same for any number
// of threads. Returns the archive's size before compression.
uint64_t write_solid(FILE *out, const std::vector<ArchiveEntry> &entries, bool best, int threads,
                     bool progress_shown);

#endif
