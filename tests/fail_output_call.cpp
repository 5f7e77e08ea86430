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
 *            of a folder returns), SWUG_SWAP_FROM and
 *            SWUG_SWAP_TO change places (renameat2 RENAME_EXCHANGE): the
 *            folder becomes a link to another one;
 *   swapcwd  the same exchange once getcwd() has answered;
 *   plant    a link to SWUG_SWAP_FROM is put at the first temporary
 *            name swug-gen creates, just before it does. */
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

extern "C" int renameat(int fromdir, const char *from, int todir, const char *to)
{
    if (failing("rename") && is_temp_name(from)) {
        const char *e = getenv("SWUG_FAIL_ERRNO");
        errno = e ? atoi(e) : EIO;
        return -1;
    }
    return (int)syscall(SYS_renameat, fromdir, from, todir, to);
}

static void exchange(const char *from, const char *to)
{
    syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 2 /* RENAME_EXCHANGE */);
}

extern "C" char *getcwd(char *buf, size_t size)
{
    static auto real = (char *(*)(char *, size_t))dlsym(RTLD_NEXT, "getcwd");
    char *cwd = real(buf, size);
    if (failing("swapcwd"))
        exchange(getenv("SWUG_SWAP_FROM"), getenv("SWUG_SWAP_TO"));
    return cwd;
}

/* The output's folder, and files in it, are opened with openat(). */
extern "C" int openat(int dir, const char *path, int flags, ...)
{
    static bool swapped, swapped_dir, planted;
    va_list ap;
    va_start(ap, flags);
    mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(ap, int) : 0;
    va_end(ap);
    const char *from = getenv("SWUG_SWAP_FROM"), *to = getenv("SWUG_SWAP_TO");
    if (failing("swap") && !swapped && (flags & O_ACCMODE) != O_RDONLY && from) {
        swapped = true;
        syscall(SYS_renameat, AT_FDCWD, from, dir, path);
    }
    if (failing("plant") && !planted && (flags & O_CREAT) && is_temp_name(path) && from) {
        planted = true;
        symlinkat(from, dir, path);
    }
    int fd = (int)syscall(SYS_openat, dir, path, flags, mode);
    if (failing("swapdir") && !swapped_dir && (flags & O_DIRECTORY) && from && to) {
        swapped_dir = true;
        exchange(from, to);
    }
    return fd;
}

/* the same call under its large-file name */
extern "C" int openat64(int dir, const char *path, int flags, ...) __attribute__((alias("openat")));
