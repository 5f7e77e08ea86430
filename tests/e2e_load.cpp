/* swug-gen under load and under faults: many runs into one output at once,
 * runs killed at random moments, a full disk at every write step. Whatever
 * happens, the output is a whole image or the file that was there before. */
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <random>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string GEN = SWUG_GEN_PATH;
static const std::string TEMP_PREFIX = ".swug-gen-";

static bool is_temporary(const std::string &name)
{
    return name.compare(0, TEMP_PREFIX.size(), TEMP_PREFIX) == 0;
}

/* Remove the temporary outputs that a killed run left in dir; returns how many. */
static int remove_temporaries(const std::string &dir)
{
    int n = 0;
    for (const std::string &name : list_dir(dir))
        if (is_temporary(name) && unlink((dir + "/" + name).c_str()) == 0)
            n++;
    return n;
}

static bool one_of(const std::string &s, const std::vector<std::string> &choices)
{
    return std::find(choices.begin(), choices.end(), s) != choices.end();
}

TEST(Load, DozenRunsAtOnceIntoOneOutput)
{
    const int RUNS = 12;
    TempDir d;
    std::vector<std::string> names, images;
    for (int i = 0; i < RUNS; i++) {
        /* sizes across the three bands, so that a mix of two images shows */
        std::string input = pattern(150000 + (size_t)i * 80000, 100u + (unsigned)i);
        names.push_back("in" + std::to_string(i) + ".bin");
        write_file(d / names.back(), input);
        images.push_back(expected_image(input));
    }
    std::vector<std::string> seen = images;
    seen.push_back("old image");
    write_file(d / "out.bin", "old image");
    std::vector<std::string> expect_names = names;
    expect_names.push_back("out.bin");
    std::sort(expect_names.begin(), expect_names.end());

    for (int round = 0; round < 3; round++) {
        std::vector<pid_t> pids(RUNS);
        std::vector<int> fds(RUNS);
        for (int i = 0; i < RUNS; i++) {
            pids[i] = start_program({GEN, names[i], "out.bin"}, d.path, RunOptions(), &fds[i]);
            ASSERT_GT(pids[i], 0);
        }
        /* read while they write: never anything but a whole file */
        for (int look = 0; look < 10; look++) {
            std::string now = read_file(d / "out.bin");
            EXPECT_TRUE(one_of(now, seen)) << "torn output of " << now.size() << " bytes";
        }
        for (int i = 0; i < RUNS; i++) {
            RunResult r = finish_program(pids[i], fds[i]);
            EXPECT_EQ(r.status, 0) << names[i] << " round " << round;
            EXPECT_EQ(r.out, "");
        }
        std::string out = read_file(d / "out.bin");
        EXPECT_TRUE(one_of(out, images)) << "output of " << out.size() << " bytes is no input's image";
        EXPECT_EQ(list_dir(d.path), expect_names) << "a temporary file was left";
    }
}

/* Wait until a temporary output is created in the folder that watch_fd
 * watches, or the run ends (its standard output out_fd closes); ten seconds
 * at most. Waiting on inotify rather than listing the folder in a loop leaves
 * the CPU to the run. */
static void wait_for_temporary(int watch_fd, int out_fd)
{
    alignas(struct inotify_event) char buf[4096];
    for (;;) {
        struct pollfd p[2] = {{watch_fd, POLLIN, 0}, {out_fd, POLLIN, 0}};
        if (poll(p, 2, 10000) <= 0 || p[1].revents != 0)
            return;
        ssize_t n = read(watch_fd, buf, sizeof buf);
        if (n <= 0)
            return;
        for (char *q = buf; q < buf + n;) {
            const struct inotify_event *e = (const struct inotify_event *)q;
            if (e->len > 0 && is_temporary(e->name))
                return;
            q += sizeof *e + e->len;
        }
    }
}

/* Start argv in cwd; with in_write, return only once its temporary output
 * exists (or it has ended). */
