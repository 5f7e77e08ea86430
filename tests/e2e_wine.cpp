/* swug-gen.exe, the Windows build, run under Wine as a Windows user runs it:
 * the images it writes, "./" arguments from a Z:\ working directory,
 * failures, messages and the key wait on a console and off it.
 *
 * Wine and the exe come from outside this build tree (the windows preset).
 * Without them the tests are skipped with a message saying how to get them;
 * with CI set in the environment they fail instead, so CI never skips them. */
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string EXE = SWUG_GEN_EXE_PATH;
static const std::string WINE = SWUG_WINE_PATH;
static const std::string PREFIX = SWUG_WINE_PREFIX;
static const std::string LINUX_GEN = SWUG_GEN_PATH;
static const std::string HELPER_EXE = SWUG_WINE_HELPER_EXE_PATH;
static const std::string VERIFY_EXE = SWUG_VERIFY_EXE_PATH;
static const std::string PROMPT = "Press any key to exit!";
static const char IN[] = "data/KOVRIN_SW.bin";
static const char OUT[] = "out/KOVRIN_UPGRADE_SW.bin";

/* STATUS_CONTROL_C_EXIT (0xC000013A), as it reaches us through Wine's exit status */
static const int CONTROL_C_EXIT = 0x3A;

static const char HOWTO[] =
    "To run the Windows tests: apt-get install g++-mingw-w64-x86-64 wine64 wine locales, then "
    "cmake --preset windows && cmake --build --preset windows (bash scripts/build-windows.sh "
    "does both), then run the tests again.";

static bool in_ci()
{
    const char *ci = getenv("CI");
    return ci != nullptr && *ci != '\0' && strcmp(ci, "false") != 0 && strcmp(ci, "0") != 0;
}

/* Run Wine with standard input and output on /dev/null and its messages
 * appended to `log`. The background processes of a Wine session keep the
 * standard error of the wine command that started the session until the
 * session ends, so a session started this way holds none of our pipes.
 * Returns the exit status, or -1. */
static int quiet_wine(const std::vector<std::string> &args, const std::string &log)
{
    std::vector<std::string> argv = {WINE};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargv;
    for (auto &a : argv)
        cargv.push_back(&a[0]);
    cargv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        int err = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (null < 0 || err < 0 || chdir("/") != 0)
            _exit(127);
        dup2(null, 0);
        dup2(null, 1);
        dup2(err, 2);
        execv(cargv[0], cargv.data());
        _exit(127);
    }
    int st;
    if (pid < 0 || waitpid(pid, &st, 0) != pid || !WIFEXITED(st))
        return -1;
    return WEXITSTATUS(st);
}

/* Create the Wine prefix once, whichever test process gets here first (the
 * others wait on the lock), and have a Wine session running. Returns what
 * went wrong, or "". */
static std::string prepare_wine()
{
    std::string lock = PREFIX + ".lock", ready = PREFIX + "/.swug-ready", log = PREFIX + ".log";
    int fd = open(lock.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0)
        return "cannot create " + lock + ": " + strerror(errno);
    std::string err;
    if (flock(fd, LOCK_EX) != 0) {
        err = "cannot lock " + lock;
    } else if (!file_exists(ready)) {
        int st = quiet_wine({"wineboot", "--init"}, log);
        if (st != 0)
            err = "wineboot --init failed with status " + std::to_string(st) + ", see " + log;
        else
            write_file(ready, "");
    }
    close(fd);
    /* Right after a new prefix's wineboot its server may still be going
     * down ("recvmsg: Connection reset by peer"): the first program loses
     * its connection, the next one starts a server of its own. */
    int tries = 0;
    while (err.empty() && quiet_wine({"cmd", "/c", "exit"}, log) != 0)
        if (++tries == 3)
            err = "wine cannot run cmd, see " + log;
    return err;
}

struct Wine : ::testing::Test {
    void SetUp() override
    {
        std::string missing;
        if (access(WINE.c_str(), X_OK) != 0)
            missing = "Wine is not installed (no " + WINE + ")";
        else if (!file_exists(EXE) || !file_exists(HELPER_EXE))
            missing = "swug-gen.exe has not been built (no " + EXE + " or " + HELPER_EXE + ")";
        if (!missing.empty()) {
            if (in_ci())
                FAIL() << missing << ", and CI must run the Windows tests. " << HOWTO;
            GTEST_SKIP() << missing << ". " << HOWTO;
        }
        setenv("WINEPREFIX", PREFIX.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1); /* no Mono or Gecko set-up */
        unsetenv("DISPLAY");                              /* no window, ever */
        unsetenv("WAYLAND_DISPLAY");
        ASSERT_EQ(prepare_wine(), "");
    }
};

