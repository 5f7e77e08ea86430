/* The platform layer: key wait, current directory, input and output files.
 * Everything that differs between Windows and POSIX is in this file. */
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <conio.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <climits>

#include "work_dir.h"

/* What the console-event handler may have to undo. Windows runs that handler
 * on a thread of its own while the main thread goes on, so the temporary file
 * is created, moved and removed only under tmp_lock; a handler that got the
 * lock leaves `quitting` set, and no temporary file is made after it. */
static SRWLOCK tmp_lock = SRWLOCK_INIT;
static char tmp_path[PLATFORM_PATH_SIZE]; /* temporary output, when tmp_active */
static int tmp_active;
static int quitting;

/* Ctrl-C, Ctrl-Break, closing the console window, logoff, shutdown: remove
 * the temporary output (it was opened with FILE_SHARE_DELETE, so that works
 * while the main thread still writes it) and end the process with the status
 * Windows gives an interrupted console program. We end it ourselves rather
 * than leave it to the default handler, so that no system ever reports an
 * interrupted run as a success. */
static BOOL WINAPI on_console_event(DWORD event)
{
    (void)event;
    AcquireSRWLockExclusive(&tmp_lock);
    quitting = 1;
    if (tmp_active) {
        DeleteFileA(tmp_path);
        tmp_active = 0;
    }
    ReleaseSRWLockExclusive(&tmp_lock);
    ExitProcess(STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void platform_init(void)
{
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

/* _getch reads the console itself, not standard input, so it is used only
 * when standard input is that console. Otherwise (a pipe, a file, NUL, or
 * no standard input at all) we read one byte of it, so that a script is never
 * left waiting. _isatty cannot tell: it is true for NUL too. */
void platform_wait_key(void)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode, got;
    unsigned char c;

    fflush(stdout);
    if (in == NULL || in == INVALID_HANDLE_VALUE)
        return;
    if (GetConsoleMode(in, &mode)) {
        _getch(); /* msvcrt reads the console raw: Ctrl-C is a key press too */
        return;
    }
    if (!ReadFile(in, &c, 1, &got, NULL)) {
        /* end of a pipe, or nothing to read from: nothing to wait for */
    }
}

/* Windows reports the directory with backslashes; the rest of the tool
 * composes paths with '/'. A network-share directory (\\server\share\...)
 * is refused: the rewrite would turn it into /server/share/..., which
 * Windows takes as a folder under the root of the current share, so "./"
 * arguments would name other files than the ones meant. */
int platform_getcwd(char *buf, size_t size)
{
    if (size > INT_MAX || _getcwd(buf, (int)size) == NULL)
        return 0;
    if ((buf[0] == '\\' || buf[0] == '/') && (buf[1] == '\\' || buf[1] == '/'))
        return 0;
    normalise_dir_separators(buf);
    return 1;
}

int platform_open_input(const char *path, PLATFORM_IN *in)
{
    struct _stat64 st;
    int fd = _open(path, _O_RDONLY | _O_BINARY | _O_NOINHERIT);

    if (fd < 0)
        return 0;
    /* NUL, CON, COM1 and pipes open fine but are no input file */
    if (_fstat64(fd, &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
        _close(fd);
        return 0;
    }
    in->fd = fd;
    return 1;
}

int platform_input_size(PLATFORM_IN *in, uint64_t *size)
{
    struct _stat64 st;

    if (_fstat64(in->fd, &st) != 0 || st.st_size < 0)
        return 0;
    *size = (uint64_t)st.st_size;
    return 1;
}

int platform_read(PLATFORM_IN *in, uint8_t *buf, uint32_t len)
{
    uint32_t done = 0;

    while (done < len) {
        unsigned int chunk = len - done > 0x40000000u ? 0x40000000u : len - done;
        int n = _read(in->fd, buf + done, chunk);
        if (n <= 0)
            return 0;
        done += (uint32_t)n;
    }
    return 1;
}

void platform_close_input(PLATFORM_IN *in)
{
    _close(in->fd);
    in->fd = -1;
}

enum { OUT_NONE, OUT_FILE, OUT_DEVICE, OUT_UNUSABLE };

/* What stands at path now: nothing yet, a file we may replace, a device or
 * pipe to write in place, or something unusable (a folder, a read-only file,
 * a missing folder on the way). The system is asked through a handle: _stat
 * fails on device names such as NUL (in any folder). */
static int output_kind(const char *path)
{
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    int kind;

    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? OUT_NONE : OUT_UNUSABLE;
    switch (GetFileType(h)) {
    case FILE_TYPE_CHAR:
    case FILE_TYPE_PIPE:
        kind = OUT_DEVICE;
        break;
    case FILE_TYPE_DISK:
        /* a read-only file is not ours to replace, as it would not be to overwrite */
        kind = GetFileInformationByHandle(h, &info) &&
                       !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
                   ? OUT_FILE
                   : OUT_UNUSABLE;
        break;
    default:
        kind = OUT_UNUSABLE;
    }
    CloseHandle(h);
    return kind;
}

static void remove_temp(void)
{
    AcquireSRWLockExclusive(&tmp_lock);
    if (tmp_active) {
        DeleteFileA(tmp_path);
        tmp_active = 0;
    }
    ReleaseSRWLockExclusive(&tmp_lock);
}

/* Create a new temporary file in the destination's directory, named after
 * our process, shared for deletion so the console-event handler can remove
 * it while it is open. */
static int open_temp(PLATFORM_OUT *out)
{
    const char *sep = out->target;
    for (const char *p = out->target; *p; p++)
        if (*p == '/' || *p == '\\' || *p == ':')
            sep = p + 1;
    int dirlen = (int)(sep - out->target);
    int ok = 0;

    AcquireSRWLockExclusive(&tmp_lock);
    for (int attempt = 0; attempt < 100 && !quitting; attempt++) {
        int n = snprintf(tmp_path, sizeof tmp_path, "%.*s.swug-gen-%lu-%d.tmp", dirlen,
                         out->target, (unsigned long)GetCurrentProcessId(), attempt);
        if (n < 0 || (size_t)n >= sizeof tmp_path)
            break;
        HANDLE h = CreateFileA(tmp_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, NULL,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) /* left by an earlier run: next name */
                continue;
            break;
        }
        out->fd = _open_osfhandle((intptr_t)h, 0); /* no _O_TEXT: binary */
        if (out->fd < 0) {
            CloseHandle(h);
            DeleteFileA(tmp_path);
            break;
        }
        tmp_active = 1;
        ok = 1;
        break;
    }
    ReleaseSRWLockExclusive(&tmp_lock);
    return ok;
}

int platform_output_open(const char *path, PLATFORM_OUT *out)
{
    out->fd = -1;
    out->in_place = 0;
    if (strlen(path) >= sizeof out->target)
        return 0;
    strcpy(out->target, path);
    switch (output_kind(path)) {
    case OUT_NONE:
    case OUT_FILE:
        return open_temp(out);
    case OUT_DEVICE:
        out->in_place = 1;
        out->fd = _open(path, _O_WRONLY | _O_BINARY | _O_NOINHERIT);
        return out->fd >= 0;
    default:
        return 0;
    }
}

int platform_output_write(PLATFORM_OUT *out, const void *buf, size_t len)
{
    const uint8_t *p = (const uint8_t *)buf;

    while (len > 0) {
        unsigned int chunk = len > 0x40000000 ? 0x40000000 : (unsigned int)len;
        int n = _write(out->fd, p, chunk);
        if (n <= 0)
            return 0;
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

/* Move the closed temporary file over the destination. MOVEFILE_COPY_ALLOWED
 * is left out on purpose: it would turn the rename into a copy that can be
 * interrupted half way. A virus scanner or indexer that has just opened the
 * new file makes the move fail for a moment, so a sharing failure is tried
 * again for about a second before we give up. */
static int move_into_place(const char *target)
{
    for (int attempt = 1;; attempt++) {
        AcquireSRWLockExclusive(&tmp_lock);
        int moved = !quitting && MoveFileExA(tmp_path, target,
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        DWORD err = GetLastError();
        if (moved)
            tmp_active = 0;
        int stop = moved || quitting;
        ReleaseSRWLockExclusive(&tmp_lock);
        if (moved)
            return 1;
        if (stop || attempt == 8 || (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION))
            break;
        Sleep(30 * attempt);
    }
    remove_temp();
    return 0;
}

int platform_output_commit(PLATFORM_OUT *out)
{
    /* Flushing first makes late write errors (a full disk, a network share)
     * show up here, before the old file is given up; and the new content is
     * on disk before the move that MOVEFILE_WRITE_THROUGH makes lasting. */
    int flushed = out->in_place || _commit(out->fd) == 0;
    int closed = _close(out->fd) == 0;

    out->fd = -1;
    if (out->in_place)
        return closed;
    if (!flushed || !closed) {
        remove_temp();
        return 0;
    }
    return move_into_place(out->target);
}

void platform_output_abort(PLATFORM_OUT *out)
{
    if (out->fd >= 0)
        _close(out->fd);
    out->fd = -1;
    if (!out->in_place)
        remove_temp();
}

/* Windows maps the pages as they are touched; there is nothing to ask for. */
void platform_prefault(void *p, size_t len)
{
    (void)p;
    (void)len;
}

#else /* POSIX */

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

/* What the signal handler may have to undo. Changed only with the cleanup
 * signals blocked, so the handler never sees half of an update. */
static char tmp_path[PLATFORM_PATH_SIZE]; /* temporary output, when tmp_active */
static volatile sig_atomic_t tmp_active;
static struct termios saved_term;         /* terminal settings, when term_raw */
static volatile sig_atomic_t term_raw;

static const int cleanup_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

/* Undo what is half done with async-signal-safe calls only, then die of the
 * same signal (it is delivered once the handler returns). */
static void on_signal(int sig)
{
    int saved_errno = errno;

    if (tmp_active)
        unlink(tmp_path);
    if (term_raw)
        tcsetattr(STDIN_FILENO, TCSANOW, &saved_term);
    signal(sig, SIG_DFL);
    raise(sig);
    errno = saved_errno;
}

static void block_signals(sigset_t *old)
{
    sigset_t set;

    sigemptyset(&set);
    for (int sig : cleanup_signals)
        sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, old);
}

static void restore_signals(const sigset_t *old)
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

/* Follow symbolic links from path to the file they end at, which need not
 * exist yet. Returns 1 with the result in target, or 0. */
static int resolve_links(const char *path, char target[PLATFORM_PATH_SIZE])
{
    char link[PLATFORM_PATH_SIZE];
    size_t len = strlen(path);

    if (len >= PLATFORM_PATH_SIZE)
        return 0;
    memcpy(target, path, len + 1);
    for (int hops = 0; hops < 40; hops++) {
        ssize_t n = readlink(target, link, sizeof link);
        if (n < 0)
            return errno == EINVAL || errno == ENOENT; /* not a link, or nothing there yet */
        if ((size_t)n >= sizeof link)
            return 0;
        link[n] = '\0';
        /* a relative link is relative to the directory that holds it */
        const char *slash = strrchr(target, '/');
        size_t dirlen = link[0] == '/' || slash == NULL ? 0 : (size_t)(slash - target) + 1;
        if (dirlen + (size_t)n >= PLATFORM_PATH_SIZE)
            return 0;
        memcpy(target + dirlen, link, (size_t)n + 1);
    }
    errno = ELOOP;
    return 0;
}

static void remove_temp(void)
{
    sigset_t old;

    block_signals(&old);
    if (tmp_active) {
        unlink(tmp_path);
        tmp_active = 0;
    }
    restore_signals(&old);
}

/* Create the temporary file beside out->target, with the given mode. */
static int open_temp(PLATFORM_OUT *out, mode_t mode)
{
    const char *slash = strrchr(out->target, '/');
    int dirlen = slash ? (int)(slash - out->target) + 1 : 0;
    sigset_t old;
    int fd;

    block_signals(&old);
    int n = snprintf(tmp_path, sizeof tmp_path, "%.*s.swug-gen-XXXXXX", dirlen, out->target);
    if (n < 0 || (size_t)n >= sizeof tmp_path) {
        restore_signals(&old);
        return 0;
    }
    fd = mkstemp(tmp_path);
    if (fd >= 0)
        tmp_active = 1;
    restore_signals(&old);
    if (fd < 0)
        return 0;
    out->fd = fd;
    if (fchmod(fd, mode) != 0) {
        platform_output_abort(out);
        return 0;
    }
    return 1;
}

int platform_output_open(const char *path, PLATFORM_OUT *out)
{
    struct stat st;
    mode_t mode;

    out->fd = -1;
    out->in_place = 0;
    if (!resolve_links(path, out->target))
        return 0;
    if (stat(out->target, &st) == 0) {
        if (S_ISDIR(st.st_mode))
            return 0;
        if (!S_ISREG(st.st_mode)) {
            out->in_place = 1;
            out->fd = open(out->target, O_WRONLY | O_CLOEXEC);
            return out->fd >= 0;
        }
        mode = st.st_mode & 07777; /* the replacement keeps the old permissions */
    } else if (errno == ENOENT) {
        mode_t mask = umask(0);
        umask(mask);
        mode = 0666 & ~mask; /* what creating the file directly would give */
    } else {
        return 0;
    }
    return open_temp(out, mode);
}

int platform_output_write(PLATFORM_OUT *out, const void *buf, size_t len)
{
    const uint8_t *p = (const uint8_t *)buf;

    while (len > 0) {
        ssize_t n = write(out->fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return 0;
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

int platform_output_commit(PLATFORM_OUT *out)
{
    /* late write errors (disk full, NFS) show up here */
    int closed = close(out->fd) == 0;
    sigset_t old;

    out->fd = -1;
    if (out->in_place)
        return closed;
    if (!closed) {
        remove_temp();
        return 0;
    }
    block_signals(&old);
    int renamed = rename(tmp_path, out->target) == 0;
    if (!renamed)
        unlink(tmp_path);
    tmp_active = 0;
    restore_signals(&old);
    return renamed;
}

void platform_output_abort(PLATFORM_OUT *out)
{
    if (out->fd >= 0)
        close(out->fd);
    out->fd = -1;
    if (!out->in_place)
        remove_temp();
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

#endif
