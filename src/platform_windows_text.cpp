/* The Windows platform layer's text: UTF-8 arguments from the Unicode
 * command line, the UTF-8 console, and the conversions the file functions
 * use. */
#include "platform.h"
#include "platform_windows_text.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <io.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

int utf8_to_wide(const char *utf8, wchar_t *out, size_t count)
{
    if (count == 0 || count > INT_MAX)
        return 0;
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, out, (int)count) > 0;
}

int wide_to_utf8(const wchar_t *wide, char *out, size_t size)
{
    if (size == 0 || size > INT_MAX)
        return 0;
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, out, (int)size, NULL,
                               NULL) > 0;
}

/* msvcrt's own parser of the Unicode command line: the same rules that made
 * the ANSI arguments, so quoting works as before. It is in msvcrt.dll, which
 * the program imports anyway (CommandLineToArgvW would add SHELL32.dll). */
struct msvcrt_startupinfo {
    int new_mode;
};
extern "C" int __cdecl __wgetmainargs(int *argc, wchar_t ***argv, wchar_t ***env,
                                      int expand_wildcards, msvcrt_startupinfo *info);

/* A command line holds at most 32767 UTF-16 units. Each becomes at most 3
 * bytes of UTF-8 (a surrogate pair, 2 units, becomes 4); every argument but
 * the last is followed by at least one unit that ends it, which pays for its
 * terminator, and takes at least one more of its own (a character, or two
 * quotes): so no command line Windows can give us overflows these. */
constexpr size_t CMDLINE_UNITS = 32767;
static char arg_text[3 * CMDLINE_UNITS + 2];
static char *arg_list[CMDLINE_UNITS / 2 + 3];

int platform_utf8_args(int *argc, char ***argv)
{
    int wargc = 0;
    wchar_t **wargv = NULL, **wenv = NULL;
    msvcrt_startupinfo info = {0};
    size_t used = 0;

    /* no wildcard expansion: the ANSI arguments had none either */
    if (__wgetmainargs(&wargc, &wargv, &wenv, 0, &info) != 0 || wargc < 0 ||
        (size_t)wargc >= sizeof arg_list / sizeof arg_list[0])
        return 0;
    for (int i = 0; i < wargc; i++) {
        int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wargv[i], -1, arg_text + used,
                                    (int)(sizeof arg_text - used), NULL, NULL);
        if (n <= 0)
            return 0;
        arg_list[i] = arg_text + used;
        used += (size_t)n;
    }
    arg_list[wargc] = NULL;
    *argc = wargc;
    *argv = arg_list;
    return 1;
}

static UINT saved_output_cp; /* the console's output code page before ours, or 0 */
static char out_buffer[1 << 16];  /* standard output, when it is a console */
static char err_buffer[1 << 12];  /* standard error, when it is a console */

static void restore_console(void)
{
    fflush(stdout);
    fflush(stderr);
    if (saved_output_cp != 0)
        SetConsoleOutputCP(saved_output_cp);
}

/* Ctrl-C and the like: give the console its code page back, then let the
 * next handler (in the end Windows' own, which ends the process) go on. */
static BOOL WINAPI restore_console_on_event(DWORD event)
{
    (void)event;
    restore_console();
    return FALSE;
}

/* Is the stream a console? Then write it raw (binary mode: a C runtime may
 * otherwise re-encode console text from its own locale) and in whole
 * blocks, so that each write hands the console complete UTF-8 sequences:
 * the C runtime would write an unbuffered stream in pieces. A console
 * starts a new line at "\n" alone. */
static int raw_console_stream(FILE *stream, char *buffer, size_t size)
{
    DWORD mode;
    int fd = _fileno(stream);

    if (fd < 0 || !GetConsoleMode((HANDLE)_get_osfhandle(fd), &mode))
        return 0;
    fflush(stream);
    _setmode(fd, _O_BINARY);
    setvbuf(stream, buffer, _IOFBF, size);
    return 1;
}

/* The console is set to read our bytes as UTF-8 (code page 65001). The code
 * page belongs to the console, not to us (the shell that started us shares
 * it), so it is changed only when we write to a console, and put back on
 * the way out. Pipes and files keep the C runtime's text mode and get our
 * UTF-8 bytes unchanged. */
void platform_utf8_console(void)
{
    int out = raw_console_stream(stdout, out_buffer, sizeof out_buffer);
    int err = raw_console_stream(stderr, err_buffer, sizeof err_buffer);
    UINT cp = GetConsoleOutputCP();

    if ((!out && !err) || cp == 0)
        return;
    if (atexit(restore_console) != 0) /* no way to put it back at the end: left as it is */
        return;
    if (cp == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8))
        return;
    saved_output_cp = cp;
    SetConsoleCtrlHandler(restore_console_on_event, TRUE);
}