/* What a Windows console program prints, with its "\r\n" line ends as "\n". */
static std::string unix_lines(const std::string &s)
{
    std::string r;
    for (size_t i = 0; i < s.size(); i++)
        if (!(s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n'))
            r += s[i];
    return r;
}

/* A Unix path as Windows names it under Wine: Z:\tmp\... */
static std::string win_path(std::string unix_path)
{
    std::replace(unix_path.begin(), unix_path.end(), '/', '\\');
    return "Z:" + unix_path;
}

static RunResult wine_run(const std::vector<std::string> &args, const std::string &cwd,
                          const RunOptions &opt = RunOptions())
{
    std::vector<std::string> argv = {WINE, EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = run_program(argv, cwd, opt);
    r.out = unix_lines(r.out);
    return r;
}

/* n bytes of pattern() carrying what a text-mode file would change: Ctrl-Z
 * (end of file), CR LF (one line end) and a lone LF, at the start, in the
 * middle and at the end. */
static std::string awkward(size_t n, unsigned seed)
{
    static const char TEXT[] = "\x1a\r\n\n\x1a";
    std::string s = pattern(n, seed);
    for (size_t at : {(size_t)0, n / 2, n > 5 ? n - 5 : 0})
        for (size_t k = 0; k < 5 && at + k < n; k++)
            s[at + k] = TEXT[k];
    return s;
}

TEST_F(Wine, ImagesAcrossTheSizeBandsMatchTheLinuxBuild)
{
    TempDir d;
    for (size_t size : {1u, 2u, 3u, 4u, 5u, 204800u, 204801u, 409550u, 409551u, 1048576u}) {
        std::string input = awkward(size, (unsigned)size);
        write_file(d / "in.bin", input);
        RunResult r = wine_run({"in.bin", "out.bin"}, d.path);
        EXPECT_EQ(r.status, 0) << size;
        EXPECT_EQ(r.out, "") << size;
        std::string image = read_file(d / "out.bin");
        EXPECT_TRUE(image == reference_image(input)) << size << ": " << image.size() << " bytes";
        ASSERT_EQ(run_program({LINUX_GEN, "in.bin", "linux.bin"}, d.path).status, 0);
        EXPECT_TRUE(image == read_file(d / "linux.bin")) << size << ": differs from Linux";
    }
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{"in.bin", "linux.bin", "out.bin"}));
}

TEST_F(Wine, DotSlashArgumentsUseTheBackslashedWorkingDirectory)
{
    TempDir d; /* Wine's working directory is Z:\tmp\swug-test-...\fw */
    std::string input = awkward(70000, 7);
    make_dir(d / "fw");
    make_dir(d / "fw/out");
    write_file(d / "fw/in.bin", input);
    EXPECT_EQ(wine_run({"./in.bin", "./out/a.bin"}, d / "fw").status, 0);
    EXPECT_TRUE(read_file(d / "fw/out/a.bin") == reference_image(input));
    EXPECT_EQ(wine_run({"./in.bin", "./out\\b.bin"}, d / "fw").status, 0);
    EXPECT_TRUE(read_file(d / "fw/out/b.bin") == reference_image(input));
    /* ".\" is not "./": used as given, Windows takes it from the current folder */
    EXPECT_EQ(wine_run({".\\in.bin", "out\\c.bin"}, d / "fw").status, 0);
    EXPECT_TRUE(read_file(d / "fw/out/c.bin") == reference_image(input));
    EXPECT_EQ(list_dir(d / "fw/out"), (std::vector<std::string>{"a.bin", "b.bin", "c.bin"}));

    /* at the root of the drive (Z:\), "./x" becomes Z://x: the doubled slash works */
    std::string rel = d.path.substr(1) + "/fw/";
    EXPECT_EQ(wine_run({"./" + rel + "in.bin", "./" + rel + "out/d.bin"}, "/").status, 0);
    EXPECT_TRUE(read_file(d / "fw/out/d.bin") == reference_image(input));
}

/* Replaced whole, as a hidden and system file still (Wine's attrib shows
 * it), under Wine with its mode 0644 too: permissions are set only where
 * they differ from those the new file gets. Also while another program
 * holds it without sharing deletion and lets go half a second after the
 * temporary file appears: the move waits for it. */
TEST_F(Wine, ExistingOutputIsReplacedWhole)
{
    TempDir d;
    std::string input = awkward(1000, 3), win = "Z:" + d.path + "/out.bin";
    write_file(d / "in.bin", input);
    write_file(d / "out.bin", pattern(2000000, 9)); /* longer than the new image */
    ASSERT_EQ(chmod((d / "out.bin").c_str(), 0644), 0);
    auto attributes = [&] { return run_program({WINE, "attrib", win}, "/").out.substr(0, 5); };
    for (const char *set : {"+h", "+s"})
        run_program({WINE, "attrib", set, win}, "/");
    ASSERT_EQ(attributes(), "AS  H"); /* archive, system, hidden */
    EXPECT_EQ(wine_run({"in.bin", "out.bin"}, d.path).status, 0);
    EXPECT_TRUE(read_file(d / "out.bin") == reference_image(input));
    EXPECT_EQ(attributes(), "AS  H");
    struct stat st;
    EXPECT_TRUE(stat((d / "out.bin").c_str(), &st) == 0 && (st.st_mode & 07777) == 0644);

    int held;
    write_file(d / "out.bin", "old image");
    pid_t holder = start_program({WINE, HELPER_EXE, "hold", win_path(d / "out.bin"), "500", "temp"}, d.path, {}, &held);
    char said[8] = "";
    ASSERT_EQ(read(held, said, sizeof said), 8) << "the holder did not start";
    EXPECT_EQ(wine_run({"in.bin", "out.bin"}, d.path).status, 0) << "a held destination is waited for";
    EXPECT_EQ(finish_program(holder, held).status, 0) << "the holder got the temporary file";
    EXPECT_TRUE(read_file(d / "out.bin") == reference_image(input));

    std::string fw = awkward(250000, 4); /* the same file as input and output */
    write_file(d / "fw.bin", fw);
    EXPECT_EQ(wine_run({"fw.bin", "fw.bin"}, d.path).status, 0);
    EXPECT_TRUE(read_file(d / "fw.bin") == reference_image(fw));
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{"fw.bin", "in.bin", "out.bin"}));
}

