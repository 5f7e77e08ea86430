#include "e2e_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

extern char **environ;

pid_t start_program(const std::vector<std::string> &argv, const std::string &cwd,
                    const RunOptions &opt, int *out_fd)
{
    int out_pipe[2], in_pipe[2] = {-1, -1};
    if (pipe(out_pipe) != 0 || (opt.in == Stdin::Data && pipe(in_pipe) != 0))
        return -1;

    /* opt.env replaces a variable of the same name: with both in the
     * environment, which one the program sees is up to its C library */
    std::vector<std::string> env_strings;
    for (char **e = environ; *e; e++) {
        std::string name = std::string(*e).substr(0, std::string(*e).find('='));
        bool replaced = false;
        for (const std::string &add : opt.env)
            replaced = replaced || add.compare(0, name.size() + 1, name + "=") == 0;
        if (!replaced)
            env_strings.push_back(*e);
    }
    env_strings.insert(env_strings.end(), opt.env.begin(), opt.env.end());
    std::vector<char *> envp, args;
    for (auto &s : env_strings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto &s : argv_copy)
        args.push_back(&s[0]);
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_pipe[1], STDOUT_FILENO);
        close(out_pipe[0]);
        close(out_pipe[1]);
        if (opt.in == Stdin::Closed) {
            close(STDIN_FILENO);
        } else if (opt.in == Stdin::Data) {
            dup2(in_pipe[0], STDIN_FILENO);
            close(in_pipe[0]);
            close(in_pipe[1]);
        } else {
            int fd = open("/dev/null", O_RDONLY);
            dup2(fd, STDIN_FILENO);
            close(fd);
        }
        if (chdir(cwd.c_str()) != 0 || (opt.remove_cwd && rmdir(cwd.c_str()) != 0))
            _exit(127);
        if (opt.file_size_limit >= 0) {
            struct rlimit lim = {(rlim_t)opt.file_size_limit, (rlim_t)opt.file_size_limit};
            if (setrlimit(RLIMIT_FSIZE, &lim) != 0)
                _exit(127);
        }
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(out_pipe[1]);
    if (opt.in == Stdin::Data) {
        close(in_pipe[0]);
        ssize_t n = write(in_pipe[1], opt.in_data.data(), opt.in_data.size());
        (void)n;
        close(in_pipe[1]);
    }
    *out_fd = out_pipe[0];
    return pid;
}

RunResult finish_program(pid_t pid, int out_fd)
{
    RunResult r;
    time_t deadline = time(nullptr) + 120;
    char buf[4096];

    for (;;) {
        struct pollfd p = {out_fd, POLLIN, 0};
        int ready = poll(&p, 1, 200);
        if (ready > 0) {
            ssize_t n = read(out_fd, buf, sizeof buf);
            if (n > 0) {
                r.out.append(buf, (size_t)n);
                continue;
            }
            if (n == 0)
                break;
        }
        if (time(nullptr) > deadline) {
            ADD_FAILURE() << "program still running after two minutes: killed";
            kill(pid, SIGKILL);
            break;
        }
    }
    close(out_fd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.signal = WTERMSIG(st);
    return r;
}

RunResult run_program(const std::vector<std::string> &argv, const std::string &cwd,
                      const RunOptions &opt)
{
    int fd = -1;
    pid_t pid = start_program(argv, cwd, opt, &fd);
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << argv[0];
        return RunResult();
    }
    return finish_program(pid, fd);
}

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

PtyRun::PtyRun(const std::vector<std::string> &argv, const std::string &cwd, const PtyOptions &opt)
{
    struct winsize size = {50, opt.columns, 0, 0};
    if (openpty(&master, &slave, nullptr, nullptr, opt.columns ? &size : nullptr) != 0 ||
        tcgetattr(slave, &before) != 0 ||
        (opt.nonblocking && fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK) != 0)) {
        ADD_FAILURE() << "no pseudo-terminal: " << strerror(errno);
        return;
    }
    std::vector<std::string> argv_copy = argv;
    std::vector<char *> args;
    for (auto &a : argv_copy)
        args.push_back(&a[0]);
    args.push_back(nullptr);

    pid = fork();
    if (pid == 0) {
        /* a session of its own, with the terminal as its controlling terminal */
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
        dup2(slave, STDERR_FILENO);
        close(slave);
        close(master);
        if (opt.as_job)
            continue_as_job();
        if (opt.null_stdin) {
            int fd = open("/dev/null", O_RDONLY);
            if (fd < 0 || dup2(fd, STDIN_FILENO) < 0)
                _exit(127);
            close(fd);
        }
        for (const std::string &e : opt.env)
            putenv(strdup(e.c_str()));
        if (chdir(cwd.c_str()) == 0)
            execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0)
        ADD_FAILURE() << "fork: " << strerror(errno);
}

