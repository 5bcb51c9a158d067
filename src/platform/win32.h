// What the Windows platform layer's files share (platform_win32.cpp, the
// stub's services and streams; text_win32.cpp, paths and text in the
// program's character set).
#ifndef PLATFORM_WIN32_H
#define PLATFORM_WIN32_H

#include <errno.h>
#include <windows.h>

#include "platform.h"

// The system's functions report through GetLastError; the user is shown the
// C library's text, so translate to the nearest errno (platform_win32.cpp).
int errno_from_win32(DWORD code);

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
