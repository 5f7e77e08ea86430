/* The output file on POSIX systems: the replacement.
 *
 * platform_posix_name.cpp finds the folder (one descriptor) and the entry
 * that the output path names; every step here is relative to that folder
 * descriptor. What got opened then decides how the image is written:
 *
 * - a regular file with a name, a new output, or a link to nothing gets a
 *   temporary file in that folder, created with O_EXCL; once complete it
 *   gets what the old file had (platform_posix_meta), is flushed, and is
 *   renamed over the entry (atomic). The temporary file of a replacement
 *   is created 0600, so that nobody else can open it before it is
 *   complete and has the old file's owner and mode, whatever the umask or
 *   the folder's default ACL says; that of a new output is created 0666,
 *   so that the kernel applies the umask or the default ACL as to any new
 *   file;
 * - a regular file that the system refuses to replace so but lets us
 *   overwrite (no right to create a file in the folder, the rename
 *   refused, an append-only folder, no name left) is locked, truncated and
 *   written in place (platform_posix_place.cpp), as open-and-truncate
 *   would; running short of anything (space, inodes, descriptors) fails
 *   instead, and so does a name we cannot confirm. A rename refused once
 *   the temporary file is complete removes that file first and has the
 *   builder write the image again, so that the space it needs is the
 *   image's once;
 * - a device, FIFO, pipe or terminal is written in place, unlocked.
 *
 * Nothing is written to the opened file before the image is complete,
 * unless it is written in place; a file this run created is removed again
 * when the run fails (but for one in an append-only folder, where nothing
 * can be removed). Success means the image and its name have been flushed
 * to the medium. */
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <cstdio> /* renameat */
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

/* What the signal handler may have to undo, in the folder files_dir.
 * Changed only with the cleanup signals blocked, so the handler never sees
 * half of an update. */
static int files_dir = -1;                 /* folder of both, open */
static char tmp_name[TEMP_NAME_SIZE];      /* temporary output, when tmp_active */
static volatile sig_atomic_t tmp_active;
static char made_name[PLATFORM_PATH_SIZE]; /* output this run created, when made_active */
static struct stat made;                   /* ... and what it was, to know it again */
static volatile sig_atomic_t made_active;

static const int OUTPUT_FLAGS = O_WRONLY | O_NOCTTY | O_CLOEXEC;
static const int TEMP_TRIES = 100; /* names tried for the temporary file */

/* Remove the temporary output and an output this run created, if any.
 * Async-signal-safe: the signal handler calls it. */
static void output_signal_cleanup(void)
{
    if (tmp_active)
        unlinkat(files_dir, tmp_name, 0);
    if (made_active)
        remove_if_same(files_dir, made_name, &made);
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
        unlinkat(files_dir, tmp_name, 0);
    tmp_active = 0;
    restore_signals(&old);
}

/* Remember that this run created the file open as fd, the entry name of
 * out->dir, so that a failure removes it again. */
static void note_made(const PLATFORM_OUT *out, int fd)
{
    struct stat st;
    sigset_t old;

    if (fstat(fd, &st) != 0)
        return;
    block_signals(&old);
    files_dir = out->dir;
    memcpy(made_name, out->target, sizeof made_name);
    made = st;
    made_active = 1;
    restore_signals(&old);
}

/* The system refuses to create a file in the folder at all, as opposed to
 * running short of something (ENOSPC, EDQUOT, EMFILE, ENFILE, ...). */
static int create_refused(int err)
{
    return err == EACCES || err == EPERM || err == EROFS;
}

enum { TEMP_FAILED = 0, TEMP_MADE = 1, TEMP_REFUSED = 2 };

/* Create the temporary file in out->dir with the permission bits mode.
 * Returns TEMP_MADE; TEMP_REFUSED when the system refuses to create it;
 * TEMP_FAILED for any other failure. Whatever was made is undone by
 * platform_output_abort(). */
static int open_temp(PLATFORM_OUT *out, mode_t mode)
{
    sigset_t old_mask;
    int fd = -1, err = 0;

    for (int tries = 0; fd < 0 && tries < TEMP_TRIES; tries++) {
        block_signals(&old_mask);
        temp_name(tmp_name);
        fd = openat(out->dir, tmp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, mode);
        err = errno;
        files_dir = out->dir;
        tmp_active = fd >= 0;
        restore_signals(&old_mask);
        if (fd < 0 && err != EEXIST)
            break;
    }
    if (fd < 0)
        return create_refused(err) ? TEMP_REFUSED : TEMP_FAILED;
    out->fd = fd;
    return TEMP_MADE;
}

