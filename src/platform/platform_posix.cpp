#include "platform.h"

#include <stdlib.h>
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
