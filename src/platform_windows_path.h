/* The forms of a Windows name for the Windows platform files: which names
 * are devices, the full path, and the \\?\ form that lifts MAX_PATH. */
#ifndef SWUG_PLATFORM_WINDOWS_PATH_H
#define SWUG_PLATFORM_WINDOWS_PATH_H

#include <cstddef>

/* What a name given by the user stands for. */
enum {
    NAME_FILE,           /* a file name: neither of the below */
    NAME_DEVICE,         /* a device by its plain name (NUL, COM5, out\nul) or in
                            the device namespace (\\.\COM5, \\?\GLOBALROOT\...) */
    NAME_DISGUISED       /* a device name with more after it (COM5.bin, nul.txt,
                            "NUL "), which Windows still takes as the device */
};

/* Classify the name as it was given, before anything is asked of the system. */
int name_kind(const wchar_t *name);

/* Store in out (count wide characters) the name as the file functions are
 * to be handed it: its full path (GetFullPathNameW, relative to the current
 * folder and drive), and, when that is longer than MAX_PATH - 12 characters,
 * its extended form \\?\C:\... or \\?\UNC\server\share\.... Names already in
 * the \\?\ or \\.\ form are left as Windows makes them. Returns 1, or 0 when
 * the result does not fit. */
int system_path(const wchar_t *name, wchar_t *out, size_t count);

/* Number of characters of the full path `full` that name its folder, up to
 * and including the last backslash, or 0 when it has none. */
size_t folder_length(const wchar_t *full);

#endif
