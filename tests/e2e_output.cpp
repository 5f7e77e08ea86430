/* Where swug-gen's output goes: what the system opens for the output path
 * decides, with the protections and permissions an overwrite has. */
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string GEN = SWUG_GEN_PATH;
static const uid_t NOBODY = 65534;

/* The user a run "without privileges" is: ourselves, or nobody when we are root. */
static uid_t plain_uid()
{
    return geteuid() == 0 ? NOBODY : geteuid();
}

/* argv run by plain_uid(): under setpriv when we are root. */
static std::vector<std::string> as_plain_user(std::vector<std::string> argv)
{
    if (geteuid() == 0)
        argv.insert(argv.begin(), {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                   "--clear-groups"});
    return argv;
}

static std::string need_plain_user()
{
    if (geteuid() == 0 && access("/usr/bin/setpriv", X_OK) != 0)
        return "running as root, and no setpriv to run as another user";
    return "";
}

static std::string need_root()
{
    return geteuid() == 0 ? "" : "needs root";
}

static std::string need_sysctl(const char *name)
{
    std::string value = read_file(std::string("/proc/sys/fs/") + name);
    if (value.empty() || value[0] == '0')
        return std::string("fs.") + name + " is off here";
    return need_root();
}

static ino_t inode_of(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

/* A folder the plain user may enter, holding in.bin. */
struct OutputDir : TempDir {
    std::string input = pattern(3000);
    OutputDir()
    {
        chmod(path.c_str(), 0755);
        write_file(*this / "in.bin", input);
    }
    void give(const std::string &name, uid_t uid = plain_uid())
    {
        EXPECT_EQ(lchown((*this / name).c_str(), uid, uid), 0) << name << ": " << strerror(errno);
    }
};

struct OutputCase {
    const char *what;
    std::function<std::string()> ready; /* "", or why the case cannot run here */
    std::function<void(OutputDir &)> setup;
    bool plain_user;                    /* run by plain_uid() rather than by us */
    const char *out;                    /* the output argument */
    const char *file;                   /* the file that holds the old image */
};

static RunResult run_case(const OutputCase &c, OutputDir &d, const RunOptions &opt = RunOptions())
{
    std::vector<std::string> argv = {GEN, d / "in.bin", d / c.out};
    return run_program(c.plain_user ? as_plain_user(argv) : argv, d.path, opt);
}

/* Run check on every case that can run here, each in a fresh OutputDir set
 * up for it. Skipped cases are named; the test skips when none could run. */
static void run_cases(const std::vector<OutputCase> &cases,
                      const std::function<void(const OutputCase &, OutputDir &)> &check)
{
    std::string why;
    size_t skipped = 0;
    for (auto &c : cases) {
        std::string not_here = c.ready();
        if (!not_here.empty()) {
            why += std::string("\n  ") + c.what + ": " + not_here;
            skipped++;
            continue;
        }
        OutputDir d;
        c.setup(d);
        check(c, d);
    }
    if (skipped == cases.size())
        GTEST_SKIP() << "no case could run here:" << why;
    if (skipped > 0)
        std::cout << "cases skipped here:" << why << "\n";
}

/* Names of descriptors, and links to them, are written through the
 * descriptor, even when the file behind it has no name any more. */
TEST(Output, DescriptorNamesAreWrittenThrough)
{
    struct { const char *what, *script; std::vector<std::string> left; } cases[] = {
        {"/dev/stdout into a pipe", "\"$0\" in.bin /dev/stdout | cat", {"in.bin"}},
        {"a link to /dev/stdout", "ln -s /dev/stdout link && \"$0\" in.bin link | cat",
         {"in.bin", "link"}},
        {"/dev/stdout to a deleted file",
         "exec 5>gone.bin && rm gone.bin && \"$0\" in.bin /dev/stdout >&5 && cat /dev/fd/5",
         {"in.bin"}},
        {"/dev/fd/5, a deleted file",
         "exec 5>gone.bin && rm gone.bin && \"$0\" in.bin /dev/fd/5 && cat /dev/fd/5", {"in.bin"}},
    };
    for (auto &c : cases) {
        OutputDir d;
        RunResult r = run_program({"/bin/sh", "-c", c.script, GEN}, d.path);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_TRUE(r.out == reference_image(d.input)) << c.what << ": " << r.out.size() << " bytes";
        EXPECT_EQ(list_dir(d.path), c.left) << c.what;
    }
}

/* Where an overwrite would be refused, so is the run, and nothing changes. */
TEST(Output, RefusedLikeAnOverwrite)
{
    std::vector<OutputCase> cases = {
        {"a 0444 file in a folder the user may write", need_plain_user,
         [](OutputDir &d) {
             write_file(d / "out.bin", "old image");
             chmod((d / "out.bin").c_str(), 0444);
             d.give(".");
             d.give("out.bin");
         },
         true, "out.bin", "out.bin"},
        {"root following another user's link in a sticky folder",
         [] { return need_sysctl("protected_symlinks"); },
         [](OutputDir &d) {
             make_dir(d / "tmp");
             chmod((d / "tmp").c_str(), 01777);
             write_file(d / "victim", "old image");
             symlink("../victim", (d / "tmp/out.bin").c_str());
             d.give("tmp/out.bin", NOBODY);
         },
         false, "tmp/out.bin", "victim"},
        {"root opening another user's file in a sticky folder",
         [] { return need_sysctl("protected_regular"); },
         [](OutputDir &d) {
             make_dir(d / "tmp");
             chmod((d / "tmp").c_str(), 01777);
             write_file(d / "tmp/out.bin", "old image");
             chmod((d / "tmp/out.bin").c_str(), 0666);
             d.give("tmp/out.bin", NOBODY);
         },
         false, "tmp/out.bin", "tmp/out.bin"},
    };
    run_cases(cases, [](const OutputCase &c, OutputDir &d) {
        std::vector<std::string> before = list_dir(d.path);
        RunResult r = run_case(c, d);
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_TRUE(read_file(d / c.file) == "old image") << c.what;
        EXPECT_EQ(list_dir(d.path), before) << c.what;
    });
}

/* Where the file may be written but not replaced, it is written in place:
 * the same file, holding exactly the image. */
TEST(Output, InPlaceWhereReplacingIsRefused)
{
    const std::string old = pattern(9000, 7); /* longer than the image: no old tail may stay */
    std::vector<OutputCase> cases = {
        {"a 0666 file in a folder the user may not create in", need_plain_user,
         [&](OutputDir &d) {
             make_dir(d / "ro");
             write_file(d / "ro/out.bin", old);
             chmod((d / "ro/out.bin").c_str(), 0666);
             chmod((d / "ro").c_str(), 0555);
         },
         true, "ro/out.bin", "ro/out.bin"},
        {"another user's file in a sticky folder (rename: EPERM)", need_root,
         [&](OutputDir &d) {
             make_dir(d / "tmp");
             chmod((d / "tmp").c_str(), 01777);
             write_file(d / "tmp/out.bin", old);
             chmod((d / "tmp/out.bin").c_str(), 0666);
         },
         true, "tmp/out.bin", "tmp/out.bin"},
        {"a bind-mounted file (rename: EBUSY)", need_root,
         [&](OutputDir &d) {
             write_file(d / "out.bin", "");
             write_file(d / "mounted.bin", old);
             if (mount((d / "mounted.bin").c_str(), (d / "out.bin").c_str(), nullptr, MS_BIND,
                       nullptr) != 0)
                 ADD_FAILURE() << "bind mount: " << strerror(errno);
         },
         false, "out.bin", "out.bin"},
    };
    run_cases(cases, [](const OutputCase &c, OutputDir &d) {
        std::vector<std::string> before = list_dir(d / c.file + "/..");
        ino_t ino = inode_of(d / c.file);
        RunResult r = run_case(c, d);
        EXPECT_EQ(r.status, 0) << c.what;
        EXPECT_TRUE(read_file(d / c.file) == reference_image(d.input)) << c.what;
        EXPECT_EQ(inode_of(d / c.file), ino) << c.what << ": replaced, not written in place";
        EXPECT_EQ(list_dir(d / c.file + "/.."), before) << c.what;
        umount((d / "out.bin").c_str());
    });
}

/* Closing or renaming the temporary file fails: the old output stays as it
 * was, a new one never appears. A refused rename writes in place instead. */
TEST(Output, FailedCloseOrRename)
{
    struct { const char *call, *err; bool existing; int status; } cases[] = {
        {"close", "", true, 1},    {"close", "", false, 1},
        {"rename", "5", true, 1},  {"rename", "5", false, 1},   /* EIO */
        {"rename", "18", true, 0}, {"rename", "18", false, 0},  /* EXDEV: in place */
    };
    for (auto &c : cases) {
        OutputDir d;
        std::string old = pattern(9000, 3);
        if (c.existing)
            write_file(d / "out.bin", old);
        RunOptions opt;
        opt.env = preload_env(FAIL_OUTPUT_CALL_PATH);
        opt.env.push_back(std::string("SWUG_FAIL_CALL=") + c.call);
        opt.env.push_back(std::string("SWUG_FAIL_ERRNO=") + c.err);
        RunResult r = run_program({GEN, "in.bin", "out.bin"}, d.path, opt);
        std::string what = std::string(c.call) + " " + c.err + (c.existing ? " existing" : " new");
        EXPECT_EQ(r.status, c.status) << what;
        if (c.status == 0) {
            EXPECT_TRUE(read_file(d / "out.bin") == reference_image(d.input)) << what;
        } else if (c.existing) {
            EXPECT_TRUE(read_file(d / "out.bin") == old) << what;
        }
        std::vector<std::string> left = {"in.bin"};
        if (c.existing || c.status == 0)
            left.push_back("out.bin");
        EXPECT_EQ(list_dir(d.path), left) << what;
    }
}

/* The output changes between any look at its name and the open: what was
 * opened is what gets written, whole. */
TEST(Output, SwappedBeforeTheOpen)
{
    OutputDir d;
    ASSERT_EQ(mkfifo((d / "out.bin").c_str(), 0666), 0);
    write_file(d / "real.bin", pattern(9000, 5));
    ASSERT_EQ(symlink("real.bin", (d / "swap").c_str()), 0);
    RunOptions opt;
    opt.env = preload_env(FAIL_OUTPUT_CALL_PATH);
    opt.env.push_back("SWUG_FAIL_CALL=swap");
    opt.env.push_back("SWUG_SWAP_FROM=" + (d / "swap"));
    RunResult r = run_program({GEN, "in.bin", "out.bin"}, d.path, opt);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(read_file(d / "real.bin") == reference_image(d.input))
        << read_file(d / "real.bin").size() << " bytes";
    struct stat st;
    EXPECT_TRUE(lstat((d / "out.bin").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_EQ(list_dir(d.path), (std::vector<std::string>{"in.bin", "out.bin", "real.bin"}));
}
