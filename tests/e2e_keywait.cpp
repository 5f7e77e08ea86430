/* The closing key wait, in a pseudo-terminal and with standard input that is not one. */
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string GEN = SWUG_GEN_PATH;
static const std::string PROMPT = "Press any key to exit!";

/* In the session leader of a terminal: go on as a job, in a process group
 * of its own in the foreground, as a job-control shell starts one, and stay
 * behind as its parent, ending with its status. Run directly, the program's
 * group would have no parent in the session (orphaned), and the system
 * discards stop signals sent to such a group. */
static void continue_as_job(void)
{
    pid_t job = fork();
    if (job == 0) {
        setpgid(0, 0);
        signal(SIGTTOU, SIG_IGN); /* taking the terminal from the background */
        tcsetpgrp(STDIN_FILENO, getpid());
        signal(SIGTTOU, SIG_DFL);
        return;
    }
    int st = 0;
    while (job > 0 && waitpid(job, &st, 0) < 0 && errno == EINTR) {
    }
    _exit(job > 0 && WIFEXITED(st) ? WEXITSTATUS(st) : 127);
}

/* swug-gen in an interactive run on a fresh pseudo-terminal of its own;
 * as_job: under a session leader, as a shell runs it. */
struct PtyRun {
    int master = -1, slave = -1;
    pid_t pid = -1;
    std::string out;
    TempDir dir;
    struct termios before; /* the terminal as the program finds it */

    explicit PtyRun(bool as_job = false)
    {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 || tcgetattr(slave, &before) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            take_terminal(slave);
            close(master);
            if (as_job)
                continue_as_job();
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

/* A key may send several bytes: an arrow key an escape sequence, an
 * accented letter two bytes of UTF-8. One key ends the wait, and all of
 * it is taken. */
TEST(KeyWait, OneKeyOfAnyLengthWithoutEchoThenTerminalRestored)
{
    for (std::string key : {"k", "\x1b[A", "\xc3\xa9"}) {
        PtyRun run;
        ASSERT_GT(run.pid, 0);
        struct termios after;

        ASSERT_TRUE(run.read_until([&] { return run.out.find(PROMPT) != std::string::npos; }))
            << run.out;
        ASSERT_TRUE(run.read_until([&] { return run.raw_mode(); })) << "terminal never made raw";
        ASSERT_EQ(write(run.master, key.data(), key.size()), (ssize_t)key.size());
        int st = run.wait_status();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << key;
        EXPECT_EQ(run.out.substr(run.out.find(PROMPT) + PROMPT.size()), "") << "echoed: " << key;
        ASSERT_EQ(tcgetattr(run.slave, &after), 0);
        EXPECT_TRUE(same_settings(run.before, after)) << key;
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
    } stops[] = {{"Ctrl-Z", SIGTSTP, true}, {"SIGTSTP", SIGTSTP, false}, {"SIGSTOP", SIGSTOP, false}};
    for (auto &s : stops) {
        PtyRun run(true);
        ASSERT_GT(run.pid, 0);
        struct termios now;
        ASSERT_TRUE(run.read_until([&] { return run.out.find(PROMPT) != std::string::npos; }))
            << run.out;
        ASSERT_TRUE(run.read_until([&] { return run.raw_mode(); })) << s.how;
        pid_t job = tcgetpgrp(run.master);
        ASSERT_TRUE(job > 0 && job != run.pid) << "not started as a job";

        int sent = s.typed ? (int)write(run.master, "\x1a", 1) - 1 : kill(job, s.sig);
        ASSERT_EQ(sent, 0) << s.how;
        ASSERT_TRUE(run.read_until([&] { return process_state(job) == 'T'; })) << s.how;
        if (s.sig == SIGSTOP) {
            ASSERT_EQ(tcsetattr(run.slave, TCSANOW, &run.before), 0);
        }
        ASSERT_EQ(tcgetattr(run.slave, &now), 0);
        EXPECT_TRUE(same_settings(run.before, now)) << s.how << ": left raw while stopped";

        ASSERT_EQ(kill(job, SIGCONT), 0);
        ASSERT_TRUE(run.read_until([&] { return run.raw_mode(); })) << s.how << ": not raw again";
        ASSERT_EQ(write(run.master, "k", 1), 1);
        int st = run.wait_status();
        EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << s.how;
        EXPECT_EQ(run.out.substr(run.out.find(PROMPT) + PROMPT.size()), "") << s.how;
        ASSERT_EQ(tcgetattr(run.slave, &now), 0);
        EXPECT_TRUE(same_settings(run.before, now)) << s.how;
    }
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
