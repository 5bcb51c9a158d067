// The packer's rules for member names: what it refuses to pack because the
// extractor would refuse it or Windows could not install it as named.
#ifndef MEMBER_NAMES_H
#define MEMBER_NAMES_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

// Why a member could not be installed under its path, or nothing. utf8 holds
// the components as the source tree spells them, archive the same components
// in the archive's code page.
std::optional<std::string> member_name_problem(const std::vector<std::string> &utf8,
                                               const std::vector<std::string> &archive);

// Why the component part (in the archive's code page) holds bytes that are
// no character of code page 932, or nothing.
std::optional<std::string> unassigned_problem(const std::string &part);

// The first two paths, folders included, that Windows would take for one
// file ("README.txt" and "readme.txt", "notes" and "notes."), for display;
// nothing if there are none. Paths are archive components.
std::optional<std::pair<std::string, std::string>>
names_windows_merges(const std::vector<std::vector<std::string>> &paths);

#endif
