/* The output file on Windows.
 *
 * The destination is judged by its name in the form Windows is handed it
 * (platform_windows_path.cpp), then opened and asked what it is:
 *
 * - a device spelled as one (NUL, COM5, \\.\COM5) is written in place,
 *   through the handle that asked; anything else that turns out to be a
 *   device or a pipe (a link to one) is refused, and so is a file we may
 *   not write;
 * - a file, or nothing yet, gets a temporary file in its folder, which is
 *   held open from then on; the temporary file takes over what the old file
 *   had (attributes, encryption, compression, creation time, permissions)
 *   and is moved over it (platform_windows_move.cpp).
 *
 * The temporary file's states, all changed under tmp_lock:
 *
 *     none --open_temp()--> open (tmp_active) --move_into_place()--> the output
 *                             |            (the name found holding this very file)
 *                             |
 *                             +--any failure, abort, Ctrl-C, a move gone
 *                                elsewhere--> deleted through its handle
 *
 * Its handle stays open from its creation until it is the output: it shares
 * nothing but deletion (which the move needs), so no other program can open
 * the file to read or write it meanwhile, and it holds the right to delete,
 * so a failure can always remove it. */
#include "platform.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "platform_windows.h"
#include "platform_windows_keep.h"
#include "platform_windows_move.h"
#include "platform_windows_path.h"
#include "platform_windows_text.h"

/* What the console-event handler may have to undo. Windows runs that handler
 * on a thread of its own while the main thread goes on, so the temporary file
 * is created, moved and removed only under tmp_lock; a handler that got the
 * lock leaves `quitting` set, and no temporary file is made after it. */
static SRWLOCK tmp_lock = SRWLOCK_INIT;
static wchar_t tmp_path[PLATFORM_PATH_SIZE]; /* temporary output, when tmp_active */
static HANDLE tmp_handle;                    /* its handle, when tmp_active */
static int tmp_active;
static int quitting;

/* The output as Windows is handed it, and its folder, held open from the
 * open to the close of an output that replaces (INVALID_HANDLE_VALUE else). */
static wchar_t target_path[PLATFORM_PATH_SIZE];
static HANDLE folder_handle = INVALID_HANDLE_VALUE;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

/* A move refused because another program has the destination open is tried
 * this many times, about a second in all. */
constexpr int MOVE_ATTEMPTS = 8;

/* Mark the file open at h to be deleted when its last handle closes. */
static int delete_on_close(HANDLE h)
{
    FILE_DISPOSITION_INFO gone = {TRUE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &gone, sizeof gone);
}

void output_quit(void)
{
    AcquireSRWLockExclusive(&tmp_lock);
    quitting = 1;
    if (tmp_active && !delete_on_close(tmp_handle))
        DeleteFileW(tmp_path);
    tmp_active = 0; /* the process ends now, and its handles close with it */
    ReleaseSRWLockExclusive(&tmp_lock);
}

static void close_folder(void)
{
    if (folder_handle != INVALID_HANDLE_VALUE)
        CloseHandle(folder_handle);
    folder_handle = INVALID_HANDLE_VALUE;
}

/* Remove the temporary file through its handle, then close it: the handle
 * may delete it whatever permissions it has been given since. */
static void discard_temp(PLATFORM_OUT *out)
{
    AcquireSRWLockExclusive(&tmp_lock);
    int marked = !tmp_active || delete_on_close(tmp_handle);
    _close(out->fd);
    if (!marked)
        DeleteFileW(tmp_path);
    tmp_active = 0;
    ReleaseSRWLockExclusive(&tmp_lock);
    out->fd = -1;
    close_folder();
}

enum { OUT_NONE, OUT_FILE, OUT_DEVICE, OUT_UNUSABLE };

/* Open what stands at path: for writing, which is the check that we may
 * write it (a read-only file or a DACL that denies us refuses it, as it
 * would an overwrite); without that right only when another program has
 * it open and shares no writing, which the move waits out or fails on. */
static HANDLE open_destination(const wchar_t *path, int *writable)
{
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS; /* a folder too, to be turned down */
    HANDLE h = CreateFileW(path, GENERIC_WRITE | FILE_READ_ATTRIBUTES, SHARE_ALL, NULL,
                           OPEN_EXISTING, flags, NULL);

    *writable = h != INVALID_HANDLE_VALUE;
    if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION)
        return h;
    h = CreateFileW(path, READ_CONTROL | FILE_READ_ATTRIBUTES, SHARE_ALL, NULL, OPEN_EXISTING,
                    flags, NULL);
    if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
        h = CreateFileW(path, FILE_READ_ATTRIBUTES, SHARE_ALL, NULL, OPEN_EXISTING, flags, NULL);
    return h;
}

/* What stands at path now: nothing yet, a file we may replace, a device to
 * write in place (only when named as one: out->fd then writes it through
 * the handle that asked, so it is opened once), or something unusable (a
 * folder, a file we may not write, a missing folder on the way, a device
 * or pipe under a file's name). The handle's type decides, not the name. */
static int output_kind(const wchar_t *path, int named_device, PLATFORM_OUT *out)
{
    BY_HANDLE_FILE_INFORMATION info;
    int writable;
    HANDLE h = open_destination(path, &writable);

    if (h == INVALID_HANDLE_VALUE)
        return !named_device && GetLastError() == ERROR_FILE_NOT_FOUND ? OUT_NONE : OUT_UNUSABLE;
    DWORD type = GetFileType(h);
    if ((type == FILE_TYPE_CHAR || type == FILE_TYPE_PIPE) && named_device && writable) {
        out->fd = _open_osfhandle((intptr_t)h, 0); /* binary */
        if (out->fd >= 0)
            return OUT_DEVICE;
    } else if (type == FILE_TYPE_DISK && !named_device && GetFileInformationByHandle(h, &info) &&
               !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY))) {
        keep_metadata(h, &info);
        CloseHandle(h);
        return OUT_FILE;
    }
    CloseHandle(h);
    return OUT_UNUSABLE;
}

