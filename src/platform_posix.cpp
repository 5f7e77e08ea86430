/* The platform layer on POSIX systems: key wait, current directory, input
 * files; the output file is in platform_posix_output.cpp. */
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

/* What the signal handler may have to undo, besides the output files.
 * Changed only with the cleanup signals blocked, so the handler never sees
 * half of an update. */
static struct termios saved_term;         /* terminal settings, when term_raw */
static volatile sig_atomic_t term_raw;

static const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

/* Undo what is half done with async-signal-safe calls only, then die of the
 * same signal (it is delivered once the handler returns). */
static void on_signal(int sig)
{
    int saved_errno = errno;

    output_signal_cleanup();
    if (term_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_term);
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved_errno;
}

void block_signals(sigset_t *old)
{
    sigset_t set;

    sigemptyset(&set);
    for (int sig : cleanup_signals)
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, old);
}

void restore_signals(const sigset_t *old)
{
    sigprocmask(SIG_SETMASK, old, NULL);
}

void platform_init(void)
{
    struct sigaction sa;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : cleanup_signals)
        sigaddset(&sa.sa_mask, sig);
    for (int sig : cleanup_signals) {
        struct sigaction old;
        /* a signal ignored by whoever started us (nohup) stays ignored */
        if (sigaction(sig, NULL, &old) == 0 && old.sa_handler == SIG_IGN)
            continue;
        sigaction(sig, &sa, NULL);
    }
    /* a FIFO output whose reader went away is a write error, not a kill */
    signal(SIGPIPE, SIG_IGN);
}

static void read_one_byte(void)
{
    unsigned char c;

    while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
    }
}

void platform_wait_key(void)
{
    struct termios raw;

    fflush(stdout);
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_term) != 0) {
        read_one_byte();
        return;
    }
    raw = saved_term;
    raw.c_lflag &= ~(tcflag_t)(ICANON | ECHO); /* ISIG stays: Ctrl-C still works */
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    term_raw = 1;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
        term_raw = 0;
        read_one_byte();
        return;
    }
    read_one_byte();
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_term);
    term_raw = 0;
}

/* POSIX directories are written with '/' already; a backslash is an
 * ordinary file-name character here and is kept. */
int platform_getcwd(char *buf, size_t size)
{
    if (getcwd(buf, size) == NULL)
        return 0;
    return buf[0] == '/'; /* "(unreachable)/..." is no directory to compose with */
}

int platform_open_input(const char *path, PLATFORM_IN *in)
{
    struct stat st;
    /* O_NONBLOCK: opening a FIFO must not wait for a writer */
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);

    if (fd < 0)
        return 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return 0;
    }
    in->fd = fd;
    return 1;
}

int platform_input_size(PLATFORM_IN *in, uint64_t *size)
{
    struct stat st;

    if (fstat(in->fd, &st) != 0 || st.st_size < 0)
        return 0;
    *size = (uint64_t)st.st_size;
    return 1;
}

int platform_read(PLATFORM_IN *in, uint8_t *buf, uint32_t len)
{
    uint32_t done = 0;

    while (done < len) {
        ssize_t n = read(in->fd, buf + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        done += (uint32_t)n;
    }
    return 1;
}

void platform_close_input(PLATFORM_IN *in)
{
    close(in->fd);
    in->fd = -1;
}

/* A run touches every page of the 1 MiB image record. In a virtual machine
 * each first touch is a page fault that costs most of a microsecond, a good
 * tenth of a whole run; one madvise() maps them all at once. It needs
 * Linux 5.14; older kernels say EINVAL and the pages fault in as before. */
void platform_prefault(void *p, size_t len)
{
#ifdef MADV_POPULATE_WRITE
    long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || len == 0)
        return;
    uintptr_t start = (uintptr_t)p & ~(uintptr_t)(page - 1);
    uintptr_t end = (uintptr_t)p + len;
    madvise((void *)start, end - start, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)len;
#endif
}

/* A path is bytes here: the arguments are used as they come. */
int platform_utf8_args(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    return 1;
}

/* The terminal shows the bytes in its own encoding: nothing to set up. */
void platform_utf8_console(void)
{
}
