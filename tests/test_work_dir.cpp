/* Separator rewrite, "./" composition and the capture of the working directory. */
#include <unistd.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "dir_separators.h"
#include "work_dir.h"

static std::string normalised(std::string dir)
{
    normalise_dir_separators(&dir[0]);
    return dir.c_str();
}

TEST(Separators, WindowsDirectories)
{
    EXPECT_EQ(normalised("C:\\Work\\fw"), "C:/Work/fw");
    EXPECT_EQ(normalised("C:\\"), "C:/");
    EXPECT_EQ(normalised("\\\\srv\\share\\fw"), "/srv/share/fw");
    EXPECT_EQ(normalised("C:\\a\\\\\\b\\"), "C:/a/b/");
    EXPECT_EQ(normalised("/already/posix"), "/already/posix");
    EXPECT_EQ(normalised(""), "");
}

/* Compose into a buffer with guard bytes behind its 300 bytes. */
static int compose(const char *dir, const std::string &arg, std::string *result)
{
    char buf[SWUG_PATH_SIZE + 16];
    memset(buf, 'G', sizeof buf);
    memset(work_dir, 0, sizeof work_dir);
    strcpy(work_dir, dir);
    int ok = compose_path(buf, arg.c_str());
    for (size_t i = SWUG_PATH_SIZE; i < sizeof buf; i++)
        EXPECT_EQ(buf[i], 'G') << "written beyond the buffer";
    *result = buf;
    return ok;
}

TEST(Compose, DotSlashTakesTheWorkingDirectory)
{
    std::string r;
    EXPECT_TRUE(compose("C:/Work/fw", "./in.bin", &r));
    EXPECT_EQ(r, "C:/Work/fw/in.bin");
    EXPECT_TRUE(compose("C:/", "./in.bin", &r));
    EXPECT_EQ(r, "C://in.bin");
    EXPECT_TRUE(compose("/w", "./", &r));
    EXPECT_EQ(r, "/w/");
    EXPECT_TRUE(compose("/w", "././x", &r));
    EXPECT_EQ(r, "/w/./x");
}

TEST(Compose, OtherArgumentsAreUnchanged)
{
    for (const char *arg : {".\\x", "../x", ".", "in.bin", "/abs/in.bin", ".x/y", ""}) {
        std::string r;
        EXPECT_TRUE(compose("/w", arg, &r)) << arg;
        EXPECT_EQ(r, arg);
    }
}

TEST(Compose, PathsThatDoNotFitFail)
{
    std::string r;
    EXPECT_TRUE(compose("/w", std::string(299, 'a'), &r));
    EXPECT_EQ(r.size(), 299u);
    EXPECT_FALSE(compose("/w", std::string(300, 'a'), &r));
    EXPECT_EQ(r, "");

    std::string dir = "/" + std::string(290, 'd'); /* 291 + "/" + rest */
    EXPECT_TRUE(compose(dir.c_str(), "./" + std::string(7, 'x'), &r));
    EXPECT_EQ(r.size(), 299u);
    EXPECT_FALSE(compose(dir.c_str(), "./" + std::string(8, 'x'), &r));
    EXPECT_EQ(r, "");
}

TEST(Compose, NoWorkingDirectoryFailsDotSlashOnly)
{
    std::string r;
    EXPECT_FALSE(compose("", "./in.bin", &r));
    EXPECT_TRUE(compose("", "in.bin", &r));
}

TEST(Capture, CurrentDirectoryAsGiven)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(capture_work_dir(), 1);
    EXPECT_STREQ(work_dir, cwd);
}

TEST(Capture, DeletedDirectoryLeavesItEmpty)
{
    char cwd[4096], gone[] = "/tmp/swug-gone-XXXXXX";
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_NE(mkdtemp(gone), nullptr);
    ASSERT_EQ(chdir(gone), 0);
    ASSERT_EQ(rmdir(gone), 0);
    int captured = capture_work_dir();
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(captured, 0);
    EXPECT_EQ(work_dir[0], '\0');
}
