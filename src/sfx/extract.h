// Unpacking an LZH archive into the current directory.
#ifndef EXTRACT_H
#define EXTRACT_H

#include <stddef.h>
#include <stdio.h>

// Turns a member's path (components separated by LZH_SEP) into a path
// relative to the current directory, with `sep` between components. Refuses
// (-1) what could land outside it or somewhere unexpected: an absolute path,
// a drive letter or stream name (':'), "..", and any component Windows'
// name rules refuse (device names such as CON or "com1 .txt", control and
// reserved characters, names of only dots). "." and empty components are
// dropped; *out may end up empty.
int safe_relative_path(const char *member_path, char sep, char *out, size_t size);

// Extracts every member of the archive at in's position, listing each file
// on out (with progress for large ones) and reporting trouble on err, in
// Japanese (texts.h). Stops at the first failure: what was
// extracted and verified before it stays, the failing file never appears,
// and no file the extractor did not create is removed.
// Returns 0 only when every member was extracted and its CRC verified.
int extract_archive(FILE *in, FILE *out, FILE *err);

#endif
