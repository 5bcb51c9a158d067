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

std::string to_display_name(const std::string &archive)
{
    return archive;
}
