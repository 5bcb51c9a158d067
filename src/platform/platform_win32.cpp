// Windows: the stub's services, with paths in the ANSI code page as the user
// typed them, and the streams and files every program uses. Paths in the
// program's character set become UTF-16 in text_win32.cpp.
#include "win32.h"

#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <stdlib.h>
#include <string.h>

int errno_from_win32(DWORD code)
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

const char PLAT_SEP = '\\';

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

int plat_replace_file(const char *from, const char *to)
{
    struct WidePath f, t;
    const wchar_t *a = wide_path(from, &f), *b = a ? wide_path(to, &t) : NULL;
    if (b == NULL)
        return -1;
    if (MoveFileExW(a, b, MOVEFILE_REPLACE_EXISTING))
        return 0;
    errno = errno_from_win32(GetLastError());
    return -1;
}

// FILETIME counts 100 ns steps from 1601.
static const long long FILETIME_1970 = 11644473600LL;

int plat_set_mtime(const char *path, long long seconds)
{
    struct WidePath w;
    const wchar_t *p = wide_path(path, &w);
    if (p == NULL)
        return -1;
    HANDLE h = CreateFileW(p, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    unsigned long long t = (unsigned long long)(seconds + FILETIME_1970) * 10000000ULL;
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

int plat_get_mtime(const char *path, int64_t *seconds)
{
    WIN32_FILE_ATTRIBUTE_DATA a;
    struct WidePath w;
    const wchar_t *p = wide_path(path, &w);
    if (p == NULL)
        return -1;
    if (!GetFileAttributesExW(p, GetFileExInfoStandard, &a)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    long long t = (long long)((unsigned long long)a.ftLastWriteTime.dwHighDateTime << 32 |
                              a.ftLastWriteTime.dwLowDateTime);
    *seconds = t / 10000000 - FILETIME_1970;  // t >= 0, so this rounds down
    return 0;
}

int plat_seek(FILE *f, int64_t offset, int whence)
{
    return _fseeki64(f, offset, whence);
}

int64_t plat_tell(FILE *f)
{
    return _ftelli64(f);
}

// A C stream over a handle the system opened, binary; the handle is closed
// if no stream can be had.
static FILE *stream_of_handle(HANDLE h, int access, const char *mode)
{
    int fd = _open_osfhandle((intptr_t)h, access | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
        return NULL;
    }
    FILE *f = _fdopen(fd, mode);
    if (f == NULL)
        _close(fd);
    return f;
}

// msvcrt's tmpfile makes its file in the root of the current drive, where a
// user may not write; the system deletes this one when its handle closes,
// which it does for any ending of the process.
FILE *plat_create_spool(void)
{
    wchar_t dir[MAX_PATH + 1], name[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(dir, L"mki", 0, name) == 0) {
        errno = errno_from_win32(GetLastError());
        return NULL;
    }
    HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, NULL,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                           NULL);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        DeleteFileW(name);
        return NULL;
    }
    return stream_of_handle(h, _O_RDWR, "w+b");
}

int plat_memory_room(uint64_t *bytes)
{
    MEMORYSTATUSEX m;
    m.dwLength = sizeof m;
    if (!GlobalMemoryStatusEx(&m))
        return -1;
    // Less a margin: a 32-bit program's free address space is in pieces,
    // and the largest of them is what an allocation needs.
    enum : uint64_t { MARGIN = 512ull << 20 };
    uint64_t space = m.ullAvailVirtual > MARGIN ? m.ullAvailVirtual - MARGIN : 0;
    *bytes = m.ullTotalPhys / 2 < space ? m.ullTotalPhys / 2 : space;
    return 0;
}

int plat_spool_free_space(uint64_t *bytes)
{
    wchar_t dir[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, dir);
    ULARGE_INTEGER available;
    if (n == 0 || n > MAX_PATH || !GetDiskFreeSpaceExW(dir, &available, NULL, NULL)) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    *bytes = available.QuadPart;
    return 0;
}

unsigned plat_processors(void)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 1 ? info.dwNumberOfProcessors : 1;
}

