/* The output file on Windows: the destination is asked what it is, the
 * image goes to a temporary file in its folder that takes over what the old
 * file had (attributes, permissions), and is moved over it; a device named
 * as one is written in place. Every name reaches Windows as its full path,
 * in the \\?\ form when long (platform_windows_path.cpp). */
#include "platform.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform_windows.h"
#include "platform_windows_path.h"
#include "platform_windows_text.h"

/* What the console-event handler may have to undo. Windows runs that handler
 * on a thread of its own while the main thread goes on, so the temporary file
 * is created, moved and removed only under tmp_lock; a handler that got the
 * lock leaves `quitting` set, and no temporary file is made after it. */
static SRWLOCK tmp_lock = SRWLOCK_INIT;
static wchar_t tmp_path[PLATFORM_PATH_SIZE]; /* temporary output, when tmp_active */
static int tmp_active;
static int quitting;

/* The output as Windows is handed it (full path, \\?\ when long), and what
 * its replacement keeps of the file it replaces: the attributes below and,
 * on a volume that keeps ACLs and when we may read it, its DACL. */
static wchar_t target_path[PLATFORM_PATH_SIZE];
static DWORD kept_attributes;
alignas(8) static unsigned char kept_security[65536 + 1024]; /* self-relative, DACL only */
static int have_security;

constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

void output_quit(void)
{
    AcquireSRWLockExclusive(&tmp_lock);
    quitting = 1;
    if (tmp_active) {
        DeleteFileW(tmp_path);
        tmp_active = 0;
    }
    ReleaseSRWLockExclusive(&tmp_lock);
}

enum { OUT_NONE, OUT_FILE, OUT_DEVICE, OUT_UNUSABLE };

/* Note what the replacement of the file open at h is to keep: its attributes
 * and, on a volume that keeps ACLs (not FAT or exFAT) and when h may read
 * it, its DACL with its inheritance flags. What cannot be read is not kept:
 * the new file then has its folder's default permissions. */
static void keep_metadata(HANDLE h, DWORD attributes)
{
    DWORD flags, needed;

    kept_attributes = attributes & KEPT_ATTRIBUTES;
    have_security = GetVolumeInformationByHandleW(h, NULL, 0, NULL, NULL, &flags, NULL, 0) &&
                    (flags & FILE_PERSISTENT_ACLS) &&
                    GetKernelObjectSecurity(h, DACL_SECURITY_INFORMATION, kept_security,
                                            sizeof kept_security, &needed);
}

/* What stands at path now: nothing yet, a file we may replace, a device or
 * pipe to write in place, or something unusable (a folder, a read-only file,
 * a missing folder on the way). The system is asked through a handle: _stat
 * fails on device names such as NUL (in any folder). The handle may read the
 * file's permissions where we are allowed to, and is opened without that
 * right where we are not. */
static int output_kind(const wchar_t *path)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE h = CreateFileW(path, READ_CONTROL, share, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           NULL);
    int kind;

    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileW(path, 0, share, NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_FILE_NOT_FOUND ? OUT_NONE : OUT_UNUSABLE;
    switch (GetFileType(h)) {
    case FILE_TYPE_CHAR:
    case FILE_TYPE_PIPE:
        kind = OUT_DEVICE;
        break;
    case FILE_TYPE_DISK:
        /* a read-only file is not ours to replace, as it would not be to overwrite */
        kind = GetFileInformationByHandle(h, &info) &&
                       !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))
                   ? OUT_FILE
                   : OUT_UNUSABLE;
        if (kind == OUT_FILE)
            keep_metadata(h, info.dwFileAttributes);
        break;
    default:
        kind = OUT_UNUSABLE;
    }
    CloseHandle(h);
    return kind;
}

/* Remove the temporary file through h, the handle it was created with: that
 * one may delete it whatever permissions it has been given since. */
static void discard_temp(HANDLE h)
{
    FILE_DISPOSITION_INFO gone = {TRUE};
    int marked = SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);

    CloseHandle(h);
    if (!marked)
        DeleteFileW(tmp_path);
}

static void remove_temp(void)
{
    AcquireSRWLockExclusive(&tmp_lock);
    if (tmp_active) {
        DeleteFileW(tmp_path);
        tmp_active = 0;
    }
    ReleaseSRWLockExclusive(&tmp_lock);
}

/* Give the new file h the DACL of the file it replaces, unless it has that
 * one already (as when both inherit theirs from the folder): Wine, for one,
 * turns any DACL set on a file into Unix modes of its own. Where the system
 * will not set it (a share that keeps its own permissions), the new file
 * keeps its folder's default ones. The old DACL may deny us the right to
 * delete what the folder's default granted; the new file must stay
 * removable by name (by us on any failure, by the move), so that is checked
 * with a second open, and a file we could not remove is refused here, while
 * the handle that created it can still delete it. */
static int take_security(HANDLE h)
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
    HANDLE probe = CreateFileW(tmp_path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               NULL, OPEN_EXISTING, 0, NULL);
    if (probe == INVALID_HANDLE_VALUE)
        return 0;
    CloseHandle(probe);
    return 1;
}

/* Create the file tmp_path, new, with the kept attributes (archive set, as
 * on any file just written), with the rights to delete it and, when there
 * is a DACL to give it, to set that. A folder that denies the owner of a new
 * file those (an OWNER RIGHTS entry) gets a file with its own default
 * permissions instead. */
static HANDLE create_temp(void)
{
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_DELETE;
    const DWORD attributes = kept_attributes | FILE_ATTRIBUTE_ARCHIVE;
    HANDLE h = INVALID_HANDLE_VALUE;

    if (have_security) {
        h = CreateFileW(tmp_path, GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC, share, NULL,
                        CREATE_NEW, attributes, NULL);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
            return h;
        have_security = 0;
    }
    return CreateFileW(tmp_path, GENERIC_WRITE | DELETE, share, NULL, CREATE_NEW, attributes, NULL);
}

