/* Shared by the two POSIX platform files, and by nothing else: the signal
 * handler lives in platform_posix.cpp, the files it must remove belong to
 * the output code in platform_posix_output.cpp. */
#ifndef SWUG_PLATFORM_POSIX_H
#define SWUG_PLATFORM_POSIX_H

#include <csignal>

/* Block (and restore) the signals whose handler cleans up, so that it never
 * sees the output state half updated. */
void block_signals(sigset_t *old);
void restore_signals(const sigset_t *old);

/* Remove the temporary output and an output this run created, if any.
 * Async-signal-safe: the signal handler calls it. */
void output_signal_cleanup(void);

#endif
