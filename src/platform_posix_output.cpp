/* The output file on POSIX systems.
 *
 * The kernel opens the output path itself, following links as any writer's
 * open does, so its permissions and link protections apply to us exactly
 * as to an overwrite, and names such as /dev/stdout mean what they mean to
 * the system. What got opened, as fstat() sees it, then decides how the
 * image is written:
 *
 * - a regular file whose name we can confirm gets a temporary file in its
 *   folder, renamed over that name once it is complete (atomic);
 * - a regular file that cannot be replaced so but can be overwritten (no
 *   right to create a file in the folder, the rename refused, no name
 *   left) is truncated and written in place, as open-and-truncate would;
 * - a device, FIFO, pipe or terminal is written in place.
 *
 * Nothing is written to the opened file before the image is complete,
 * unless it is written in place; a file this run created is removed again
 * when the run fails. */
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

/* What the signal handler may have to undo. Changed only with the cleanup
 * signals blocked, so the handler never sees half of an update. */
static char tmp_path[PLATFORM_PATH_SIZE];  /* temporary output, when tmp_active */
static volatile sig_atomic_t tmp_active;
static char made_path[PLATFORM_PATH_SIZE]; /* output this run created, when made_active */
static struct stat made;                   /* ... and what it was, to know it again */
static volatile sig_atomic_t made_active;

static const int OUTPUT_FLAGS = O_WRONLY | O_NOCTTY | O_CLOEXEC;

/* Whether two looks saw the same file. */
static int same_file(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

/* The created output is removed only while its name still holds it:
 * another run may have renamed its own image over it meanwhile. */
static void unlink_made(void)
{
    struct stat st;

    if (lstat(made_path, &st) == 0 && same_file(&st, &made))
        unlink(made_path);
}

/* Remove the temporary output and an output this run created, if any.
 * Async-signal-safe: the signal handler calls it. */
static void output_signal_cleanup(void)
{
    if (tmp_active)
        unlink(tmp_path);
    if (made_active)
        unlink_made();
}

/* Forget the temporary file and the created output; with remove, delete
 * them first. */
static void drop_files(int remove)
{
    sigset_t old;

    block_signals(&old);
    if (remove)
        output_signal_cleanup();
    tmp_active = 0;
    made_active = 0;
    restore_signals(&old);
}

static void remove_temp(void)
{
    sigset_t old;

    block_signals(&old);
    if (tmp_active)
        unlink(tmp_path);
    tmp_active = 0;
    restore_signals(&old);
}

/* The name by which the kernel reached the open regular file fd: its path
 * in /proc/self/fd, confirmed by looking it up again. Returns 1, or 0 for a
 * file without a name (deleted, or outside our view of the tree). */
static int kernel_name(int fd, const struct stat *st, char name[PLATFORM_PATH_SIZE])
{
    char link[64];
    struct stat now;

    if (st->st_nlink == 0)
        return 0;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, name, PLATFORM_PATH_SIZE);
    if (n <= 0 || (size_t)n >= PLATFORM_PATH_SIZE)
        return 0;
    name[n] = '\0';
    if (name[0] != '/') /* "pipe:[...]" and the like */
        return 0;
    return lstat(name, &now) == 0 && same_file(&now, st);
}

/* Remember that this run created the file open as fd, the target of a
 * link that pointed at nothing. */
static void note_made(int fd)
{
    struct stat st;
    char name[PLATFORM_PATH_SIZE];
    sigset_t old;

    if (fstat(fd, &st) != 0 || !kernel_name(fd, &st, name))
        return;
    block_signals(&old);
    memcpy(made_path, name, sizeof made_path);
    made = st;
    made_active = 1;
    restore_signals(&old);
}

/* Open an existing destination as the shell's `>` would, but without
 * truncating it. O_CREAT still, so that the kernel's protections of files
 * in sticky folders apply; it creates a file only where the name is a link
 * to nothing, which then is ours to remove on failure. Returns the
 * descriptor, or -1 with nothing created. */
static int open_destination(const char *path)
{
    struct stat st;

    int existed = stat(path, &st) == 0 || errno != ENOENT;
    int fd = open(path, OUTPUT_FLAGS | O_CREAT, 0666);
    if (fd >= 0 && !existed)
        note_made(fd);
    return fd;
}

/* Create the temporary file beside out->target, with the given mode.
 * Returns 1, or 0 with nothing left behind. */
static int open_temp(PLATFORM_OUT *out, mode_t mode)
{
    const char *slash = strrchr(out->target, '/');
    int dirlen = slash ? (int)(slash - out->target) + 1 : 0;
    sigset_t old;
    int fd;

    block_signals(&old);
    int n = snprintf(tmp_path, sizeof tmp_path, "%.*s.swug-gen-XXXXXX", dirlen, out->target);
    fd = n > 0 && (size_t)n < sizeof tmp_path ? mkstemp(tmp_path) : -1;
    tmp_active = fd >= 0;
    restore_signals(&old);
    if (fd < 0)
        return 0;
    if (fchmod(fd, mode) != 0) { /* the replacement keeps the old permissions */
        close(fd);
        remove_temp();
        return 0;
    }
    out->fd = fd;
    return 1;
}

