/* Windows names: which are spelled as devices and which reach one otherwise,
 * as Windows 10 reads them; full paths and the extended \\?\ form. Nothing
 * here opens a file. */
#include "platform_windows_path.h"

#include <cstring>
#include <cwchar>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* Longest full path handed to Windows as it is: MAX_PATH less the room a
 * folder must leave for an 8.3 name, the strictest of the limits the file
 * functions apply to names without the \\?\ prefix. */
constexpr size_t PLAIN_PATH_MAX = MAX_PATH - 12;

static int is_separator(wchar_t c)
{
    return c == L'\\' || c == L'/';
}

static wchar_t ascii_upper(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? (wchar_t)(c - L'a' + L'A') : c;
}

/* Do the n characters at s spell word (upper case ASCII), in any case? */
static int same_word(const wchar_t *s, size_t n, const char *word)
{
    if (n != strlen(word))
        return 0;
    for (size_t i = 0; i < n; i++)
        if (ascii_upper(s[i]) != (wchar_t)word[i])
            return 0;
    return 1;
}

/* Is the base name s[0 .. n) a DOS device: CON, PRN, AUX, NUL, CONIN$,
 * CONOUT$ (devices since Windows 8), or COM and LPT with a digit 0 to 9 or
 * a superscript 1, 2 or 3 (which Windows counts as digits too)? */
static int device_base(const wchar_t *s, size_t n)
{
    if (same_word(s, n, "CON") || same_word(s, n, "PRN") || same_word(s, n, "AUX") ||
        same_word(s, n, "NUL") || same_word(s, n, "CONIN$") || same_word(s, n, "CONOUT$"))
        return 1;
    if (n != 4 || !(same_word(s, 3, "COM") || same_word(s, 3, "LPT")))
        return 0;
    wchar_t d = s[3];
    return (d >= L'0' && d <= L'9') || d == 0x00B9 || d == 0x00B2 || d == 0x00B3;
}

/* "\\.\", "\\?\" (either separator) or "\??\": the name is meant for the
 * object manager's namespace, not for the DOS rules. Returns the length of
 * the prefix, or 0. */
static size_t namespace_prefix(const wchar_t *name)
{
    if (is_separator(name[0]) && is_separator(name[1]) && (name[2] == L'.' || name[2] == L'?') &&
        is_separator(name[3]))
        return 4;
    if (name[0] == L'\\' && name[1] == L'?' && name[2] == L'?' && name[3] == L'\\')
        return 4;
    return 0;
}

/* A name in the device namespace: a namespace prefix not followed by a
 * drive or UNC, the only places the \\.\ namespace holds files. */
static int device_namespace(const wchar_t *name)
{
    size_t ns = namespace_prefix(name);
    if (ns == 0)
        return 0;
    const wchar_t *p = name + ns;
    int drive = p[0] != 0 && p[1] == L':' && is_separator(p[2]);
    int unc = same_word(p, 3, "UNC") && is_separator(p[3]);
    return name[1] == L'?' || !(drive || unc);
}

/* Spelled as a device, as a whole: a device word with nothing before or
 * after it (not even a space or a dot), or a device namespace name. */
static int spelled_as_device(const wchar_t *name)
{
    return device_base(name, wcslen(name)) || device_namespace(name);
}

/* Does Windows take the name (a relative or full path, or \\.\) for a
 * device? When it is in the device namespace, or when its last component
 * (after the last separator, or after a drive's "X:"), cut at the first
 * '.' or ':' with the spaces before the cut dropped, is a device word:
 * "COM5.bin", "aux.fw.bin", "NUL ", "nul:" and "out\nul" all open the
 * device. */
static int reaches_device(const wchar_t *name)
{
    if (device_namespace(name))
        return 1;
    const wchar_t *last = name;
    if (name[0] != 0 && name[1] == L':')
        last = name + 2;
    for (const wchar_t *p = name; *p; p++)
        if (is_separator(*p))
            last = p + 1;
    size_t n = 0;
    while (last[n] != 0 && last[n] != L'.' && last[n] != L':')
        n++;
    while (n > 0 && last[n - 1] == L' ')
        n--;
    return device_base(last, n);
}

/* Exactly "\\?\", backslashes only: the one prefix Windows does not parse
 * after ("//?/" is normalised like "\\.\"). */
static int extended_form(const wchar_t *name)
{
    return name[0] == L'\\' && name[1] == L'\\' && name[2] == L'?' && name[3] == L'\\';
}

/* What an extended name \\?\... names: a file under a drive, UNC\ or a
 * volume (Volume{...}\), a stream of one, or else a device. */
static int extended_kind(const wchar_t *name)
{
    const wchar_t *p = name + 4;
    int drive = p[0] != 0 && p[1] == L':' && p[2] == L'\\';
    int unc = same_word(p, 3, "UNC") && p[3] == L'\\';
    int volume = same_word(p, 7, "VOLUME{") && wcschr(p, L'}') != NULL &&
                 wcschr(p, L'}')[1] == L'\\';
    if (!(drive || unc || volume))
        return NAME_DEVICE;
    return wcschr(name + folder_length(name), L':') != NULL ? NAME_STREAM : NAME_FILE;
}

static int copy_name(const wchar_t *name, wchar_t *out, size_t count)
{
    size_t n = wcslen(name);
    if (n >= count)
        return 0;
    wmemcpy(out, name, n + 1);
    return 1;
}

int system_path(const wchar_t *name, wchar_t *out, size_t count)
{
    if (count == 0 || count > 0xFFFFFFFFu)
        return NAME_UNUSABLE;
    if (extended_form(name))
        return copy_name(name, out, count) ? extended_kind(name) : NAME_UNUSABLE;
    if (spelled_as_device(name)) /* \??\ names too: the system's own */
        return copy_name(name, out, count) ? NAME_DEVICE : NAME_UNUSABLE;
    DWORD n = GetFullPathNameW(name, (DWORD)count, out, NULL);
    if (n == 0 || n >= count)
        return NAME_UNUSABLE;
    if (reaches_device(name) || reaches_device(out)) /* out: what a "\." or ".." hid */
        return NAME_DISGUISED;
    int kind = wcschr(out + folder_length(out), L':') != NULL ? NAME_STREAM : NAME_FILE;
    if (n <= PLAIN_PATH_MAX || namespace_prefix(out) != 0)
        return kind;

    /* C:\dir\... becomes \\?\C:\dir\...; \\server\share\... becomes
     * \\?\UNC\server\share\.... The full path is already what Windows
     * would make of the name, so the prefix changes the length limit only. */
    const wchar_t *prefix;
    size_t keep; /* characters of the full path the prefix replaces */
    if (out[1] == L':' && out[2] == L'\\') {
        prefix = L"\\\\?\\";
        keep = 0;
    } else if (out[0] == L'\\' && out[1] == L'\\') {
        prefix = L"\\\\?\\UNC\\";
        keep = 2;
    } else {
        return kind;
    }
    size_t plen = wcslen(prefix);
    if (n - keep + plen >= count)
        return NAME_UNUSABLE;
    memmove(out + plen, out + keep, (n - keep + 1) * sizeof out[0]);
    memcpy(out, prefix, plen * sizeof out[0]);
    return kind;
}

size_t folder_length(const wchar_t *full)
{
    const wchar_t *sep = wcsrchr(full, L'\\');
    return sep == NULL ? 0 : (size_t)(sep - full) + 1;
}
