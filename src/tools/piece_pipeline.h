// Writes the archive: plans each file's pieces, encodes them on worker
// threads ahead of the writer, joins them into members behind level 2
// headers, and stores what does not shrink.
#ifndef PIECE_PIPELINE_H
#define PIECE_PIPELINE_H

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <string>
#include <vector>

#include "spool.h"

struct ArchiveEntry {
    std::string source;               // file to read; empty for a directory
    std::vector<std::string> path;    // components, in the archive's code page
    bool is_dir = false;
    int64_t mtime = 0;                // seconds since 1970 UTC
    // A member of another archive comes as it was (KEPT: `packed` bytes at
    // data_at of source, in the method of kept_bits, decoding to `original`
    // bytes of CRC `crc`), or decoded (SPOOLED: `original` bytes at data_at
    // of spool), to be encoded as a file is. source then names the archive.
    enum class From { FILE, KEPT, SPOOLED } from = From::FILE;
    uint64_t data_at = 0, packed = 0, original = 0;
    uint16_t crc = 0;
    int kept_bits = 0;
    std::shared_ptr<Spool> spool;
};

// The level 2 header of one member, with its header CRC. method is the
// method's window bits (0 for stored); directories are always "-lhd-". A
// member of wide size (4 GiB or more) has its sizes in the 64-bit size
// extension too; the header's length depends on that alone.
std::string level2_header(const ArchiveEntry &e, int method, uint64_t packed, uint64_t original,
                          uint16_t crc, bool wide = false);

// Appends the members and the end mark to out, an unbuffered stream open for
// writing, seeking and cutting. Files are compressed with the method of
// window_bits (13, 15, 16; 0 stores them); one that does not shrink is
// stored; best asks for the optimal parse. With threads > 1, that many
// threads encode pieces of the files ahead of the writer, in bounded
// memory; the archive's bytes are the same for any number. Throws a Failure
// that names the file at fault.
// Kept members are copied as they are. With progress_shown, a line on a
// terminal's standard error tells how far it got. Returns the number of
// bytes written.
uint64_t write_archive(FILE *out, const std::vector<ArchiveEntry> &entries, int window_bits = 0,
                       bool best = false, int threads = 1, bool progress_shown = false);

// "-lh0-", "-lh5-", "-lh6-" or "-lh7-" for 0, 13, 15 and 16 window bits.
const char *method_name(int window_bits);

#endif
