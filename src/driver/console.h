// Console and process conventions shared by every phase of the stub.
//
// Every phase reaches the outside world through one Host, so the phases can be
// driven by scripted streams and fake directory operations in unit tests; the
// real program fills it with the standard streams and the platform layer.
#ifndef CONSOLE_H
#define CONSOLE_H

#include <stdio.h>

struct Host {
    void *ctx;  // handed to each function below: a fake keeps its state here
    FILE *in;   // replies typed by the user
    FILE *out;  // prompts and messages
    FILE *err;  // error reports
    int (*change_dir)(void *ctx, const char *path);  // 0, or -1 with errno set
    int (*make_dir)(void *ctx, const char *path);    // 0, or -1 with errno set
    int (*run_command)(void *ctx, const char *line);
    // As fopen: the installer file and "tmp.exe" are opened through here.
    FILE *(*open_file)(void *ctx, const char *path, const char *mode);
};

// The real program's host: standard streams and the platform layer.
Host host_default(void);

// Writes format to out (its one "%s", if any, takes arg) and flushes, so the
// text is on the screen before the program waits for a reply.
void prompt(const Host *h, const char *format, const char *arg);

// Reads one line of at most size - 1 bytes, its line feed kept when it fits.
// Returns 0 at end of input or on a read error.
int read_line(const Host *h, char *buf, int size);

// Writes text to out as it is; out is not flushed.
void message(const Host *h, const char *text);

// "subject: <C library text for errnum>\n" on err, in the manner of perror.
// Pending output is flushed first so the report follows it on the screen.
void error_report(const Host *h, const char *subject, int errnum);

// Runs one command line through the command interpreter and waits. The
// result is deliberately ignored: no command's outcome changes the run.
void run_command(const Host *h, const char *line);

// Lets the user read the screen ("pause"), then ends the process.
[[noreturn]] void pause_and_exit(const Host *h, int status);

#endif
