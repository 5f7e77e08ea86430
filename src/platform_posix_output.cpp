/* The output file on POSIX systems.
 *
 * The kernel opens the output path itself, following links as any writer's
 * open does, so its permissions and link protections apply to us exactly
 * as to an overwrite, and names such as /dev/stdout mean what they mean to
 * the system. What got opened, as fstat() sees it, then decides how the
 * image is written:
 *
 * - a regular file whose name we can confirm gets a temporary file in its
 *   folder, with the old file's owner and mode as far as the system lets
 *   us, renamed over that name once it is complete and flushed (atomic);
 *   a new output, or a link to nothing, gets it too;
 * - a regular file that the system refuses to replace so but lets us
 *   overwrite (no right to create a file in the folder, the rename
 *   refused, no name left) is truncated and written in place, as
 *   open-and-truncate would; running short of anything (space, inodes,
 *   descriptors) fails instead, and so does a name we cannot confirm;
 * - a device, FIFO, pipe or terminal is written in place.
 *
 * Nothing is written to the opened file before the image is complete,
 * unless it is written in place; a file this run created is removed again
 * when the run fails. Success means the image and its name have been
 * flushed to the medium. */
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <climits>
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
static const int LINK_HOPS = 40; /* the most links the kernel follows in one path */

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

/* Copy src into a path buffer. Returns 1, or 0 when it does not fit. */
static int copy_path(char dst[PLATFORM_PATH_SIZE], const char *src)
{
    size_t len = strlen(src);

    if (len >= PLATFORM_PATH_SIZE)
        return 0;
    memcpy(dst, src, len + 1);
    return 1;
}

/* The name under which the open regular file fd, opened as path, can be
 * replaced: path with every link resolved (realpath() needs no /proc), or
 * else the file's entry in /proc/self/fd; either is confirmed by looking
 * it up again. Returns 1; 0 for a file without a name (deleted, or outside
 * our view of the tree); -1 when neither way can tell (no /proc, or the
 * name changed meanwhile). A name we cannot tell is never written in place:
 * it may be another run's output by now. */
static int file_name(const char *path, int fd, const struct stat *st,
                     char name[PLATFORM_PATH_SIZE])
{
    char resolved[PATH_MAX], link[64];
    struct stat now;

    if (st->st_nlink == 0)
        return 0;
    if (realpath(path, resolved) && copy_path(name, resolved) && lstat(name, &now) == 0 &&
        same_file(&now, st))
        return 1;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, name, PLATFORM_PATH_SIZE);
    if (n <= 0 || (size_t)n >= PLATFORM_PATH_SIZE)
        return -1;
    name[n] = '\0';
    if (name[0] != '/') /* "pipe:[...]" and the like */
        return 0;
    return lstat(name, &now) == 0 && same_file(&now, st);
}

/* Remember that this run created the file open as fd under path, so that a
 * failure removes it again. */
static void note_made(const char *path, int fd)
{
    struct stat st;
    char name[PLATFORM_PATH_SIZE];
    sigset_t old;

    if (fstat(fd, &st) != 0 || file_name(path, fd, &st, name) != 1)
        return;
    block_signals(&old);
    memcpy(made_path, name, sizeof made_path);
    made = st;
    made_active = 1;
    restore_signals(&old);
}

/* Open an existing destination as the shell's `>` would, but without
 * truncating it. O_CREAT still, so that the kernel's protections of files
 * in sticky folders apply; it creates a file only where the name vanished
 * since we looked, which then is ours to remove on failure. Returns the
 * descriptor, or -1 with nothing created. */
static int open_destination(const char *path)
{
    struct stat st;

    int existed = stat(path, &st) == 0 || errno != ENOENT;
    int fd = open(path, OUTPUT_FLAGS | O_CREAT, 0666);
    if (fd >= 0 && !existed)
        note_made(path, fd);
    return fd;
}

/* Length of path's folder part: up to and with its last '/', or 0. */
static int folder_length(const char *path)
{
    const char *slash = strrchr(path, '/');

    return slash ? (int)(slash - path) + 1 : 0;
}

/* Store the folder of path in dir: path up to its last '/', or ".". */
static void folder_of(const char *path, char dir[PLATFORM_PATH_SIZE])
{
    int len = folder_length(path);

    if (len > 0)
        snprintf(dir, PLATFORM_PATH_SIZE, "%.*s", len, path);
    else
        snprintf(dir, PLATFORM_PATH_SIZE, ".");
}

/* May we follow the link st describes, at path? The kernel's rule for
 * links in sticky folders that anyone may write (fs.protected_symlinks):
 * only a link of our own or of the folder's owner is followed there.
 * Where we follow links by hand, we apply it ourselves, so that nobody can
 * have us create a file through a link planted in /tmp. */
