// The name rules shared by the packer and the extractor. Input: components
// separated by '\n', in the archive's code page.
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "lzh/header.h"
#include "names/winname.h"
#include "platform/platform.h"
#include "sfx/extract.h"
#include "tools/member_names.h"

static std::string fold(const std::string &s)
{
    std::string out(s.size() + 1, '\0');
    out.resize(win_name_fold(s.data(), s.size(), out.data(), cp932_is_lead_byte));
    return out;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < size; i++) {
        if (data[i] == '\n')
            parts.emplace_back();
        else
            parts.back() += char(data[i]);
    }
    for (const std::string &p : parts) {
        std::string f = fold(p);
        // Folding is idempotent, and blind to what Windows drops.
        if (fold(f) != f || fold(p + ". .") != f)
            __builtin_trap();
        // Case never makes a name acceptable.
        if ((win_name_problem(p.data(), p.size(), cp932_is_lead_byte) == NULL) !=
            (win_name_problem(f.data(), f.size(), cp932_is_lead_byte) == NULL) &&
            f.size() == p.size())
            __builtin_trap();
    }
    // The source names only matter for a backslash, tested on their own.
    if (member_name_problem(std::vector<std::string>(parts.size()), parts))
        return 0;

    // Whatever the packer accepts, the extractor takes to the same place:
    // as many components, none that could climb out, none empty.
    std::string member;
    for (size_t i = 0; i < parts.size(); i++)
        member += (i ? std::string(1, LZH_SEP) : "") + parts[i];
    char rel[LZH_PATH_MAX];
    if (safe_relative_path(member.c_str(), '/', rel, sizeof rel) != 0)
        __builtin_trap();
    size_t seps = 0;
    for (const char *p = rel; *p; p++) {
        if (p[1] && win_is_pair(cp932_is_lead_byte, (unsigned char)p[0], (unsigned char)p[1]))
            p++;
        else
            seps += *p == '/';
    }
    if (seps + 1 != parts.size())
        __builtin_trap();
    for (const std::string &p : parts)
        if (fold(p).empty() || fold(p) == "..")
            __builtin_trap();

    // The same path with a trailing dot is the same file to Windows, and so
    // is the same path twice; a folder of the same name blocks it too.
    std::vector<std::string> dotted = parts, below = parts;
    dotted.back() += '.';
    below.push_back("x");
    if (!names_windows_merges({{parts, false}, {dotted, false}}) ||
        !names_windows_merges({{parts, false}, {parts, false}}) ||
        !names_windows_merges({{parts, false}, {below, false}}) ||
        names_windows_merges({{parts, true}, {below, false}}))
        __builtin_trap();
    return 0;
}
