/* The platform layer on POSIX systems: the current directory, input files,
 * standard input and the arguments, as bytes; the memory prefault. */
#include "platform.h"

#include <cerrno>
#include <cstdint>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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
    in->size = st.st_size; /* measured once: the same fstat() says what it is */
    return 1;
}

int platform_input_size(PLATFORM_IN *in, uint64_t *size)
{
    if (in->size < 0)
        return 0;
    *size = (uint64_t)in->size;
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

/* A large input is read into up to 256 pages of the image record that were
 * never touched. In a virtual machine each first touch is a page fault that
 * costs most of a microsecond; one madvise() maps them all at once. It needs
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

/* A path is bytes here: the arguments are used as they come. */
int platform_utf8_args(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    return 1;
}

/* The terminal shows the bytes in its own encoding: nothing to set up. */
void platform_utf8_console(void)
{
}

/* Standard input may have been left non-blocking by another program:
 * then wait for it to become readable rather than fail. */
int platform_read_stdin(uint8_t *buf, uint32_t max, uint32_t *got)
{
    struct pollfd pfd = {STDIN_FILENO, POLLIN, 0};

    *got = 0;
    while (*got < max) {
        ssize_t n = read(STDIN_FILENO, buf + *got, max - *got);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (poll(&pfd, 1, -1) < 0 && errno != EINTR)
                return 0;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        *got += (uint32_t)n;
    }
    return 1;
}
