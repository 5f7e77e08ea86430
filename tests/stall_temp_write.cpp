/* Preloaded into a test run: a write to swug-gen's temporary output (a file
 * whose name begins with ".swug-gen-") never returns, so the run sits in the
 * middle of writing until a signal ends it (with SWUG_STALL_MS, the first
 * such write waits that many milliseconds instead). Every other write goes through,
 * which lets it work under Wine, whose own plumbing writes all the time. */
#include <sys/syscall.h>
#include <cstdlib>
#include <unistd.h>

#include "temp_output_name.h"

static void stall_if_temp(int fd)
{
    static bool stalled;
    const char *ms = getenv("SWUG_STALL_MS");
    if (!is_temp_output(fd) || stalled)
        return;
    if (ms == nullptr)
        for (;;)
            pause();
    stalled = true;
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
