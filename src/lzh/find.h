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

// Whether a file is a program (an MS-DOS, Windows, Human68k, GEMDOS or
// AmigaOS one by its first bytes, or a name ending in .com),
// the only files searched: in an archive file, a damaged first header must
// be reported, not passed over for an archive stored inside a member.
int lzh_is_program(FILE *f, const char *name);

// The places an AmigaOS program's overlay table names (at most n of them,
// into places), where LHA's AmigaOS self-extractor keeps its archive; 0
// for none or no such program.
int lzh_amiga_overlay_places(FILE *f, int64_t *places, int n);
enum { LZH_OVERLAY_PLACES = 8 };  // as many as are worth trying

// Where the archive in a file of size bytes starts: the first of the n
// places given (where a program's image ends, where an installer's payload's
// image ends; 0 or past the file for none) at which a member header reads;
// else what search (lzh_find_archive, or NULL for none) finds from the first
// place, then from byte 0. (A payload of the publisher's own may be a program
// with an archive of its own inside: --check does not search; nor does the
// Windows extractor, which stays small.)
// A header that reads is enough at a given place, so that damage further
// on is reported by whoever reads the members, not taken for no archive.
// -1 if there is none, -2 if the file could not be read.
typedef int64_t (*LzhSearch)(FILE *f, int64_t start, int64_t size, int64_t *end,
                            LeadByteRule is_lead);
int64_t lzh_locate_archive(FILE *f, const int64_t *places, int n, int64_t size, LzhSearch search,
                           LeadByteRule is_lead);

#endif
