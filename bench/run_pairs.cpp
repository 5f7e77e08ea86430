/* swug-run-pairs: time two commands run alternately, side by side.
 *
 *   swug-run-pairs PAIRS MODE OUT -- A [ARGS...] -- B [ARGS...]
 *
 * Runs A and B PAIRS times each, alternating (A B, B A, A B, ...) so that
 * neither always goes first, after two untimed runs of each. MODE says what
 * happens to OUT between runs, outside the timed part:
 *   fresh           removed: each run creates it
 *   replace         left in place: each run replaces the last run's output,
 *                   which may still be on its way to the disk
 *   replace-synced  left in place and sync() called: each run replaces an
 *                   output that is already on the disk
 * A run is timed from just before it is started to the moment its exit is
 * collected, on the monotonic clock. Prints the median, lowest and highest
 * wall time of each command in microseconds, the median CPU time (user +
 * system), the ratio of the medians A/B, and the spread of the ratios of
 * the pairs themselves (median and middle half). Any run that fails stops it
 * with status 1. */
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

extern char **environ;

struct RUN_TIMES {
    std::vector<double> wall; /* microseconds, one per run */
    std::vector<double> cpu;  /* user + system, microseconds */
};

static double now_us(void)
{
    struct timespec ts;

    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static double tv_us(const struct timeval &tv)
{
    return tv.tv_sec * 1e6 + tv.tv_usec;
}

enum MODE { FRESH, REPLACE, REPLACE_SYNCED };

/* Run argv once; add its times to t when t is not NULL. Returns 1 when it
 * ended with status 0. */
static int run_once(char **argv, const char *out, MODE mode, RUN_TIMES *t)
{
    pid_t pid;
    int status;
    struct rusage ru;

    if (mode == FRESH && unlink(out) != 0 && errno != ENOENT) {
        perror(out);
        return 0;
    }
    if (mode == REPLACE_SYNCED)
        sync();
    double start = now_us();
    if (posix_spawn(&pid, argv[0], NULL, NULL, argv, environ) != 0) {
        perror(argv[0]);
        return 0;
    }
    if (wait4(pid, &status, 0, &ru) != pid) {
        perror("wait4");
        return 0;
    }
    double end = now_us();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "%s failed (status 0x%x)\n", argv[0], status);
        return 0;
    }
    if (t) {
        t->wall.push_back(end - start);
        t->cpu.push_back(tv_us(ru.ru_utime) + tv_us(ru.ru_stime));
    }
    return 1;
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

/* The q-quantile of v (0 <= q <= 1), by the nearest rank. */
static double quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[(size_t)(q * (double)(v.size() - 1) + 0.5)];
}

static void report(const char *name, const RUN_TIMES *t)
{
    printf("  %-23s median %8.0f us   low %8.0f   high %8.0f   cpu median %6.0f us\n", name,
           median(t->wall), *std::min_element(t->wall.begin(), t->wall.end()),
           *std::max_element(t->wall.begin(), t->wall.end()), median(t->cpu));
}

/* The base name of a command, for the report. */
static const char *base_name(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

int main(int argc, char **argv)
{
    static const char *const mode_names[] = {"fresh", "replace", "replace-synced"};
    int pairs = argc > 1 ? atoi(argv[1]) : 0;
    int mode = -1;
    int sep_a = 4, sep_b = 0;

    for (int m = 0; m < 3 && argc > 2; m++)
        if (strcmp(argv[2], mode_names[m]) == 0)
            mode = m;

    for (int i = sep_a + 1; i < argc; i++)
        if (strcmp(argv[i], "--") == 0)
            sep_b = i;
    if (pairs < 1 || argc < 8 || mode < 0 ||
        strcmp(argv[sep_a], "--") != 0 || sep_b == 0 || sep_b == argc - 1 || sep_b == sep_a + 1) {
        fprintf(stderr, "usage: %s PAIRS fresh|replace|replace-synced OUT -- A [ARGS...] -- B [ARGS...]\n",
                argv[0]);
        return 2;
    }
    const char *out = argv[3];
    char **cmd_a = argv + sep_a + 1;
    char **cmd_b = argv + sep_b + 1;
    argv[sep_b] = NULL; /* ends A's argument list */

    MODE how = (MODE)mode;
    RUN_TIMES ta, tb;
    for (int i = 0; i < 2; i++) /* warm the caches, untimed */
        if (!run_once(cmd_a, out, how, NULL) || !run_once(cmd_b, out, how, NULL))
            return 1;
    for (int i = 0; i < pairs; i++) {
        int ok = i % 2 == 0 ? run_once(cmd_a, out, how, &ta) && run_once(cmd_b, out, how, &tb)
                            : run_once(cmd_b, out, how, &tb) && run_once(cmd_a, out, how, &ta);
        if (!ok)
            return 1;
    }
    printf("%s, %d pairs, wall time per run:\n", mode_names[mode], pairs);
    report(base_name(cmd_a[0]), &ta);
    report(base_name(cmd_b[0]), &tb);
    std::vector<double> pair_ratio;
    for (size_t i = 0; i < ta.wall.size(); i++)
        pair_ratio.push_back(ta.wall[i] / tb.wall[i]);
    printf("  %-23s %.2f (median %s / median %s); pairs' own ratios: median %.2f, "
           "middle half %.2f-%.2f\n",
           "ratio", median(ta.wall) / median(tb.wall), base_name(cmd_a[0]), base_name(cmd_b[0]),
           median(pair_ratio), quantile(pair_ratio, 0.25), quantile(pair_ratio, 0.75));
    return 0;
}
