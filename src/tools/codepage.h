// Names inside archives are bytes in the Windows ANSI code page of the
// machines that install them: Shift_JIS (code page 932) for ours.
#ifndef CODEPAGE_H
#define CODEPAGE_H

#include <optional>
#include <string>

// A file name as this system spells it, in the archive's code page; nothing
// if it can't be written there. On Windows names are in that code page.
std::optional<std::string> to_archive_name(const std::string &native);

// A name from an archive, for this system's terminal.
std::string to_display_name(const std::string &archive);

#endif