/* Also an output linked to /dev/null, a failed flush (fsync() fails), and an
 * old output held open without sharing deletion by a program that tries to
 * read the temporary file: it must never get it (it shares only deletion, and
 * were our handle closed before the move, it would get it: the file stays). */
TEST_F(Wine, FailuresAreSilentAndLeaveEveryFileAsItWas)
{
    TempDir d;
    write_file(d / "empty.bin", "");
    write_file(d / "big.bin", pattern(1048577));
    write_file(d / "ok.bin", "abc");
    write_file(d / "old.bin", "old image");
    write_file(d / "ro.bin", "read-only image");
    ASSERT_EQ(chmod((d / "ro.bin").c_str(), 0444), 0);
    ASSERT_EQ(symlink("/dev/null", (d / "port.bin").c_str()), 0);
    make_dir(d / "dir");
    struct { const char *in, *out, *fault = ""; } cases[] = {
        {"missing.bin", "old.bin"}, {"empty.bin", "old.bin"}, {"big.bin", "old.bin"},
        {"dir", "old.bin"},         {"NUL", "old.bin"},       {"ok.bin", "nodir\\old.bin"},
        {"ok.bin", "dir"},          {"ok.bin", "ro.bin"},
        {"ok.bin", "port.bin"},     {"ok.bin", "old.bin", "flush"}, {"ok.bin", "old.bin", "held"},
    };
    for (auto &c : cases) {
        RunOptions opt;
        int held = -1, holder = -1;
        if (strcmp(c.fault, "flush") == 0)
            opt.env = {"LD_PRELOAD=" FAIL_OUTPUT_CALL_PATH, "SWUG_FAIL_CALL=fsync"};
        if (strcmp(c.fault, "held") == 0) {
            holder = start_program({WINE, HELPER_EXE, "hold", win_path(d / c.out), "6000"}, d.path, {}, &held);
            char said[8] = "";
            ASSERT_EQ(read(held, said, sizeof said), 8) << "the holder did not start";
        }
        RunResult r = wine_run({c.in, c.out}, d.path, opt);
        EXPECT_EQ(r.status, 1) << c.in << " -> " << c.out << " " << c.fault;
        EXPECT_EQ(r.out, "") << c.in << " -> " << c.out;
        if (holder > 0) { /* its status: how often it got hold of the temporary file */
            EXPECT_EQ(finish_program(holder, held).status, 0);
        }
    }
    EXPECT_EQ(read_file(d / "old.bin"), "old image");
    EXPECT_EQ(read_file(d / "ro.bin"), "read-only image");
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{"big.bin", "dir", "empty.bin", "ok.bin",
                                                          "old.bin", "port.bin", "ro.bin"}));
    EXPECT_TRUE(list_dir(d / "dir").empty());
}

/* The output's folder swapped, while the image is written, for a link to a
 * folder holding a file of the temporary file's name: status 0 only with the
 * image in the folder first opened (Windows: held, it cannot be renamed),
 * else 1 with the old output there (Wine: the move by names would take the
 * other file); the other folder's files stay. Wine deletes through a handle
 * only under the name it was opened by: our temporary file may stay. */
TEST_F(Wine, FolderSwappedForALinkDuringTheWriteRedirectsNothing)
{
    TempDir d;
    write_file(d / "in.bin", "abc");
    make_dir(d / "out");
    make_dir(d / "other");
    write_file(d / "out/fw.bin", "old image");
    write_file(d / "other/fw.bin", "other image");
    ASSERT_EQ(symlink("other", (d / "link").c_str()), 0);
    RunOptions opt;
    opt.env = {"LD_PRELOAD=" STALL_TEMP_WRITE_PATH, "SWUG_STALL_SWAP_FROM=" + d / "out",
               "SWUG_STALL_SWAP_TO=" + d / "link"};
    int status = wine_run({"in.bin", "out\\fw.bin"}, d.path, opt).status;
    EXPECT_TRUE(status == 0 ? read_file(d / "link/fw.bin") == reference_image("abc") /* first opened */
                            : status == 1 && read_file(d / "link/fw.bin") == "old image") << status;
    EXPECT_EQ(read_file(d / "other/fw.bin"), "other image");
}

/* Run argv with Wine's trace of its file calls (WINEDEBUG=+file) in `trace`N;
 * gives its status and the names handed to CreateFileW, DeleteFileW and, as
 * the source of a move, MoveFileWithProgressW (its target is the output,
 * opened before). A run whose status is not `expect` is run once more, and
 * the names of both runs count, as do the files both left: a traced run
 * under CI load has ended with status 1 twice where the same run passes
 * hundreds of times here, and how the program judges a name does not
 * depend on timing. What the first run's trace said is printed, so the
 * test's log keeps it. */
struct Traced {
    int status = -1;
    std::vector<std::string> names;
    std::string retried; /* Wine's messages of a first run that was retried */
};

