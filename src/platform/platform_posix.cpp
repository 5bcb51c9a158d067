#include "platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int plat_change_dir(const char *path)
{
    return chdir(path);
}

int plat_make_dir(const char *path)
{
    return mkdir(path, 0777);
}

const char *plat_module_path(char *buf, size_t size)
{
    ssize_t n = readlink("/proc/self/exe", buf, size);
    if (n <= 0 || (size_t)n >= size)
        return NULL;
    buf[n] = '\0';
    return buf;
}

int plat_run_command(const char *line)
{
    return system(line);
}

int plat_is_lead_byte(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

int plat_replace_file(const char *from, const char *to)
{
    return rename(from, to);
}

int plat_set_mtime(const char *path, long long seconds)
{
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = (time_t)seconds;
    times[1].tv_nsec = 0;
    return utimensat(AT_FDCWD, path, times, 0);
}
