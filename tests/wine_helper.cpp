/* A second Windows program for the Wine tests, doing what another program
 * on the user's machine might:
 *
 *   hold FILE MS     keep FILE open without sharing deletion for MS ms
 *                    (a virus scanner reading the old output), and open any
 *                    .swug-gen-*.tmp beside it the same way as soon as it
 *                    can, keeping it; "holding" on standard output once FILE
 *                    is open, the status is the number of temporary files
 *                    it got hold of
 *   break EXE        run EXE on our console with its output through a pipe,
 *                    give it a Ctrl-Break once its closing prompt is shown; the
 *                    status is EXE's, what it printed goes to our output */
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static const DWORD NO_DELETE = FILE_SHARE_READ | FILE_SHARE_WRITE;

static int hold(const wchar_t *file, DWORD ms)
{
    wchar_t pattern[MAX_PATH], name[MAX_PATH];
    const wchar_t *slash = wcsrchr(file, L'\\');
    int dir = slash ? (int)(slash - file) + 1 : 0, got = 0;
    HANDLE h = CreateFileW(file, GENERIC_READ, NO_DELETE, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE)
        return 100;
    printf("holding\n");
    fflush(stdout);
    swprintf(pattern, MAX_PATH, L"%.*ls.swug-gen-*.tmp", dir, file);
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(1)) {
        WIN32_FIND_DATAW found;
        HANDLE f = FindFirstFileW(pattern, &found);
        if (f == INVALID_HANDLE_VALUE)
            continue;
        FindClose(f);
        swprintf(name, MAX_PATH, L"%.*ls%ls", dir, file, found.cFileName);
        got += CreateFileW(name, GENERIC_READ, NO_DELETE, NULL, OPEN_EXISTING, 0, NULL) !=
               INVALID_HANDLE_VALUE;
    }
    return got;
}

static int press_break(const wchar_t *exe)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
    HANDLE rd, wr, con = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, NO_DELETE, &inherit,
                                     OPEN_EXISTING, 0, NULL);
    if (con == INVALID_HANDLE_VALUE || !CreatePipe(&rd, &wr, &inherit, 0))
        return 100;
    SetHandleInformation(rd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = con;
    si.hStdOutput = si.hStdError = wr;
    PROCESS_INFORMATION pi;
    wchar_t cmd[MAX_PATH + 2];
    swprintf(cmd, MAX_PATH + 2, L"\"%ls\"", exe);
    if (!CreateProcessW(NULL, cmd, NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi))
        return 101;
    CloseHandle(wr);
    char text[4096];
    DWORD n, len = 0;
    while (len < sizeof text - 1 && ReadFile(rd, text + len, sizeof text - 1 - len, &n, NULL) && n) {
        len += n;
        text[len] = 0;
        if (strstr(text, "Press any key to exit!"))
            break;
    }
    fwrite(text, 1, len, stdout);
    fflush(stdout);
    /* as Windows hands a console event to a process: a thread of its own
     * started at CtrlRoutine, with the event (Wine sends no Ctrl-Break) */
    FARPROC ctrl = GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine");
    if (!ctrl || !CreateRemoteThread(pi.hProcess, NULL, 0, (LPTHREAD_START_ROUTINE)(void *)ctrl,
                                     (void *)(ULONG_PTR)CTRL_BREAK_EVENT, 0, NULL))
        TerminateProcess(pi.hProcess, 104);
    DWORD status = 102;
    if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0)
        TerminateProcess(pi.hProcess, 103);
    GetExitCodeProcess(pi.hProcess, &status);
    return (int)status;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc == 4 && wcscmp(argv[1], L"hold") == 0)
        return hold(argv[2], (DWORD)wcstoul(argv[3], NULL, 10));
    if (argc == 3 && wcscmp(argv[1], L"break") == 0)
        return press_break(argv[2]);
    return 99;
}
