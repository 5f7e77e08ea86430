/* swug-write-fsync-rename: the floor of a durable replace, for
 * bench/whole_run.sh to time swug-gen against.
 *
 *   swug-write-fsync-rename IN OUT [SIZE]
 *
 * Reads IN whole, fills it up with 0xFF to SIZE bytes when SIZE is given
 * (the size of the image swug-gen makes of IN, so that both write as much),
 * writes that to a temporary file beside OUT in one write,
 * flushes it (fsync), closes it, renames it over OUT and flushes OUT's
 * folder: the same system calls a durable replace cannot do without, and
 * nothing else. Exits 0, or 1 at the first call that fails. */
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static char data[1 << 21];

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 4)
        return 1;
    int in = open(argv[1], O_RDONLY | O_CLOEXEC);
    ssize_t n = in >= 0 ? read(in, data, sizeof data) : -1;
    if (n < 0 || close(in) != 0)
        return 1;
    if (argc == 4) {
        long size = strtol(argv[3], nullptr, 10);
        if (size < n || size > (long)sizeof data)
            return 1;
        memset(data + n, 0xFF, (size_t)(size - n));
        n = size;
    }
    char tmp[4096], dir[4096];
    if (snprintf(tmp, sizeof tmp, "%s.XXXXXX", argv[2]) >= (int)sizeof tmp ||
        snprintf(dir, sizeof dir, "%s", argv[2]) >= (int)sizeof dir)
        return 1;
    int fd = mkstemp(tmp);
    if (fd < 0 || fchmod(fd, 0644) != 0 || write(fd, data, (size_t)n) != n || fsync(fd) != 0 ||
        close(fd) != 0 || rename(tmp, argv[2]) != 0)
        return 1;
    int d = open(dirname(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return d >= 0 && fsync(d) == 0 && close(d) == 0 ? 0 : 1;
}