/* Create a new temporary file in the destination's folder (that of its full
 * path, so never a stream of another file), named after our process, shared
 * for deletion so the console-event handler can remove it while it is open,
 * with the attributes and permissions of the file it replaces. */
static int open_temp(PLATFORM_OUT *out)
{
    static wchar_t name[PLATFORM_PATH_SIZE];
    size_t dirlen = folder_length(target_path);
    int ok = 0;

    if (dirlen == 0)
        return 0;
    AcquireSRWLockExclusive(&tmp_lock);
    for (int attempt = 0; attempt < 100 && !quitting; attempt++) {
        char suffix[48];
        int n = snprintf(suffix, sizeof suffix, ".swug-gen-%lu-%d.tmp",
                         (unsigned long)GetCurrentProcessId(), attempt);
        if (n < 0 || (size_t)n >= sizeof suffix || dirlen + (size_t)n >= PLATFORM_PATH_SIZE)
            break;
        wmemcpy(name, target_path, dirlen);
        for (int i = 0; i <= n; i++)
            name[dirlen + (size_t)i] = (wchar_t)(unsigned char)suffix[i];
        /* the output's name may fit MAX_PATH where this longer one does not */
        if (!system_path(name, tmp_path, PLATFORM_PATH_SIZE))
            break;
        HANDLE h = create_temp();
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) /* left by an earlier run: next name */
                continue;
            break;
        }
        if (!take_security(h) || (out->fd = _open_osfhandle((intptr_t)h, 0)) < 0) { /* binary */
            discard_temp(h);
            break;
        }
        tmp_active = 1;
        ok = 1;
        break;
    }
    ReleaseSRWLockExclusive(&tmp_lock);
    return ok;
}

static int open_in_place(const wchar_t *path, PLATFORM_OUT *out)
{
    out->in_place = 1;
    out->fd = _wopen(path, _O_WRONLY | _O_BINARY | _O_NOINHERIT);
    return out->fd >= 0;
}

/* A device is written only when it is named as one (NUL, COM5, \\.\COM5):
 * "COM5.bin" or "nul.txt" would reach the device just the same, where the
 * user meant a file, so such names are refused before anything is opened.
 * So is a name of a stream ("out.bin:fw"): an image there is not seen in a
 * listing and is lost when the file is copied to FAT, a zip or a mail, and
 * a stream cannot be replaced by a rename, only written in place. */
int platform_output_open(const char *path, PLATFORM_OUT *out)
{
    static wchar_t given[PLATFORM_PATH_SIZE];

    out->fd = -1;
    out->in_place = 0;
    kept_attributes = 0;
    have_security = 0;
    if (strlen(path) >= sizeof out->target || !utf8_to_wide(path, given, PLATFORM_PATH_SIZE))
        return 0;
    strcpy(out->target, path);
    switch (name_kind(given)) {
    case NAME_DISGUISED:
        return 0;
    case NAME_DEVICE:
        return output_kind(given) == OUT_DEVICE && open_in_place(given, out);
    default:
        break;
    }
    if (!system_path(given, target_path, PLATFORM_PATH_SIZE) ||
        wcschr(target_path + folder_length(target_path), L':') != NULL)
        return 0;
    switch (output_kind(target_path)) {
    case OUT_NONE:
    case OUT_FILE:
        return open_temp(out);
    case OUT_DEVICE:
        return open_in_place(target_path, out);
    default:
        return 0;
    }
}

int platform_output_write(PLATFORM_OUT *out, const void *buf, size_t len)
{
    const uint8_t *p = (const uint8_t *)buf;

    while (len > 0) {
        unsigned int chunk = len > 0x40000000 ? 0x40000000 : (unsigned int)len;
        int n = _write(out->fd, p, chunk);
        if (n <= 0)
            return 0;
        p += n;
        len -= (size_t)n;
    }
    return 1;
}

/* Move the closed temporary file over the destination. MOVEFILE_COPY_ALLOWED
 * is left out on purpose: it would turn the rename into a copy that can be
 * interrupted half way. A virus scanner or indexer that has just opened the
 * new file makes the move fail for a moment, so a sharing failure is tried
 * again for about a second before we give up. */
static int move_into_place(void)
{
    for (int attempt = 1;; attempt++) {
        AcquireSRWLockExclusive(&tmp_lock);
        int moved = !quitting && MoveFileExW(tmp_path, target_path,
                                             MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        DWORD err = GetLastError();
        if (moved)
            tmp_active = 0;
        int stop = moved || quitting;
        ReleaseSRWLockExclusive(&tmp_lock);
        if (moved)
            return 1;
        if (stop || attempt == 8 || (err != ERROR_ACCESS_DENIED && err != ERROR_SHARING_VIOLATION))
            break;
        Sleep(30 * attempt);
    }
    remove_temp();
    return 0;
}

int platform_output_commit(PLATFORM_OUT *out)
{
    /* Flushing first makes late write errors (a full disk, a network share)
     * show up here, before the old file is given up; and the new content is
     * on disk before the move that MOVEFILE_WRITE_THROUGH makes lasting. */
    int flushed = out->in_place || _commit(out->fd) == 0;
    int closed = _close(out->fd) == 0;

    out->fd = -1;
    if (out->in_place)
        return closed;
    if (!flushed || !closed) {
        remove_temp();
        return 0;
    }
    return move_into_place();
}

void platform_output_abort(PLATFORM_OUT *out)
{
    if (out->fd >= 0)
        _close(out->fd);
    out->fd = -1;
    if (!out->in_place)
        remove_temp();
}
