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

/* What the signal handlers may have to undo or redo, besides the output
 * files. Changed only with those signals blocked, so a handler never sees
 * half of an update. */
static struct termios saved_term;         /* terminal settings, when term_raw */
static struct termios raw_term;           /* the key wait's settings, when term_raw */
static volatile sig_atomic_t term_raw;

/* Every signal whose default action ends the process, besides the
 * real-time ones (SIGRTMIN to SIGRTMAX, numbered only at run time):
 * whichever ends the run, it cleans up first. SIGPIPE and SIGXFSZ are not
 * here: they are ignored, and become write errors. */
static const int cleanup_signals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGILL, SIGTRAP, SIGABRT, SIGBUS, SIGFPE, SIGUSR1, SIGSEGV,
    SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGIO
    SIGIO, /* SIGPOLL */
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGEMT
    SIGEMT,
#endif
#ifdef SIGLOST
    SIGLOST,
#endif
};
static void (*volatile signal_cleanup)(void); /* the output's clean-up, once handed in */

/* All the signals that clean up before they end the process. */
static void cleanup_set(sigset_t *set)
{
    sigemptyset(set);
    for (int sig : cleanup_signals)
        sigaddset(set, sig);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(set, sig);
#endif
}

/* Undo what is half done with async-signal-safe calls only, then die of the
 * same signal (it is delivered once the handler returns). */
static void on_signal(int sig)
{
    int saved_errno = errno;

    if (signal_cleanup)
        signal_cleanup();
    if (term_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_term);
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved_errno;
}

/* Catch sig with handler, the cleanup signals held off meanwhile. Only a
 * signal at its default action is caught: one that whoever started us
 * ignores (nohup) stays ignored, and one that a run-time library in this
 * process already handles (a sanitizer's SIGSEGV report) stays its own.
 * Safe in a handler. */
static void catch_signal(int sig, void (*handler)(int), int flags)
{
    struct sigaction sa, old;

    if (sigaction(sig, NULL, &old) != 0 || old.sa_handler != SIG_DFL)
        return;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sa.sa_flags = flags;
    cleanup_set(&sa.sa_mask);
    sigaction(sig, &sa, NULL);
}

/* Continued (fg): a key wait that was going on is raw again, whatever the
 * shell did with the terminal meanwhile. */
static void on_continue(int sig)
{
    int saved_errno = errno;

    (void)sig;
    if (term_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &raw_term);
    errno = saved_errno;
}

/* Ctrl-Z: hand the terminal back as it was before the key wait, stop with
 * the default action, and on waking up catch the next Ctrl-Z again. Where
 * the system discards the stop (an orphaned process group) the wait simply
 * goes on, raw. */
static void on_stop(int sig)
{
    int saved_errno = errno;
    sigset_t set;

    if (term_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_term);
    signal(sig, SIG_DFL);
    raise(sig); /* pending while the handler runs: it stops us at the unblock */
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, NULL);
    catch_signal(sig, on_stop, SA_RESTART);
    on_continue(SIGCONT);
    errno = saved_errno;
}

void block_signals(sigset_t *old)
{
    sigset_t set;

    cleanup_set(&set);
    sigprocmask(SIG_BLOCK, &set, old);
}

void restore_signals(const sigset_t *old)
{
    sigprocmask(SIG_SETMASK, old, NULL);
}

void on_cleanup_signal(void (*fn)(void))
{
    signal_cleanup = fn;
}

void platform_init(void)
{
    sigset_t set;
    cleanup_set(&set);
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&set, sig) == 1)
            catch_signal(sig, on_signal, 0);
    /* a stop and a continue must not fail a system call: restart it */
    catch_signal(SIGTSTP, on_stop, SA_RESTART);
    catch_signal(SIGCONT, on_continue, SA_RESTART);
    /* a FIFO output whose reader went away is a write error, not a kill */
    signal(SIGPIPE, SIG_IGN);
    /* so is a file-size limit (ulimit -f): write() fails with EFBIG, and
     * the temporary file is removed as after any failed write */
    signal(SIGXFSZ, SIG_IGN);
}

static void read_one_byte(void)
{
    unsigned char c;

    while (read(STDIN_FILENO, &c, 1) < 0 && errno == EINTR) {
    }
}

/* Hold off every signal whose handler looks at term_raw, so that the
 * terminal and term_raw change together. */
static void hold_term_signals(sigset_t *old)
{
    sigset_t set;

    cleanup_set(&set);
    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGCONT);
    sigprocmask(SIG_BLOCK, &set, old);
}

void platform_wait_key(void)
{
    sigset_t old;

    fflush(stdout);
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &saved_term) != 0) {
        read_one_byte();
        return;
    }
    raw_term = saved_term;
    raw_term.c_lflag &= ~(tcflag_t)(ICANON | ECHO); /* ISIG stays: Ctrl-C, Ctrl-Z work */
    raw_term.c_cc[VMIN] = 1;
    raw_term.c_cc[VTIME] = 0;
    hold_term_signals(&old);
    term_raw = tcsetattr(STDIN_FILENO, TCSANOW, &raw_term) == 0;
    sigprocmask(SIG_SETMASK, &old, NULL);
    read_one_byte();
    if (!term_raw)
        return;
    /* A key may send several bytes (an arrow key, a UTF-8 letter); a
     * terminal sends them in one go. Drop the rest of them, and anything else typed
     * ahead, so that the shell does not get them. tcflush also drops what
     * the terminal driver has received but not yet handed on. */
    hold_term_signals(&old);
    tcflush(STDIN_FILENO, TCIFLUSH);
    tcsetattr(STDIN_FILENO, TCSANOW, &saved_term);
    term_raw = 0;
    sigprocmask(SIG_SETMASK, &old, NULL);
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