static Traced traced_run(const std::vector<std::string> &argv, const std::string &cwd,
                         const std::string &trace, int expect)
{
    static int runs;
    Traced r;
    for (int attempt = 0; attempt < 2 && r.status != expect; attempt++) {
        std::string file = trace + std::to_string(++runs); /* a process of the run may outlive it */
        std::vector<std::string> sh = {"/bin/sh", "-c", "exec \"$@\" 2>" + file, "sh"};
        sh.insert(sh.end(), argv.begin(), argv.end());
        RunOptions opt;
        opt.env = {"WINEDEBUG=+file"};
        r.status = run_program(sh, cwd, opt).status;
        std::string t = read_file(file);
        for (const char *call : {":CreateFileW L", ":MoveFileWithProgressW (L", ":DeleteFileW L"})
            for (size_t n = t.find(call); n != std::string::npos; n = t.find(call, n)) {
                std::string name; /* \\ stands for \ */
                for (n = t.find('"', n) + 1; n < t.size() && t[n] != '"'; n++)
                    name += t[n] == '\\' ? t[++n] : t[n];
                r.names.push_back(name);
            }
        if (r.status != expect && attempt == 0) {
            r.retried = "first run: status " + std::to_string(r.status) + "\n";
            for (size_t at = 0, end; at < t.size() && r.retried.size() < 4000; at = end + 1) {
                end = std::min(t.find('\n', at), t.size());
                std::string line = t.substr(at, end - at);
                if (line.find(":trace:") == std::string::npos && line.find(":warn:") == std::string::npos)
                    r.retried += line + "\n";
            }
            std::cerr << argv[1] << " retried; " << r.retried;
        }
    }
    return r;
}

/* COM1 mapped to `file`, while a Wine process holds the session open: Wine
 * points com1 back at /dev/ttyS0 when a session starts. Then put back. */
struct Com1OnFile {
    std::string link = PREFIX + "/dosdevices/com1", before = std::string(4096, '\0');
    pid_t session;
    Com1OnFile(const std::string &file, const std::string &keep)
    {
        if ((session = fork()) == 0) {
            dup2(open("/dev/null", O_RDWR), 1);
            execl(WINE.c_str(), WINE.c_str(), HELPER_EXE.c_str(), "hold", win_path(keep).c_str(), "600000", nullptr);
            _exit(127);
        }
        quiet_wine({"cmd", "/c", "exit"}, PREFIX + ".log"); /* the session is up, com1 reset */
        before.resize((size_t)std::max<ssize_t>(0, readlink(link.c_str(), &before[0], before.size())));
        unlink(link.c_str());
        EXPECT_EQ(symlink(file.c_str(), link.c_str()), 0);
    }
    ~Com1OnFile()
    {
        unlink(link.c_str());
        EXPECT_TRUE(before.empty() || symlink(before.c_str(), link.c_str()) == 0) << before;
        kill(session, SIGKILL);
        waitpid(session, nullptr, 0);
    }
};

/* A device only when spelled as one, as a whole: NUL and \\.\NUL are written
 * in place; a device name with more before or after it (out\nul, which
 * Windows 10 opens as the device), also where a "\." or ".." hides it from
 * the name as typed, and a stream are refused, and no device is read:
 * nothing is opened under such a name, nothing written (COM1 is mapped to a
 * FIFO here, a character stream as a serial port is). Under \\?\ a device
 * word and a trailing dot are a file's own name. Wine takes superscript
 * digits and streams as plain names: our own rule shows. */
TEST_F(Wine, DevicesOnlyWhenNamedAsDevices)
{
    TempDir d, t;
    write_file(d / "in.bin", "abc");
    write_file(d / "b.bin", "b image");
    write_file(d / "COM¹.bin", "abc");
    ASSERT_EQ(mkfifo((d / "line").c_str(), 0644), 0);
    int line = open((d / "line").c_str(), O_RDWR | O_NONBLOCK); /* so that a write never blocks */
    ASSERT_EQ(write(line, "serial line", 11), 11);
    make_dir(d / "out");
    write_file(t / "keep", "");
    Com1OnFile com1(d / "line", t / "keep");
    std::string ext = "\\\\?\\" + win_path(d.path) + "\\";
    struct { std::string in, out; int status; } cases[] = {
        {"in.bin", "NUL", 0},           {"in.bin", "out\\nul", 1},        {"in.bin", "./out/NUL", 1},
        {"in.bin", "\\\\.\\NUL", 0},   {"in.bin", "out\\COM1.bin", 1},   {"in.bin", "out\\aux.fw.bin", 1},
        {"in.bin", "nul.txt", 1},       {"in.bin", "NUL  ", 1},            {"in.bin", "out\\Nul.", 1},
        {"in.bin", "out\\com¹.bin", 1}, {"in.bin", "out\\LPT3 .txt", 1}, {"in.bin", "in.bin:fw", 1},
        {"in.bin", "out\\new.bin:fw", 1}, {"COM1", "out\\a.bin", 1},      {"COM¹.bin", "out\\a.bin", 1},
        {"in.bin", "out\\COM1.bin\\.", 1}, {"in.bin", "out\\x\\..\\COM1.bin\\.", 1},
        {"in.bin", "out\\aux.fw.bin\\.", 1}, {"COM1\\.", "out\\a.bin", 1}, {"out\\..\\COM1\\.", "out\\a.bin", 1},
        {"in.bin", "COM1\\.", 1},       {"in.bin", "COM1.\\.", 1},       {"in.bin", "out\\COM1\\.", 1},
        {"in.bin", ext + "b.bin.", 0},  {"in.bin", ext + "COM1.bin", 0},
    };
    for (auto &c : cases) {
        Traced run = traced_run({WINE, EXE, c.in, c.out}, d.path, t / "trace", c.status);
        EXPECT_EQ(run.status, c.status) << c.in << " -> " << c.out << "\n" << run.retried;
        std::string refused = c.in == "in.bin" ? c.out : c.in;
        while (refused.size() > 2 && refused.compare(refused.size() - 2, 2, "\\.") == 0)
            refused.resize(refused.size() - 2);
        refused = refused.substr(refused.find_last_of("\\/") + 1);
        for (const std::string &name : run.names) /* nothing is opened under a refused name */
            EXPECT_TRUE(c.status == 0 || name.find(refused) == std::string::npos) << name;
    }
    for (const char *hidden : {"COM1\\.", "out\\..\\COM1\\."}) /* swug-verify.exe reads no device either */
        EXPECT_EQ(run_program({WINE, VERIFY_EXE, hidden}, d.path).status, 2) << hidden;
    PtyRun console({WINE, EXE, "in.bin", "CONOUT$.bin"}, d.path); /* CONOUT$ is a device word too */
    EXPECT_TRUE(console.ended(60) && console.status == 1) << console.out;
    char got[4096];
    ssize_t n = read(line, got, sizeof got);
    EXPECT_EQ(std::string(got, (size_t)std::max<ssize_t>(n, 0)), "serial line");
    close(line);
    EXPECT_EQ(read_file(d / "in.bin"), "abc");
    EXPECT_EQ(read_file(d / "b.bin"), "b image");
    EXPECT_TRUE(read_file(d / "b.bin.") == reference_image("abc"));
    EXPECT_TRUE(read_file(d / "COM1.bin") == reference_image("abc"));
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{"COM1.bin", "COM¹.bin", "b.bin", "b.bin.",
                                                          "in.bin", "line", "out"}));
    EXPECT_TRUE(list_dir(d / "out").empty());
}

