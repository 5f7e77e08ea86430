/* The forms of a Windows name for the Windows platform files: which names
 * are devices, the full path, and the \\?\ form that lifts MAX_PATH. */
#ifndef SWUG_PLATFORM_WINDOWS_PATH_H
#define SWUG_PLATFORM_WINDOWS_PATH_H

#include <cstddef>

/* What a name stands for, judged in the form the file functions are handed. */
enum {
    NAME_FILE,           /* a file name: none of the below */
    NAME_DEVICE,         /* spelled as a device, as a whole: a DOS device word
                            alone (NUL, COM5, CONOUT$) or a name in the device
                            namespace (\\.\COM5, \\.\pipe\x, \\?\GLOBALROOT\...) */
    NAME_DISGUISED,      /* any other name that Windows takes as a device: a device
                            word with more before or after it (out\nul, COM5.bin,
                            "NUL "), or one whose full path is a device (COM5\.) */
    NAME_STREAM,         /* a file name whose last component names a stream (a:b) */
    NAME_UNUSABLE        /* no form of it fits the buffer */
};

/* Store in out (count wide characters) the name as the file functions are
 * to be handed it, and return what that form stands for (NAME_*).
 * A name given in the \\?\ form is handed over exactly as given: Windows
 * sends it to the file system without parsing it, so a DOS device word or a
 * trailing dot in it is part of a file name, and only what follows the
 * prefix (a drive, UNC\ or Volume{...}\, else a device) decides. So is a
 * \??\ name, which is the system's own (taken as a device), and a name
 * spelled as a device (NAME_DEVICE). Any other name becomes its full path
 * (GetFullPathNameW, relative to the current folder and drive), in which
 * "." and ".." are resolved and trailing dots and spaces cut off; it is
 * NAME_DISGUISED when the name as given (the full path of "COM5.bin" is
 * \\.\COM5 already) or its full path, which is what Windows opens, reaches a
 * device. A file whose full path is longer than MAX_PATH - 12 characters is
 * handed over in its extended form \\?\C:\... or \\?\UNC\server\share\...;
 * a device name never is, since the prefix would make it a file. */
int system_path(const wchar_t *name, wchar_t *out, size_t count);

/* Number of characters of the full path `full` that name its folder, up to
 * and including the last backslash, or 0 when it has none. */
size_t folder_length(const wchar_t *full);

#endif
