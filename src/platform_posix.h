/* What the parts of the POSIX platform layer give each other, and nobody
 * else: platform_posix.cpp has the signal handler, whose clean-up the output
 * code (platform_posix_output.cpp) hands in; platform_posix_name.cpp finds
 * what the output path names, following a final link by hand with
 * platform_posix_link.cpp; platform_posix_place.cpp writes a destination in
 * place and flushes; platform_posix_meta.cpp gives a replacement what the
 * file it replaces had. */
#ifndef SWUG_PLATFORM_POSIX_H
#define SWUG_PLATFORM_POSIX_H

#include <csignal>

#include <sys/stat.h>

#include "platform.h"

/* Block (and restore) the signals whose handler cleans up, so that it never
 * sees the output state half updated. */
void block_signals(sigset_t *old);
void restore_signals(const sigset_t *old);

/* Have the handler of the cleanup signals call fn before the process dies
 * of the signal; fn must be async-signal-safe. One function at a time. */
void on_cleanup_signal(void (*fn)(void));

/* Whether two looks saw the same file. */
int same_file(const struct stat *a, const struct stat *b);

/* Remove the entry name of the folder dir if it still holds the file was
 * saw: another run may have renamed its own image over it meanwhile.
 * Async-signal-safe. Returns 1 when removed. */
int remove_if_same(int dir, const char *name, const struct stat *was);

/* Cut path at its last '/': the folder part (with the '/', or "." when
 * there is none) into folder, the rest into name. Returns 1, or 0 for a
 * path that ends in '/' (no entry) or does not fit. */
int split_path(const char *path, char folder[PLATFORM_PATH_SIZE], char name[PLATFORM_PATH_SIZE]);

/* Open the folder path folder, relative to the folder at: readable where we
 * may, so that it can be flushed, else only to work in (O_PATH). Returns the
 * descriptor, or -1. */
int open_folder_at(int at, const char *folder);

/* Where follow_links() ended. */
enum {
    WALK_FAILED = 0,  /* a link we may not follow, a chain too long, a name too long or a
                         folder on the way that cannot be opened */
    WALK_FOUND = 1,   /* an entry that is no link */
    WALK_MISSING = 2  /* a name that does not exist: the one a writer following the links
                         would create */
};

/* Follow the entry name of the folder *dir through its chain of links, by
 * hand, to the last entry; a link's target is looked up from the folder
 * holding the link (from / when absolute). On return *dir (the descriptor
 * handed in is closed when replaced) and name are the last entry's folder
 * and name, st its lstat(), and *magic says whether the last link read
 * lies in /proc. Returns a WALK_ value. */
int follow_links(int *dir, char name[PLATFORM_PATH_SIZE], struct stat *st, int *magic);

/* What output_resolve() found the path to name. */
enum {
    RESOLVE_AGAIN = -1,  /* it changed while we looked: look again */
    RESOLVE_FAILED = 0,  /* refused, or nothing we can write */
    RESOLVE_NEW = 1,     /* no file: out->target in out->dir is to be created */
    RESOLVE_NAMED = 2,   /* out->dest, a regular file, is the entry out->target of out->dir */
    RESOLVE_UNNAMED = 3, /* out->dest, a regular file without a name (deleted) */
    RESOLVE_DEVICE = 4   /* out->dest, a device, FIFO, pipe or terminal */
};

/* Look the output path up, once: open its folder into out->dir; a final
 * link is followed by hand to the entry that holds the file (or, for a
 * link to nothing, to the name to create), each link judged before
 * anything is opened, and out->dir and out->target become that entry's
 * folder and name. Where there is a file, open that entry as a writer's
 * open would, bound to the look (O_NOFOLLOW), into out->dest, with st its
 * fstat(). Returns a RESOLVE_ value; whatever is open is closed by
 * platform_output_abort(). */
int output_resolve(const char *path, PLATFORM_OUT *out, struct stat *st);

/* Store a fresh name for a temporary output in name: ".swug-gen-" and six
 * letters or digits, different on every call. */
constexpr size_t TEMP_NAME_SIZE = 32;
void temp_name(char name[TEMP_NAME_SIZE]);

/* Is the folder open as dir append-only (chattr +a): entries may be made
 * there, but none renamed or removed? 0 where the system cannot tell. */
int folder_append_only(int dir);

/* out->in_place for a destination this run created, whose folder is
 * flushed too. */
constexpr int IN_PLACE_CREATED = 2;

/* Write the destination out->dest itself from now on (it becomes out->fd):
 * a regular file is locked and truncated first, as opening it with O_TRUNC
 * would; created says this run made it. Returns 1, or 0 when it cannot be
 * locked within ten seconds or truncated. */
int go_in_place(PLATFORM_OUT *out, int created);

/* Flush a destination written in place. A regular file or a block device
 * that cannot be flushed is a failure; a FIFO, pipe, terminal or other
 * character device holds nothing to flush. Returns 1 or 0. */
int flush_in_place(int fd);

/* Flush out->dir, the folder holding the new name. A folder we may write
 * but not read was opened only to work in, and cannot be flushed itself:
 * then the file system of file, a descriptor of the file under that name,
 * is flushed whole. Returns 1 or 0. */
int flush_folder(const PLATFORM_OUT *out, int file);

/* Give the complete temporary file fd what overwriting the file open as
 * old would leave, after the last write to fd. Returns 1 or 0. */
int copy_metadata(int old, int fd);

#endif
