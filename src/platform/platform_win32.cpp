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
