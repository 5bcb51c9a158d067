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

#endif
