/* swug-gen run as a user runs it: messages, exit status and the files left behind. */
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string GEN = SWUG_GEN_PATH;
static const char PROMPT[] = "Press any key to exit!";
static const char IN[] = "data/KOVRIN_SW.bin";
static const char OUT[] = "out/KOVRIN_UPGRADE_SW.bin";

static RunResult interactive(const std::string &cwd, std::vector<std::string> extra = {})
{
    std::vector<std::string> argv = {GEN};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return run_program(argv, cwd);
}

static RunResult command(const std::string &cwd, const std::string &in, const std::string &out,
                         const RunOptions &opt = RunOptions())
{
    return run_program({GEN, in, out}, cwd, opt);
}

TEST(Interactive, SuccessPrintsSizeThenPrompt)
{
    std::string input = pattern(300000);
    Workspace w(&input);
    RunResult r = interactive(w.path);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "data/KOVRIN_SW.bin len= 300000\n" + std::string(PROMPT));
    EXPECT_TRUE(read_file(w / OUT) == reference_image(input));
}

TEST(Interactive, EveryFailureHasItsMessage)
{
    for (auto &c : interactive_failures()) {
        Workspace w(c.input, c.with_out);
        RunResult r = interactive(w.path);
        EXPECT_EQ(r.status, 1) << c.expect;
        EXPECT_EQ(r.out, c.expect + PROMPT);
        EXPECT_FALSE(file_exists(w / OUT));
        EXPECT_EQ(list_dir(w.path).size(), c.with_out ? 2u : 1u);
        if (c.with_out) {
            EXPECT_TRUE(list_dir(w / "out").empty());
        }
    }
}

TEST(Interactive, WrongArgumentCount)
{
    std::string input = "abc";
    Workspace w(&input);
    EXPECT_EQ(interactive(w.path, {"a"}).out, "Parameter Error [2]\n" + std::string(PROMPT));
    EXPECT_EQ(interactive(w.path, {"a"}).status, 1);
    RunResult r = interactive(w.path, {"a", "b", "c"});
    EXPECT_EQ(r.out, "Parameter Error [4]\n" + std::string(PROMPT));
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(list_dir(w / "out").empty());
}

TEST(Interactive, WriteFailureIsReported)
{
    std::string input = "abc";
    Workspace w(&input);
    ASSERT_EQ(symlink("/dev/full", (w / OUT).c_str()), 0);
    RunResult r = interactive(w.path);
    EXPECT_EQ(r.out, "data/KOVRIN_SW.bin len= 3\nWrite file out/KOVRIN_UPGRADE_SW.bin failed\n" +
                         std::string(PROMPT));
    EXPECT_EQ(r.status, 1);
}

TEST(Interactive, InputOf4GiBIsNotTakenModulo2To32)
{
    Workspace w(nullptr);
    std::string why = make_sparse_file(w / IN, 4294967296LL + 3);
    if (!why.empty())
        GTEST_SKIP() << "no sparse 4 GiB file here: " << why;
    RunResult r = interactive(w.path);
    EXPECT_EQ(r.out, "data/KOVRIN_SW.bin len= 4294967299\n"
                     "Length of data/KOVRIN_SW.bin exceed limition\n" + std::string(PROMPT));
    EXPECT_FALSE(file_exists(w / OUT));
}

TEST(Command, ImagesAcrossTheSizeBands)
{
    TempDir d;
    /* 4,056 and 4,096: the image's body ends at a page of the file, and the input does */
    for (size_t size : {1u, 2u, 3u, 4u, 5u, 512u, 513u, 4056u, 4096u, 204800u, 204801u, 300000u,
                        409549u, 409550u, 409551u, 1048575u, 1048576u}) {
        std::string input = pattern(size, (unsigned)size);
        write_file(d / "in.bin", input);
        RunResult r = command(d.path, "in.bin", "out.bin");
        EXPECT_EQ(r.status, 0) << size;
        EXPECT_EQ(r.out, "") << size;
        EXPECT_TRUE(read_file(d / "out.bin") == reference_image(input)) << size;
    }
    std::string first = read_file(d / "out.bin");
    EXPECT_EQ(command(d.path, "in.bin", "out.bin").status, 0);
    EXPECT_TRUE(read_file(d / "out.bin") == first) << "two builds differ";
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{"in.bin", "out.bin"}));
}