// By way of the C library's own start, which gives the thread what the
// library keeps per thread (errno, its stream locks' state).
static unsigned __stdcall thread_main(void *t)
{
    struct PlatThread *thread = (struct PlatThread *)t;
    thread->run(thread->arg);
    return 0;
}

int plat_thread_start(struct PlatThread *t, void (*run)(void *arg), void *arg)
{
    t->run = run;
    t->arg = arg;
    t->handle = _beginthreadex(NULL, 0, thread_main, t, 0, NULL);
    return t->handle != 0 ? 0 : -1;
}

void plat_thread_join(struct PlatThread *t)
{
    WaitForSingleObject((HANDLE)t->handle, INFINITE);
    CloseHandle((HANDLE)t->handle);
}

FILE *plat_create_new(const char *path)
{
    // Shared for deletion, so that an interrupted writer can remove it while
    // it is still open (plat_remove_on_interrupt).
    struct WidePath w;
    const wchar_t *p = wide_path(path, &w);
    if (p == NULL)
        return NULL;
    HANDLE h = CreateFileW(p, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return NULL;
    }
    return stream_of_handle(h, _O_WRONLY, "wb");
}

int plat_is_terminal(FILE *f)
{
    return _isatty(_fileno(f));
}

// The window's width, not the buffer's: a line as wide as the buffer but
// wider than the window would scroll it sideways.
unsigned plat_terminal_columns(FILE *f)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    HANDLE h = (HANDLE)_get_osfhandle(_fileno(f));
    if (h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &info))
        return 0;
    return (unsigned)(info.srWindow.Right - info.srWindow.Left + 1);
}

// Straight to the handle: msvcrt turns a short WriteFile without an error
// into a stale error code, which reads as "Invalid argument".
int plat_write(FILE *f, const void *p, size_t n)
{
    HANDLE h = (HANDLE)_get_osfhandle(_fileno(f));
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    const char *b = (const char *)p;
    while (n > 0) {
        DWORD want = n > 0x40000000u ? 0x40000000u : (DWORD)n, done = 0;
        if (!WriteFile(h, b, want, &done, NULL)) {
            errno = errno_from_win32(GetLastError());
            return -1;
        }
        if (done == 0) {
            errno = ENOSPC;
            return -1;
        }
        b += done;
        n -= done;
    }
    return 0;
}

int plat_truncate(FILE *f, int64_t size)
{
    HANDLE h = (HANDLE)_get_osfhandle(_fileno(f));
    LARGE_INTEGER at;
    at.QuadPart = size;
    if (h == INVALID_HANDLE_VALUE || !SetFilePointerEx(h, at, NULL, FILE_BEGIN) || !SetEndOfFile(h)) {
        errno = h == INVALID_HANDLE_VALUE ? EBADF : errno_from_win32(GetLastError());
        return -1;
    }
    return 0;
}

int plat_is_dir(const char *path)
{
    struct WidePath w;
    const wchar_t *p = wide_path(path, &w);
    DWORD a = p ? GetFileAttributesW(p) : INVALID_FILE_ATTRIBUTES;
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

int plat_file_id(const char *path, struct PlatFileId *id)
{
    // No access asked: a file open elsewhere, or a folder, can still be told.
    struct WidePath w;
    const wchar_t *p = wide_path(path, &w);
    if (p == NULL)
        return -1;
    HANDLE h = CreateFileW(p, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        errno = errno_from_win32(GetLastError());
        return -1;
    }
    BY_HANDLE_FILE_INFORMATION info;
    BOOL ok = GetFileInformationByHandle(h, &info);
    DWORD code = GetLastError();
    CloseHandle(h);
    if (!ok) {
        errno = errno_from_win32(code);
        return -1;
    }
    id->volume = info.dwVolumeSerialNumber;
    id->index = (uint64_t)info.nFileIndexHigh << 32 | info.nFileIndexLow;
    return 0;
}
