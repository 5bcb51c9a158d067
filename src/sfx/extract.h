// Unpacking an LZH archive into the current directory.
#ifndef EXTRACT_H
#define EXTRACT_H

#include <stddef.h>
#include <stdio.h>

#include "../lzh/input.h"

// Turns a member's path (components separated by LZH_SEP) into a path
// relative to the current directory, with `sep` between components. Refuses
// (-1) what could land outside it or somewhere unexpected: an absolute path,
// a drive letter or stream name (':'), "..", and any component Windows'
// name rules refuse (device names such as CON or "com1 .txt", control and
// reserved characters, names of only dots). "." and empty components are
// dropped; *out may end up empty.
int safe_relative_path(const char *member_path, char sep, char *out, size_t size);

// The access list the extractor gives an install folder every user of the
// machine could change (plat_folder_open_to_all), in the system's
// descriptor language: protected, so nothing comes from the drive's root;
// full control for SYSTEM, the Administrators and the installing user
// (user_sid), read and execute for Users; each entry inherited by the files
// and folders made inside. 0, or -1 if it does not fit in size bytes.
int install_folder_sddl(const char *user_sid, char *out, size_t size);

// Gives the current folder that list where it is open to all, before
// anything is written in it; reports on err and returns -1 if it can't,
// and the installation then stops.
int protect_install_folder(FILE *err);

// Extracts every member of the archive at in's position (a file, or a
// solid payload's stream), listing each file
// on out (with progress for large ones) and reporting trouble on err, in
// Japanese (texts.h). Stops at the first failure: what was
// extracted and verified before it stays, the failing file never appears,
// and no file the extractor did not create is removed.
// Returns 0 only when every member was extracted and its CRC verified.
int extract_archive(struct LzhInput *in, FILE *out, FILE *err);

#endif