TEST(Command, FailuresAreSilentAndLeaveTheOldOutput)
{
    TempDir d;
    write_file(d / "empty.bin", "");
    write_file(d / "big.bin", pattern(1048577));
    write_file(d / "ok.bin", "abc");
    write_file(d / "old.bin", "old image");
    make_dir(d / "dir");
    ASSERT_EQ(mkfifo((d / "fifo").c_str(), 0600), 0);
    struct { const char *in, *out; } cases[] = {
        {"missing.bin", "old.bin"}, {"empty.bin", "old.bin"}, {"big.bin", "old.bin"},
        {"dir", "old.bin"}, {"fifo", "old.bin"}, {"/dev/zero", "old.bin"},
        {"ok.bin", "nodir/old.bin"}, {"ok.bin", "dir"}, {"ok.bin", "/dev/full"},
    };
    for (auto &c : cases) {
        RunResult r = command(d.path, c.in, c.out);
        EXPECT_EQ(r.status, 1) << c.in << " -> " << c.out;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(read_file(d / "old.bin"), "old image");
    EXPECT_EQ(list_dir(d.path),
              (std::vector<std::string>{"big.bin", "dir", "empty.bin", "fifo", "ok.bin", "old.bin"}));
    EXPECT_TRUE(list_dir(d / "dir").empty());
}

TEST(Command, ShortReadFails)
{
    /* sysfs reports a size of 4096 for its attributes and then delivers far fewer bytes */
    const char *attr = "/sys/kernel/mm/transparent_hugepage/enabled";
    struct stat st;
    if (stat(attr, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= (off_t)read_file(attr).size())
        GTEST_SKIP() << "no file here that is shorter than its size";
    TempDir d;
    EXPECT_EQ(command(d.path, attr, "out.bin").status, 1);
    EXPECT_TRUE(list_dir(d.path).empty());
}

TEST(Command, SameFileAsInputAndOutput)
{
    TempDir d;
    std::string input = pattern(250000);
    write_file(d / "fw.bin", input);
    EXPECT_EQ(command(d.path, "fw.bin", "fw.bin").status, 0);
    EXPECT_TRUE(read_file(d / "fw.bin") == reference_image(input));
    EXPECT_EQ(list_dir(d.path), std::vector<std::string>{"fw.bin"});
}

TEST(Command, ReplacementKeepsLinksAndPermissions)
{
    TempDir d;
    std::string input = pattern(1000);
    write_file(d / "in.bin", input);
    write_file(d / "real.bin", "old");
    ASSERT_EQ(chmod((d / "real.bin").c_str(), 0640), 0);
    ASSERT_EQ(symlink("real.bin", (d / "link.bin").c_str()), 0);

    EXPECT_EQ(command(d.path, "in.bin", "link.bin").status, 0);
    struct stat st;
    ASSERT_EQ(lstat((d / "link.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat((d / "real.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_TRUE(read_file(d / "real.bin") == reference_image(input));

    /* a new output gets the usual permissions of a created file */
    EXPECT_EQ(command(d.path, "in.bin", "new.bin").status, 0);
    mode_t mask = umask(0);
    umask(mask);
    ASSERT_EQ(stat((d / "new.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0666u & ~mask);
}

TEST(Command, DevicesAreWrittenInPlace)
{
    TempDir d;
    write_file(d / "in.bin", "abc");
    EXPECT_EQ(command(d.path, "in.bin", "/dev/null").status, 0);
    struct stat st;
    ASSERT_EQ(stat("/dev/null", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode)) << "/dev/null was replaced";
    EXPECT_EQ(st.st_rdev, makedev(1, 3));
}

TEST(Command, DotSlashArgumentsUseTheWorkingDirectory)
{
    TempDir d;
    std::string input = pattern(70000);
    make_dir(d / "sub");
    write_file(d / "sub/in.bin", input);
    EXPECT_EQ(command(d.path, "./sub/in.bin", "./sub/out.bin").status, 0);
    EXPECT_TRUE(read_file(d / "sub/out.bin") == reference_image(input));
}

TEST(Command, PathsThatDoNotFitFail)
{
    TempDir d;
    /* a 300-character argument does not fit its buffer even though the file exists */
    std::string dir = d.path, rel;
    while (dir.size() + 60 < 320) {
        rel += std::string(50, 'd') + "/";
        dir += "/" + std::string(50, 'd');
        make_dir(dir);
    }
    std::string input = "abc";
    std::string name = std::string(300 - (d.path.size() + 1 + rel.size()) - 1, 'f');
    std::string full = d.path + "/" + rel + name; /* 299 characters: fits */
    ASSERT_EQ(full.size(), 299u);
    write_file(full, input);
    EXPECT_EQ(command(d.path, full, d / "out.bin").status, 0);
    EXPECT_EQ(command(d.path, full + "x", d / "out2.bin").status, 1);
    EXPECT_EQ(command(d.path, "././" + rel + name, d / "out3.bin").status, 1); /* 301 composed */
    EXPECT_EQ(command(d.path, "in", full + "x").status, 1);
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{std::string(50, 'd'), "out.bin"}));
}

TEST(Command, DeletedWorkingDirectoryFailsDotSlash)
{
    TempDir d;
    write_file(d / "in.bin", "abc");
    std::string gone = d / "gone";
    make_dir(gone);
    RunOptions opt;
    opt.remove_cwd = true;
    EXPECT_EQ(command(gone, "./in.bin", d / "out.bin", opt).status, 1);
    EXPECT_FALSE(file_exists(d / "out.bin"));
    make_dir(gone);
    EXPECT_EQ(command(gone, d / "in.bin", d / "out.bin", opt).status, 0);
}

/* Interrupted while writing: the stalled write() keeps the run inside the
 * output until the signal arrives. An existing output stays as it was; a
 * new one is only the temporary file while it is written, and never appears. */
TEST(Command, SignalDuringWriteRemovesTheTemporaryFile)
{
    /* every signal that ends a process but SIGKILL and the sanitizers' own */
    struct { int sig; bool existing, ignored = false; } cases[] = {{SIGINT, true}, {SIGTERM, true},
        {SIGTERM, false}, {SIGHUP, true, true} /* nohup: the run goes on */,
        {SIGHUP, true}, {SIGQUIT, false}, {SIGUSR1, true}, {SIGUSR2, false}, {SIGALRM, true},
        {SIGVTALRM, true}, {SIGXCPU, false}, {SIGPROF, true}, {SIGIO, true}, {SIGPWR, false},
        {SIGSYS, true}, {SIGTRAP, true}, {SIGABRT, false}, {SIGSTKFLT, true}, {SIGRTMIN, true},
        {SIGRTMAX, false}};
    struct rlimit no_core = {0, 0}; /* SIGQUIT and the like would leave a core file */
    setrlimit(RLIMIT_CORE, &no_core);
    for (auto &c : cases) {
        TempDir d;
        write_file(d / "in.bin", pattern(5000));
        std::vector<std::string> before = {"in.bin"};
        if (c.existing) {
            write_file(d / "out.bin", "old image");
            before.push_back("out.bin");
        }
        RunOptions opt;
        opt.env = preload_env(STALL_TEMP_WRITE_PATH);
        if (c.ignored)
            opt.env.push_back("SWUG_STALL_MS=500");
        signal(c.sig, c.ignored ? SIG_IGN : SIG_DFL);
        int fd;
        pid_t pid = start_program({GEN, "in.bin", "out.bin"}, d.path, opt, &fd);
        signal(c.sig, SIG_DFL);
        ASSERT_GT(pid, 0);
        /* a run that never gets to its temporary file fails here rather than hanging */
        for (int i = 0; i < 3000 && list_dir(d.path).size() <= before.size(); i++)
            usleep(10000);
        std::vector<std::string> during = list_dir(d.path);
        ASSERT_EQ(during.size(), before.size() + 1) << "no temporary output appeared";
        EXPECT_EQ(during[0].rfind(".swug-gen-", 0), 0u) << during[0];
        kill(pid, c.sig);
        RunResult r = finish_program(pid, fd);
        if (c.ignored) {
            EXPECT_EQ(r.status, 0) << "ignored " << strsignal(c.sig);
            EXPECT_TRUE(read_file(d / "out.bin") == reference_image(pattern(5000)));
            EXPECT_EQ(list_dir(d.path), before);
            continue;
        }
        EXPECT_EQ(r.signal, c.sig) << strsignal(c.sig);
        if (c.existing) {
            EXPECT_EQ(read_file(d / "out.bin"), "old image");
        }
        EXPECT_EQ(list_dir(d.path), before) << strsignal(c.sig);
    }
}

/* Disk full: needs a small tmpfs, which only a privileged run may mount. */
TEST(Command, DiskFullKeepsTheOldOutput)
{
    TempDir d;
    std::string mnt = d / "small";
    make_dir(mnt);
    if (mount("swug-test", mnt.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "): needs root";
    std::string input = pattern(1048576);
    write_file(d / "in.bin", input);
    write_file(mnt + "/out.bin", "old image");
    RunResult r = command(d.path, d / "in.bin", mnt + "/out.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(mnt + "/out.bin"), "old image");
    EXPECT_EQ(list_dir(mnt), std::vector<std::string>{"out.bin"});

    /* the same file as input and output on the full disk survives too */
    write_file(mnt + "/fw.bin", pattern(200000));
    std::string before = read_file(mnt + "/fw.bin");
    EXPECT_EQ(command(mnt, "fw.bin", "fw.bin").status, 1);
    EXPECT_TRUE(read_file(mnt + "/fw.bin") == before);
    umount(mnt.c_str());
}

/* A file-size limit (ulimit -f) is a write failure like a full disk, in both
 * run modes: no death by SIGXFSZ, the old output kept, no temporary file.
 * The limits fall before the first byte, in the body (a short write, then
 * EFBIG), one byte into the trailer, and at the image's size (it fits). */
TEST(WriteFailure, FileSizeLimitKeepsTheOldOutput)
{
    const std::string input = pattern(300000), image = reference_image(input);
    const long long limits[] = {0, 102400, (long long)image.size() - 9, (long long)image.size()};
    for (bool command_run : {true, false}) {
        for (long long limit : limits) {
            Workspace w(&input);
            write_file(w / OUT, "old image");
            RunOptions opt;
            opt.file_size_limit = limit;
            std::vector<std::string> argv = {GEN};
            if (command_run)
                argv = {GEN, IN, OUT};
            RunResult r = run_program(argv, w.path, opt);
            bool fits = limit == (long long)image.size();
            std::string why = (command_run ? "command run, limit " : "interactive, limit ") +
                              std::to_string(limit);
            EXPECT_EQ(r.signal, 0) << why;
            EXPECT_EQ(r.status, fits ? 0 : 1) << why;
            std::string said = "data/KOVRIN_SW.bin len= 300000\n" +
                               std::string(fits ? "" : "Write file out/KOVRIN_UPGRADE_SW.bin failed\n") +
                               PROMPT;
            EXPECT_EQ(r.out, command_run ? "" : said) << why;
            EXPECT_TRUE(read_file(w / OUT) == (fits ? image : "old image")) << why;
            EXPECT_EQ(list_dir(w / "out"), std::vector<std::string>{"KOVRIN_UPGRADE_SW.bin"}) << why;
        }
    }
}
