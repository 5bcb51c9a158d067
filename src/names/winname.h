// Windows' rules for file names, in one place: the extractor refuses a member
// that breaks them, and the packer refuses to pack one. Names are bytes in the
// ANSI code page; is_lead tells which bytes start a double-byte character, so
// a trail byte such as the 0x7C of "ポ" or the 0x5C of "表" is never taken for
// the ASCII character of the same value.
#ifndef WINNAME_H
#define WINNAME_H

#include <stddef.h>
#include <stdint.h>

typedef int (*LeadByteRule)(unsigned char c);

// Code page 932's rule, the one archives' names follow on every machine
// (0x81-0x9F and 0xE0-0xFC), whatever the system's own code page is.
int cp932_is_lead_byte(unsigned char c);

// Whether a and b are one double-byte character: a lead byte, then a byte
// that may follow one in every Windows double-byte code page (0x40-0xFE but
// 0x7F). A lead byte before anything else is a character of its own, so a
// '/' or '.' after it keeps its meaning, as it does for Windows.
int win_is_pair(LeadByteRule is_lead, unsigned char a, unsigned char b);

// Longest path most Windows programs can open: MAX_PATH (260) less the
// terminating NUL. The extractor opens longer ones ("\\?\" paths), but the
// product's own programs may not; the packer wants WIN_FOLDER_ROOM of it
// left for the install folder, and says so where a member leaves less.
enum { WIN_PATH_MAX = 259, WIN_FOLDER_ROOM = 40 };

// Longest name of one file or folder, in characters (a double-byte character
// counts once).
enum { WIN_NAME_MAX = 255 };

// Why Windows could not hold the path component c[0..n) as a file or folder
// of that very name, or NULL if it can. Windows drops trailing dots and
// spaces, so a component of only dots and spaces (such as "..") and device
// names with or without an extension ("NUL", "com1 .txt", "CONIN$") are
// refused, as are control characters, < > : " / \ | ? *, a lead byte that
// starts no character, and names longer than WIN_NAME_MAX characters.
const char *win_name_problem(const char *c, size_t n, LeadByteRule is_lead);

// The length of c[0..n) once Windows has dropped its trailing dots and
// spaces, as it does when it opens or creates a file.
size_t win_stripped_length(const char *c, size_t n);

// The name Windows files c[0..n) under, folded so that two names Windows
// takes for the same file compare equal: trailing dots and spaces dropped,
// and every code page 932 character replaced by the first code whose
// character has the same upper case in Windows' tables (so "a" and "A",
// full-width and Greek and Cyrillic cases, Roman numerals and their small
// forms, and the NEC and IBM duplicates meet). Writes at most n bytes and a
// NUL to out; returns the length written. (winfold.cpp: the packer's alone.)
size_t win_name_fold(const char *c, size_t n, char *out, LeadByteRule is_lead);

// Where c[0..n) holds the first bytes that are no character of code page
// 932 (an unassigned double-byte code, a lead byte without its trail, or
// 0x80, 0xA0, 0xFD-0xFF): Windows reads each as one default character, so
// names that differ there are one file to it. -1 if there is none.
long win_name_unassigned(const char *c, size_t n, LeadByteRule is_lead);

// The name u[0..n) in UTF-16, written in code page 932 as Windows writes it
// without best fit, to out (at least 2n + 1 bytes, NUL-terminated). Returns
// its length, or -1 if a character has no code there (U+301C WAVE DASH,
// U+203E OVERLINE, U+00A5 YEN SIGN, a lone surrogate...): a look-alike would
// be another name. (cp932.cpp: the packer's alone.)
long win_name_from_utf16(const uint16_t *u, size_t n, char *out);

#endif
