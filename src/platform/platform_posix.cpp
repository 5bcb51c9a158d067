// Sizes and offsets are 64-bit in a 32-bit build too.
#define _FILE_OFFSET_BITS 64

#include "platform.h"

#include "interrupt.h"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <wchar.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

const char PLAT_SEP = '/';

int plat_change_dir(const char *path)
{
    return chdir(path);
}

int plat_make_dir(const char *path)
{
    return mkdir(path, 0777);
}

int plat_create_dir(const char *path)
{
    return plat_make_dir(path);
}

const char *plat_module_path(char *buf, size_t size)
{
    ssize_t n = readlink("/proc/self/exe", buf, size);
    if (n <= 0 || (size_t)n >= size)
        return NULL;
    buf[n] = '\0';
    return buf;
}

const char *plat_own_path(char *buf, size_t size)
{
    return plat_module_path(buf, size);
}

FILE *plat_open_own_file(void)
{
    return fopen("/proc/self/exe", "rb");
}

void plat_program_args(int *, char ***)
{
}

FILE *plat_open_read(const char *path)
{
    return fopen(path, "rb");
}

int plat_remove(const char *path)
{
    return unlink(path);
}

int plat_run_command(const char *line)
{
    return system(line);
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

int plat_get_mtime(const char *path, int64_t *seconds)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    *seconds = (int64_t)st.st_mtim.tv_sec;  // tv_nsec is never negative
    return 0;
}

int plat_seek(FILE *f, int64_t offset, int whence)
{
    return fseeko(f, (off_t)offset, whence);
}

int64_t plat_tell(FILE *f)
{
    return (int64_t)ftello(f);
}

// A stream over a descriptor just opened (NULL if it was not), which is
// closed if no stream can be made; NULL keeps the cause in errno.
static FILE *stream_of_fd(int fd, const char *mode)
{
    if (fd < 0)
        return NULL;
    FILE *f = fdopen(fd, mode);
    if (f == NULL) {
        int e = errno;
        close(fd);
        errno = e;
    }
    return f;
}

// Where TMPDIR says, as every POSIX tool puts its temporary files (tmpfile
// ignores it). The file has no name while it is written: O_TMPFILE where the
// system has it, else unlinked as soon as it is made.
static const char *spool_dir(void)
{
    const char *dir = getenv("TMPDIR");
    return dir != NULL && dir[0] != '\0' ? dir : "/tmp";
}

FILE *plat_create_spool(void)
{
    const char *dir = spool_dir();
    int fd = -1;
    errno = EOPNOTSUPP;
#ifdef O_TMPFILE
    fd = open(dir, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
#endif
    // A file system without unnamed files says so in one of these ways.
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        char name[4096];
        if (snprintf(name, sizeof name, "%s/mkinstaller-XXXXXX", dir) >= (int)sizeof name) {
            errno = ENAMETOOLONG;
            return NULL;
        }
        fd = mkstemp(name);
        if (fd >= 0)
            unlink(name);
    }
    return stream_of_fd(fd, "w+b");
}

int plat_memory_room(uint64_t *bytes)
{
    long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0)
        return -1;
    *bytes = (uint64_t)pages * (uint64_t)page / 2;
    return 0;
}

unsigned plat_processors(void)
{
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 1 ? (unsigned)n : 1;
}

static void *thread_main(void *t)
{
    struct PlatThread *thread = (struct PlatThread *)t;
    thread->run(thread->arg);
    return NULL;
}

int plat_thread_start(struct PlatThread *t, void (*run)(void *arg), void *arg)
{
    t->run = run;
    t->arg = arg;
    pthread_t id;
    if (pthread_create(&id, NULL, thread_main, t) != 0)
        return -1;
    t->handle = (uintptr_t)id;
    return 0;
}

void plat_thread_join(struct PlatThread *t)
{
    pthread_join((pthread_t)t->handle, NULL);
}

int plat_spool_free_space(uint64_t *bytes)
{
    struct statvfs fs;
    if (statvfs(spool_dir(), &fs) != 0)
        return -1;
    *bytes = (uint64_t)fs.f_bavail * fs.f_frsize;
    return 0;
}

FILE *plat_create_new(const char *path)
{
    return stream_of_fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666), "wb");
}

int plat_is_terminal(FILE *f)
{
    return isatty(fileno(f));
}

// Folders here inherit no access list from their parent.
int plat_folder_open_to_all(void)
{
    return 0;
}

int plat_user_sid(char *, size_t)
{
    errno = ENOSYS;
    return -1;
}

int plat_set_folder_access(const char *)
{
    errno = ENOSYS;
    return -1;
}

int plat_put_text(FILE *f, const char *text)
{
    int bad = fputs(text, f) == EOF;
    return fflush(f) != 0 || bad ? EOF : 0;
}

size_t plat_text_columns(const char *text)
{
    wchar_t wide[256];
    size_t n = mbstowcs(wide, text, sizeof wide / sizeof wide[0]);
    int columns = n == (size_t)-1 || n == sizeof wide / sizeof wide[0] ? -1 : wcswidth(wide, n);
    return columns < 0 ? strlen(text) : size_t(columns);
}

unsigned plat_terminal_columns(FILE *f)
{
    struct winsize size;
    return ioctl(fileno(f), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

int plat_write(FILE *f, const void *p, size_t n)
{
    const unsigned char *b = (const unsigned char *)p;
    while (n > 0) {
        errno = 0;
        size_t done = fwrite(b, 1, n, f);
        if (done == 0) {
            if (errno == 0)
                errno = EIO;
            return -1;
        }
        clearerr(f);
        b += done;
        n -= done;
    }
    return 0;
}

int plat_truncate(FILE *f, int64_t size)
{
    return ftruncate(fileno(f), (off_t)size);
}

int plat_is_dir(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_file_id(const char *path, struct PlatFileId *id)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return -1;
    id->volume = (uint64_t)st.st_dev;
    id->index = (uint64_t)st.st_ino;
    return 0;
}

static const int interrupt_signals[] = {SIGINT, SIGTERM, SIGHUP};

static void on_interrupt(int sig)
{
    if (const char *path = plat_interrupt_path())
        unlink(path);
    if (const char *words = plat_interrupt_words()) {
        // write(2) alone: the stream's buffer may be half written, and
        // nothing is left to do if the words can't be written.
        ssize_t written = write(STDOUT_FILENO, words, strlen(words));
        (void)written;
        _exit(1);
    }
    signal(sig, SIG_DFL);
    raise(sig);
}

// A blocked signal stays pending, and is taken when unblocked. Only the
// calling thread's mask changes: hold before any other thread starts.
void plat_hold_interrupts(int hold)
{
    plat_catch_interrupts();
    sigset_t set;
    sigemptyset(&set);
    for (size_t i = 0; i < sizeof interrupt_signals / sizeof interrupt_signals[0]; i++)
        sigaddset(&set, interrupt_signals[i]);
    pthread_sigmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, NULL);
}

void plat_catch_interrupts(void)
{
    static int installed;
    if (installed)
        return;
    installed = 1;
    for (size_t i = 0; i < sizeof interrupt_signals / sizeof interrupt_signals[0]; i++) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = on_interrupt;
        sigemptyset(&sa.sa_mask);
        // A signal ignored when the program started (nohup) stays ignored.
        struct sigaction old;
        if (sigaction(interrupt_signals[i], NULL, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(interrupt_signals[i], &sa, NULL);
    }
}
