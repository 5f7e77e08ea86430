/* What a replacement output keeps of the file it replaces, on POSIX
 * systems: owner and group, access ACL and extended attributes, mode,
 * set-ID bits and file capabilities. The owner and group go where the
 * system lets us (a runner who cannot keep the owner becomes the owner),
 * and a group that changed gets none of the old group's rights: a
 * replacement never opens the file to anyone the old one was closed to.
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

/* Clear the permissions of the owning group's entry in the ACL acl, for a
 * file whose group is no longer the one it was written for. Returns
 * whether the ACL has a mask, which then holds the mode's group bits. */
static int acl_drop_group(uint8_t *acl, size_t len)
{
    int masked = 0;

    for (size_t at = ACL_HEADER_SIZE; at + ACL_ENTRY_SIZE <= len; at += ACL_ENTRY_SIZE) {
        unsigned tag = get_le16(acl + at);
        if (tag == ACL_GROUP_OBJ)
            acl[at + 2] = acl[at + 3] = 0;
        masked |= tag == ACL_MASK;
    }
    return masked;
}

/* Attributes that belong to the old content or to its owner: the integrity
 * signatures, which would not match the new bytes, and the capabilities,
 * which copy_metadata() puts on last. */
static int not_copied(const char *name)
{
    return strcmp(name, "security.ima") == 0 || strcmp(name, "security.evm") == 0 ||
           strcmp(name, CAPABILITY) == 0;
}

/* Give fd the attribute name with value[0 .. len), unless it has it
 * already (a label the system gave it). Returns 1 or 0. */
static int set_xattr(int fd, const char *name, const uint8_t *value, size_t len)
{
    static uint8_t have[XATTR_VALUE_SIZE];
    ssize_t n = fgetxattr(fd, name, have, sizeof have);

    if (n >= 0 && (size_t)n == len && memcmp(have, value, len) == 0)
        return 1;
    return fsetxattr(fd, name, value, len, 0) == 0;
}

/* Copy old's extended attributes to fd, its access ACL among them. The ACL
 * the folder's default gave fd goes first: it is not the old file's, and
 * it would take the room the old file's attributes need. The ACL and the
 * user.* attributes must be copied; others (security.* labels that only
 * root may set) are copied where the system lets us. With regrouped (fd's
 * group is not old's) the ACL's entry for the owning group is cleared;
 * *masked says whether the copied ACL has a mask, *caps whether old has
 * file capabilities. Returns 1, or 0 when an attribute that must be copied
 * cannot be. */
static int copy_xattrs(int old, int fd, int regrouped, int *masked, int *caps)
{
    static char list[XATTR_LIST_SIZE];
    static uint8_t value[XATTR_VALUE_SIZE];

    *masked = 0;
    *caps = 0;
    if (fremovexattr(fd, ACL_ACCESS) != 0 && errno != ENODATA && errno != ENOTSUP &&
        errno != ENOSYS)
        return 0;
    ssize_t len = flistxattr(old, list, sizeof list);
    if (len < 0)
        return errno == ENOTSUP || errno == ENOSYS;
    for (ssize_t at = 0; at < len; at += (ssize_t)strlen(list + at) + 1) {
        const char *name = list + at;
        *caps |= strcmp(name, CAPABILITY) == 0;
        if (not_copied(name))
            continue;
        int is_acl = strcmp(name, ACL_ACCESS) == 0;
        int must = is_acl || strncmp(name, "user.", 5) == 0;
        ssize_t n = fgetxattr(old, name, value, sizeof value);
        if (n < 0 && errno == ENODATA)
            continue; /* removed meanwhile */
        if (n >= 0 && is_acl && regrouped)
            *masked = acl_drop_group(value, (size_t)n);
        if ((n < 0 || !set_xattr(fd, name, value, (size_t)n)) && must)
            return 0;
    }
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

/* Set fd's permission bits to want, and see that it has them: a file
 * system without modes of its own (FAT) may ignore the change, or refuse
 * it. Its default then stands, but never one more open than want. */
static int set_mode(int fd, mode_t want)
{
    struct stat now;

    if (fchmod(fd, want) != 0 && errno != EPERM && errno != ENOSYS && errno != EOPNOTSUPP)
        return 0;
    return fstat(fd, &now) == 0 && (now.st_mode & 07777 & ~want) == 0;
}

int copy_metadata(int old, int fd)
{
    struct stat was, now;
    int masked = 0, caps = 0;

    if (fstat(old, &was) != 0 || fstat(fd, &now) != 0)
        return 0;
    int kept = now.st_uid == was.st_uid && now.st_gid == was.st_gid;
    if (!kept) {
        /* owner and group, else the group alone, which a member of it may
         * give; what the file has afterwards decides */
        int owned = fchown(fd, was.st_uid, was.st_gid) == 0;
        if (!owned)
            owned = fchown(fd, (uid_t)-1, was.st_gid) == 0;
        if (fstat(fd, &now) != 0)
            return 0;
        kept = owned && now.st_uid == was.st_uid && now.st_gid == was.st_gid;
    }
    int regrouped = now.st_gid != was.st_gid;
#ifdef __linux__
    if (!copy_xattrs(old, fd, regrouped, &masked, &caps))
        return 0;
#endif
    mode_t want = was.st_mode & 07777;
    /* Another group gets none of the old group's rights: neither the group
     * bits nor, where an ACL's mask stands for them, its group entry. */
    if (regrouped && !masked)
        want &= ~(mode_t)070;
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