static pid_t start_run(const std::vector<std::string> &argv, const std::string &cwd, bool in_write,
                       int *out_fd)
{
    int watch_fd = -1;
    if (in_write) {
        watch_fd = inotify_init1(IN_CLOEXEC);
        if (watch_fd < 0 || inotify_add_watch(watch_fd, cwd.c_str(), IN_CREATE) < 0)
            ADD_FAILURE() << "inotify: " << strerror(errno);
    }
    pid_t pid = start_program(argv, cwd, RunOptions(), out_fd);
    if (pid > 0 && watch_fd >= 0)
        wait_for_temporary(watch_fd, *out_fd);
    if (watch_fd >= 0)
        close(watch_fd);
    return pid;
}

static long micros_since(std::chrono::steady_clock::time_point t)
{
    return (long)std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now() - t)
        .count();
}

/* Start one run and kill it with SIGKILL delay_us microseconds after its
 * start, or with in_write, after its temporary output appeared. Returns 1
 * when the kill came first, 0 when the run had ended with status 0, -1 for
 * any other end (a failure, another signal). */
static int run_and_kill(const std::vector<std::string> &argv, const std::string &cwd,
                        long delay_us, bool in_write)
{
    int fd;
    pid_t pid = start_run(argv, cwd, in_write, &fd);
    if (pid <= 0)
        return -1;
    usleep((useconds_t)delay_us);
    kill(pid, SIGKILL);
    RunResult r = finish_program(pid, fd);
    if (r.signal == SIGKILL)
        return 1;
    return r.signal == 0 && r.status == 0 ? 0 : -1;
}

/* How long a whole run of argv takes, and how much of it is left once we
 * learn that its temporary output exists: medians of five runs, in
 * microseconds, from which the kill moments are drawn. */
struct RunTimes {
    long whole, writing;
};

static RunTimes time_runs(const std::vector<std::string> &argv, const std::string &cwd)
{
    std::vector<long> whole, writing;
    for (int i = 0; i < 5; i++) {
        int fd;
        auto start = std::chrono::steady_clock::now();
        pid_t pid = start_run(argv, cwd, true, &fd);
        if (pid <= 0)
            break;
        auto seen = std::chrono::steady_clock::now();
        EXPECT_EQ(finish_program(pid, fd).status, 0);
        whole.push_back(micros_since(start));
        writing.push_back(micros_since(seen));
    }
    if (whole.size() < 5)
        return RunTimes{1000, 1000};
    std::sort(whole.begin(), whole.end());
    std::sort(writing.begin(), writing.end());
    return RunTimes{whole[2], writing[2]};
}

/* SIGKILL cannot be caught, so a killed run may leave its temporary file
 * behind; what counts is that the output is never torn. Each run writes the
 * image that is not in the output at the time, so every completed run
 * changes it. Every other kill comes at any moment of the run; the others
 * come once its temporary output exists, within the time writing takes. */
TEST(Load, KilledAtRandomMomentsTheOutputIsOldOrNew)
{
    const int RUNS = 150;
    TempDir d;
    std::string input[2] = {pattern(1048576, 7), pattern(1048000, 8)};
    std::string image[2] = {expected_image(input[0]), expected_image(input[1])};
    write_file(d / "a.bin", input[0]);
    write_file(d / "b.bin", input[1]);
    const std::vector<std::string> argv[2] = {{GEN, "a.bin", "out.bin"}, {GEN, "b.bin", "out.bin"}};

    RunTimes t = time_runs(argv[0], d.path);
    int current = 0; /* image[current] is in out.bin */
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<long> any_moment(0, t.whole * 3 / 2);
    std::uniform_int_distribution<long> write_moment(0, t.writing * 3 / 2);
    int killed = 0, completed = 0, left = 0;
    for (int i = 0; i < RUNS; i++) {
        bool in_write = i % 2 == 1;
        long delay = in_write ? write_moment(rng) : any_moment(rng);
        int outcome = run_and_kill(argv[1 - current], d.path, delay, in_write);
        ASSERT_NE(outcome, -1) << "run " << i << " failed";
        if (outcome == 1)
            killed++;
        else
            completed++;
        std::string out = read_file(d / "out.bin");
        if (out == image[1 - current])
            current = 1 - current;
        else
            ASSERT_TRUE(out == image[current]) << "run " << i << ": torn output of " << out.size()
                                               << " bytes";
        left += remove_temporaries(d.path);
        ASSERT_EQ(list_dir(d.path), (std::vector<std::string>{"a.bin", "b.bin", "out.bin"}));
    }
    std::cout << "runs of about " << t.whole << " us, " << t.writing << " us of them writing: "
              << killed << " killed, " << completed << " completed, " << left
              << " temporary files left by a kill\n";
    EXPECT_GT(killed, 0) << "every run ended before its kill: nothing was tested";
}

