/* What the output path names, on POSIX systems: the folder that holds its
 * entry, opened once, and the entry's name in that folder.
 *
 * The path is looked up by the kernel once, when its folder is opened;
 * from then on every look (the entry, the links it leads through, the file
 * the kernel opened for us) is relative to a folder descriptor. A folder
 * that someone renames, swaps or replaces by a link meanwhile cannot
 * redirect a later step, and a folder whose absolute path we may not
 * search (a private parent above the current directory) is no obstacle.
 * A final link is followed hop by hop, each target read from the folder
 * that holds the link, so that we know which entry holds the file. */
#include "platform.h"
#include "platform_posix.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/fs.h>
#endif

static const int OUTPUT_FLAGS = O_WRONLY | O_NOCTTY | O_CLOEXEC;
static const int LINK_HOPS = 40; /* the most links the kernel follows in one path */

int same_file(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

/* Cut path at its last '/': the folder part (with the '/', or "." when
 * there is none) into folder, the rest into name. Returns 1, or 0 for a
 * path that ends in '/' (no entry) or does not fit. */
static int split_path(const char *path, char folder[PLATFORM_PATH_SIZE],
                      char name[PLATFORM_PATH_SIZE])
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

/* May we follow the link lst, an entry of the folder dir? The kernel's
 * rule for links in sticky folders that anyone may write
 * (fs.protected_symlinks): only a link of our own or of the folder's owner
 * is followed there. The kernel applies it to every link it follows for
 * us; the ones we follow by hand get it here, so that nobody can have us
 * create a file through a link planted in /tmp. */
static int may_follow(int dir, const struct stat *lst)
{
    struct stat d;

    if (fstat(dir, &d) != 0)
        return 0;
    if (!(d.st_mode & S_ISVTX) || !(d.st_mode & S_IWOTH))
        return 1;
    return lst->st_uid == geteuid() || lst->st_uid == d.st_uid;
}

/* Follow the entry name of the folder *dir through its chain of links to
 * the last entry: a file, or a name that does not exist (the one a writer
 * following the links would create). A link's target is looked up from
 * the folder holding the link (from / when absolute). On return *dir (the
 * descriptor handed in is closed when replaced) and name are the last
 * entry's folder and name, and st its lstat(). Returns 1 for an entry that
 * exists, 2 for a missing one; 0 for a link we may not follow, a chain too
 * long, a name too long or a folder on the way that cannot be opened. */
static int follow_links(int *dir, char name[PLATFORM_PATH_SIZE], struct stat *st)
{
    char link[PLATFORM_PATH_SIZE], folder[PLATFORM_PATH_SIZE];

    for (int hop = 0; hop <= LINK_HOPS; hop++) {
        if (fstatat(*dir, name, st, AT_SYMLINK_NOFOLLOW) != 0)
            return errno == ENOENT ? 2 : 0;
        if (!S_ISLNK(st->st_mode))
            return 1;
        if (!may_follow(*dir, st))
            return 0;
        ssize_t n = readlinkat(*dir, name, link, sizeof link);
        if (n <= 0 || (size_t)n >= sizeof link)
            return 0;
        link[n] = '\0';
        if (!split_path(link, folder, name))
            return 0;
        if (strchr(link, '/')) {
            int next = open_folder_at(*dir, folder);
            if (next < 0)
                return 0;
            close(*dir);
            *dir = next;
        }
    }
    return 0;
}

int output_resolve(const char *path, PLATFORM_OUT *out, struct stat *st)
{
    char folder[PLATFORM_PATH_SIZE];
    struct stat lst;

    if (!split_path(path, folder, out->target))
        return RESOLVE_FAILED;
    out->dir = open_folder_at(AT_FDCWD, folder);
    if (out->dir < 0)
        return RESOLVE_FAILED;
    if (fstatat(out->dir, out->target, &lst, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? RESOLVE_NEW : RESOLVE_FAILED;
    int linked = S_ISLNK(lst.st_mode);
    if (linked && fstatat(out->dir, out->target, st, 0) != 0) {
        /* A link to nothing (the kernel's link protections answer EACCES
         * instead of ENOENT): the new file goes where its chain ends. */
        if (errno != ENOENT)
            return RESOLVE_FAILED;
        int end = follow_links(&out->dir, out->target, &lst);
        return end == 2 ? RESOLVE_NEW : end == 1 ? RESOLVE_AGAIN : RESOLVE_FAILED;
    }
    /* O_CREAT, though the file is there, so that the kernel's protections
     * of files in sticky folders (fs.protected_regular) apply to us. */
    out->dest = openat(out->dir, out->target, OUTPUT_FLAGS | O_CREAT, 0666);
    if (out->dest < 0 || fstat(out->dest, st) != 0 || S_ISDIR(st->st_mode))
        return RESOLVE_FAILED;
    if (!S_ISREG(st->st_mode))
        return RESOLVE_DEVICE;
    if (st->st_nlink == 0) /* deleted, reached through a descriptor's name */
        return RESOLVE_UNNAMED;
    if (!linked)
        return same_file(&lst, st) ? RESOLVE_NAMED : RESOLVE_AGAIN;
    int end = follow_links(&out->dir, out->target, &lst);
    if (end == 0)
        return RESOLVE_FAILED; /* a name we cannot tell is never written in place */
    return end == 1 && same_file(&lst, st) ? RESOLVE_NAMED : RESOLVE_AGAIN;
}

void temp_name(char name[TEMP_NAME_SIZE])
{
    static const char letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static uint64_t state;
    struct timespec now;

    clock_gettime(CLOCK_REALTIME, &now);
    state += (uint64_t)now.tv_nsec ^ (uint64_t)now.tv_sec << 30 ^ (uint64_t)getpid() << 40;
    state += 0x9e3779b97f4a7c15u; /* splitmix64 */
    uint64_t z = state;
    z = (z ^ z >> 30) * 0xbf58476d1ce4e5b9u;
    z = (z ^ z >> 27) * 0x94d049bb133111ebu;
    z ^= z >> 31;
    memcpy(name, ".swug-gen-", 10);
    for (int i = 0; i < 6; i++, z /= 62)
        name[10 + i] = letters[z % 62];
    name[16] = '\0';
}

int folder_append_only(int dir)
{
#if defined(__linux__) && defined(STATX_ATTR_APPEND)
    struct statx stx;

    if (statx(dir, "", AT_EMPTY_PATH, STATX_TYPE, &stx) == 0 &&
        (stx.stx_attributes_mask & STATX_ATTR_APPEND))
        return (stx.stx_attributes & STATX_ATTR_APPEND) != 0;
#endif
#if defined(__linux__) && defined(FS_IOC_GETFLAGS)
    int flags = 0;
    if (ioctl(dir, FS_IOC_GETFLAGS, &flags) == 0)
        return (flags & FS_APPEND_FL) != 0;
#endif
    (void)dir;
    return 0;
}
