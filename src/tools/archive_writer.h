// Writes LZH archives: level 2 headers, data stored ("-lh0-").
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

// The level 2 header of one member, with its header CRC.
std::string level2_header(const ArchiveEntry &e, uint32_t size, uint16_t crc);

// Appends the members and the end mark to out, an unbuffered stream open for
// writing and seeking. Throws a Failure that names the file at fault.
void write_archive(FILE *out, const std::vector<ArchiveEntry> &entries);

#endif