TEST_F(Wine, InteractiveMessages)
{
    std::string input = awkward(300000, 1);
    {
        Workspace w(&input);
        RunResult r = wine_run({}, w.path);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "data/KOVRIN_SW.bin len= 300000\n" + PROMPT);
        EXPECT_TRUE(read_file(w / OUT) == reference_image(input));
    }
    for (auto &c : interactive_failures()) {
        Workspace w(c.input, c.with_out);
        RunResult r = wine_run({}, w.path);
        EXPECT_EQ(r.status, 1) << c.expect;
        EXPECT_EQ(r.out, c.expect + PROMPT);
        EXPECT_FALSE(file_exists(w / OUT));
    }
    std::string small = "abcde";
    Workspace w(&small);
    EXPECT_EQ(wine_run({"a"}, w.path).out, "Parameter Error [2]\n" + PROMPT);
    EXPECT_EQ(wine_run({"a"}, w.path).status, 1);
    RunResult r = wine_run({"a", "b", "c"}, w.path);
    EXPECT_EQ(r.out, "Parameter Error [4]\n" + PROMPT);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(list_dir(w / "out").empty());
}

/* The size line takes a 64-bit value: the C runtime's printf must agree with the format. */
TEST_F(Wine, InputOf4GiBShowsItsTrueSize)
{
    Workspace w(nullptr);
    std::string why = make_sparse_file(w / IN, 4294967296LL + 3);
    if (!why.empty())
        GTEST_SKIP() << "no sparse 4 GiB file here: " << why;
    RunResult r = wine_run({}, w.path);
    EXPECT_EQ(r.out, "data/KOVRIN_SW.bin len= 4294967299\n"
                     "Length of data/KOVRIN_SW.bin exceed limition\n" + PROMPT);
    EXPECT_FALSE(file_exists(w / OUT));
}

/* Without a console, standard input stands in for it: one byte or its end. */
TEST_F(Wine, WaitEndsWithStandardInputThatIsNotAConsole)
{
    TempDir d;
    for (Stdin in : {Stdin::Closed, Stdin::DevNull, Stdin::Data}) {
        RunOptions opt;
        opt.in = in;
        opt.in_data = "xy";
        RunResult r = wine_run({}, d.path, opt);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Open file (data/KOVRIN_SW.bin) failed\n" + PROMPT);
    }
}

/* The text on the screen: Wine's console draws with escape sequences and
 * moves the cursor forward over spaces. */
static std::string screen_text(const std::string &raw)
{
    std::string t;
    for (size_t i = 0; i < raw.size(); i++) {
        if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == '[') {
            size_t j = i + 2;
            while (j < raw.size() && !(raw[j] >= 0x40 && raw[j] <= 0x7e))
                j++;
            if (j < raw.size() && raw[j] == 'C') {
                int n = atoi(raw.substr(i + 2, j - i - 2).c_str());
                t.append(n > 0 ? (size_t)n : 1, ' ');
            }
            i = j;
        } else if (raw[i] == '\x1b' && i + 1 < raw.size() && raw[i + 1] == ']') {
            while (i < raw.size() && raw[i] != '\a') /* a window title */
                i++;
        } else if (raw[i] != '\r') {
            t += raw[i];
        }
    }
    return t;
}

/* swug-gen.exe in an interactive run on a pseudo-terminal, which Wine turns
 * into the program's console. */
