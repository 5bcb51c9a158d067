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

// The same for an open file, read from its start; 0 on any failure.
uint32_t pe_file_image_end(FILE *f);

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

#endif
