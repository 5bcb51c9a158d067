// The parts of the platform layer that are built from its other functions,
// the same on every system.
#include <errno.h>
#include <stdio.h>

#include "platform.h"

FILE *plat_create_temp(const char *prefix, char *name, size_t size)
{
    static unsigned serial;
    for (int tries = 0; tries < 1000; tries++) {
        serial = serial * 1103515245u + 12345u + (unsigned)tries;
        if (snprintf(name, size, "%s%08x.tmp", prefix, serial) >= (int)size) {
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
