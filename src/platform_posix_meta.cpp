/* What a replacement output keeps of the file it replaces, on POSIX
 * systems: owner and group, access ACL and extended attributes, mode,
 * set-ID bits and file capabilities, each where the system lets us.
 *
 * All of it goes on after the last write to the temporary file, in the
 * order the kernel needs: changing the owner clears the set-ID bits and the
 * capabilities, and so does a write by a process without CAP_FSETID; the
 * mode is set after the ACL, which it rewrites to match. */
#include "platform_posix.h"

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/xattr.h>
#endif

static const char ACL_ACCESS[] = "system.posix_acl_access";
static const char CAPABILITY[] = "security.capability";

#ifdef __linux__
/* The largest attribute name list and value Linux has. */
static const size_t XATTR_LIST_SIZE = 65536;
static const size_t XATTR_VALUE_SIZE = 65536;

/* An access ACL as the kernel stores it in its attribute: a little-endian
 * 32-bit version, then 8-byte entries of a 16-bit tag, 16-bit permissions
 * and 32-bit id. */
static const size_t ACL_HEADER_SIZE = 4;
static const size_t ACL_ENTRY_SIZE = 8;
static const unsigned ACL_GROUP_OBJ = 0x04;
static const unsigned ACL_MASK = 0x10;

static unsigned get_le16(const uint8_t *p)
{
    return (unsigned)p[0] | (unsigned)p[1] << 8;
}

/* The rights an ACL gives the owning group: its group entry ANDed with its
 * mask, as rwx bits. None when the ACL cannot be read. */
static mode_t acl_group_rights(const uint8_t *acl, size_t len)
{
    unsigned group = 0, mask = 7;

    if (len < ACL_HEADER_SIZE)
        return 0;
    for (size_t at = ACL_HEADER_SIZE; at + ACL_ENTRY_SIZE <= len; at += ACL_ENTRY_SIZE) {
        unsigned tag = get_le16(acl + at), perm = get_le16(acl + at + 2) & 7;
        if (tag == ACL_GROUP_OBJ)
            group = perm;
        else if (tag == ACL_MASK)
            mask = perm;
    }
    return (mode_t)(group & mask);
}

/* Attributes that belong to the old content or to its owner: the integrity
 * signatures, which would not match the new bytes, and the capabilities,
 * which copy_metadata() puts on last. */
static int not_copied(const char *name)
{
    return strcmp(name, "security.ima") == 0 || strcmp(name, "security.evm") == 0 ||
           strcmp(name, CAPABILITY) == 0;
}

/* Copy old's extended attributes to fd, its access ACL among them, as far
 * as the system lets us; fd loses an ACL that old did not have (one the
 * folder's default gave it). Where old's ACL could not be copied, *group
 * is what it gave the group (else 7); *caps says whether old has file
 * capabilities. Returns 1, or 0 when old's attributes cannot be read. */
static int copy_xattrs(int old, int fd, mode_t *group, int *caps)
{
    static char list[XATTR_LIST_SIZE];
    static uint8_t value[XATTR_VALUE_SIZE];
    int had_acl = 0;

    *group = 7;
    *caps = 0;
    ssize_t len = flistxattr(old, list, sizeof list);
    if (len < 0)
        return errno == ENOTSUP || errno == ENOSYS;
    for (ssize_t at = 0; at < len; at += (ssize_t)strlen(list + at) + 1) {
        const char *name = list + at;
        *caps |= strcmp(name, CAPABILITY) == 0;
        if (not_copied(name))
            continue;
        ssize_t n = fgetxattr(old, name, value, sizeof value);
        if (n < 0)
            continue; /* removed meanwhile, or not ours to read */
        int is_acl = strcmp(name, ACL_ACCESS) == 0;
        had_acl |= is_acl;
        if (fsetxattr(fd, name, value, (size_t)n, 0) != 0 && is_acl)
            *group = acl_group_rights(value, (size_t)n);
    }
    if (!had_acl)
        fremovexattr(fd, ACL_ACCESS); /* ENODATA where the folder gave none */
    return 1;
}

/* Give fd old's file capabilities, where we may set them. */
static void copy_caps(int old, int fd)
{
    static uint8_t value[XATTR_VALUE_SIZE];
    ssize_t n = fgetxattr(old, CAPABILITY, value, sizeof value);

    if (n > 0)
        fsetxattr(fd, CAPABILITY, value, (size_t)n, 0);
}
#endif

/* Set fd's mode to want. Where the file system has no modes of its own
 * (FAT), its default stands, but never one more open than want. */
static int set_mode(int fd, mode_t want)
{
    struct stat now;

    if (fchmod(fd, want) == 0)
        return 1;
    if (errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return 0;
    return fstat(fd, &now) == 0 && (now.st_mode & 07777 & ~want) == 0;
}

int copy_metadata(int old, int fd)
{
    struct stat was, now;
    mode_t group = 7;
    int caps = 0;

    if (fstat(old, &was) != 0 || fstat(fd, &now) != 0)
        return 0;
    int kept = now.st_uid == was.st_uid && now.st_gid == was.st_gid;
    if (!kept) {
        /* owner and group, else the group alone, which a member of it may give */
        int owned = fchown(fd, was.st_uid, was.st_gid) == 0 || fchown(fd, (uid_t)-1, was.st_gid) == 0;
        if (fstat(fd, &now) != 0)
            return 0;
        kept = owned && now.st_uid == was.st_uid && now.st_gid == was.st_gid;
    }
#ifdef __linux__
    if (!copy_xattrs(old, fd, &group, &caps))
        return 0;
#endif
    mode_t want = was.st_mode & 07777;
    want &= ~(mode_t)((~group & 7) << 3); /* never more for the group than the ACL gave */
    if (!kept)
        want &= ~(mode_t)(S_ISUID | S_ISGID);
    if (!set_mode(fd, want))
        return 0;
#ifdef __linux__
    if (kept && caps)
        copy_caps(old, fd);
#endif
    return 1;
}
