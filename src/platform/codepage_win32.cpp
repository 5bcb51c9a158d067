// Names on Windows: the packer holds them in UTF-8 (PLAT_CHARSET), read from
// the system's UTF-16 whatever the ANSI code page is, and writes them into
// archives in code page 932 with the project's own table, as the system
// itself would without best fit: one conversion in every build.
#include "codepage.h"

#include <windows.h>

#include "names/winname.h"

std::filesystem::path path_from_native(const std::string &s)
{
    return std::filesystem::u8path(s);
}

std::string native_from_path(const std::filesystem::path &p)
{
    return p.u8string();
}

std::optional<std::string> to_archive_name(const std::string &native)
{
    std::wstring w = path_from_native(native).native();
    std::string out(2 * w.size() + 1, '\0');
    long n = win_name_from_utf16(reinterpret_cast<const uint16_t *>(w.data()), w.size(), out.data());
    if (n < 0)
        return std::nullopt;
    out.resize(size_t(n));
    return out;
}

std::string to_display_name(const std::string &archive)
{
    int n = MultiByteToWideChar(932, 0, archive.data(), int(archive.size()), NULL, 0);
    std::wstring w(size_t(n), L'\0');
    MultiByteToWideChar(932, 0, archive.data(), int(archive.size()), w.data(), n);
    return native_from_path(std::filesystem::path(w));
}
