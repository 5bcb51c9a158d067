// Writes LZH archives: level 2 headers, data compressed ("-lh5-", "-lh6-",
// "-lh7-") or stored ("-lh0-").
#ifndef ARCHIVE_WRITER_H
#define ARCHIVE_WRITER_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

struct ArchiveEntry {
    std::string source;               // file to read; empty for a directory
    std::vector<std::string> path;    // components, in the archive's code page
    bool is_dir = false;
    int64_t mtime = 0;                // seconds since 1970 UTC
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
void write_archive(FILE *out, const std::vector<ArchiveEntry> &entries, int window_bits = 0,
                   bool best = false, int threads = 1);

// "-lh0-", "-lh5-", "-lh6-" or "-lh7-" for 0, 13, 15 and 16 window bits.
const char *method_name(int window_bits);

#endif
