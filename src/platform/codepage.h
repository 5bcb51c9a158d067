// Names inside archives are bytes in code page 932 (Shift_JIS), whatever the
// code page of the machine that packs or installs them.
#ifndef CODEPAGE_H
#define CODEPAGE_H

#include <filesystem>
#include <optional>
#include <string>

// Paths to and from the strings the packer holds names in: the platform
// layer's (PLAT_CHARSET), UTF-8 on Windows, the locale's bytes natively.
std::filesystem::path path_from_native(const std::string &s);
std::string native_from_path(const std::filesystem::path &p);

// A file name as this system spells it, in the archive's code page; nothing
// if it can't be written there.
std::optional<std::string> to_archive_name(const std::string &native);

// A name from an archive, for this system's terminal.
std::string to_display_name(const std::string &archive);

#endif
