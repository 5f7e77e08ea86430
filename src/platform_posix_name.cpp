/* What the output path names, on POSIX systems: the folder that holds its
 * entry, opened once, and the entry's name in that folder.
 *
 * The path is looked up by the kernel once, when its folder is opened;
 * from then on every look (the entry, the links it leads through, the file
 * the kernel opened for us) is relative to a folder descriptor. A folder
 * that someone renames, swaps or replaces by a link meanwhile cannot
 * redirect a later step, and a folder whose absolute path we may not
 * search (a private parent above the current directory) is no obstacle.
 * A final link is followed by hand (platform_posix_link.cpp), so that we
 * know which entry holds the file, and the entry is then opened bound to
 * the look that saw it. */
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

int same_file(const struct stat *a, const struct stat *b)
{
    return a->st_dev == b->st_dev && a->st_ino == b->st_ino;
}

int remove_if_same(int dir, const char *name, const struct stat *was)
{
    struct stat st;

    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !same_file(&st, was))
        return 0;
    return unlinkat(dir, name, 0) == 0;
}

/* Does st look like a file that open_entry() created: empty, ours, mode 0? */
static int made_by_open(const struct stat *st)
{
    return S_ISREG(st->st_mode) && (st->st_mode & 07777) == 0 && st->st_uid == geteuid() &&
           st->st_size == 0;
}

/* Open the entry out->target of out->dir, which the look lst saw, as a
 * writer would, and bound to that look: with O_NOFOLLOW, so that a link put
 * there since is not followed, and with O_CREAT, so that the kernel's
 * protections of files and FIFOs in sticky folders (fs.protected_regular,
 * protected_fifos) apply to us. Mode 0 marks a file that this open
 * creates, should the entry have gone meanwhile (it may even get the
 * number of the file that went): it is removed again. */
static int open_entry(PLATFORM_OUT *out, const struct stat *lst, struct stat *st)
{
    out->dest = openat(out->dir, out->target, OUTPUT_FLAGS | O_CREAT | O_NOFOLLOW, 0);
    if (out->dest < 0)
        return errno == ELOOP ? RESOLVE_AGAIN : RESOLVE_FAILED;
    if (fstat(out->dest, st) != 0 || S_ISDIR(st->st_mode))
        return RESOLVE_FAILED;
    if (made_by_open(st) && !made_by_open(lst)) {
        remove_if_same(out->dir, out->target, st);
        return RESOLVE_AGAIN;
    }
    if (!same_file(lst, st) || st->st_nlink == 0)
        return RESOLVE_AGAIN;
    return S_ISREG(st->st_mode) ? RESOLVE_NAMED : RESOLVE_DEVICE;
}

/* The entry out->target is a link: follow it by hand to the entry at the
 * end of its chain, judging each link before anything is opened, and go on
 * from that entry (out->dir and out->target become its folder and name).
 * Only a link of /proc that leads to no name (a descriptor's pipe, socket
 * or deleted file: /dev/stdout, /dev/fd/N, a process substitution) is left
 * to the kernel to follow. */
static int resolve_link(PLATFORM_OUT *out, struct stat *st)
{
    char name[PLATFORM_PATH_SIZE];
    struct stat end;
    int magic, dir = fcntl(out->dir, F_DUPFD_CLOEXEC, 0);

    if (dir < 0)
        return RESOLVE_FAILED;
    memcpy(name, out->target, sizeof name);
    /* what the kernel reaches through the link; EACCES from its link
     * protections fails the run */
    int reached = fstatat(out->dir, out->target, st, 0) == 0;
    int got = reached || errno == ENOENT ? follow_links(&dir, name, &end, &magic) : WALK_FAILED;
    if ((got == WALK_FOUND && reached && same_file(&end, st)) ||
        (got == WALK_MISSING && !reached)) {
        close(out->dir);
        out->dir = dir;
        memcpy(out->target, name, sizeof name);
        return got == WALK_MISSING ? RESOLVE_NEW : open_entry(out, &end, st);
    }
    close(dir);
    if (got == WALK_FAILED)
        return RESOLVE_FAILED;
    if (!(got == WALK_MISSING && magic))
        return RESOLVE_AGAIN; /* it changed while we looked */
    out->dest = openat(out->dir, out->target, OUTPUT_FLAGS);
    if (out->dest < 0 || fstat(out->dest, st) != 0 || S_ISDIR(st->st_mode))
        return RESOLVE_FAILED;
    if (!S_ISREG(st->st_mode))
        return RESOLVE_DEVICE;
    /* a name we cannot tell is never written in place */
    return st->st_nlink == 0 ? RESOLVE_UNNAMED : RESOLVE_FAILED;
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
    return S_ISLNK(lst.st_mode) ? resolve_link(out, st) : open_entry(out, &lst, st);
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
