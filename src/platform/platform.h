// The operating-system services the programs need, one function each, so the
// same logic builds for Windows and natively for the tools and unit tests.
#ifndef PLATFORM_H
#define PLATFORM_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

// Room for a path in the buffers of every program here, NUL included.
enum { PATH_BUFFER_SIZE = 1024 };

// What separates folders in this system's paths: '\\' on Windows.
extern const char PLAT_SEP;

// Text, paths included, is handed to most functions below in one character
// set a program keeps throughout, chosen by the build for each program
// (charset_*.cpp). On Windows, where the system's wide (UTF-16) functions
// are called with it: code page 932 in the extractor, since an archive's
// names and the extractor's own words are in it whatever the machine's code
// page is, and UTF-8 in the packer. Natively, bytes go to the system as they
// are. The stub alone keeps the system's ANSI code page (the four below).
enum PlatCharset { PLAT_CHARSET_CP932, PLAT_CHARSET_UTF8 };
extern const enum PlatCharset PLAT_CHARSET;

// The stub's own, with paths as the user typed them, in the system's ANSI
// code page. The first two return 0 on success, or -1 with errno set, so
// failures can be told to the user with the C library's own error texts.
int plat_change_dir(const char *path);
int plat_make_dir(const char *path);  // one level; the parent must exist
// Full path of the running program's own file, or NULL if it can't be had
// (or doesn't fit in size bytes).
const char *plat_module_path(char *buf, size_t size);
// Hands one line to the command interpreter and waits for it to finish.
int plat_run_command(const char *line);

// From here on, paths are in PLAT_CHARSET. On Windows a path of MAX_PATH
// less 12 characters or more is made full and given the "\\?\" prefix,
// which lifts the limit to 32,767. 0, or -1 with errno (EILSEQ: bytes that
// are no text of the character set).
int plat_create_dir(const char *path);  // one level; the parent must exist

// The running program's own file: its path, for the user to read (a
// character the character set lacks becomes '?'), or NULL if it does not
// fit in size bytes; and the file itself, opened for reading by the
// system's own name for it (NULL with errno).
const char *plat_own_path(char *buf, size_t size);
FILE *plat_open_own_file(void);

// The program's arguments in PLAT_CHARSET: on Windows read again from the
// wide command line, since the C library's argv is in the ANSI code page,
// which may lack the characters of a file's name; natively as given.
void plat_program_args(int *argc, char ***argv);

// Opens a file for binary reading, as fopen(path, "rb"). NULL with errno.
FILE *plat_open_read(const char *path);

// Removes a file. 0, or -1 with errno.
int plat_remove(const char *path);

// Moves from over to, replacing a file already there. 0, or -1 with errno.
int plat_replace_file(const char *from, const char *to);

// Sets a file's modification time, in seconds since 1970 UTC.
int plat_set_mtime(const char *path, long long seconds);

// A file's modification time, in whole seconds since 1970 UTC (rounded down,
// also before 1970). 0, or -1 with errno set.
int plat_get_mtime(const char *path, int64_t *seconds);

// Seeks and tells with 64-bit offsets: a C long is 32 bits on Windows, and a
// seek by 2 GiB or more through it would go backwards. 0, or -1 with errno.
int plat_seek(FILE *f, int64_t offset, int whence);
int64_t plat_tell(FILE *f);  // -1 with errno on failure

// Creates path for binary writing only if no file of that name exists, so a
// temporary name can never destroy anything. NULL with errno (EEXIST if the
// name is taken).
FILE *plat_create_new(const char *path);

// A file for data kept only while the program runs, open for reading and
// writing: in the system's folder for temporary files, with no name left
// behind however the program ends. NULL with errno.
FILE *plat_create_spool(void);

// The bytes a user may still write where plat_create_spool makes its files
// (TMPDIR natively, %TEMP% on Windows). 0, or -1 with errno.
int plat_spool_free_space(uint64_t *bytes);

// The memory this program may take for a while: half the machine's, within
// what is left of its address space. 0, or -1.
int plat_memory_room(uint64_t *bytes);

// The processors this program may run on: 1 at least.
unsigned plat_processors(void);

// A thread of the program's own, running run(arg).
struct PlatThread {
    uintptr_t handle;
    void (*run)(void *arg);
    void *arg;
};