PtyRun::~PtyRun()
{
    if (pid > 0 && kill(pid, SIGKILL) == 0)
        waitpid(pid, nullptr, 0);
    if (master >= 0)
        close(master);
    if (slave >= 0)
        close(slave);
}

bool PtyRun::send(const std::string &keys, int gap_ms)
{
    if (gap_ms == 0)
        return write(master, keys.data(), keys.size()) == (ssize_t)keys.size();
    for (char c : keys)
        if (usleep((useconds_t)gap_ms * 1000) != 0 || write(master, &c, 1) != 1)
            return false;
    return true;
}

void PtyRun::take_output(int wait_ms)
{
    char buf[512];
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, wait_ms) > 0) {
        ssize_t n = read(master, buf, sizeof buf);
        if (n > 0)
            out.append(buf, (size_t)n);
    }
}

bool PtyRun::read_until(const std::function<bool()> &done)
{
    for (time_t end = time(nullptr) + 60; time(nullptr) < end; take_output(50))
        if (done())
            return true;
    return done();
}

bool PtyRun::ended(int seconds)
{
    if (pid < 0)
        return true;
    for (time_t end = time(nullptr) + seconds;;) {
        int st;
        pid_t got = waitpid(pid, &st, WNOHANG);
        if (got == pid) {
            pid = -1;
            if (WIFEXITED(st))
                status = WEXITSTATUS(st);
            else if (WIFSIGNALED(st))
                signal = WTERMSIG(st);
            /* what it printed last may still be on its way */
            size_t had;
            int rounds = 0;
            do {
                had = out.size();
                take_output(20);
            } while (out.size() != had && ++rounds < 100);
            return true;
        }
        if (got < 0 && errno != EINTR) {
            ADD_FAILURE() << "waitpid: " << strerror(errno);
            pid = -1;
            return true;
        }
        if (time(nullptr) > end)
            return false;
        take_output(50);
    }
}

bool PtyRun::settings(struct termios *t) const
{
    return tcgetattr(slave, t) == 0;
}

TempDir::TempDir()
{
    const char *base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/swug-test-XXXXXX";
    if (mkdtemp(&templ[0]) == nullptr)
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    path = templ;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path, ec);
}

Workspace::Workspace(const std::string *input, bool with_out)
{
    make_dir(*this / "data");
    if (with_out)
        make_dir(*this / "out");
    if (input)
        write_file(*this / "data/KOVRIN_SW.bin", *input);
}

std::vector<InteractiveFailure> interactive_failures()
{
    static const std::string empty, big = pattern(1048577), small = "abcde";
    return {
        {nullptr, true, "Open file (data/KOVRIN_SW.bin) failed\n"},
        {&small, false, "data/KOVRIN_SW.bin len= 5\nWrite file out/KOVRIN_UPGRADE_SW.bin failed\n"},
        {&empty, true, "data/KOVRIN_SW.bin len= 0\n"},
        {&big, true,
         "data/KOVRIN_SW.bin len= 1048577\nLength of data/KOVRIN_SW.bin exceed limition\n"},
    };
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), (std::streamsize)bytes.size());
    f.close();
    if (!f)
        ADD_FAILURE() << "cannot write " << path;
}

std::string make_sparse_file(const std::string &path, long long size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return strerror(errno);
    std::string why = ftruncate(fd, (off_t)size) == 0 ? "" : strerror(errno);
    close(fd);
    return why;
}

std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return std::string();
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void make_dir(const std::string &path)
{
    if (mkdir(path.c_str(), 0777) != 0)
        ADD_FAILURE() << "mkdir " << path << ": " << strerror(errno);
}

std::vector<std::string> list_dir(const std::string &path)
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return names;
    while (struct dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string pattern(size_t n, unsigned seed)
{
    std::string s(n, '\0');
    uint32_t x = 2463534242u ^ seed;
    for (size_t i = 0; i < n; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        s[i] = (char)(i % 3 == 0 ? (uint8_t)i : (uint8_t)x);
    }
    return s;
}

std::vector<std::string> preload_env(const std::string &so)
{
    const char *asan = getenv("ASAN_OPTIONS");
    std::string options = asan && *asan ? std::string(asan) + ":" : std::string();
    return {"LD_PRELOAD=" + so, "ASAN_OPTIONS=" + options + "verify_asan_link_order=0"};
}