/* The same with the input as its own output: the file is always either the
 * input or its image. */
TEST(Load, KilledWhileReplacingItsOwnInput)
{
    const int RUNS = 50;
    TempDir d;
    write_file(d / "fw.bin", pattern(1000000, 9));
    const std::vector<std::string> argv = {GEN, "fw.bin", "fw.bin"};

    std::string now = read_file(d / "fw.bin");
    RunTimes t;
    {
        TempDir probe;
        write_file(probe / "fw.bin", now);
        t = time_runs(argv, probe.path);
    }
    std::mt19937 rng(std::random_device{}());
    std::uniform_int_distribution<long> any_moment(0, t.whole * 3 / 2);
    std::uniform_int_distribution<long> write_moment(0, t.writing * 3 / 2);
    for (int i = 0; i < RUNS; i++) {
        std::string image = expected_image(now);
        long delay = i % 2 ? write_moment(rng) : any_moment(rng);
        ASSERT_NE(run_and_kill(argv, d.path, delay, i % 2 == 1), -1) << "run " << i << " failed";
        std::string after = read_file(d / "fw.bin");
        ASSERT_TRUE(after == now || after == image)
            << "run " << i << ": " << after.size() << " bytes, neither the input nor its image";
        now = after;
        remove_temporaries(d.path);
        ASSERT_EQ(list_dir(d.path), std::vector<std::string>{"fw.bin"});
    }
}

/* A small tmpfs mounted for one test and unmounted when it ends. */
struct SmallDisk {
    std::string path;
    bool mounted = false;
    SmallDisk(const std::string &at, const char *options) : path(at)
    {
        make_dir(path);
        mounted = mount("swug-test", path.c_str(), "tmpfs", 0, options) == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            umount(path.c_str());
    }
};

/* Fill the disk at dir until exactly `pages` free blocks are left. */
static bool leave_free(const std::string &dir, unsigned long pages)
{
    struct statvfs st;
    if (statvfs(dir.c_str(), &st) != 0 || st.f_bavail < pages)
        return false;
    write_file(dir + "/filler", std::string((st.f_bavail - pages) * st.f_frsize, 'f'));
    return statvfs(dir.c_str(), &st) == 0 && st.f_bavail == pages;
}

/* Command.DiskFullKeepsTheOldOutput (e2e_gen.cpp) runs out of space once.
 * Here the same file is input and output, and the disk is full exactly at
 * each write in turn: the header, the middle of the body, the trailer. */
TEST(Load, FullDiskAtEveryWriteKeepsTheInput)
{
    TempDir d;
    SmallDisk disk(d / "small", "size=1m");
    if (!disk.mounted)
        GTEST_SKIP() << "cannot mount a tmpfs here (" << strerror(errno) << "): needs root";
    long page = sysconf(_SC_PAGESIZE);
    ASSERT_GT(page, 0);
    /* header and body fill two pages exactly; the trailer needs a third */
    std::string input = pattern(2 * (size_t)page - 40, 11);
    struct {
        unsigned long free_pages;
        int status;
    } steps[] = {{0, 1}, {1, 1}, {2, 1}, {3, 0}};
    for (auto &s : steps) {
        write_file(disk.path + "/fw.bin", input);
        ASSERT_TRUE(leave_free(disk.path, s.free_pages)) << s.free_pages << " pages";
        RunResult r = run_program({GEN, "fw.bin", "fw.bin"}, disk.path);
        EXPECT_EQ(r.status, s.status) << s.free_pages << " free pages";
        std::string now = read_file(disk.path + "/fw.bin");
        if (s.status == 0)
            EXPECT_TRUE(now == expected_image(input)) << "image not written with room for it";
        else
            EXPECT_TRUE(now == input) << s.free_pages << " free pages: the input was lost";
        EXPECT_EQ(list_dir(disk.path), (std::vector<std::string>{"filler", "fw.bin"}));
        ASSERT_EQ(unlink((disk.path + "/filler").c_str()), 0);
    }
}
