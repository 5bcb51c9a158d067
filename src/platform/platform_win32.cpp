#include "platform.h"

#include <errno.h>
#include <stdlib.h>
#include <windows.h>

// SetCurrentDirectoryA and CreateDirectoryA report through GetLastError; the
// user is shown the C library's text, so translate to the nearest errno.
static int errno_from_win32(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
        return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return EEXIST;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return EINVAL;
    }
}

int plat_change_dir(const char *path)
{
    if (SetCurrentDirectoryA(path))
        return 0;
    errno = errno_from_win32(GetLastError());
    return -1;
}

int plat_make_dir(const char *path)
{
    if (CreateDirectoryA(path, NULL))
        return 0;
    errno = errno_from_win32(GetLastError());
    return -1;
}

const char *plat_module_path(char *buf, size_t size)
{
    DWORD n = GetModuleFileNameA(NULL, buf, (DWORD)size);
    // n == size means the path was cut; a cut path would open the wrong file.
    if (n == 0 || n >= size)
        return NULL;
    return buf;
}

int plat_run_command(const char *line)
{
    return system(line);
}

int plat_is_lead_byte(unsigned char c)
{
    return IsDBCSLeadByte(c) != 0;
}

int plat_replace_file(const char *from, const char *to)
{
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING))
        return 0;
    errno = errno_from_win32(GetLastError());
    return -1;
}

int plat_set_mtime(const char *path, long long seconds)
{
    HANDLE h = CreateFileA(path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    // FILETIME counts 100 ns steps from 1601.
    unsigned long long t = (unsigned long long)(seconds + 11644473600LL) * 10000000ULL;
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)t;
    ft.dwHighDateTime = (DWORD)(t >> 32);
    BOOL ok = SetFileTime(h, NULL, NULL, &ft);
    DWORD code = GetLastError();
    CloseHandle(h);
    if (!ok) {
        errno = errno_from_win32(code);
        return -1;
    }
    return 0;
}
