/* What a replaced output keeps on Windows: the hidden, system and
 * not-indexed attributes, encryption, the compression state, the creation
 * time and, on a volume that keeps ACLs and when we may read it, the DACL.
 * Not kept: named streams, the short (8.3) name, the owner, auditing and
 * the integrity label; the new file gets the folder's for those. */
#include "platform_windows_keep.h"

#include <cstring>

#include <winioctl.h>

constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

static DWORD kept_attributes;   /* of KEPT_ATTRIBUTES */
static int kept_encrypted;
static DWORD kept_compressed;   /* FILE_ATTRIBUTE_COMPRESSED or 0 */
static int can_compress;        /* the volume compresses single files */
static FILETIME kept_created;
static int have_created;
alignas(8) static unsigned char kept_security[65536 + 1024]; /* self-relative, DACL only */
static int have_security;

void keep_nothing(void)
{
    kept_attributes = 0;
    kept_encrypted = 0;
    kept_compressed = 0;
    can_compress = 0;
    have_created = 0;
    have_security = 0;
}

/* What cannot be read is not kept: the new file then has its folder's
 * defaults. FAT and exFAT keep no ACLs (no FILE_PERSISTENT_ACLS). */
void keep_metadata(HANDLE h, const BY_HANDLE_FILE_INFORMATION *info)
{
    DWORD flags, needed;

    kept_attributes = info->dwFileAttributes & KEPT_ATTRIBUTES;
    kept_encrypted = (info->dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED) != 0;
    kept_compressed = info->dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED;
    kept_created = info->ftCreationTime;
    have_created = 1;
    if (!GetVolumeInformationByHandleW(h, NULL, 0, NULL, NULL, &flags, NULL, 0))
        return;
    can_compress = (flags & FILE_FILE_COMPRESSION) != 0;
    have_security = (flags & FILE_PERSISTENT_ACLS) &&
                    GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, kept_security,
                                            sizeof kept_security, &needed);
}

/* Archive set, as on any file just written. */
DWORD keep_create_attributes(void)
{
    return kept_attributes | FILE_ATTRIBUTE_ARCHIVE | (kept_encrypted ? FILE_ATTRIBUTE_ENCRYPTED : 0);
}

int keep_security(void)
{
    return have_security;
}

void keep_no_security(void)
{
    have_security = 0;
}

/* Give the new file h the DACL of the file it replaces, unless it has that
 * one already (as when both inherit theirs from the folder): Wine, for one,
 * turns any DACL set on a file into Unix modes of its own. Where the system
 * will not set it (a share that keeps its own permissions), the new file
 * keeps its folder's default ones. The old DACL may deny us the right to
 * delete what the folder's default granted; the new file must stay
 * removable by name (by the move), so that is checked with a second open,
 * and a file we could not remove is refused here, while the handle that
 * created it can still delete it. */
static int take_security(HANDLE h, const wchar_t *path)
{
    alignas(8) static unsigned char fresh[sizeof kept_security];
    DWORD size, fresh_size;

    if (!have_security)
        return 1;
    size = GetSecurityDescriptorLength(kept_security);
    if (GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, fresh, sizeof fresh, &fresh_size) &&
        GetSecurityDescriptorLength(fresh) == size && memcmp(fresh, kept_security, size) == 0)
        return 1;
    if (!SetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, kept_security))
        return 1;
    HANDLE probe = CreateFileW(path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               NULL, OPEN_EXISTING, 0, NULL);
    if (probe == INVALID_HANDLE_VALUE)
        return 0;
    CloseHandle(probe);
    return 1;
}

/* Encryption was asked for at the file's creation: a file that did not get
 * it is refused, so that no plain copy of an encrypted image is ever
 * written. The compression state (set while the file is empty, so nothing
 * is rewritten) and the creation time are set where the volume lets us,
 * like the permissions: a refusal of those fails no run. */
int take_over(HANDLE h, const wchar_t *path)
{
    BY_HANDLE_FILE_INFORMATION info;
    DWORD got;

    if (!GetFileInformationByHandle(h, &info))
        return 0;
    if (kept_encrypted && !(info.dwFileAttributes & FILE_ATTRIBUTE_ENCRYPTED))
        return 0;
    if (can_compress && (info.dwFileAttributes & FILE_ATTRIBUTE_COMPRESSED) != kept_compressed) {
        USHORT state = kept_compressed ? COMPRESSION_FORMAT_DEFAULT : COMPRESSION_FORMAT_NONE;
        if (!DeviceIoControl(h, FSCTL_SET_COMPRESSION, &state, sizeof state, NULL, 0, &got, NULL)) {
            /* the folder's default stays */
        }
    }
    if (have_created && !SetFileTime(h, &kept_created, NULL, NULL)) {
        /* the new file keeps its own creation time */
    }
    return take_security(h, path);
}