TEST_F(Wine, ConsoleWaitsForOneKeyWithoutEcho)
{
    std::string input = awkward(1000, 5);
    Workspace w(&input);
    PtyRun run({WINE, EXE}, w.path);
    ASSERT_GT(run.pid, 0);
    auto prompted = [&] { return screen_text(run.out).find(PROMPT) != std::string::npos; };
    ASSERT_TRUE(run.read_until(prompted)) << "no prompt: " << screen_text(run.out);
    EXPECT_FALSE(run.ended(1)) << "ended without a key press";
    ASSERT_TRUE(run.send("k"));
    ASSERT_TRUE(run.ended(60)) << "still waiting after the key";
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(screen_text(run.out), "data/KOVRIN_SW.bin len= 1000\n" + PROMPT)
        << "the key was echoed?";
    EXPECT_TRUE(read_file(w / OUT) == reference_image(input));
}

/* Ctrl-C and Ctrl-Break at the prompt end the wait as a key does, whatever
 * standard input is: here the console, or a pipe that stays open and empty
 * (Wine sends no Ctrl-Break: the helper starts the handler as Windows
 * does, on a thread at CtrlRoutine). */
TEST_F(Wine, CtrlBreakAtThePromptEndsTheWaitLikeAKey)
{
    std::string input = awkward(1000, 6);
    for (const char *event : {"B console", "C console", "C pipe"}) {
        Workspace w(&input);
        PtyRun run({WINE, HELPER_EXE, "event", std::string(event, 1), event + 2, "Z:" + EXE}, w.path);
        ASSERT_TRUE(run.ended(60)) << event << ": still waiting: " << screen_text(run.out);
        EXPECT_EQ(run.status, 0) << event;
        EXPECT_NE(screen_text(run.out).find("data/KOVRIN_SW.bin len= 1000\n" + PROMPT), std::string::npos)
            << event << ": " << screen_text(run.out);
        EXPECT_TRUE(read_file(w / OUT) == reference_image(input)) << event;
    }
}

/* _isatty() is true for NUL: a program that asks it would wait on the
 * console here, for a key that a script never sends. */
TEST_F(Wine, NulAsStandardInputEndsTheWaitEvenWithAConsole)
{
    TempDir d;
    PtyOptions no_console_input;
    no_console_input.null_stdin = true;
    PtyRun run({WINE, EXE}, d.path, no_console_input);
    ASSERT_GT(run.pid, 0);
    ASSERT_TRUE(run.ended(60)) << "still waiting: " << screen_text(run.out);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(screen_text(run.out), "Open file (data/KOVRIN_SW.bin) failed\n" + PROMPT);
}

/* Ctrl-C while the image is being written: every write to the temporary
 * file stalls, so the run is inside the output when the signal arrives,
 * which Wine hands to the program as a console Ctrl-C event. */
TEST_F(Wine, CtrlCWhileWritingRemovesTheTemporaryFile)
{
    TempDir d;
    write_file(d / "in.bin", pattern(5000));
    write_file(d / "out.bin", "old image");
    RunOptions opt;
    opt.env.push_back("LD_PRELOAD=" STALL_TEMP_WRITE_PATH);
    int fd;
    pid_t pid = start_program({WINE, EXE, "in.bin", "out.bin"}, d.path, opt, &fd);
    ASSERT_GT(pid, 0);
    bool writing = false;
    for (time_t end = time(nullptr) + 60; !writing && time(nullptr) < end; usleep(20000))
        for (const std::string &name : list_dir(d.path))
            writing = writing || name.rfind(".swug-gen-", 0) == 0;
    kill(pid, SIGINT);
    RunResult r = finish_program(pid, fd);
    EXPECT_TRUE(writing) << "no temporary file appeared";
    EXPECT_EQ(r.status, CONTROL_C_EXIT) << "an interrupted run must not look like a success";
    EXPECT_EQ(read_file(d / "out.bin"), "old image");
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{"in.bin", "out.bin"}));
}

/* The Windows release .zip: unpacked, its programs run on their own. */
TEST_F(Wine, ReleaseZipRunsOnItsOwn)
{
    const std::string zip = SWUG_WIN_ZIP_PATH;
    if (!file_exists(zip)) {
        if (in_ci())
            FAIL() << "no " << zip << ": bash scripts/package.sh builds it";
        GTEST_SKIP() << "no " << zip << ": bash scripts/package.sh builds it";
    }
    TempDir d;
    ASSERT_EQ(run_program({CMAKE_PATH, "-E", "tar", "xf", zip}, d.path).status, 0);
    std::vector<std::string> top = list_dir(d.path);
    ASSERT_EQ(top.size(), 1u);
    std::string dir = d / top[0];
    EXPECT_EQ(list_dir(dir),
              (std::vector<std::string>{"LICENSE.txt", "README.txt", "cmake", "swug-gen.exe",
                                        "swug-verify.exe", "swug-verify.schema.json"}));
    for (const char *text : {"/LICENSE.txt", "/README.txt"}) { // Notepad wants CRLF
        std::string t = read_file(dir + text);
        size_t lines = std::count(t.begin(), t.end(), '\n');
        EXPECT_GT(lines, 0u) << text;
        EXPECT_EQ(unix_lines(t).size() + lines, t.size()) << text << " has lines without CR";
    }

    std::string input = awkward(300000, 11);
    write_file(d / "in.bin", input);
    RunResult r = run_program({WINE, dir + "/swug-gen.exe", "in.bin", "out.bin"}, d.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(d / "out.bin") == reference_image(input));
    r = run_program({WINE, dir + "/swug-verify.exe", "out.bin", "in.bin"}, d.path);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(unix_lines(r.out).find("verdict:  valid, built from INPUT\n"), std::string::npos)
        << r.out;
    write_file(d / "other.bin", awkward(300000, 12));
    EXPECT_EQ(run_program({WINE, dir + "/swug-verify.exe", "out.bin", "other.bin"}, d.path).status, 1);
    /* "-" reads standard input in binary mode: CR LF and Ctrl-Z bytes stay as they are */
    RunOptions opt;
    opt.in = Stdin::Data;
    opt.in_data = read_file(d / "out.bin");
    ASSERT_NE(opt.in_data.find("\r\n"), std::string::npos);
    ASSERT_NE(opt.in_data.find('\x1a'), std::string::npos);
    signal(SIGPIPE, SIG_IGN); /* a program that stops reading early fails here, not this test */
    r = run_program({WINE, dir + "/swug-verify.exe", "-", "in.bin"}, d.path, opt);
    EXPECT_EQ(r.status, 0) << r.out;
}

