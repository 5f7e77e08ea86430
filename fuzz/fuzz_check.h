/* What a fuzz target does when a result is wrong: say which, and abort, so
 * that libFuzzer keeps the input as a crash. */
#ifndef SWUG_FUZZ_CHECK_H
#define SWUG_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                              \
        }                                                                         \
    } while (0)

#endif
