/* Running the built programs in a fresh folder, and the files they leave. */
#ifndef SWUG_E2E_SUPPORT_H
#define SWUG_E2E_SUPPORT_H

#include <sys/types.h>
#include <termios.h>

#include <cstdint>

#include <functional>
#include <string>
#include <vector>

#include "reference_image.h"

enum class Stdin { DevNull, Closed, Data };

struct RunOptions {
    Stdin in = Stdin::DevNull;
    std::string in_data;                /* with Stdin::Data: fed through a pipe */
    std::vector<std::string> env;       /* NAME=value entries, replacing any of the same name */
    bool remove_cwd = false;            /* delete the (empty) working folder before exec */
    long long file_size_limit = -1;     /* bytes: RLIMIT_FSIZE of the run (ulimit -f), -1 none */
};

struct RunResult {
    int status = -1;   /* exit status, or -1 when killed by a signal */
    int signal = 0;    /* the signal that ended it, or 0 */
    std::string out;   /* all of standard output */
};

/* Start argv in cwd; standard output goes to a pipe read by finish_program(). */
pid_t start_program(const std::vector<std::string> &argv, const std::string &cwd,
                    const RunOptions &opt, int *out_fd);

/* Collect the output and status of a started program. A run that has not
 * ended after two minutes is killed and the test fails. */
RunResult finish_program(pid_t pid, int out_fd);

RunResult run_program(const std::vector<std::string> &argv, const std::string &cwd,
                      const RunOptions &opt = RunOptions());

/* Environment entries that preload the shared object `so` into a run. An
 * ASan-built program refuses to start unless its runtime comes first in the
 * library list; a preloaded shim that only replaces write() or the like does
 * not disturb it, so that check is turned off (other ASan options are kept). */
std::vector<std::string> preload_env(const std::string &so);

/* A program run on a pseudo-terminal of its own: the terminal is its
 * controlling terminal and its standard input, output and error (standard
 * input is /dev/null instead with null_stdin). The slave side stays open
 * here as well, so that the terminal's settings can be read while the
 * program runs and after it ends. The destructor kills a program still
 * running. pid is -1 when the program could not be started. */
/* How PtyRun starts the program. */
struct PtyOptions {
    bool null_stdin = false;      /* standard input from /dev/null, not the terminal */
    std::vector<std::string> env; /* "NAME=value" entries added to its environment */
    unsigned short columns = 0;   /* the terminal's width, when not the system's default */
    bool as_job = false;          /* a job under a session leader, as a shell runs it */
    bool nonblocking = false;     /* the terminal's file status has O_NONBLOCK */
};

struct PtyRun {
    int master = -1, slave = -1;
    pid_t pid = -1;
    std::string out;            /* all it has printed so far, as the terminal got it */
    struct termios before;      /* the terminal's settings as the program finds them */
    int status = -1, signal = 0; /* once ended(): as in RunResult */

    PtyRun(const std::vector<std::string> &argv, const std::string &cwd,
           const PtyOptions &opt = PtyOptions());
    ~PtyRun();
    PtyRun(const PtyRun &) = delete;
    PtyRun &operator=(const PtyRun &) = delete;

    /* Type keys at the terminal, one byte every gap_ms when not 0. */
    bool send(const std::string &keys, int gap_ms = 0);
    /* Take in what the program prints, waiting up to wait_ms for something. */
    void take_output(int wait_ms);
    /* Take in output until done() holds, for at most a minute; returns done(). */
    bool read_until(const std::function<bool()> &done);
    /* Wait up to `seconds` for the program to end, taking in its output,
     * the last of it too. True once it has ended. */
    bool ended(int seconds);
    /* The terminal's settings now. */
    bool settings(struct termios *t) const;
};

/* A fresh folder under $TMPDIR (or /tmp), removed with its content by the destructor. */
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

/* A folder laid out for an interactive run: data/ holding
 * data/KOVRIN_SW.bin (unless input is null), and out/ when with_out. */
struct Workspace : TempDir {
    explicit Workspace(const std::string *input, bool with_out = true);
};

/* An interactive run that fails: the folder it finds, and all it prints
 * before the closing prompt. */
struct InteractiveFailure {
    const std::string *input;
    bool with_out;
    std::string expect;
};

/* Every way an interactive run with the default files fails: no input, no
 * out/ folder, an empty input, an input one byte over the limit. */
std::vector<InteractiveFailure> interactive_failures();

void write_file(const std::string &path, const std::string &bytes);

/* Create path as a sparse file of `size` bytes. Returns "", or why not. */
std::string make_sparse_file(const std::string &path, long long size);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
void make_dir(const std::string &path);

/* Names in a folder, sorted, "." and ".." left out. */
std::vector<std::string> list_dir(const std::string &path);

/* n bytes of a fixed pattern that differs with seed and holds every byte value. */
std::string pattern(size_t n, unsigned seed = 0);

#endif
