// What the Windows platform layer's files share (platform_win32.cpp, the
// stub's services and streams; text_win32.cpp, paths and text in the
// program's character set).
#ifndef PLATFORM_WIN32_H
#define PLATFORM_WIN32_H

#include <errno.h>
#include <windows.h>

#include "platform.h"

// The system's functions report through GetLastError; the user is shown the
// C library's text, so translate to the nearest errno.
static int errno_from_win32(DWORD code)
{
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
        return EACCES;
    case ERROR_TOO_MANY_OPEN_FILES:
        return EMFILE;
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

// Room for a path in UTF-16: one of a program's path buffers with a
// temporary name's few characters added (the extractor's, beside the
// longest member path), made full from a current folder as long as Windows
// takes by default, with the "\\?\UNC\" prefix. A temporary file then never
// fails where its final name would not.
enum { WIDE_PATH_SIZE = PATH_BUFFER_SIZE + 2 * MAX_PATH };
struct WidePath {
    wchar_t w[WIDE_PATH_SIZE];
};

// path, in PLAT_CHARSET, in UTF-16 as the wide functions take it: in out,
// though not always at its start. NULL with errno.
const wchar_t *wide_path(const char *path, struct WidePath *out);

#endif
