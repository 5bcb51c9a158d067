// The parts of the platform layer that are built from its other functions,
// the same on every system.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "interrupt.h"
#include "platform.h"

FILE *plat_create_temp(const char *prefix, char *name, size_t size)
{
    // Threads of one process draw different numbers; a name taken by
    // another process is passed over.
    static unsigned serial;
    for (int tries = 0; tries < 1000; tries++) {
        unsigned n = __atomic_add_fetch(&serial, 0x9E3779B9u, __ATOMIC_RELAXED);
        if (snprintf(name, size, "%s%08x.tmp", prefix, n) >= (int)size) {
            errno = ENAMETOOLONG;
            return NULL;
        }
        FILE *f = plat_create_new(name);
        if (f != NULL || errno != EEXIST)
            return f;
    }
    return NULL;
}

int plat_close_written(FILE *f)
{
    int bad = fflush(f) != 0 || ferror(f);
    int e = errno;
    if (fclose(f) != 0)
        return -1;
    if (bad) {
        errno = e ? e : EIO;
        return -1;
    }
    return 0;
}

// Read by the handlers, which may run at any moment and on any thread: a
// fixed buffer and a flag, since they may call nothing that allocates or
// locks.
static char interrupt_path[PATH_BUFFER_SIZE];
static volatile sig_atomic_t interrupt_armed;
static char interrupt_words[512];
static volatile sig_atomic_t interrupt_says;

const char *plat_interrupt_path(void)
{
    return interrupt_armed ? interrupt_path : NULL;
}

const char *plat_interrupt_words(void)
{
    return interrupt_says ? interrupt_words : NULL;
}

void plat_end_interrupted_saying(const char *words)
{
    interrupt_says = 0;
    if (strlen(words) >= sizeof interrupt_words)
        return;
    strcpy(interrupt_words, words);
    interrupt_says = 1;
    plat_catch_interrupts();
}

void plat_remove_on_interrupt(const char *path)
{
    interrupt_armed = 0;
    if (path == NULL || strlen(path) >= sizeof interrupt_path)
        return;
    strcpy(interrupt_path, path);
    interrupt_armed = 1;
    plat_catch_interrupts();
}
