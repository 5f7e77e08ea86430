/* swug-gen under load and under faults: many runs into one output at once,
 * runs killed at random moments, a full disk at every write step. Whatever
 * happens, the output is a whole image or the file that was there before. */
#include <signal.h>
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
        images.push_back(reference_image(input));
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

/* Start one run and kill it with SIGKILL delay_us microseconds later.
 * Returns 1 when the kill came first, 0 when the run had ended with status 0,
 * -1 for any other end (a failure, another signal). */
static int run_and_kill(const std::vector<std::string> &argv, const std::string &cwd,
                        const RunOptions &opt, long delay_us)
{
    int fd;
    pid_t pid = start_program(argv, cwd, opt, &fd);
    if (pid <= 0)
        return -1;
    usleep((useconds_t)delay_us);
    kill(pid, SIGKILL);
    RunResult r = finish_program(pid, fd);
    if (r.signal == SIGKILL)
        return 1;
    return r.signal == 0 && r.status == 0 ? 0 : -1;
}

/* Median time of five whole runs of argv in cwd, in microseconds: the span
 * from which the kill moments are drawn. */
static long run_time(const std::vector<std::string> &argv, const std::string &cwd,
                     const RunOptions &opt)
{
    std::vector<long> t;
    for (int i = 0; i < 5; i++) {
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(run_program(argv, cwd, opt).status, 0);
        t.push_back((long)std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count());
    }
    std::sort(t.begin(), t.end());
    return t[2];
}

/* The two ways a run goes in the kill tests: as it is, and with every write
 * of its output slowed down (trickle_write.cpp), so that most kills fall in
 * the middle of writing and the output is written in many short writes. */
struct KillPlan {
    RunOptions opt[2];
    std::uniform_int_distribution<long> moment[2];
    int killed = 0, completed = 0, left = 0;

    KillPlan() { opt[1].env = preload_env(TRICKLE_WRITE_PATH); }

    void time(const std::vector<std::string> &argv, const std::string &cwd)
    {
        for (int k = 0; k < 2; k++)
            moment[k] = std::uniform_int_distribution<long>(0, run_time(argv, cwd, opt[k]) * 5 / 4);
    }

    /* Run i of argv, killed at a random moment; 1 kill first, 0 ended, -1 failed. */
    int run(int i, const std::vector<std::string> &argv, const std::string &cwd, std::mt19937 &rng)
    {
        int outcome = run_and_kill(argv, cwd, opt[i % 2], moment[i % 2](rng));
        if (outcome == 1)
            killed++;
        else if (outcome == 0)
            completed++;
        left += remove_temporaries(cwd);
        return outcome;
    }

    void report(const char *what)
    {
        std::cout << what << ": " << killed << " killed, " << completed << " completed, " << left
                  << " killed while writing (temporary file left)\n";
        EXPECT_GT(killed, 0) << "every run ended before its kill: nothing was tested";
    }
};

/* SIGKILL cannot be caught, so a killed run may leave its temporary file
 * behind; what counts is that the output is never torn. Each run writes the
 * image that is not in the output at the time, so every completed run
 * changes it. */
TEST(Load, KilledAtRandomMomentsTheOutputIsOldOrNew)
{
    const int RUNS = 150;
    TempDir d;
    std::string input[2] = {pattern(1048576, 7), pattern(1048000, 8)};
    std::string image[2] = {reference_image(input[0]), reference_image(input[1])};
    write_file(d / "a.bin", input[0]);
    write_file(d / "b.bin", input[1]);
    const std::vector<std::string> argv[2] = {{GEN, "a.bin", "out.bin"}, {GEN, "b.bin", "out.bin"}};

    KillPlan plan;
    plan.time(argv[0], d.path);
    int current = 0; /* image[current] is in out.bin */
    std::mt19937 rng(std::random_device{}());
    for (int i = 0; i < RUNS; i++) {
        ASSERT_NE(plan.run(i, argv[1 - current], d.path, rng), -1) << "run " << i << " failed";
        std::string out = read_file(d / "out.bin");
        if (out == image[1 - current])
            current = 1 - current;
        else
            ASSERT_TRUE(out == image[current]) << "run " << i << ": torn output of " << out.size()
                                               << " bytes";
        ASSERT_EQ(list_dir(d.path), (std::vector<std::string>{"a.bin", "b.bin", "out.bin"}));
    }
    plan.report("1 MiB image");
}

/* The same with the input as its own output: the file is always either the
 * input or its image. */
TEST(Load, KilledWhileReplacingItsOwnInput)
{
    const int RUNS = 50;
    TempDir d;
    std::string now = pattern(1000000, 9);
    write_file(d / "fw.bin", now);
    const std::vector<std::string> argv = {GEN, "fw.bin", "fw.bin"};

    KillPlan plan;
    {
        TempDir probe;
        write_file(probe / "fw.bin", now);
        plan.time(argv, probe.path);
    }
    std::mt19937 rng(std::random_device{}());
    for (int i = 0; i < RUNS; i++) {
        std::string image = reference_image(now);
        ASSERT_NE(plan.run(i, argv, d.path, rng), -1) << "run " << i << " failed";
        std::string after = read_file(d / "fw.bin");
        ASSERT_TRUE(after == now || after == image)
            << "run " << i << ": " << after.size() << " bytes, neither the input nor its image";
        now = after;
        ASSERT_EQ(list_dir(d.path), std::vector<std::string>{"fw.bin"});
    }
    plan.report("own input");
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
            EXPECT_TRUE(now == reference_image(input)) << "image not written with room for it";
        else
            EXPECT_TRUE(now == input) << s.free_pages << " free pages: the input was lost";
        EXPECT_EQ(list_dir(disk.path), (std::vector<std::string>{"filler", "fw.bin"}));
        ASSERT_EQ(unlink((disk.path + "/filler").c_str()), 0);
    }
}