/* Create the file tmp_path, new, with the kept attributes (archive set, as
 * on any file just written), encrypted from the start when the old file is,
 * shared for deletion only, with the rights to delete it, to set its
 * compression (which needs read and write) and, when there is a DACL to give
 * it, to set that. A folder that denies the owner of a new file those (an
 * OWNER RIGHTS entry) gets a file with its own default permissions instead. */
static HANDLE create_temp(void)
{
    const DWORD share = FILE_SHARE_DELETE;
    const DWORD access = GENERIC_WRITE | DELETE | FILE_READ_DATA | FILE_READ_ATTRIBUTES;
    const DWORD attributes = keep_create_attributes();
    HANDLE h;

    if (keep_security()) {
        h = CreateFileW(tmp_path, access | READ_CONTROL | WRITE_DAC, share, NULL, CREATE_NEW,
                        attributes, NULL);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_ACCESS_DENIED)
            return h;
        keep_no_security();
    }
    return CreateFileW(tmp_path, access, share, NULL, CREATE_NEW, attributes, NULL);
}

/* Create a new temporary file in the destination's folder (that of its full
 * path, so never a stream of another file), named after our process, with
 * what it takes over from the file it replaces, and out->fd writing it. */
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
        if (system_path(name, tmp_path, PLATFORM_PATH_SIZE) != NAME_FILE)
            break;
        HANDLE h = create_temp();
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) /* left by an earlier run: next name */
                continue;
            break;
        }
        if (!take_over(h, tmp_path) || (out->fd = _open_osfhandle((intptr_t)h, 0)) < 0) { /* binary */
            if (!delete_on_close(h))
                DeleteFileW(tmp_path);
            CloseHandle(h);
            break;
        }
        tmp_handle = h;
        tmp_active = 1;
        ok = 1;
        break;
    }
    ReleaseSRWLockExclusive(&tmp_lock);
    return ok;
}

/* A device is written only when it is named as one (NUL, COM5, \\.\COM5):
 * "COM5.bin" or "out\COM5.bin\." would reach the device just the same,
 * where the user meant a file, so such names are refused before anything
 * is opened. So is a name of a stream ("out.bin:fw"): an image there is not
 * seen in a listing and is lost when the file is copied to FAT, a zip or a
 * mail, and a stream cannot be replaced by a rename, only written in place. */
int platform_output_open(const char *path, PLATFORM_OUT *out)
{
    static wchar_t given[PLATFORM_PATH_SIZE];

    out->fd = -1;
    out->in_place = 0;
    keep_nothing();
    if (strlen(path) >= sizeof out->target || !utf8_to_wide(path, given, PLATFORM_PATH_SIZE))
        return 0;
    strcpy(out->target, path);
    switch (system_path(given, target_path, PLATFORM_PATH_SIZE)) {
    case NAME_DEVICE:
        out->in_place = 1;
        return output_kind(target_path, 1, out) == OUT_DEVICE;
    case NAME_FILE:
        break;
    default:
        return 0;
    }
    switch (output_kind(target_path, 0, out)) {
    case OUT_NONE:
    case OUT_FILE:
        break;
    default:
        return 0;
    }
    folder_handle = move_folder_open(target_path);
    if (open_temp(out))
        return 1;
    close_folder();
    return 0;
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

/* Move the temporary file, still open, over the destination, trying again
 * for a while when another program holds the destination. */
static int move_into_place(void)
{
    for (int attempt = 1;; attempt++) {
        DWORD err = 0;
        int moved = 0;
        AcquireSRWLockExclusive(&tmp_lock);
        if (!quitting)
            moved = move_temp(tmp_handle, tmp_path, folder_handle, target_path, &err);
        if (moved)
            tmp_active = 0; /* the output now: nothing to remove any more */
        int stop = moved || quitting;
        ReleaseSRWLockExclusive(&tmp_lock);
        if (stop)
            return moved;
        if (attempt == MOVE_ATTEMPTS || !move_may_pass(err, target_path))
            return 0;
        Sleep(30 * attempt);
    }
}

/* The image is flushed through the handle first: late write errors (a full
 * disk, a network share) show up here, before the old file is given up, and
 * the content is on the disk before the move gives it the name. It is
 * flushed again once moved, through the same handle, which writes the
 * file's metadata too (Microsoft promises no more for the folder entry the
 * move changed); a failure then leaves the new image under the name, and
 * the run fails. */
int platform_output_commit(PLATFORM_OUT *out)
{
    if (out->in_place) {
        int closed = _close(out->fd) == 0;
        out->fd = -1;
        return closed;
    }
    if (!FlushFileBuffers((HANDLE)_get_osfhandle(out->fd)) || !move_into_place()) {
        discard_temp(out);
        return 0;
    }
    int flushed = FlushFileBuffers((HANDLE)_get_osfhandle(out->fd));
    int closed = _close(out->fd) == 0;
    out->fd = -1;
    close_folder();
    return flushed && closed;
}

void platform_output_abort(PLATFORM_OUT *out)
{
    if (out->in_place) {
        if (out->fd >= 0)
            _close(out->fd);
        out->fd = -1;
        return;
    }
    if (out->fd >= 0)
        discard_temp(out);
}
