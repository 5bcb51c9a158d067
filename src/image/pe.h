// Where a Windows executable's image ends in its file: whatever follows
// (an archive, a payload) is appended data the loader never maps.
#ifndef PE_H
#define PE_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// How much of a file's start pe_image_end needs to see.
enum { PE_HEAD_SIZE = 8192 };

// The end of the image's raw data (headers and sections), from the first n
// bytes of the file; 0 if they don't hold a well-formed PE image.
uint32_t pe_image_end(const unsigned char *head, size_t n);

// The same for the PE file that starts at byte base of an open file, from
// base; 0 on any failure.
uint32_t pe_file_image_end(FILE *f, int64_t base);

// Signing a program (Authenticode) appends a certificate table to its file
// and rewrites two fields of its headers: the checksum and the table's entry
// among the data directories. Where those fields lie in the file, and where
// the table is (cert_size 0: unsigned).
struct PeSigning {
    uint32_t checksum_at;    // 4 bytes
    uint32_t cert_entry_at;  // 8 bytes: the table's file offset, then its size
    uint32_t cert_offset, cert_size;
};

// Reads them from the first n bytes of the file; 0 if those do not hold a
// well-formed PE head with a certificate-table entry, 1 otherwise.
int pe_signing(const unsigned char *head, size_t n, struct PeSigning *s);

// A program's resources: the tree the resources data directory names
// (entry_at: that entry's file offset; rva and size: what it holds), and the
// bytes of its section from the tree's start that are both in the file and
// mapped by the loader (file_at, room): a tree rebuilt in place may fill
// them. 0 if the first n bytes hold no such tree, 1 otherwise.
struct PeResources {
    uint32_t entry_at;
    uint32_t rva, size;
    uint32_t file_at, room;
};
int pe_resources(const unsigned char *head, size_t n, struct PeResources *r);

// The certificate table that signing appended, as the file's headers name
// it: WIN_CERTIFICATE entries (a length of at least 8, revision 1.0 or 2.0,
// type 1 to 4), each starting 8-byte aligned, that exactly fill the entry,
// which starts at or after `from` and ends the file. f holds the PE file at
// `base`, `size` bytes long; head is its first n bytes; offsets are from
// base. Returns the table's offset; PE_UNSIGNED if the entry is empty (or
// there is none); PE_NO_TABLE if it names anything else, which is then no
// part of what signing appended and must not be cut off.
enum { PE_UNSIGNED = -1, PE_NO_TABLE = -2 };
int64_t pe_certificate_table(FILE *f, int64_t base, int64_t size, int64_t from,
                             const unsigned char *head, size_t n);

// The header's checksum (CheckSum in the optional header) as the loader and
// signing tools compute it: the file's 16-bit little-endian words summed,
// each carry folded back in, with the field itself counted as zero, and the
// file's length added. Summed a block at a time: every block but the last
// of an even length. The sum starts at 0.
uint32_t pe_checksum_add(uint32_t sum, const unsigned char *p, size_t n);
uint32_t pe_checksum_end(uint32_t sum, uint64_t file_size);

#endif
