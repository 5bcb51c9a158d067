// The few operating-system services the stub needs, one function each, so the
// same stub logic builds for Windows and natively for unit tests.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <stddef.h>

// Both return 0 on success, or -1 with errno set, so failures can be told to
// the user with the C library's own error texts.
int plat_change_dir(const char *path);
int plat_make_dir(const char *path);  // one level; the parent must exist

// Full path of the running program's own file, or NULL if it can't be had
// (or doesn't fit in size bytes).
const char *plat_module_path(char *buf, size_t size);

// Hands one line to the command interpreter and waits for it to finish.
int plat_run_command(const char *line);

// Whether c starts a double-byte character in the system's ANSI code page
// (Shift_JIS on Japanese Windows; natively, Shift_JIS is assumed).
int plat_is_lead_byte(unsigned char c);

// Moves from over to, replacing a file already there. 0, or -1 with errno.
int plat_replace_file(const char *from, const char *to);

// Sets a file's modification time, in seconds since 1970 UTC.
int plat_set_mtime(const char *path, long long seconds);

#endif
