/* What the replacement of an output keeps of the file it replaces, for
 * platform_windows_output.cpp: noted from the old file's handle, given to
 * the new file through its own. */
#ifndef SWUG_PLATFORM_WINDOWS_KEEP_H
#define SWUG_PLATFORM_WINDOWS_KEEP_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* Forget what an earlier output kept: a new file keeps nothing. */
void keep_nothing(void);

/* Note what the replacement of the file open at h (which may read its
 * attributes and permissions) is to keep; info is that file's. */
void keep_metadata(HANDLE h, const BY_HANDLE_FILE_INFORMATION *info);

/* The attributes to create the new file with (encrypted from the start when
 * the old file is), and whether it is to be given a DACL, which needs
 * READ_CONTROL and WRITE_DAC on its handle. keep_no_security() gives that
 * up, for a folder that denies the owner of a new file those rights. */
DWORD keep_create_attributes(void);
int keep_security(void);
void keep_no_security(void);

/* Give the new file h, created as `path` and still empty, what the old one
 * had. Returns 1, or 0 when it cannot be the replacement: it did not get the
 * old file's encryption, or cannot be removed by name any more. */
int take_over(HANDLE h, const wchar_t *path);

#endif