/* Write the destination itself from now on: a regular file is truncated
 * first, as opening it with O_TRUNC would. Returns 1 or 0. */
static int go_in_place(PLATFORM_OUT *out, const struct stat *st)
{
    if (S_ISREG(st->st_mode) && ftruncate(out->dest, 0) != 0)
        return 0;
    out->fd = out->dest;
    out->dest = -1;
    out->in_place = 1;
    return 1;
}

/* Does path still lead the system to the file st describes? */
static int still_reached(const char *path, const struct stat *st)
{
    struct stat now;

    return stat(path, &now) == 0 && same_file(&now, st);
}

/* One look at path. Returns 1 with out ready, 0 on failure, or -1 when the
 * file opened was replaced under us (another run renamed its image over
 * it), so that the name has to be looked at again. */
static int open_output_once(const char *path, PLATFORM_OUT *out)
{
    struct stat st;

    /* Nothing at all by that name, not even a link: the image appears there
     * only by the rename, whole. */
    if (lstat(path, &st) != 0 && errno == ENOENT) {
        size_t len = strlen(path);
        if (len >= sizeof out->target)
            return 0;
        memcpy(out->target, path, len + 1);
        mode_t mask = umask(0);
        umask(mask);
        return open_temp(out, 0666 & ~mask); /* what creating it directly would give */
    }
    out->dest = open_destination(path);
    if (out->dest < 0 || fstat(out->dest, &st) != 0 || S_ISDIR(st.st_mode))
        return 0;
    if (!S_ISREG(st.st_mode))
        return go_in_place(out, &st);
    /* no temporary file beside it, but the file itself is ours to write */
    if (kernel_name(out->dest, &st, out->target))
        return open_temp(out, st.st_mode & 07777) || go_in_place(out, &st);
    /* No name to replace it under. A file reached only through a descriptor
     * (deleted but open, behind /dev/stdout) is written in place; but one
     * that another run has just replaced is nobody's output any more, and
     * writing it would change it under whoever still reads it. */
    if (!still_reached(path, &st))
        return -1;
    return go_in_place(out, &st);
}

int platform_output_open(const char *path, PLATFORM_OUT *out)
{
    on_cleanup_signal(output_signal_cleanup);
    for (int look = 0; look < 100; look++) {
        out->fd = -1;
        out->dest = -1;
        out->in_place = 0;
        out->target[0] = '\0';
        int got = open_output_once(path, out);
        if (got == 1)
            return 1;
        platform_output_abort(out);
        if (got == 0)
            return 0;
    }
    return 0;
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

/* The system refuses to replace this name, though the file may be written:
 * a bind-mounted file (EBUSY), another user's file in a sticky folder
 * (EPERM), a name on another file system than its folder (EXDEV). */
static int rename_refused(int err)
{
    return err == EBUSY || err == EPERM || err == EACCES || err == EXDEV || err == EROFS;
}

/* Copy the complete temporary file into the destination, truncated first.
 * Returns 1 or 0. */
static int copy_in_place(PLATFORM_OUT *out)
{
    static uint8_t buf[65536];
    struct stat st;
    int src = open(tmp_path, O_RDONLY | O_CLOEXEC);
    int ok = src >= 0 && fstat(out->dest, &st) == 0 && go_in_place(out, &st);

    while (ok) {
        ssize_t n = read(src, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = platform_output_write(out, buf, (size_t)n);
    }
    if (src >= 0)
        close(src);
    return ok;
}

/* A new output whose temporary file may not be renamed into place: create
 * it after all, to be written in place. Returns 1 or 0. */
static int create_destination(PLATFORM_OUT *out)
{
    out->dest = open(out->target, OUTPUT_FLAGS | O_CREAT | O_EXCL, 0666);
    if (out->dest < 0)
        return 0;
    note_made(out->dest);
    return 1;
}

/* Rename the temporary file over the destination. Returns 1, or 0 with
 * errno set. */
static int rename_temp(PLATFORM_OUT *out)
{
    sigset_t old;

    block_signals(&old);
    int ok = rename(tmp_path, out->target) == 0;
    int err = errno;
    if (ok)
        tmp_active = made_active = 0; /* the new file holds the name now */
    restore_signals(&old);
    errno = err;
    return ok;
}

int platform_output_commit(PLATFORM_OUT *out)
{
    /* late write errors (disk full, NFS) show up here */
    int ok = close(out->fd) == 0;

    out->fd = -1;
    if (!out->in_place && ok && !rename_temp(out)) {
        ok = rename_refused(errno) && (out->dest >= 0 || create_destination(out)) &&
             copy_in_place(out);
        ok = (out->fd < 0 || close(out->fd) == 0) && ok;
        out->fd = -1;
        remove_temp();
    }
    if (out->dest >= 0)
        close(out->dest);
    out->dest = -1;
    drop_files(!ok);
    return ok;
}

void platform_output_abort(PLATFORM_OUT *out)
{
    if (out->fd >= 0)
        close(out->fd);
    if (out->dest >= 0)
        close(out->dest);
    out->fd = -1;
    out->dest = -1;
    drop_files(1);
}
