/* Running the built programs in a fresh folder, and the files they leave. */
#ifndef SWUG_E2E_SUPPORT_H
#define SWUG_E2E_SUPPORT_H

#include <sys/types.h>

#include <cstdint>

#include <string>
#include <vector>

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

/* In a child about to exec: make the pseudo-terminal `slave` its
 * controlling terminal and its standard input, output and error. */
void take_terminal(int slave);

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

/* The image our tool must make of `input`, worked out here independently:
 * 32 zero bytes, length and sum little-endian, body filled with 0xFF to
 * 409,550 bytes for inputs of 204,801 to 409,550 bytes, ten 0xFF bytes. */
std::string expected_image(const std::string &input);

/* The sum of the bytes as little-endian 32-bit words, the last partial word
 * zero-extended: byte i weighs 256^(i mod 4). */
uint32_t reference_sum(const unsigned char *p, size_t n);

#endif