// Starts run(arg) on a new thread. 0, or -1 if none could be had.
int plat_thread_start(struct PlatThread *t, void (*run)(void *arg), void *arg);

// Waits until the thread's run has returned.
void plat_thread_join(struct PlatThread *t);

// Cuts an unbuffered stream's file to size bytes. 0, or -1 with errno.
int plat_truncate(FILE *f, int64_t size);

// Creates a new file for binary writing, named prefix, eight hex digits and
// ".tmp", under a name no file had: the name is never taken over from a file
// already there, so nothing is destroyed by it. The name goes to name. NULL
// with errno on failure.
FILE *plat_create_temp(const char *prefix, char *name, size_t size);

// Closes a stream that was written to, and says whether everything written
// reached the system: 0, or -1 with errno set (a flush at close is where a
// full disk often shows).
int plat_close_written(FILE *f);

// Writes all n bytes to an unbuffered stream, or fails with errno telling the
// real cause. A disk that fills up part-way through a block makes the system
// write what fits and report no error (Wine then reports EINVAL); the rest is
// retried, and that write gives the true reason: ENOSPC.
int plat_write(FILE *f, const void *p, size_t n);

// Whether f is a terminal (a console on Windows), for output meant for a
// person alone.
int plat_is_terminal(FILE *f);

// Writes text (in PLAT_CHARSET) to f and flushes it. On Windows a console
// is given the text as characters (WriteConsoleW), so it reads right
// whatever the console's code page; a pipe or a file gets bytes: those of
// code page 932 as they are, UTF-8 turned into the ANSI code page, as
// programs that read a pipe there expect. 0, or EOF.
int plat_put_text(FILE *f, const char *text);

#ifdef _WIN32
// Whether the user reads Japanese where this program writes: a Japanese UI
// language, and standard output a console (plat_put_text writes any
// character there) or bytes in an ANSI code page that has Japanese (932,
// or 65001). Natively gettext reads the locale instead.
int plat_user_reads_japanese(void);
#endif

// How many columns a terminal gives text in the locale's characters: on
// Windows as many as its bytes in code page 932 (a double-byte character
// takes two), natively what wcswidth says, or one a byte where it can't
// tell.
size_t plat_text_columns(const char *text);

// How many columns the terminal f writes to has, as it reports them; 0 if
// it reports none.
unsigned plat_terminal_columns(FILE *f);

// Whether path names a folder (1) or anything else or nothing (0).
int plat_is_dir(const char *path);

// Which file a path names, whatever name it goes by: Windows takes many
// spellings for one file (case, code page 932's duplicate characters), and
// only the file system knows them all. 0, or -1 with errno.
struct PlatFileId {
    uint64_t volume, index;
};
int plat_file_id(const char *path, struct PlatFileId *id);

// Whether the current folder is one that every user of the machine may
// change: directly under a drive's root, with no access list of its own
// (not protected, nothing but what it inherits), under a root whose list
// lets ordinary users (Everyone, Authenticated Users, Users, Interactive)
// write in the folders made in it, as C:\ does. 1 if so; 0 if not, if the
// lists can't be read, and natively, where folders inherit nothing; -1 with
// errno if the current folder can't be had.
int plat_folder_open_to_all(void);

// The user this program runs as, in the system's string form of a security
// identifier ("S-1-5-21-..."), for an access list. 0, or -1 with errno.
int plat_user_sid(char *buf, size_t size);

// Gives the current folder the access list described in the system's
// descriptor language (SDDL, "D:P(A;OICI;FA;;;SY)..."), protected from the
// parent's. 0, or -1 with errno.
int plat_set_folder_access(const char *sddl);

// Until called again, path (NULL: none) is removed if the program is
// interrupted: natively by SIGINT, SIGTERM or SIGHUP, on Windows by Ctrl-C,
// Ctrl-Break or the console's closing. The program then ends as the
// interruption would have ended it, unless plat_end_interrupted_saying was
// called. The path is copied.
void plat_remove_on_interrupt(const char *path);

// From now on an interruption, once it has removed the file above, writes
// words (in PLAT_CHARSET, as plat_put_text would) to standard output and
// ends the program with status 1: a job the user may run again, not a
// program killed. The text is copied.
void plat_end_interrupted_saying(const char *words);

// While held (1), an interruption waits until released (0): a file made
// and handed to plat_remove_on_interrupt in between is never left behind.
void plat_hold_interrupts(int hold);

#endif
