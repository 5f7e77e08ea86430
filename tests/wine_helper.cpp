/* A second Windows program for the Wine tests. "hold FILE MS": hold FILE open
 * without sharing deletion for MS ms (with "temp" after it: until MS ms after
 * a .swug-gen-*.tmp first appears beside it) and try to read any such
 * temporary file, sharing everything; status: how often it got one. "event C|B console|pipe EXE":
 * give EXE a Ctrl-C or a Ctrl-Break at its closing prompt, its standard input
 * the console or a pipe that stays open and empty; status: EXE's. */
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static const DWORD NO_DELETE = FILE_SHARE_READ | FILE_SHARE_WRITE;

static int hold(const wchar_t *file, DWORD ms, bool from_temp)
{
    wchar_t name[MAX_PATH];
    const wchar_t *slash = wcsrchr(file, L'\\');
    int dir = slash ? (int)(slash + 1 - file) : 0, got = 0;
    if (!slash || CreateFileW(file, GENERIC_READ, NO_DELETE, NULL, OPEN_EXISTING, 0, NULL) == INVALID_HANDLE_VALUE)
        return 100;
    printf("holding\n");
    fflush(stdout);
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms || from_temp; Sleep(1)) {
        WIN32_FIND_DATAW found;
        swprintf(name, MAX_PATH, L"%.*ls.swug-gen-*.tmp", dir, file);
        HANDLE f = FindFirstFileW(name, &found);
        if (f != INVALID_HANDLE_VALUE && FindClose(f)) {
            if (from_temp)
                start = GetTickCount();
            from_temp = false;
            swprintf(name, MAX_PATH, L"%.*ls%ls", dir, file, found.cFileName);
            got += CreateFileW(name, GENERIC_READ, NO_DELETE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING, 0, NULL) !=
                   INVALID_HANDLE_VALUE;
        }
    }
    return got;
}

static int console_event(const wchar_t *kind, const wchar_t *input, wchar_t *exe)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    STARTUPINFOW si = {};
    PROCESS_INFORMATION pi;
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    HANDLE rd, wr, key; /* key: the pipe's end that never writes */
    if (wcscmp(input, L"pipe") != 0)
        si.hStdInput = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, NO_DELETE, &inherit, OPEN_EXISTING, 0, NULL);
    else if (!CreatePipe(&si.hStdInput, &key, &inherit, 0) || !SetHandleInformation(key, HANDLE_FLAG_INHERIT, 0))
        return 100;
    if (!CreatePipe(&rd, &wr, &inherit, 0) || !SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0))
        return 100;
    si.hStdOutput = si.hStdError = wr;
    if (!CreateProcessW(exe, NULL, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
        return 101;
    CloseHandle(wr);
    char text[4096] = "";
    DWORD n, len = 0, status = 102;
    while (!strstr(text, "Press any key to exit!") && len < sizeof text - 1 &&
           ReadFile(rd, text + len, sizeof text - 1 - len, &n, NULL) && n)
        text[len += n] = 0;
    fwrite(text, 1, len, stdout);
    fflush(stdout);
    /* as Windows hands a console event to a process: a thread of its own
     * started at CtrlRoutine (Wine sends no Ctrl-Break) */
    FARPROC ctrl = GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine");
    if (!ctrl || !CreateRemoteThread(pi.hProcess, NULL, 0, (LPTHREAD_START_ROUTINE)(void *)ctrl,
                                     (void *)(ULONG_PTR)(kind[0] == L'C' ? CTRL_C_EVENT : CTRL_BREAK_EVENT), 0, NULL) ||
        WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 103);
    WaitForSingleObject(pi.hProcess, 5000);
    GetExitCodeProcess(pi.hProcess, &status);
    return (int)status;
}

int wmain(int argc, wchar_t **argv)
{
    if ((argc == 4 || argc == 5) && wcscmp(argv[1], L"hold") == 0)
        return hold(argv[2], (DWORD)wcstoul(argv[3], NULL, 10), argc == 5);
    if (argc == 5 && wcscmp(argv[1], L"event") == 0)
        return console_event(argv[2], argv[3], argv[4]);
    return 99;
}
