/* The closing key wait, in a pseudo-terminal and with standard input that is not one. */
#include <fcntl.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

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

/* What is left to read on the terminal once the program is gone: what the
 * shell would get next. */
static std::string left_for_the_shell(int slave)
{
    struct termios t;
    char buf[64];
    if (tcgetattr(slave, &t) != 0)
        return "(no terminal)";
    t.c_lflag &= ~(tcflag_t)(ICANON | ECHO); /* a partial line becomes readable */
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(slave, TCSANOW, &t) != 0)
        return "(no terminal)";
    ssize_t n = read(slave, buf, sizeof buf);
    return n > 0 ? std::string(buf, (size_t)n) : "";
}

/* Wait until the prompt is shown and the terminal is raw. */
static bool waiting_for_key(PtyRun &run)
{
    return run.read_until([&] { return run.out.find(PROMPT) != std::string::npos; }) &&
           run.read_until([&] { return raw_mode(run); });
}

/* A key may send several bytes: an arrow key an escape sequence, an
 * accented letter two bytes of UTF-8. One key ends the wait, and all of
 * it is taken, also a byte every 5 ms (a serial console) on a terminal left
 * non-blocking, which stays so. */
TEST(KeyWait, OneKeyOfAnyLengthWithoutEchoThenTerminalRestored)
{
    struct { const char *key; int gap_ms; } keys[] = {{"k", 0}, {"\x1b[A", 0}, {"\xc3\xa9", 0},
                                                      {"\x1b[A", 5}, {"\xc3\xa9", 5},
                                                      {"a paste of forty bytes, all of it taken.", 0}};
    TempDir d;
    for (auto &k : keys) {
        std::string key = k.key;
        PtyOptions opt;
        opt.nonblocking = k.gap_ms > 0;
        PtyRun run({GEN}, d.path, opt);
        ASSERT_GT(run.pid, 0);
        struct termios after;

        ASSERT_TRUE(waiting_for_key(run)) << run.out;
        EXPECT_FALSE(opt.nonblocking && run.ended(1)) << key << ": ended without a key";
        ASSERT_TRUE(run.send(key, k.gap_ms));
        ASSERT_TRUE(run.ended(60));
        EXPECT_EQ(run.status, 1) << key; /* no input here */
        EXPECT_EQ(run.out.substr(run.out.find(PROMPT) + PROMPT.size()), "") << "echoed: " << key;
        ASSERT_TRUE(run.settings(&after));
        EXPECT_TRUE(same_settings(run.before, after)) << key;
        EXPECT_EQ((fcntl(run.slave, F_GETFL) & O_NONBLOCK) != 0, opt.nonblocking) << key;
        EXPECT_EQ(left_for_the_shell(run.slave), "") << "after " << key.size() << " bytes";
    }
}

/* The state letter of a process in /proc ('T': stopped), or '?'. */
static char process_state(pid_t pid)
{
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t end = stat.rfind(')');
    return end == std::string::npos || end + 2 >= stat.size() ? '?' : stat[end + 2];
}

/* Stopped during the wait, the program hands the terminal back as it found
 * it; continued (fg), the wait is raw and silent again. A SIGSTOP cannot be
 * caught: there the shell puts its own settings back, and the program must
 * still make the terminal raw again when continued. */
TEST(KeyWait, StoppedAndContinued)
{
    struct {
        const char *how;
        int sig;
        bool typed;
    } stops[] = {{"Ctrl-Z", SIGTSTP, true}, {"SIGTSTP", SIGTSTP, false}, {"SIGSTOP", SIGSTOP, false},
                 {"SIGTTOU", SIGTTOU, false}, {"SIGTTIN", SIGTTIN, false}};
    TempDir d;
    PtyOptions job;
    job.as_job = true;
    job.nonblocking = true;
    for (auto &s : stops) {
        PtyRun run({GEN}, d.path, job);
        ASSERT_GT(run.pid, 0);
        struct termios now;
        ASSERT_TRUE(waiting_for_key(run)) << s.how << ": " << run.out;
        pid_t pgrp = tcgetpgrp(run.master);
        ASSERT_TRUE(pgrp > 0 && pgrp != run.pid) << "not started as a job";

        int sent = s.typed ? (run.send("\x1a") ? 0 : -1) : kill(pgrp, s.sig);
        ASSERT_EQ(sent, 0) << s.how;
        ASSERT_TRUE(run.read_until([&] { return process_state(pgrp) == 'T'; })) << s.how;
        if (s.sig == SIGSTOP) {
            ASSERT_EQ(tcsetattr(run.slave, TCSANOW, &run.before), 0);
        }
        ASSERT_TRUE(run.settings(&now));
        EXPECT_TRUE(same_settings(run.before, now)) << s.how << ": left raw while stopped";
        EXPECT_TRUE(s.sig == SIGSTOP || (fcntl(run.slave, F_GETFL) & O_NONBLOCK)) << s.how;

        ASSERT_EQ(kill(pgrp, SIGCONT), 0);
        ASSERT_TRUE(run.read_until([&] { return raw_mode(run); })) << s.how << ": not raw again";
        EXPECT_FALSE(run.ended(1)) << s.how << ": ended without a key";
        ASSERT_TRUE(run.send("k"));
        ASSERT_TRUE(run.ended(60));
        EXPECT_EQ(run.status, 1) << s.how;
        EXPECT_EQ(run.out.substr(run.out.find(PROMPT) + PROMPT.size()), "") << s.how;
        ASSERT_TRUE(run.settings(&now));
        EXPECT_TRUE(same_settings(run.before, now)) << s.how;
    }
}

TEST(KeyWait, CtrlCRestoresTheTerminal)
{
    TempDir d;
    PtyOptions opt;
    opt.nonblocking = true;
    PtyRun run({GEN}, d.path, opt);
    ASSERT_GT(run.pid, 0);
    struct termios after;
    ASSERT_TRUE(run.read_until([&] { return raw_mode(run); }));
    ASSERT_TRUE(run.send("\x03"));
    ASSERT_TRUE(run.ended(60));
    EXPECT_EQ(run.signal, SIGINT);
    ASSERT_TRUE(run.settings(&after));
    EXPECT_TRUE(same_settings(run.before, after));
    EXPECT_TRUE(fcntl(run.slave, F_GETFL) & O_NONBLOCK);
}

TEST(KeyWait, StandardInputThatIsNotATerminal)
{
    TempDir d;
    for (Stdin in : {Stdin::Closed, Stdin::DevNull, Stdin::Data}) {
        RunOptions opt;
        opt.in = in;
        opt.in_data = "xy";
        RunResult r = run_program({GEN}, d.path, opt);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "Open file (data/KOVRIN_SW.bin) failed\n" + PROMPT);
    }
}
