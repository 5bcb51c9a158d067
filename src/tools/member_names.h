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
// What the user should know of a path that packs: one that leaves less than
// WIN_FOLDER_ROOM bytes of WIN_PATH_MAX for the install folder.
std::optional<std::string> member_path_warning(const std::vector<std::string> &archive);

std::optional<std::string> member_name_problem(const std::vector<std::string> &utf8,
                                               const std::vector<std::string> &archive);

// A name that an archive also holds in UTF-16 (Windows tools add it), in
// code page 932 as Windows writes it; nothing if a character has no code
// there. The same table in every build.
std::optional<std::string> archive_name_from_utf16(const std::u16string &name);

// Why the component part (in the archive's code page) holds bytes that are
// no character of code page 932, or nothing.
std::optional<std::string> unassigned_problem(const std::string &part);

// A member's path as archive components, and whether the member is a folder.
struct MemberPath {
    std::vector<std::string> parts;
    bool is_dir;
};

// Two members that would be one file on Windows: their indices and paths,
// for display, and the rule that makes them one (a text to translate).
struct NameClash {
    size_t first, second;
    std::string first_name, second_name;
    const char *rule;
};

// The first two members that Windows would take for one file, whatever made
// them meet: one name twice, two spellings it folds together
// ("README.txt" and "readme.txt", "notes" and "notes."), or a file whose
// name another member needs for a folder ("a" and "a/b"). A folder named
// twice is one folder, and no clash.
std::optional<NameClash> names_windows_merges(const std::vector<MemberPath> &paths);

#endif
