#include "codepage.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <iconv.h>
#endif

#ifdef _WIN32
std::filesystem::path path_from_native(const std::string &s)
{
    int n = MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), NULL, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.data(), int(s.size()), w.data(), n);
    return std::filesystem::path(w);
}

std::string native_from_path(const std::filesystem::path &p)
{
    const std::wstring &w = p.native();
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), int(w.size()), NULL, 0,
                                NULL, &lossy);
    std::string s(size_t(n), '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.data(), int(w.size()), s.data(), n, NULL,
                        &lossy);
    // A name the code page can't spell gets '?' in it; nothing could open it.
    return lossy ? std::string() : s;
}

std::optional<std::string> to_archive_name(const std::string &native)
{
    return native;
}

std::string to_display_name(const std::string &archive)
{
    return archive;
}
#else
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
#endif
