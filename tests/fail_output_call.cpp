/* Preloaded into a test run: makes one call of swug-gen's output go wrong,
 * the one named by SWUG_FAIL_CALL:
 *
 *   close    closing the temporary output (a file whose name begins with
 *            ".swug-gen-") closes it, then reports EIO, as a late write
 *            error does;
 *   fsync    flushing the temporary output reports EIO (a failed device);
 *   rename   renaming the temporary output fails with the errno given in
 *            SWUG_FAIL_ERRNO (EIO when unset);
 *   swap     the first open for writing first renames SWUG_SWAP_FROM over
 *            the path being opened: the file changes under the name between
 *            any earlier look at it and the open;
 *   swapdir  once the output's folder has been looked up (the first open
 *            of a folder returns, or a mkstemp() begins), SWUG_SWAP_FROM and
 *            SWUG_SWAP_TO change places (renameat2 RENAME_EXCHANGE): the
 *            folder becomes a link to another one. */
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "temp_output_name.h"

static bool failing(const char *call)
{
    const char *want = getenv("SWUG_FAIL_CALL");
    return want != nullptr && strcmp(want, call) == 0;
}

extern "C" int close(int fd)
{
    bool fail = failing("close") && is_temp_output(fd);
    int r = (int)syscall(SYS_close, fd);
    if (fail) {
        errno = EIO;
        return -1;
    }
    return r;
}

extern "C" int fsync(int fd)
{
    if (failing("fsync") && is_temp_output(fd)) {
        errno = EIO;
        return -1;
    }
    return (int)syscall(SYS_fsync, fd);
}

extern "C" int rename(const char *from, const char *to)
{
    if (failing("rename") && is_temp_name(from)) {
        const char *e = getenv("SWUG_FAIL_ERRNO");
        errno = e ? atoi(e) : EIO;
        return -1;
    }
    return (int)syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to);
}

extern "C" int renameat(int fromdir, const char *from, int todir, const char *to)
{
    if (failing("rename") && is_temp_name(from)) {
        const char *e = getenv("SWUG_FAIL_ERRNO");
        errno = e ? atoi(e) : EIO;
        return -1;
    }
    return (int)syscall(SYS_renameat, fromdir, from, todir, to);
}

/* The swapdir exchange, once. */
static void swap_folder(void)
{
    static bool swapped;
    const char *from = getenv("SWUG_SWAP_FROM"), *to = getenv("SWUG_SWAP_TO");
    if (failing("swapdir") && !swapped && from && to) {
        swapped = true;
        syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 2 /* RENAME_EXCHANGE */);
    }
}

extern "C" int mkstemp(char *name)
{
    swap_folder();
    int (*real)(char *) = (int (*)(char *))dlsym(RTLD_NEXT, "mkstemp");
    return real(name);
}

static int open_path(int dir, const char *path, int flags, va_list ap)
{
    static bool swapped;
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(ap, int) : 0;
    const char *from = getenv("SWUG_SWAP_FROM");
    if (failing("swap") && !swapped && (flags & O_ACCMODE) != O_RDONLY && from) {
        swapped = true;
        syscall(SYS_renameat, AT_FDCWD, from, dir, path);
    }
    int fd = (int)syscall(SYS_openat, dir, path, flags, mode);
    if (flags & O_DIRECTORY)
        swap_folder();
    return fd;
}

extern "C" int open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = open_path(AT_FDCWD, path, flags, ap);
    va_end(ap);
    return fd;
}

extern "C" int openat(int dir, const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    int fd = open_path(dir, path, flags, ap);
    va_end(ap);
    return fd;
}

/* the same call under its large-file name */
extern "C" int open64(const char *path, int flags, ...) __attribute__((alias("open")));
extern "C" int openat64(int dir, const char *path, int flags, ...) __attribute__((alias("openat")));
