/* The platform layer on POSIX systems: the signals that clean up, and the
 * key wait; input files are in platform_posix_input.cpp, the output file in
 * platform_posix_output.cpp. */
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

/* What the signal handlers may have to undo or redo, besides the output
 * files. Changed only with those signals blocked, so a handler never sees
 * half of an update. */
static struct termios saved_term;         /* terminal settings, when term_raw */
static struct termios raw_term;           /* the key wait's settings, when term_raw */
static volatile sig_atomic_t term_raw;
static volatile sig_atomic_t term_flags = -1; /* file status flags found, when the wait
                                                 cleared their O_NONBLOCK; else -1 */

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

/* Hand the terminal back as the key wait found it: its settings, and its
 * file status flags, which it shares with every process that has it open.
 * Safe in a signal handler. */
static void term_as_found(void)
{
    if (term_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_term);
    if (term_flags >= 0)
        fcntl(STDIN_FILENO, F_SETFL, (int)term_flags);
}

/* Have the terminal as the key wait wants it: raw, and blocking. Safe in a
 * signal handler. */
static void term_for_wait(void)
{
    if (term_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &raw_term);
    if (term_flags >= 0)
        fcntl(STDIN_FILENO, F_SETFL, (int)term_flags & ~O_NONBLOCK);
}

/* All the signals that clean up before they end the process, as one set:
 * made once by platform_init(), then only read (by handlers too). */
static sigset_t cleanup_sigs;

static void make_cleanup_set(void)
{
    sigemptyset(&cleanup_sigs);
    for (int sig : cleanup_signals)
        sigaddset(&cleanup_sigs, sig);
#ifdef SIGRTMIN
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; sig++)
        sigaddset(&cleanup_sigs, sig);
#endif
}

/* Undo what is half done with async-signal-safe calls only, then die of the
 * same signal (it is delivered once the handler returns). */
static void on_signal(int sig)
{
    int saved_errno = errno;

    if (signal_cleanup)
        signal_cleanup();
    term_as_found();
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved_errno;
}

/* Catch sig with handler, the cleanup signals held off meanwhile. Only a
 * signal at its default action is caught: one that whoever started us
 * ignores (nohup) stays ignored, and one that a run-time library in this
 * process already handles (a sanitizer's SIGSEGV report) stays its own.
 * The handler is set and the old action read in one call, and the old one
 * put back where it was not the default: one system call a signal at
 * start-up instead of two. At start-up every signal is held meanwhile, so
 * that an ignored one never reaches our handler in between (a handler that
 * catches again finds the default there). Safe in a handler. */
static void catch_signal(int sig, void (*handler)(int), int flags)
{
    struct sigaction sa, old;

    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sa.sa_flags = flags;
    sa.sa_mask = cleanup_sigs;
    /* SIGTTOU held too: a handler's tcsetattr from the background must not stop us */
    sigaddset(&sa.sa_mask, SIGTTOU);
    sigaddset(&sa.sa_mask, SIGTTIN);
    sigaddset(&sa.sa_mask, SIGTSTP);
    if (sigaction(sig, &sa, &old) != 0)
        return;
    if ((old.sa_flags & SA_SIGINFO) || old.sa_handler != SIG_DFL)
        sigaction(sig, &old, NULL);
}

/* Continued (fg): a key wait that was going on is raw again, whatever the
 * shell did with the terminal meanwhile. */
static void on_continue(int sig)
{
    int saved_errno = errno;

    (void)sig;
    term_for_wait();
    errno = saved_errno;
}

/* Ctrl-Z, or a read or terminal change from the background (SIGTTIN,
 * SIGTTOU): hand the terminal back as it was before the key wait, stop with
 * the default action, and on waking up catch the next one again. Where
 * the system discards the stop (an orphaned process group) the wait simply
 * goes on, raw. */
static void on_stop(int sig)
{
    int saved_errno = errno;
    sigset_t set;

    term_as_found();
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
    sigprocmask(SIG_BLOCK, &cleanup_sigs, old);
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
    sigset_t all, old;

    make_cleanup_set();
    /* every signal held while the handlers go on: one that arrives
     * meanwhile is delivered to the action it finally has */
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    for (int sig = 1; sig < NSIG; sig++)
        if (sigismember(&cleanup_sigs, sig) == 1)
            catch_signal(sig, on_signal, 0);
    /* a stop and a continue must not fail a system call: restart it */
    catch_signal(SIGTSTP, on_stop, SA_RESTART);
    catch_signal(SIGTTIN, on_stop, SA_RESTART);
    catch_signal(SIGTTOU, on_stop, SA_RESTART);
    catch_signal(SIGCONT, on_continue, SA_RESTART);
    sigprocmask(SIG_SETMASK, &old, NULL);
    /* a FIFO output whose reader went away is a write error, not a kill */
    signal(SIGPIPE, SIG_IGN);
    /* so is a file-size limit (ulimit -f): write() fails with EFBIG, and
     * the temporary file is removed as after any failed write */
    signal(SIGXFSZ, SIG_IGN);
}

/* One byte, or end of input. Standard input that is non-blocking after all
 * (the flag could not be cleared, or another process set it again) is
 * waited on with poll() rather than taken for a key. */
static void read_one_byte(void)
{
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    unsigned char c;

    while (read(STDIN_FILENO, &c, 1) < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (poll(&p, 1, -1) < 0 && errno != EINTR)
                return;
        } else if (errno != EINTR) {
            return;
        }
    }
}

/* A terminal hands over a key's bytes (an arrow key, a UTF-8 letter) in one
 * go; a serial console or a slow link may let them trickle in a few
 * milliseconds apart. A byte that comes within KEY_BYTE_GAP_MS of the one
 * before belongs to the same key, up to KEY_MAX_BYTES in all. */
static const int KEY_BYTE_GAP_MS = 50;
static const int KEY_MAX_BYTES = 16;

/* Read the bytes that follow the first one of a key, as long as they come. */
static void read_rest_of_key(void)
{
    struct pollfd p = {STDIN_FILENO, POLLIN, 0};
    unsigned char c;

    for (int got = 1; got < KEY_MAX_BYTES; got++) {
        if (poll(&p, 1, KEY_BYTE_GAP_MS) != 1 || !(p.revents & POLLIN))
            return;
        if (read(STDIN_FILENO, &c, 1) != 1)
            return;
    }
}

/* Hold off every signal whose handler looks at term_raw or term_flags, so
 * that the terminal and what they say change together. */
static void hold_term_signals(sigset_t *old)
{
    sigset_t set = cleanup_sigs;

    sigaddset(&set, SIGTSTP);
    sigaddset(&set, SIGTTIN); /* not SIGTTOU: from the background, our tcsetattr must stop us */
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
    /* A terminal left non-blocking by whatever ran before would end the
     * read at once: it blocks for the wait, and gets its flags back after. */
    int flags = fcntl(STDIN_FILENO, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK) &&
        fcntl(STDIN_FILENO, F_SETFL, flags & ~O_NONBLOCK) == 0)
        term_flags = flags;
    sigprocmask(SIG_SETMASK, &old, NULL);
    read_one_byte();
    if (term_raw)
        read_rest_of_key();
    /* Drop anything else typed ahead, so that the shell does not get it;
     * tcflush also drops what the terminal driver has received but not yet
     * handed on. */
    hold_term_signals(&old);
    if (term_raw)
        tcflush(STDIN_FILENO, TCIFLUSH);
    term_as_found();
    term_raw = 0;
    term_flags = -1;
    sigprocmask(SIG_SETMASK, &old, NULL);
}
