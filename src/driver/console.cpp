#include "console.h"

#include <stdlib.h>
#include <string.h>

#include "../platform/platform.h"

static int change_dir(void *, const char *path)
{
    return plat_change_dir(path);
}

static int make_dir(void *, const char *path)
{
    return plat_make_dir(path);
}

static int run(void *, const char *line)
{
    return plat_run_command(line);
}

static FILE *open_file(void *, const char *path, const char *mode)
{
    return fopen(path, mode);
}

Host host_default(void)
{
    Host h = {NULL, stdin, stdout, stderr, change_dir, make_dir, run, open_file};
    return h;
}

void prompt(const Host *h, const char *format, const char *arg)
{
    if (arg != NULL)
        fprintf(h->out, format, arg);
    else
        fputs(format, h->out);
    fflush(h->out);
}

int read_line(const Host *h, char *buf, int size)
{
    return fgets(buf, size, h->in) != NULL;
}

void message(const Host *h, const char *text)
{
    fputs(text, h->out);
}

void error_report(const Host *h, const char *subject, int errnum)
{
    fflush(h->out);
    if (subject != NULL && subject[0] != '\0')
        fprintf(h->err, "%s: ", subject);
    fprintf(h->err, "%s\n", strerror(errnum));
    fflush(h->err);
}

void run_command(const Host *h, const char *line)
{
    // The child writes straight to the shared console; text still in our
    // buffer would otherwise appear after the child's when output is a pipe.
    fflush(h->out);
    fflush(h->err);
    (void)h->run_command(h->ctx, line);
}

void pause_and_exit(const Host *h, int status)
{
    run_command(h, "pause");
    exit(status);
}
