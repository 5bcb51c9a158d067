// Names inside archives are bytes in the Windows ANSI code page of the
// machines that install them: Shift_JIS (code page 932) for ours.
#ifndef CODEPAGE_H
#define CODEPAGE_H

#include <filesystem>
#include <optional>
#include <string>

// Paths to and from the strings this system's C library takes. On Windows
// those are in the ANSI code page, while the C++ library's narrow path
// strings are UTF-8, so the two must not be mixed.
std::filesystem::path path_from_native(const std::string &s);
std::string native_from_path(const std::filesystem::path &p);

// A file name as this system spells it, in the archive's code page; nothing
// if it can't be written there. On Windows names are in that code page.
std::optional<std::string> to_archive_name(const std::string &native);

// A name from an archive, for this system's terminal.
std::string to_display_name(const std::string &archive);

#endif
