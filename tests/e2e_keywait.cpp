/* The closing key wait, in a pseudo-terminal and with standard input that is not one. */
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <ctime>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string GEN = SWUG_GEN_PATH;
static const std::string PROMPT = "Press any key to exit!";

/* swug-gen in an interactive run on a fresh pseudo-terminal of its own. */
struct PtyRun {
    int master = -1, slave = -1;
    pid_t pid = -1;
    std::string out;
    TempDir dir;
    struct termios before; /* the terminal as the program finds it */

    PtyRun()
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || tcgetattr(slave, &before) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            take_terminal(slave);
            close(master);
            if (chdir(dir.path.c_str()) == 0)
                execl(GEN.c_str(), GEN.c_str(), (char *)nullptr);
            _exit(127);
        }
    }

    ~PtyRun()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        close(master);
        close(slave);
    }

    /* Read what the program prints until `done` holds, for at most a minute. */
    template <class F> bool read_until(F done)
    {
        char buf[512];
        for (time_t end = time(nullptr) + 60; time(nullptr) < end;) {
            if (done())
                return true;
            struct pollfd p = {master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0)
                    out.append(buf, (size_t)n);
            }
        }
        return done();
    }

    bool raw_mode()
    {
        struct termios t;
        return tcgetattr(slave, &t) == 0 && !(t.c_lflag & (ICANON | ECHO)) && (t.c_lflag & ISIG);
    }

    int wait_status()
    {
        int st = -1;
        waitpid(pid, &st, 0);
        pid = -1;
        /* take in what is still buffered */
        char buf[512];
        struct pollfd p = {master, POLLIN, 0};
        while (poll(&p, 1, 0) > 0) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, (size_t)n);
        }
        return st;
    }
};

static bool same_settings(const struct termios &a, const struct termios &b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
           a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

TEST(KeyWait, OneKeyWithoutEchoThenTerminalRestored)
{
    PtyRun run;
    ASSERT_GT(run.pid, 0);
    struct termios after;

    ASSERT_TRUE(run.read_until([&] { return run.out.find(PROMPT) != std::string::npos; }))
        << run.out;
    ASSERT_TRUE(run.read_until([&] { return run.raw_mode(); })) << "terminal never made raw";
    ASSERT_EQ(write(run.master, "k", 1), 1);
    int st = run.wait_status();
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(run.out.substr(run.out.find(PROMPT) + PROMPT.size()), "") << "the key was echoed";
    ASSERT_EQ(tcgetattr(run.slave, &after), 0);
    EXPECT_TRUE(same_settings(run.before, after));
}

TEST(KeyWait, CtrlCRestoresTheTerminal)
{
    PtyRun run;
    ASSERT_GT(run.pid, 0);
    struct termios after;
    ASSERT_TRUE(run.read_until([&] { return run.raw_mode(); }));
    ASSERT_EQ(write(run.master, "\x03", 1), 1);
    int st = run.wait_status();
    EXPECT_TRUE(WIFSIGNALED(st) && WTERMSIG(st) == SIGINT);
    ASSERT_EQ(tcgetattr(run.slave, &after), 0);
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