/* A new output where no temporary file may be made or renamed: create it
 * after all, to be written in place. Returns 1 or 0. */
static int create_destination(PLATFORM_OUT *out, int removable)
{
    out->dest = openat(out->dir, out->target, OUTPUT_FLAGS | O_CREAT | O_EXCL, 0666);
    if (out->dest < 0)
        return 0;
    if (removable)
        note_made(out, out->dest);
    return 1;
}

/* One look at path. Returns 1 with out ready, 0 on failure, or -1 when the
 * name changed under us (another run renamed its image over it), so that
 * it has to be looked at again. */
static int open_output_once(const char *path, PLATFORM_OUT *out)
{
    struct stat st;
    int got = output_resolve(path, out, &st);

    if (got == RESOLVE_UNNAMED || got == RESOLVE_DEVICE)
        return go_in_place(out, 0);
    if (got != RESOLVE_NEW && got != RESOLVE_NAMED)
        return got;
    int created = got == RESOLVE_NEW;
    /* An append-only folder keeps every entry made in it: no temporary
     * file there, the output itself is written. */
    if (folder_append_only(out->dir))
        return (!created || create_destination(out, 0)) && go_in_place(out, created);
    int temp = open_temp(out, created ? 0666 : 0600);
    if (created)
        return temp == TEMP_MADE; /* the image appears only by the rename, whole */
    return temp == TEMP_MADE || (temp == TEMP_REFUSED && go_in_place(out, 0));
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

/* Rename the temporary file over the destination. Returns 1, or 0 with
 * errno set. */
static int rename_temp(PLATFORM_OUT *out)
{
    sigset_t old;

    block_signals(&old);
    int ok = renameat(out->dir, tmp_name, out->dir, out->target) == 0;
    int err = errno;
    if (ok)
        tmp_active = made_active = 0; /* the new file holds the name now */
    restore_signals(&old);
    errno = err;
    return ok;
}

/* The rename was refused: remove the temporary file, whose descriptors
 * are closed, so that its space is free again, and make the destination
 * (created now for a new output) the output, truncated, for the image to
 * be written again. Returns 1 or 0. */
static int write_again(PLATFORM_OUT *out)
{
    int created = out->dest < 0;

    remove_temp();
    return (!created || create_destination(out, 1)) && go_in_place(out, created);
}

/* Close what of out is open, the folder last; with remove, delete what this run made. */
static void close_output(PLATFORM_OUT *out, int remove)
{
    if (out->fd >= 0)
        close(out->fd);
    if (out->dest >= 0)
        close(out->dest);
    out->fd = -1;
    out->dest = -1;
    drop_files(remove);
    if (out->dir >= 0)
        close(out->dir);
    out->dir = -1;
}

/* The image reaches the medium before its name does: the temporary file
 * gets what the old file had, is flushed (fsync rather than fdatasync, so
 * that its mode and owner last too) and closed, renamed, and then the
 * folder holding the new name is flushed (a second descriptor of the file
 * stays open until then, for the file system's flush when the folder was
 * opened only to work in). A failure of that last flush comes too late to
 * bring the old image back, but is reported all the same. An output
 * written in place is flushed, with its folder when this run created it. */
int platform_output_commit(PLATFORM_OUT *out)
{
    int ok, held = -1;

    if (out->in_place) {
        ok = flush_in_place(out->fd) &&
             (out->in_place != IN_PLACE_CREATED || flush_folder(out, out->fd));
    } else {
        ok = (out->dest < 0 || copy_metadata(out->dest, out->fd)) && fsync(out->fd) == 0;
        held = ok ? fcntl(out->fd, F_DUPFD_CLOEXEC, 0) : -1;
        ok = ok && held >= 0;
    }
    /* late write errors (disk full, NFS) show up here */
    ok = close(out->fd) == 0 && ok;
    out->fd = -1;
    if (!out->in_place && ok) {
        int renamed = rename_temp(out), err = errno;
        ok = renamed && flush_folder(out, held);
        close(held);
        if (!renamed && rename_refused(err) && write_again(out))
            return PLATFORM_OUTPUT_AGAIN;
    } else if (held >= 0) {
        close(held);
    }
    close_output(out, !ok);
    return ok;
}

void platform_output_abort(PLATFORM_OUT *out)
{
    close_output(out, 1);
}