static int may_follow(const char *path, const struct stat *st)
{
    char dir[PLATFORM_PATH_SIZE];
    struct stat d;

    folder_of(path, dir);
    if (stat(dir, &d) != 0)
        return 0;
    if (!(d.st_mode & S_ISVTX) || !(d.st_mode & S_IWOTH))
        return 1;
    return st->st_uid == geteuid() || st->st_uid == d.st_uid;
}

/* path is a link to nothing: follow its chain of links by hand to the
 * first name that does not exist, the one a writer following the link
 * would create, and store it in target. A relative link is read from the
 * link's own folder. Returns 1; -1 when a file has appeared at the end
 * meanwhile (look again); 0 for a link we may not follow, a chain too long
 * or a name too long. */
static int missing_link_target(const char *path, char target[PLATFORM_PATH_SIZE])
{
    char link[PLATFORM_PATH_SIZE], next[PLATFORM_PATH_SIZE];
    struct stat st;

    if (!copy_path(target, path))
        return 0;
    for (int hop = 0; hop <= LINK_HOPS; hop++) {
        if (lstat(target, &st) != 0)
            return errno == ENOENT ? 1 : 0;
        if (!S_ISLNK(st.st_mode))
            return -1;
        if (!may_follow(target, &st))
            return 0;
        ssize_t n = readlink(target, link, sizeof link);
        if (n <= 0 || (size_t)n >= sizeof link)
            return 0;
        link[n] = '\0';
        int dirlen = link[0] == '/' ? 0 : folder_length(target);
        int len = snprintf(next, sizeof next, "%.*s%s", dirlen, target, link);
        if (len < 0 || (size_t)len >= sizeof next)
            return 0;
        memcpy(target, next, (size_t)len + 1);
    }
    return 0;
}

/* Open the folder of out->target, to flush its entries once the image is
 * in place. A folder we may write but not read cannot be opened: then a
 * second descriptor of the temporary file stands for its file system,
 * which is flushed whole. Returns 1 or 0. */
static int open_folder(PLATFORM_OUT *out)
{
    char dir[PLATFORM_PATH_SIZE];

    folder_of(out->target, dir);
    out->dir = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out->dir < 0 && errno == EACCES)
        out->dir = fcntl(out->fd, F_DUPFD_CLOEXEC, 0);
    return out->dir >= 0;
}

/* Flush out->dir: the folder's entries, or the whole file system. */
static int flush_folder(const PLATFORM_OUT *out)
{
    struct stat st;

    if (out->dir < 0 || fstat(out->dir, &st) != 0)
        return 0;
    if (S_ISDIR(st.st_mode))
        return fsync(out->dir) == 0;
#ifdef __linux__
    return syncfs(out->dir) == 0;
#else
    return 0;
#endif
}

/* Flush a destination written in place. A regular file or a block device
 * that cannot be flushed is a failure; a FIFO, pipe, terminal or other
 * character device holds nothing to flush. Returns 1 or 0. */
