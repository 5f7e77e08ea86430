/* What platform_posix.cpp gives the output code in platform_posix_output.cpp,
 * and nobody else: the signal handler lives in the former, the files it must
 * remove belong to the latter, which hands it a clean-up function. */
#ifndef SWUG_PLATFORM_POSIX_H
#define SWUG_PLATFORM_POSIX_H

#include <csignal>

/* Block (and restore) the signals whose handler cleans up, so that it never
 * sees the output state half updated. */
void block_signals(sigset_t *old);
void restore_signals(const sigset_t *old);

/* Have the handler of the cleanup signals call fn before the process dies
 * of the signal; fn must be async-signal-safe. One function at a time. */
void on_cleanup_signal(void (*fn)(void));

#endif
