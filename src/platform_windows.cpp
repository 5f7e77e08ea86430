/* The platform layer on Windows: key wait, current directory and input
 * files, through the C runtime and the Win32 API; the output file is in
 * platform_windows_output.cpp. Paths come in as UTF-8 and reach Windows only
 * through its wide (UTF-16) functions, as full paths in the \\?\ form when
 * they are long; the conversions are in platform_windows_text.cpp, the name
 * forms in platform_windows_path.cpp. */
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <conio.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include "dir_separators.h"
#include "platform_windows.h"
#include "platform_windows_path.h"
#include "platform_windows_text.h"

/* What the closing prompt is doing, for the console-event handler. */
enum { WAIT_NONE, WAIT_CONSOLE, WAIT_INPUT, WAIT_OVER };
static volatile LONG waiting_key;
static HANDLE key_given; /* WAIT_INPUT: set when the wait is to end */
static int service_session; /* run in session 0, where services run */

/* Hand the console a key press (Enter), as if the user had typed it. */
static int press_key(void)
{
    INPUT_RECORD key = {};
    DWORD done;

    key.EventType = KEY_EVENT;
    key.Event.KeyEvent.bKeyDown = TRUE;
    key.Event.KeyEvent.wRepeatCount = 1;
    key.Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
    key.Event.KeyEvent.uChar.UnicodeChar = L'\r';
    return WriteConsoleInputW(GetStdHandle(STD_INPUT_HANDLE), &key, 1, &done) && done == 1;
}

/* End the closing prompt's wait as a key would; 1 when there was one. */
static int end_wait(void)
{
    switch (waiting_key) {
    case WAIT_CONSOLE:
        return press_key();
    case WAIT_INPUT:
        return SetEvent(key_given);
    case WAIT_OVER:
        return 1; /* the run is ending with its own status */
    default:
        return 0;
    }
}

/* Ctrl-C, Ctrl-Break, closing the console window, logoff, shutdown: remove
 * the temporary output (see platform_windows_output.cpp) and end the process
 * with the status Windows gives an interrupted console program. We end it
 * ourselves rather than leave it to the default handler, so that no system
 * ever reports an interrupted run as a success. At the closing prompt
 * Ctrl-C and Ctrl-Break end the wait as a key would, whatever standard input
 * is, and the run ends with its own status. In session 0, where a service
 * (a build agent) runs us, a logoff is some user's leaving the machine: it
 * is passed on, and the default handler of a program a service runs lets
 * the run go on. */
