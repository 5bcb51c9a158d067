// Windows: paths and text in the program's character set (PLAT_CHARSET),
// handed to the system's wide functions, and the console's events.
#include "win32.h"

#include "interrupt.h"

#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

// A failed call's GetLastError as errno, and the -1 to return.
static int failed_call(void)
{
    errno = errno_from_win32(GetLastError());
    return -1;
}

static UINT text_code_page(void)
{
    return PLAT_CHARSET == PLAT_CHARSET_UTF8 ? CP_UTF8 : 932;
}

// path, in UTF-16, as the wide functions take it. A path as long as
// CreateDirectoryW allows without the prefix (MAX_PATH less the 12 of an 8.3
// name) or longer is made full and given "\\?\" ("\\?\UNC\" for a
// share), which lifts the limit to 32,767 units; the system then takes the
// name as it stands, which is why the extractor refuses names Windows would
// change (trailing dots and spaces, "." and ".."). NULL with errno.
const wchar_t *wide_path(const char *path, struct WidePath *out)
{
    static const wchar_t LONG_PREFIX[] = L"\\\\?\\", UNC_PREFIX[] = L"\\\\?\\UNC\\";
    wchar_t given[WIDE_PATH_SIZE];
    if (MultiByteToWideChar(text_code_page(), MB_ERR_INVALID_CHARS, path, -1, given,
                            WIDE_PATH_SIZE) == 0) {
        errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : EILSEQ;
        return NULL;
    }
    if (wcslen(given) < MAX_PATH - 12 || wcsncmp(given, LONG_PREFIX, 4) == 0)
        return wcscpy(out->w, given);
    // Made full 8 units in, where either prefix fits before it.
    wchar_t *full = out->w + 8;
    DWORD n = GetFullPathNameW(given, WIDE_PATH_SIZE - 8, full, NULL);
    if (n == 0 || n >= WIDE_PATH_SIZE - 8) {
        errno = n == 0 ? errno_from_win32(GetLastError()) : ENAMETOOLONG;
        return NULL;
    }
    if (full[0] == L'\\' && full[1] == L'\\')
        return (wchar_t *)memcpy(full + 2 - 8, UNC_PREFIX, 8 * sizeof(wchar_t));
    return (wchar_t *)memcpy(full - 4, LONG_PREFIX, 4 * sizeof(wchar_t));
}

int plat_create_dir(const char *path)
{
    struct WidePath w;
    const wchar_t *p = wide_path(path, &w);
    return p == NULL ? -1 : CreateDirectoryW(p, NULL) ? 0 : failed_call();
}

// The program's own file as the system names it; NULL (with errno) if the
// name does not fit.
static const wchar_t *own_wide_path(struct WidePath *out)
{
    DWORD n = GetModuleFileNameW(NULL, out->w, WIDE_PATH_SIZE);
    if (n == 0 || n >= WIDE_PATH_SIZE) {
        errno = ENAMETOOLONG;
        return NULL;
    }
    return out->w;
}

const char *plat_own_path(char *buf, size_t size)
{
    struct WidePath w;
    if (own_wide_path(&w) == NULL)
        return NULL;
    // UTF-8 takes no flags; code page 932 shows a character it lacks as '?'.
    int utf8 = PLAT_CHARSET == PLAT_CHARSET_UTF8;
    int n = WideCharToMultiByte(text_code_page(), utf8 ? 0 : WC_NO_BEST_FIT_CHARS, w.w, -1, buf,
                                (int)size, NULL, NULL);
    return n > 0 ? buf : NULL;
}

FILE *plat_open_own_file(void)
{
    struct WidePath w;
    return own_wide_path(&w) ? _wfopen(w.w, L"rb") : NULL;
}

// msvcrt's own split of the wide command line, by the rules it splits the
// ANSI one by (quotes, backslashes before them), without wildcards.
extern "C" int __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env, int wildcards,
                              int *startup);

void plat_program_args(int *argc, char ***argv)
{
    int n = 0, startup = 0;
    wchar_t **wide = NULL, **env = NULL;
    if (__wgetmainargs(&n, &wide, &env, 0, &startup) < 0 || wide == NULL)
        return;
    char **args = (char **)calloc((size_t)n + 1, sizeof *args);
    for (int i = 0; args != NULL && i < n; i++) {
        int size = WideCharToMultiByte(text_code_page(), 0, wide[i], -1, NULL, 0, NULL, NULL);
        if (size <= 0 || (args[i] = (char *)malloc((size_t)size)) == NULL)
            return;  // the C library's arguments stay
        WideCharToMultiByte(text_code_page(), 0, wide[i], -1, args[i], size, NULL, NULL);
    }
    if (args == NULL)
        return;
    *argc = n;
    *argv = args;
}

FILE *plat_open_read(const char *path)
{
    struct WidePath w;
    const wchar_t *p = wide_path(path, &w);
    return p ? _wfopen(p, L"rb") : NULL;
}

int plat_remove(const char *path)
{
    struct WidePath w;
    const wchar_t *p = wide_path(path, &w);
    return p == NULL ? -1 : DeleteFileW(p) ? 0 : failed_call();
}

static HANDLE console_of(FILE *f)
{
    HANDLE h = (HANDLE)_get_osfhandle(_fileno(f));
    DWORD mode;
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? h : NULL;
}

// Hands text to use() in UTF-16, in pieces of at most PIECE bytes cut where
// a character ends, so that no buffer need be as long as the text and a
// console handler, which may not allocate, can write too. -1 if use() fails
// or the text is no text of the character set.
enum { PIECE = 256 };
typedef int (*UseWide)(void *ctx, const wchar_t *w, int n);

