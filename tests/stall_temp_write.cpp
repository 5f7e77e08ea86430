/* Preloaded into a test run: a write to swug-gen's temporary output (a file
 * whose name begins with ".swug-gen-") never returns, so the run sits in the
 * middle of writing until a signal ends it (with SWUG_STALL_MS, the first
 * such write waits that many milliseconds instead; with SWUG_STALL_SWAP_FROM
 * and SWUG_STALL_SWAP_TO, it exchanges those two, puts a file of the
 * temporary file's name where the first now leads, and goes through).
 * Every other write goes through, which lets it work under Wine, whose own
 * plumbing writes all the time. */
#include <fcntl.h>
#include <sys/syscall.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "temp_output_name.h"

/* The output's folder swapped for a link, a file of the temporary file's name where it leads. */
static void swap_folder(int fd, const char *from, const char *to)
{
    char link[64], path[4096], decoy[8192];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, path, sizeof path - 1);
    path[n > 0 ? n : 0] = '\0';
    syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 2 /* RENAME_EXCHANGE */);
    snprintf(decoy, sizeof decoy, "%s%s", from, strrchr(path, '/') ? strrchr(path, '/') : "/none");
    int d = open(decoy, O_WRONLY | O_CREAT | O_EXCL, 0644);
    syscall(SYS_write, d, "not ours", 8);
    close(d);
}

static void stall_if_temp(int fd)
{
    static bool stalled;
    const char *ms = getenv("SWUG_STALL_MS");
    const char *from = getenv("SWUG_STALL_SWAP_FROM"), *to = getenv("SWUG_STALL_SWAP_TO");
    if (!is_temp_output(fd) || stalled)
        return;
    stalled = true;
    if (from != nullptr && to != nullptr)
        return swap_folder(fd, from, to);
    if (ms == nullptr)
        for (;;)
            pause();
    usleep((useconds_t)atoi(ms) * 1000);
}

extern "C" ssize_t write(int fd, const void *buf, size_t len)
{
    stall_if_temp(fd);
    return syscall(SYS_write, fd, buf, len);
}

extern "C" ssize_t pwrite(int fd, const void *buf, size_t len, off_t off)
{
    stall_if_temp(fd);
    return syscall(SYS_pwrite64, fd, buf, len, off);
}

extern "C" ssize_t pwrite64(int fd, const void *buf, size_t len, off_t off)
{
    return pwrite(fd, buf, len, off);
}
