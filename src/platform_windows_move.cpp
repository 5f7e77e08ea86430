/* The move of a finished output over its destination on Windows.
 *
 * The move is made through the temporary file's own handle, relative to the
 * destination's folder held open since the output was opened
 * (SetFileInformationByHandle: FileRenameInfoEx with POSIX semantics, so a
 * destination another program has open while sharing deletion is replaced
 * too, else FileRenameInfo), so that neither the file moved nor the folder
 * it goes to is looked up by name again. Where the system or the file
 * system does not take that (Wine, some network redirectors), MoveFileExW
 * moves it by names, once the temporary name is found to still lead to our
 * file. Whatever the move answered, the name is then opened afresh and
 * counts as ours only when it is the very file we hold: the file IDs are
 * compared, not path texts, which junctions, subst and mapped drives spell
 * in many ways. */
#include "platform_windows_move.h"

#include <cstring>
#include <cwchar>

#include "platform.h"
#include "platform_windows_path.h"

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/* MinGW's headers leave these out for every _WIN32_WINNT of Windows 10. */
constexpr FILE_INFO_BY_HANDLE_CLASS RENAME_INFO_EX = (FILE_INFO_BY_HANDLE_CLASS)22; /* FileRenameInfoEx */
constexpr DWORD RENAME_REPLACE_IF_EXISTS = 0x1; /* FILE_RENAME_FLAG_REPLACE_IF_EXISTS */
constexpr DWORD RENAME_POSIX_SEMANTICS = 0x2;   /* FILE_RENAME_FLAG_POSIX_SEMANTICS */

HANDLE move_folder_open(const wchar_t *target)
{
    static wchar_t folder[PLATFORM_PATH_SIZE];
    const DWORD access = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS; /* a folder opens only with it */
    size_t n = folder_length(target);

    if (n == 0 || n >= PLATFORM_PATH_SIZE)
        return INVALID_HANDLE_VALUE;
    wmemcpy(folder, target, n);
    folder[n] = 0;
    HANDLE h = CreateFileW(folder, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                           flags, NULL);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION)
        h = CreateFileW(folder, access, SHARE_ALL, NULL, OPEN_EXISTING, flags, NULL);
    return h;
}

/* The volume and ID of the file open at h: the 128-bit ID where the file
 * system gives one (the 64-bit one is not unique on ReFS), else the 64-bit
 * one in its first half. */
static int file_id(HANDLE h, FILE_ID_INFO *id)
{
    BY_HANDLE_FILE_INFORMATION info;

    if (GetFileInformationByHandleEx(h, FileIdInfo, id, sizeof *id))
        return 1;
    if (!GetFileInformationByHandle(h, &info))
        return 0;
    memset(id, 0, sizeof *id);
    id->VolumeSerialNumber = info.dwVolumeSerialNumber;
    memcpy(&id->FileId.Identifier[0], &info.nFileIndexLow, sizeof info.nFileIndexLow);
    memcpy(&id->FileId.Identifier[4], &info.nFileIndexHigh, sizeof info.nFileIndexHigh);
    return 1;
}

/* Is the entry at path itself (not what a link there leads to) the file
 * open at h, which is on the volume `volume`? Its ID is asked now: on FAT
 * a rename may change it. Its volume was asked before the move, since a
 * rename never changes it and Wine no longer tells it through a handle
 * whose file another handle renamed. Reading attributes is never refused
 * for sharing. */
static int names_file(const wchar_t *path, HANDLE h, ULONGLONG volume)
{
    FILE_ID_INFO ours, there;
    HANDLE other = CreateFileW(path, FILE_READ_ATTRIBUTES, SHARE_ALL, NULL, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (other == INVALID_HANDLE_VALUE)
        return 0;
    int same = file_id(h, &ours) && file_id(other, &there) && there.VolumeSerialNumber == volume &&
               memcmp(&ours.FileId, &there.FileId, sizeof ours.FileId) == 0;
    CloseHandle(other);
    return same;
}

/* Errors with which a system or file system turns down a form of rename it
 * does not implement, rather than the rename itself. */
static int rename_form_refused(DWORD err)
{
    return err == ERROR_INVALID_PARAMETER || err == ERROR_NOT_SUPPORTED ||
           err == ERROR_INVALID_FUNCTION;
}

/* Rename the file open at h to `leaf` in the folder open at folder,
 * replacing what is there: 1, or 0 with the system's error. */
static int rename_in_folder(HANDLE h, HANDLE folder, const wchar_t *leaf)
{
    alignas(8) static unsigned char buf[sizeof(FILE_RENAME_INFO) + PLATFORM_PATH_SIZE * sizeof(wchar_t)];
    FILE_RENAME_INFO *info = (FILE_RENAME_INFO *)buf;
    size_t n = wcslen(leaf);

    memset(buf, 0, sizeof(FILE_RENAME_INFO));
    info->RootDirectory = folder;
    info->FileNameLength = (DWORD)(n * sizeof(wchar_t));
    wmemcpy(info->FileName, leaf, n + 1);
    DWORD size = (DWORD)(sizeof(FILE_RENAME_INFO) + info->FileNameLength);
    info->Flags = RENAME_REPLACE_IF_EXISTS | RENAME_POSIX_SEMANTICS;
    if (SetFileInformationByHandle(h, RENAME_INFO_EX, info, size))
        return 1;
    if (!rename_form_refused(GetLastError())) /* before Windows 10 1607, or not NTFS */
        return 0;
    info->Flags = 0;
    info->ReplaceIfExists = TRUE;
    return SetFileInformationByHandle(h, FileRenameInfo, info, size);
}

/* MOVEFILE_COPY_ALLOWED is left out on purpose: it would turn the rename
 * into a copy that can be interrupted half way. MOVEFILE_WRITE_THROUGH
 * matters only for such a copy; it is asked for all the same. */
int move_temp(HANDLE tmp, const wchar_t *tmp_path, HANDLE folder, const wchar_t *target, DWORD *err)
{
    FILE_ID_INFO before;
    int moved = 0;

    *err = 0;
    if (!file_id(tmp, &before))
        return 0;
    *err = ERROR_NOT_SUPPORTED; /* no folder held: by names only */
    if (folder != INVALID_HANDLE_VALUE) {
        moved = rename_in_folder(tmp, folder, target + folder_length(target));
        *err = moved ? 0 : GetLastError();
    }
    if (!moved && rename_form_refused(*err)) {
        if (!names_file(tmp_path, tmp, before.VolumeSerialNumber)) {
            *err = 0; /* the folder was swapped: it would move another file */
            return 0;
        }
        moved = MoveFileExW(tmp_path, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        *err = moved ? 0 : GetLastError();
    }
    /* A move reported as failed may have been made (the reply lost on a
     * network share, a filter driver): the name decides, not the answer. */
    if (names_file(target, tmp, before.VolumeSerialNumber))
        return 1;
    if (moved)
        *err = 0; /* moved, but not to that name */
    return 0;
}

/* Windows reports a destination held open elsewhere as a sharing violation
 * or, since a file still open cannot be replaced even where it shares
 * deletion, as access denied. Access denied is also what a lasting refusal
 * looks like, so the destination is asked for the right to delete it:
 * refused for lack of permission, a retry cannot help; granted, or refused
 * by sharing, it is in use. */
int move_may_pass(DWORD err, const wchar_t *target)
{
    if (err == ERROR_SHARING_VIOLATION)
        return 1;
    if (err != ERROR_ACCESS_DENIED)
        return 0;
    HANDLE h = CreateFileW(target, DELETE, SHARE_ALL, NULL, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 1;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}
