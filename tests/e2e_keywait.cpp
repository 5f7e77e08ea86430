/* The closing key wait, in a pseudo-terminal and with standard input that is not one. */
#include <signal.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string GEN = SWUG_GEN_PATH;
static const std::string PROMPT = "Press any key to exit!";

/* Whether the terminal is set to hand over single keys without echo, with
 * Ctrl-C still a signal. */
static bool raw_mode(const PtyRun &run)
{
    struct termios t;
    return run.settings(&t) && !(t.c_lflag & (ICANON | ECHO)) && (t.c_lflag & ISIG);
}

static bool same_settings(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

TEST(KeyWait, OneKeyWithoutEchoThenTerminalRestored)
{
    TempDir d;
    PtyRun run({GEN}, d.path);
    ASSERT_GT(run.pid, 0);
    struct termios after;

    ASSERT_TRUE(run.read_until([&] { return run.out.find(PROMPT) != std::string::npos; }))
        << run.out;
    ASSERT_TRUE(run.read_until([&] { return raw_mode(run); })) << "terminal never made raw";
    ASSERT_TRUE(run.send("k"));
    ASSERT_TRUE(run.ended(60));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.substr(run.out.find(PROMPT) + PROMPT.size()), "") << "the key was echoed";
    ASSERT_TRUE(run.settings(&after));
    EXPECT_TRUE(same_settings(run.before, after));
}

TEST(KeyWait, CtrlCRestoresTheTerminal)
{
    TempDir d;
    PtyRun run({GEN}, d.path);
    ASSERT_GT(run.pid, 0);
    struct termios after;
    ASSERT_TRUE(run.read_until([&] { return raw_mode(run); }));
    ASSERT_TRUE(run.send("\x03"));
    ASSERT_TRUE(run.ended(60));
    EXPECT_EQ(run.signal, SIGINT);
    ASSERT_TRUE(run.settings(&after));
    EXPECT_TRUE(same_settings(run.before, after));
}

TEST(KeyWait, StandardInputThatIsNotATerminal)
{
    TempDir d;
    for (Stdin in : {Stdin::Closed, Stdin::DevNull, Stdin::Data}) {
        RunOptions opt;
        opt.in = in;
        opt.in_data = "xy";
        RunResult r = run_program({GEN}, d.path, opt);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Open file (data/KOVRIN_SW.bin) failed\n" + PROMPT);
    }
}
