/* The output written in place, on POSIX systems, and the flushes that make
 * any output last: only where the system refuses the replacement (or the
 * output is a device, a FIFO, a pipe or a terminal) is the destination
 * itself written, as an overwrite would write it. A regular file so
 * written is locked first, so that two runs into it wait for each other;
 * the wait is polled and has an end, since any reader's lock holds it off. */
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

static const int LOCK_WAIT_MS = 10000; /* the longest wait for another's lock */
static const int LOCK_POLL_MS = 10;    /* between two tries */

int flush_folder(const PLATFORM_OUT *out, int file)
{
    if (fsync(out->dir) == 0)
        return 1;
#ifdef __linux__
    return errno == EBADF && syncfs(file) == 0;
#else
    (void)file;
    return 0;
#endif
}

int flush_in_place(int fd)
{
    struct stat st;

    if (fsync(fd) == 0)
        return 1;
    int err = errno;
    if (fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))
        return 0;
    return err == EINVAL || err == ENOTSUP || err == EROFS;
}

/* One try at the lock of the regular file fd: an open file description
 * lock, or flock() where the system has none. Returns 1 when we hold it,
 * 0 while someone else does, -1 on any other failure. */
static int try_lock(int fd)
{
#ifdef F_OFD_SETLK
    struct flock lock;

    memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0)
        return 1;
    if (errno == EAGAIN || errno == EACCES || errno == EINTR)
        return 0;
    if (errno != EINVAL)
        return -1;
#endif
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 1;
    return errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

/* Lock the regular file fd against other runs of ours writing it in place,
 * until it is closed, waiting up to LOCK_WAIT_MS for whoever holds it.
 * No alarm(): SIGALRM is one of the signals that clean up and end a run.
 * Returns 1 or 0. */
static int lock_output(int fd)
{
    struct timespec start, now;

    if (clock_gettime(CLOCK_MONOTONIC, &start) != 0)
        return 0;
    for (;;) {
        int got = try_lock(fd);
        if (got != 0)
            return got > 0;
        if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
            return 0;
        long long waited_ms =
            (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (waited_ms + LOCK_POLL_MS > LOCK_WAIT_MS)
            return 0;
        poll(NULL, 0, LOCK_POLL_MS);
    }
}

int go_in_place(PLATFORM_OUT *out, int created)
{
    struct stat st;

    if (fstat(out->dest, &st) != 0)
        return 0;
    if (S_ISREG(st.st_mode) && (!lock_output(out->dest) || ftruncate(out->dest, 0) != 0))
        return 0;
    out->fd = out->dest;
    out->dest = -1;
    out->in_place = created ? IN_PLACE_CREATED : 1;
    return 1;
}
