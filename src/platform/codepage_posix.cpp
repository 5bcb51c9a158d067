// Names on POSIX systems: UTF-8, converted to and from code page 932 for
// archives.
#include "codepage.h"

#include <errno.h>
#include <iconv.h>

std::filesystem::path path_from_native(const std::string &s)
{
    return std::filesystem::path(s);
}

std::string native_from_path(const std::filesystem::path &p)
{
    return p.string();
}

static bool is_ascii(const std::string &s)
{
    for (unsigned char c : s)
        if (c >= 0x80)
            return false;
    return true;
}

static std::optional<std::string> convert(const char *to, const char *from, const std::string &s)
{
    if (is_ascii(s))
        return s;
    iconv_t cd = iconv_open(to, from);
    if (cd == (iconv_t)-1)
        return std::nullopt;
    std::string out(s.size() * 4 + 4, '\0');
    char *in = const_cast<char *>(s.data());
    size_t in_left = s.size();
    char *o = out.data();
    size_t out_left = out.size();
    size_t r = iconv(cd, &in, &in_left, &o, &out_left);
    iconv_close(cd);
    if (r == (size_t)-1)
        return std::nullopt;
    out.resize(out.size() - out_left);
    return out;
}

std::optional<std::string> to_archive_name(const std::string &native)
{
    return convert("CP932", "UTF-8", native);
}

std::string to_display_name(const std::string &archive)
{
    return convert("UTF-8", "CP932", archive).value_or(archive);
}