/* Names in any language. Wine takes its ANSI code page from the Unix locale:
 * 932 (Japanese, where 0x5C is also the second byte of characters such as
 * ソ and 表) from ja_JP, 1252 (Western) from en_US. Both are built once with
 * localedef into the build tree; UTF-8 keeps the Unix names as they are. */
static const char *const LOCALES[] = {"ja_JP.UTF-8", "en_US.UTF-8"};

/* The folder to point LOCPATH at, or "" after a failure has been reported. */
static std::string wine_locales()
{
    std::string dir = PREFIX + "-locales", lock = dir + ".lock";
    int fd = open(lock.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (fd < 0 || flock(fd, LOCK_EX) != 0) {
        ADD_FAILURE() << "cannot lock " << lock;
        return "";
    }
    std::string tmp = dir + ".tmp", err;
    if (!file_exists(dir)) {
        run_program({"/bin/rm", "-rf", tmp}, "/");
        make_dir(tmp);
        for (const char *loc : LOCALES) {
            std::string name(loc);
            RunResult r = run_program({"/usr/bin/localedef", "-i", name.substr(0, name.find('.')), "-f",
                                       "UTF-8", tmp + "/" + name}, "/");
            if (r.status != 0)
                err = "localedef for " + name + " failed (apt-get install locales)";
        }
        if (err.empty() && rename(tmp.c_str(), dir.c_str()) != 0)
            err = "cannot rename " + tmp;
    }
    close(fd);
    if (!err.empty())
        ADD_FAILURE() << err;
    return err.empty() ? dir : "";
}

static RunOptions in_locale(const std::string &locpath, const char *locale)
{
    RunOptions opt;
    opt.env = {"LOCPATH=" + locpath, std::string("LANG=") + locale, std::string("LC_ALL=") + locale};
    return opt;
}

/* A program run on a pseudo-terminal (Wine's console) until it ends: the
 * text on its screen, wide enough that no line is wrapped. */
static std::string console_text(const std::vector<std::string> &argv, const std::string &cwd,
                                const RunOptions &opt)
{
    PtyOptions wide;
    wide.env = opt.env;
    wide.columns = 400;
    PtyRun run(argv, cwd, wide);
    run.ended(60);
    return screen_text(run.out);
}

/* Every name in every locale: the working folder with "./" arguments, full
 * paths as Windows writes them (Z:\...) and as Wine maps Unix ones, and
 * swug-verify.exe on the same paths, its report bytes unchanged in a pipe. */
TEST_F(Wine, FolderNamesInAnyLanguageInEveryLocale)
{
    std::string locpath = wine_locales();
    ASSERT_NE(locpath, "");
    TempDir d;
    unsigned seed = 100;
    for (const char *locale : LOCALES) {
        make_dir(d / locale);
        for (const char *name : {"ソ", "表", "ソフト", "é", "Прошивка", "あ"}) {
            std::string where = std::string(locale) + " " + name;
            std::string dir = d / locale + "/" + name;
            std::string input = awkward(3000 + seed, seed), win = "Z:" + dir;
            seed++;
            for (char &c : win)
                c = c == '/' ? '\\' : c;
            make_dir(dir);
            write_file(dir + "/in.bin", input);
            RunOptions opt = in_locale(locpath, locale);
            EXPECT_EQ(wine_run({"./in.bin", "./a.bin"}, dir, opt).status, 0) << where;
            EXPECT_TRUE(read_file(dir + "/a.bin") == reference_image(input)) << where;
            EXPECT_EQ(wine_run({win + "\\in.bin", dir + "/b.bin"}, d.path, opt).status, 0) << where;
            EXPECT_TRUE(read_file(dir + "/b.bin") == reference_image(input)) << where;
            RunResult v = run_program({WINE, VERIFY_EXE, dir + "/b.bin", win + "\\in.bin"}, d.path, opt);
            EXPECT_EQ(v.status, 0) << where << "\n" << v.out;
            EXPECT_EQ(v.out.rfind("image:    " + dir + "/b.bin, ", 0), 0u) << where << "\n" << v.out;
            EXPECT_NE(v.out.find("input:    " + win + "\\in.bin, "), std::string::npos) << where;
            EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"a.bin", "b.bin", "in.bin"})) << where;
        }
    }
}

/* On a console the names are shown as themselves, the report on standard
 * output and a failure on standard error alike. */