static int flush_in_place(int fd)
{
    struct stat st;

    if (fsync(fd) == 0)
        return 1;
    int err = errno;
    if (fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
        return 0;
    return err == EINVAL || err == ENOTSUP || err == EROFS;
}

/* Give the temporary file fd what overwriting old would leave: old's owner
 * and group where the system lets us (root may), or its group alone, then
 * its mode, the set-user-ID and set-group-ID bits only when both owner and
 * group were kept (changing the owner clears them, so the mode comes
 * last). A new output (old null) gets 0666 less the umask, as creating it
 * would. Where the file system has no modes of its own (FAT), its default
 * stands, but never one more open than old's. Returns 1 or 0. */
static int set_owner_and_mode(int fd, const struct stat *old)
{
    struct stat now;
    mode_t want;

    if (fstat(fd, &now) != 0)
        return 0;
    if (old) {
        if ((now.st_uid != old->st_uid || now.st_gid != old->st_gid) &&
            fchown(fd, old->st_uid, old->st_gid) != 0)
            fchown(fd, (uid_t)-1, old->st_gid); /* a member of the group keeps it */
        if (fstat(fd, &now) != 0)
            return 0;
        want = old->st_mode & 07777;
        if (now.st_uid != old->st_uid || now.st_gid != old->st_gid)
            want &= ~(mode_t)(S_ISUID | S_ISGID);
    } else {
        mode_t mask = umask(0);
        umask(mask);
        want = 0666 & ~mask;
    }
    if (fchmod(fd, want) == 0)
        return 1;
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return 0;
    return fstat(fd, &now) == 0 && (!old || (now.st_mode & 07777 & ~want) == 0);
}

/* The system refuses to create a file in the folder at all, as opposed to
 * running short of something (ENOSPC, EDQUOT, EMFILE, ENFILE, ...). */
static int create_refused(int err)
{
    return err == EACCES || err == EPERM || err == EROFS;
}

enum { TEMP_FAILED = 0, TEMP_MADE = 1, TEMP_REFUSED = 2 };

/* Create the temporary file beside out->target and open its folder; the
 * file gets the owner and mode of old (null for a new output). Returns
 * TEMP_MADE; TEMP_REFUSED when the system refuses to create it; TEMP_FAILED
 * for any other failure. Whatever was made is undone by
 * platform_output_abort(). */
static int open_temp(PLATFORM_OUT *out, const struct stat *old)
{
    int dirlen = folder_length(out->target);
    sigset_t old_mask;
    int fd;

    block_signals(&old_mask);
    int n = snprintf(tmp_path, sizeof tmp_path, "%.*s.swug-gen-XXXXXX", dirlen, out->target);
    int fits = n > 0 && (size_t)n < sizeof tmp_path;
    fd = fits ? mkstemp(tmp_path) : -1;
    int err = errno;
    tmp_active = fd >= 0;
    restore_signals(&old_mask);
    if (fd < 0)
        return fits && create_refused(err) ? TEMP_REFUSED : TEMP_FAILED;
    out->fd = fd;
    return open_folder(out) && set_owner_and_mode(fd, old) ? TEMP_MADE : TEMP_FAILED;
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
 * it) or cannot be named, so that the name has to be looked at again. */
static int open_output_once(const char *path, PLATFORM_OUT *out)
{
    struct stat st;

    /* Nothing by that name, or a link to nothing (the kernel's link
     * protections answer stat() with EACCES, not ENOENT): the image
     * appears only by the rename, whole. */
    int looked = lstat(path, &st) == 0;
    if (!looked && errno == ENOENT)
        return copy_path(out->target, path) && open_temp(out, NULL) == TEMP_MADE;
    if (looked && S_ISLNK(st.st_mode) && stat(path, &st) != 0 && errno == ENOENT) {
        int found = missing_link_target(path, out->target);
        return found == 1 ? open_temp(out, NULL) == TEMP_MADE : found;
    }
    out->dest = open_destination(path);
    if (out->dest < 0 || fstat(out->dest, &st) != 0 || S_ISDIR(st.st_mode))
        return 0;
    if (!S_ISREG(st.st_mode))
        return go_in_place(out, &st);
    int named = file_name(path, out->dest, &st, out->target);
    if (named == 1) {
        int temp = open_temp(out, &st);
        return temp == TEMP_MADE || (temp == TEMP_REFUSED && go_in_place(out, &st));
    }
    /* No name to replace it under. A file reached only through a descriptor
     * (deleted but open, behind /dev/stdout) is written in place; but one
     * that another run has just replaced is nobody's output any more, and
     * writing it would change it under whoever still reads it. */
    if (named < 0 || !still_reached(path, &st))
        return -1;
    return go_in_place(out, &st);
}

int platform_output_open(const char *path, PLATFORM_OUT *out)
{
    on_cleanup_signal(output_signal_cleanup);
    for (int look = 0; look < 100; look++) {
        out->fd = -1;
        out->dest = -1;
        out->dir = -1;
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
    note_made(out->target, out->dest);
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

/* The rename was refused: copy the complete temporary file into the
 * destination (created now for a new output) and flush it, then drop the
 * temporary file. Returns 1 or 0. */
static int write_over(PLATFORM_OUT *out)
{
    int created = out->dest < 0;
    int ok = (!created || create_destination(out)) && copy_in_place(out) &&
             flush_in_place(out->fd);

    ok = (out->fd < 0 || close(out->fd) == 0) && ok;
    out->fd = -1;
    remove_temp();
    return ok && (!created || flush_folder(out));
}

/* The image reaches the medium before its name does: the file is flushed
 * (fsync rather than fdatasync, so that its mode and owner last too) and
 * closed, renamed, and then the folder holding the new name is flushed. A
 * failure of that last flush comes too late to bring the old image back,
 * but is reported all the same. */
int platform_output_commit(PLATFORM_OUT *out)
{
    int ok = out->in_place ? flush_in_place(out->fd) : fsync(out->fd) == 0;

    /* late write errors (disk full, NFS) show up here */
    ok = close(out->fd) == 0 && ok;
    out->fd = -1;
    if (!out->in_place && ok)
        ok = rename_temp(out) ? flush_folder(out) : rename_refused(errno) && write_over(out);
    if (out->dest >= 0)
        close(out->dest);
    if (out->dir >= 0)
        close(out->dir);
    out->dest = -1;
    out->dir = -1;
    drop_files(!ok);
    return ok;
}

void platform_output_abort(PLATFORM_OUT *out)
{
    if (out->fd >= 0)
        close(out->fd);
    if (out->dest >= 0)
        close(out->dest);
    if (out->dir >= 0)
        close(out->dir);
    out->fd = -1;
    out->dest = -1;
    out->dir = -1;
    drop_files(1);
}