static int for_each_wide_piece(const char *text, UseWide use, void *ctx)
{
    wchar_t wide[PIECE];
    while (*text != '\0') {
        int n = 0;
        for (int step; text[n] != '\0'; n += step) {
            unsigned char c = (unsigned char)text[n];
            step = 1;
            if (PLAT_CHARSET == PLAT_CHARSET_UTF8)
                while (((unsigned char)text[n + step] & 0xC0) == 0x80)
                    step++;
            else if (IsDBCSLeadByteEx(932, c) && text[n + 1] != '\0')
                step = 2;
            if (n + step > PIECE)
                break;
        }
        int w = MultiByteToWideChar(text_code_page(), 0, text, n, wide, PIECE);
        if (w == 0 || use(ctx, wide, w) != 0)
            return -1;
        text += n;
    }
    return 0;
}

static int write_console(void *console, const wchar_t *w, int n)
{
    while (n > 0) {
        DWORD done = 0;
        if (!WriteConsoleW((HANDLE)console, w, (DWORD)n, &done, NULL) || done == 0)
            return -1;
        w += done;
        n -= (int)done;
    }
    return 0;
}

// For a pipe or a file: the text in the ANSI code page, a character it
// lacks as its nearest or '?'.
static int write_ansi(void *stream, const wchar_t *w, int n)
{
    char bytes[4 * PIECE];
    int b = WideCharToMultiByte(CP_ACP, 0, w, n, bytes, sizeof bytes, NULL, NULL);
    return b > 0 && fwrite(bytes, 1, (size_t)b, (FILE *)stream) == (size_t)b ? 0 : -1;
}

// Text for a pipe or a file, with the line ends text mode would give it,
// in as few writes as a small buffer allows. Not through the C library: a
// console handler may not take its locks, and Wine's msvcrt asks the
// system for the handle's console mode once per byte of a text-mode
// write, which made a large install's progress lines cost a second.
static int write_raw(void *handle, const char *text)
{
    char bytes[256];
    while (*text != '\0') {
        DWORD n = 0, done;
        for (; *text != '\0' && n + 2 <= sizeof bytes; text++) {
            if (*text == '\n')
                bytes[n++] = '\r';
            bytes[n++] = *text;
        }
        if (!WriteFile((HANDLE)handle, bytes, n, &done, NULL) || done != n)
            return -1;
    }
    return 0;
}

// Held while a text is written. The console's handler runs on a thread of
// its own: it takes the lock and never gives it back, so its words come
// after a whole line, never inside one, and nothing follows them.
static volatile LONG text_lock;

static void take_text_lock(void)
{
    while (InterlockedCompareExchange(&text_lock, 1, 0) != 0)
        Sleep(1);
}

static int put_text(FILE *f, const char *text)
{
    if (HANDLE console = console_of(f)) {
        if (fflush(f) != 0 || for_each_wide_piece(text, write_console, console) != 0)
            return EOF;
        return 0;
    }
    if (PLAT_CHARSET == PLAT_CHARSET_UTF8 && GetACP() != CP_UTF8) {
        int bad = for_each_wide_piece(text, write_ansi, f) != 0;
        return fflush(f) != 0 || bad ? EOF : 0;
    }
    return fflush(f) != 0 || write_raw((HANDLE)_get_osfhandle(_fileno(f)), text) != 0 ? EOF : 0;
}

int plat_put_text(FILE *f, const char *text)
{
    take_text_lock();
    int result = put_text(f, text);
    InterlockedExchange(&text_lock, 0);
    return result;
}

int plat_user_reads_japanese(void)
{
    UINT acp = GetACP();
    return PRIMARYLANGID(GetUserDefaultUILanguage()) == LANG_JAPANESE &&
           (console_of(stdout) != NULL || acp == 932 || acp == CP_UTF8);
}

// Columns are counted as the bytes of code page 932: a Japanese console
// gives a double-byte character two, and a console of another code page
// shows one in two columns too where its font has it.
static int count_columns(void *count, const wchar_t *w, int n)
{
    *(size_t *)count += (size_t)WideCharToMultiByte(932, 0, w, n, NULL, 0, NULL, NULL);
    return 0;
}

size_t plat_text_columns(const char *text)
{
    size_t columns = 0;
    if (for_each_wide_piece(text, count_columns, &columns) != 0)
        return strlen(text);
    return columns;
}

// The file is open for writing; it was created shared for deletion, so it
// goes once the process ends. The handler runs on a thread of its own,
// while the program's own threads go on, so it ends the process itself
// once it has had its say, with nothing the C library would flush or lock.
// FALSE: the default handler then ends the process, as the event would
// have.
static volatile LONG interrupts_held;

static BOOL WINAPI on_console_event(DWORD)
{
    while (interrupts_held)
        Sleep(1);
    struct WidePath w;
    const char *path = plat_interrupt_path();
    const wchar_t *p = path ? wide_path(path, &w) : NULL;
    if (p != NULL)
        DeleteFileW(p);
    const char *words = plat_interrupt_words();
    if (words == NULL)
        return FALSE;
    take_text_lock();
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (GetConsoleMode(out, &mode))
        for_each_wide_piece(words, write_console, out);
    else
        write_raw(out, words);
    TerminateProcess(GetCurrentProcess(), 1);
    return TRUE;
}

void plat_hold_interrupts(int hold)
{
    plat_catch_interrupts();
    interrupts_held = hold;
}

void plat_catch_interrupts(void)
{
    static int installed;
    if (!installed)
        installed = SetConsoleCtrlHandler(on_console_event, TRUE) != 0;
}