TEST_F(Wine, VerifyShowsNamesOnTheConsole)
{
    std::string locpath = wine_locales();
    ASSERT_NE(locpath, "");
    TempDir d;
    std::string dir = d / "ソフト表 Прошивка é";
    make_dir(dir);
    write_file(dir + "/in.bin", "abc");
    ASSERT_EQ(run_program({LINUX_GEN, "in.bin", "out.bin"}, dir).status, 0);
    for (const char *locale : LOCALES) {
        RunOptions opt = in_locale(locpath, locale);
        std::string screen = console_text({WINE, VERIFY_EXE, dir + "/out.bin", dir + "/ない.bin"}, d.path, opt);
        EXPECT_NE(screen.find("swug-verify: cannot open " + dir + "/ない.bin "), std::string::npos)
            << locale << ":\n" << screen;
        screen = console_text({WINE, VERIFY_EXE, dir + "/out.bin"}, d.path, opt);
        EXPECT_NE(screen.find("image:    " + dir + "/out.bin, 53 bytes\n"), std::string::npos)
            << locale << ":\n" << screen;
    }
}

/* The 300-byte path buffers hold UTF-8: a path of 299 bytes works, one of 300
 * fails and writes nothing, though in code page 932 (two bytes for あ, not
 * three) it would fit. As a "./" argument and as a full path. */
TEST_F(Wine, PathWhoseUtf8DoesNotFitFails)
{
    std::string locpath = wine_locales();
    ASSERT_NE(locpath, "");
    TempDir d;
    std::string folder, dir;
    for (int i = 0; i < 40; i++)
        folder += "あ";
    dir = d / folder;
    make_dir(dir);
    std::string base = "Z:" + dir + "/"; /* the composed path up to the file name */
    std::string input = awkward(5000, 21);
    for (size_t total : {299u, 300u}) {
        size_t room = total - base.size() - 4, k = std::min<size_t>(40, room / 3);
        std::string file;
        for (size_t i = 0; i < k; i++)
            file += "あ";
        file += std::string(room - 3 * k, 'x') + ".bin";
        ASSERT_EQ((base + file).size(), total);
        write_file(dir + "/" + file, input);
        for (const std::string &arg : {"./" + file, base + file}) {
            std::string where = std::to_string(total) + " bytes, " + arg.substr(0, 2);
            RunResult r = wine_run({arg, "./out.bin"}, dir, in_locale(locpath, "ja_JP.UTF-8"));
            EXPECT_EQ(r.status, total < 300 ? 0 : 1) << where;
            EXPECT_EQ(file_exists(dir + "/out.bin"), total < 300) << where;
            if (total < 300) {
                EXPECT_TRUE(read_file(dir + "/out.bin") == reference_image(input)) << where;
            }
            unlink((dir + "/out.bin").c_str());
        }
        unlink((dir + "/" + file).c_str());
    }
}

/* Long names: every name handed to Windows is its full path, in the \\?\
 * form once longer than MAX_PATH - 12 characters; so is the temporary file's,
 * longer than the output's (at 240 it alone needs it), as Wine's trace shows. */
TEST_F(Wine, LongPathsReachWindowsInTheExtendedForm)
{
    TempDir d;
    std::string base = win_path(d.path), a(100, 'a');
    make_dir(d / a);
    for (size_t total : {240u, 248u, 249u, 259u, 260u, 270u, 290u}) {
        std::string b(total - base.size() - a.size() - 10, 'b'); /* base\a...\b...\out.bin */
        std::string dir = d / a + "/" + b, in = "./" + a + "/" + b + "/in.bin";
        std::string out = base + "\\" + a + "\\" + b + "\\out.bin", input = awkward(3000, (unsigned)total);
        make_dir(dir);
        write_file(dir + "/in.bin", input);
        size_t extended = 0;
        for (auto &argv : {std::vector<std::string>{WINE, EXE, in, out}, {WINE, VERIFY_EXE, out, in}}) {
            Traced run = traced_run(argv, d.path, d / "trace", 0);
            for (const std::string &name : run.names) {
                EXPECT_TRUE(name.size() <= 248 || name.rfind("\\\\?\\Z:\\", 0) == 0) << total << ": " << name;
                extended += name.size() > 248;
            }
            EXPECT_EQ(run.status, 0) << total << ": " << argv[1] << "\n" << run.retried;
        }
        EXPECT_GE(extended, total > 248 ? 4u : 2u) << total; /* temporary file twice, output twice */
        EXPECT_TRUE(read_file(dir + "/out.bin") == reference_image(input)) << total;
        EXPECT_EQ(list_dir(dir), (std::vector<std::string>{"in.bin", "out.bin"})) << total;
    }
}

/* Both programs carry the project's version and an application manifest:
 * Windows 10 and 11, run as the invoker, aware of long paths. */
TEST_F(Wine, ProgramsCarryTheirVersionAndManifest)
{
    const std::string windres = SWUG_WINDRES_PATH;
    if (access(windres.c_str(), X_OK) != 0)
        GTEST_SKIP() << "no MinGW windres to read the resources with";
    for (const std::string &exe : {EXE, VERIFY_EXE}) {
        RunResult r = run_program({windres, "-i", exe, "-O", "rc"}, "/");
        for (std::string want : {"\"FileVersion\", \"" SWUG_VERSION "\"", "\"ProductVersion\", \"" SWUG_VERSION "\"",
                                 ", MIT License\"", "\"\"asInvoker\"\"", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                                 ">true</longPathAware>"})
            EXPECT_NE(r.out.find(want), std::string::npos) << exe << ": no " << want;
    }
}