static BOOL WINAPI on_console_event(DWORD event)
{
    if (event == CTRL_LOGOFF_EVENT && service_session)
        return FALSE;
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && end_wait())
        return TRUE;
    output_quit();
    ExitProcess(STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void platform_init(void)
{
    DWORD session;

    if (ProcessIdToSessionId(GetCurrentProcessId(), &session))
        service_session = session == 0;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

/* One byte of standard input, or its end, on a thread of its own. */
static DWORD WINAPI read_key(void *in)
{
    unsigned char c;
    DWORD got;

    if (!ReadFile((HANDLE)in, &c, 1, &got, NULL)) {
        /* end of a pipe, or nothing to read from: nothing to wait for */
    }
    SetEvent(key_given);
    return 0;
}

/* _getch reads the console itself, not standard input, so it is used only
 * when standard input is that console (msvcrt reads it raw: Ctrl-C is a key
 * press there). Otherwise (a pipe, a file, NUL, or no standard input at all)
 * we wait for one byte of it, so that a script is never left waiting; that
 * byte is read on a thread of its own, so that a Ctrl-C can end the wait
 * without one. _isatty cannot tell: it is true for NUL too. */
void platform_wait_key(void)
{
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;

    fflush(stdout);
    if (in == NULL || in == INVALID_HANDLE_VALUE)
        return;
    if (GetConsoleMode(in, &mode)) {
        InterlockedExchange(&waiting_key, WAIT_CONSOLE);
        _getch();
        InterlockedExchange(&waiting_key, WAIT_OVER);
        return;
    }
    HANDLE reader = NULL;
    key_given = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (key_given != NULL) {
        InterlockedExchange(&waiting_key, WAIT_INPUT);
        reader = CreateThread(NULL, 0, read_key, in, 0, NULL);
    }
    if (reader == NULL) {
        InterlockedExchange(&waiting_key, WAIT_NONE);
        read_key(in); /* without a thread: one byte on this one */
        return;
    }
    CloseHandle(reader); /* it runs on; the process ends it if the wait ends first */
    WaitForSingleObject(key_given, INFINITE);
    InterlockedExchange(&waiting_key, WAIT_OVER);
}

/* Windows reports the directory with backslashes; the rest of the tool
 * composes paths with '/'. It is asked in UTF-16 and converted to UTF-8
 * before the rewrite, which then sees whole characters only: in UTF-8 a
 * 0x5C byte is always a backslash, while in code pages such as 932 it is
 * also the second byte of many characters. A directory whose UTF-8 form
 * does not fit in size bytes fails; it is never cut short.
 * A network-share directory (\\server\share\...)
 * is refused: the rewrite would turn it into /server/share/..., which
 * Windows takes as a folder under the root of the current share, so "./"
 * arguments would name other files than the ones meant. */
int platform_getcwd(char *buf, size_t size)
{
    static wchar_t wide[PLATFORM_PATH_SIZE];

    if (_wgetcwd(wide, (int)(sizeof wide / sizeof wide[0])) == NULL ||
        !wide_to_utf8(wide, buf, size))
        return 0;
    if ((buf[0] == '\\' || buf[0] == '/') && (buf[1] == '\\' || buf[1] == '/'))
        return 0;
    normalise_dir_separators(buf);
    return 1;
}

/* No device is ever opened as input, not even to be turned down after: opening
 * a serial port alone can reset the board on it. A name that reaches one
 * anyway (a link, a pipe) is refused once the handle tells, before any read. */
int platform_open_input(const char *path, PLATFORM_IN *in)
{
    static wchar_t given[PLATFORM_PATH_SIZE], wide[PLATFORM_PATH_SIZE];

    if (!utf8_to_wide(path, given, PLATFORM_PATH_SIZE))
        return 0;
    int kind = system_path(given, wide, PLATFORM_PATH_SIZE);
    if (kind != NAME_FILE && kind != NAME_STREAM)
        return 0;
    HANDLE h = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 0; /* a folder too: it opens only with FILE_FLAG_BACKUP_SEMANTICS */
    int fd = GetFileType(h) == FILE_TYPE_DISK ? _open_osfhandle((intptr_t)h, _O_RDONLY) : -1;
    if (fd < 0) {
        CloseHandle(h);
        return 0;
    }
    in->fd = fd;
    return 1;
}

int platform_input_size(PLATFORM_IN *in, uint64_t *size)
{
    struct _stat64 st;

    if (_fstat64(in->fd, &st) != 0 || st.st_size < 0)
        return 0;
    *size = (uint64_t)st.st_size;
    return 1;
}

int platform_read(PLATFORM_IN *in, uint8_t *buf, uint32_t len)
{
    uint32_t done = 0;

    while (done < len) {
        unsigned int chunk = len - done > 0x40000000u ? 0x40000000u : len - done;
        int n = _read(in->fd, buf + done, chunk);
        if (n <= 0)
            return 0;
        done += (uint32_t)n;
    }
    return 1;
}

void platform_close_input(PLATFORM_IN *in)
{
    _close(in->fd);
    in->fd = -1;
}

/* Windows maps the pages as they are touched; there is nothing to ask for. */
void platform_prefault(void *p, size_t len)
{
    (void)p;
    (void)len;
}

/* In text mode the C runtime would turn CR LF into LF and stop at the first
 * Ctrl-Z byte: an image is read in binary mode. */
int platform_read_stdin(uint8_t *buf, uint32_t max, uint32_t *got)
{
    *got = 0;
    if (_setmode(_fileno(stdin), _O_BINARY) == -1)
        return 0;
    while (*got < max) {
        unsigned int chunk = max - *got > 0x40000000u ? 0x40000000u : max - *got;
        int n = _read(_fileno(stdin), buf + *got, chunk);
        if (n < 0)
            return 0;
        if (n == 0)
            break;
        *got += (uint32_t)n;
    }
    return 1;
}
