/* The output path's folders and a final link, on POSIX systems: a folder
 * opened relative to another, and a final link followed by hand, hop by
 * hop, each target read from the folder that holds the link, and judged
 * before anything is opened through it.
 *
 * In a sticky folder that others may write (/tmp), a link is followed only
 * when it is ours or the folder owner's, whatever it leads to (a file, a
 * FIFO, a device, nothing) and whatever fs.protected_symlinks says: another
 * user's link there could send our image to that user or have us create a
 * file where they choose. */
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/magic.h>
#include <sys/vfs.h>
#endif

static const int LINK_HOPS = 40; /* the most links the kernel follows in one path */

int split_path(const char *path, char folder[PLATFORM_PATH_SIZE], char name[PLATFORM_PATH_SIZE])
{
    const char *slash = strrchr(path, '/');
    size_t dirlen = slash ? (size_t)(slash - path) + 1 : 0;
    size_t len = strlen(path);

    if (len >= PLATFORM_PATH_SIZE || len == dirlen)
        return 0;
    memcpy(name, path + dirlen, len - dirlen + 1);
    if (dirlen == 0) {
        memcpy(folder, ".", 2);
    } else {
        memcpy(folder, path, dirlen);
        folder[dirlen] = '\0';
    }
    return 1;
}

int open_folder_at(int at, const char *folder)
{
    int fd = openat(at, folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
#ifdef O_PATH
    if (fd < 0 && errno == EACCES)
        fd = openat(at, folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
#endif
    return fd;
}

/* May we follow the link lst, an entry of the folder dir? In a sticky
 * folder that anyone may write, only a link of our own or of the folder's
 * owner is. */
static int may_follow(int dir, const struct stat *lst)
{
    struct stat d;

    if (fstat(dir, &d) != 0)
        return 0;
    if (!(d.st_mode & S_ISVTX) || !(d.st_mode & S_IWOTH))
        return 1;
    return lst->st_uid == geteuid() || lst->st_uid == d.st_uid;
}

/* Is the folder dir in /proc, whose links (/proc/self/fd/N) lead to a
 * descriptor's file whatever their text says? */
static int in_proc(int dir)
{
#ifdef __linux__
    struct statfs fs;
    return fstatfs(dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
#else
    (void)dir;
    return 0;
#endif
}

int follow_links(int *dir, char name[PLATFORM_PATH_SIZE], struct stat *st, int *magic)
{
    char link[PLATFORM_PATH_SIZE], folder[PLATFORM_PATH_SIZE];

    *magic = 0;
    for (int hop = 0; hop <= LINK_HOPS; hop++) {
        if (fstatat(*dir, name, st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? WALK_MISSING : WALK_FAILED;
        if (!S_ISLNK(st->st_mode))
            return WALK_FOUND;
        if (!may_follow(*dir, st))
            return WALK_FAILED;
        *magic = in_proc(*dir);
        ssize_t n = readlinkat(*dir, name, link, sizeof link);
        if (n <= 0 || (size_t)n >= sizeof link)
            return WALK_FAILED;
        link[n] = '\0';
        if (!split_path(link, folder, name))
            return WALK_FAILED;
        if (strchr(link, '/')) {
            int next = open_folder_at(*dir, folder);
            if (next < 0)
                return WALK_FAILED;
            close(*dir);
            *dir = next;
        }
    }
    return WALK_FAILED;
}
