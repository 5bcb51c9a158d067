// Names on Windows: the C library takes paths in the ANSI code page, which is
// also the archive's, while the C++ library's narrow paths are UTF-8.
#include "codepage.h"

#include <windows.h>

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

// No best fit: a character code page 932 lacks must not turn into another.
std::optional<std::string> archive_name_from_utf16(const std::u16string &name)
{
    if (name.empty())
        return std::string();
    const wchar_t *w = reinterpret_cast<const wchar_t *>(name.data());
    BOOL lost = FALSE;
    int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, w, int(name.size()), NULL, 0, NULL,
                                &lost);
    if (n <= 0 || lost)
        return std::nullopt;
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, w, int(name.size()), out.data(), n, NULL,
                        &lost);
    if (lost)
        return std::nullopt;
    return out;
}

std::string to_display_name(const std::string &archive)
{
    return archive;
}
