#include "member_names.h"

#include <stdio.h>

#include <map>

#include "platform/codepage.h"
#include "lzh/header.h"
#include "names/winname.h"
#include "platform/platform.h"
#include "sfx/extract.h"
#include "messages.h"

// The character at part[at], as hex bytes ("85 40").
static std::string hex_bytes(const std::string &part, size_t at)
{
    size_t n = at + 1 < part.size() &&
               win_is_pair(cp932_is_lead_byte, (unsigned char)part[at], (unsigned char)part[at + 1])
                   ? 2 : 1;
    std::string s;
    for (size_t i = 0; i < n; i++) {
        char b[4];
        snprintf(b, sizeof b, "%s%02X", i ? " " : "", (unsigned char)part[at + i]);
        s += b;
    }
    return s;
}

std::optional<std::string> archive_name_from_utf16(const std::u16string &name)
{
    std::string out(name.size() * 2 + 1, '\0');
    long n = win_name_from_utf16(reinterpret_cast<const uint16_t *>(name.data()), name.size(),
                                 out.data());
    if (n < 0)
        return std::nullopt;
    out.resize(size_t(n));
    return out;
}

std::optional<std::string> unassigned_problem(const std::string &part)
{
    long bad = win_name_unassigned(part.data(), part.size(), cp932_is_lead_byte);
    if (bad < 0)
        return std::nullopt;
    return format(_("the bytes %s, which are no character in code page 932: Windows reads "
                    "every such code as one and the same default character"),
                  hex_bytes(part, size_t(bad)).c_str());
}

// A 0x5C byte that is not the trail byte of a double-byte character.
static bool stray_backslash(const std::string &part)
{
    for (size_t i = 0; i < part.size(); i++) {
        if (i + 1 < part.size() &&
            win_is_pair(cp932_is_lead_byte, (unsigned char)part[i], (unsigned char)part[i + 1]))
            i++;
        else if (part[i] == '\\')
            return true;
    }
    return false;
}

std::optional<std::string> member_name_problem(const std::vector<std::string> &utf8,
                                               const std::vector<std::string> &archive)
{
    std::string joined, member;
    for (size_t i = 0; i < archive.size(); i++) {
        // Only a POSIX name can hold one, as UTF-8, where the byte 0x5C is
        // never part of a longer character. In the archive it would become a
        // folder separator.
        if (utf8[i].find('\\') != std::string::npos)
            return std::string(_("a backslash in the name, which Windows reads as a folder "
                                 "separator"));
        const std::string &part = archive[i];
        if (part.empty() || part == ".")
            return std::string(_("an empty name"));
        // No code page 932 character has it, but other ANSI code pages do
        // ("ÿ" in 1252), and in an archive it separates folders.
        if (part.find(LZH_SEP) != std::string::npos)
            return std::string(_("the byte 0xFF in the name, which archives use between folders"));
        // Only code page 932's own spelling of the yen sign can bring one
        // here, since a backslash was refused above.
        if (stray_backslash(part))
            return std::string(_("a yen sign, which in Shift_JIS is the byte 0x5C: Windows "
                                 "reads it as the folder separator \\"));
        if (const char *why = win_name_problem(part.data(), part.size(), cp932_is_lead_byte))
            return std::string(_(why));
        if (std::optional<std::string> why = unassigned_problem(part))
            return why;
        joined += (i ? "\\" : "") + part;
        member += (i ? std::string(1, LZH_SEP) : "") + part;
    }
    if (joined.size() >= LZH_PATH_MAX)
        return format(_("path of %u bytes; the installer reads at most %u"),
                      unsigned(joined.size()), unsigned(LZH_PATH_MAX - 1));
    // The extractor's own test, so that what is packed always unpacks.
    char rel[LZH_PATH_MAX];
    if (safe_relative_path(member.c_str(), '\\', rel, sizeof rel) != 0)
        return std::string(_("a name the extractor refuses"));
    char folded[LZH_PATH_MAX];
    if (archive.size() == 1 &&
        std::string(folded, win_name_fold(archive[0].data(), archive[0].size(), folded,
                                          cp932_is_lead_byte)) == "TMP.EXE")
        return std::string(_("tmp.exe is the name the installer runs its payload under"));
    return std::nullopt;
}

std::optional<std::string> member_path_warning(const std::vector<std::string> &archive)
{
    size_t length = archive.size() - 1;  // the separators
    for (const std::string &part : archive)
        length += part.size();
    long room = long(WIN_PATH_MAX) - 1 - long(length);  // "folder\path"
    if (room >= WIN_FOLDER_ROOM)
        return std::nullopt;
    return format(_("a path of %u bytes leaves %ld of Windows' %u for the install folder: "
                    "programs that can't take longer paths won't open it below a longer "
                    "folder"),
                  unsigned(length), room < 0 ? 0 : room, unsigned(WIN_PATH_MAX));
}

static std::string display_path(const std::vector<std::string> &path)
{
    std::string s;
    for (size_t i = 0; i < path.size(); i++)
        s += (i ? "/" : "") + to_display_name(path[i]);
    return s;
}

std::optional<NameClash> names_windows_merges(const std::vector<MemberPath> &paths)
{
    struct Seen {
        std::vector<std::string> spelling;
        bool is_file;
        size_t index;
    };
    std::map<std::string, Seen> seen;  // folded path -> its first member
    for (size_t i = 0; i < paths.size(); i++) {
        const std::vector<std::string> &path = paths[i].parts;
        std::string key;
        for (size_t n = 1; n <= path.size(); n++) {
            const std::string &part = path[n - 1];
            std::string folded(part.size() + 1, '\0');
            folded.resize(win_name_fold(part.data(), part.size(), folded.data(), cp932_is_lead_byte));
            key += folded + LZH_SEP;
            Seen mine{std::vector<std::string>(path.begin(), path.begin() + long(n)),
                      n == path.size() && !paths[i].is_dir, i};
            auto [it, fresh] = seen.emplace(key, mine);
            const Seen &first = it->second;
            const char *rule = fresh ? nullptr
                               : first.spelling != mine.spelling
                                   ? N_("Windows takes these names for one file")
                               : first.is_file && mine.is_file ? N_("the same name twice")
                               : first.is_file || mine.is_file
                                   ? N_("a file and a folder of the same name")
                                   : nullptr;
            // Spellings are shown where they differ; otherwise the whole
            // paths, so that a file and the folder it blocks both show.
            bool whole = first.spelling == mine.spelling;
            if (rule)
                return NameClash{
                    first.index, i,
                    whole ? display_path(paths[first.index].parts) : display_path(first.spelling),
                    whole ? display_path(path) : display_path(mine.spelling), rule};
        }
    }
    return std::nullopt;
}
