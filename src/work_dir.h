/* Working-directory paths of a command run.
 *
 * A command-line path that begins with "./" is taken relative to the
 * directory the tool was started in, captured once into `work_dir` and
 * written with '/' as its only separator. */
#ifndef SWUG_WORK_DIR_H
#define SWUG_WORK_DIR_H

#include "main.h"

/* Capture the current directory into work_dir. Returns 1 on success; on
 * failure (deleted directory, longer than the buffer) work_dir stays empty
 * and every "./" argument of the run fails. */
int capture_work_dir(void);

/* Compose the path for one command-line argument into out[SWUG_PATH_SIZE]:
 * "./rest" becomes work_dir "/" rest, anything else is copied unchanged.
 * Returns 1, or 0 when the result does not fit or work_dir is empty; out is
 * then an empty string. */
int compose_path(char out[SWUG_PATH_SIZE], const char *arg);

/* The path to open for one command-line argument, into out[SWUG_PATH_SIZE]:
 * compose_path()'s, which also decides whether the argument fits, except
 * that where the system resolves "./" from the working folder itself
 * (POSIX) a "./" argument is handed over as given. The absolute path of
 * the working folder is then never looked up again: a folder above it
 * that someone else swaps for a link meanwhile, or one we may not search,
 * changes nothing. Returns 1, or 0 (out empty) as compose_path(). */
int argument_path(char out[SWUG_PATH_SIZE], const char *arg);

#endif
