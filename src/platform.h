/* The platform layer: the only code that knows which OS it runs on.
 *
 * This header is the one contract; platform_posix.cpp and
 * platform_windows.cpp each implement all of it, and the build picks one.
 * The layer uses nothing of the tool above it.
 *
 * It gives the rest of the tool the single-key wait, the current-directory
 * query, whole-file input and an output file that is replaced atomically
 * where the system allows it:
 *
 *     platform_output_open()       open the destination, temporary file beside it
 *     platform_output_write() ...  every byte, checked
 *     platform_output_commit()     flush and close, rename over the destination
 *
 * Any failure along the way, or platform_output_abort(), removes the
 * temporary file and leaves the destination exactly as it was; a file the
 * run had to create (a new output whose rename was refused) is removed
 * again. A destination that is not a regular file (a device, a FIFO, a
 * pipe) is written in place instead.
 *
 * On POSIX the path is looked up once: its folder is opened, and every
 * later step is taken relative to that descriptor, so that a folder
 * renamed, swapped or linked meanwhile redirects nothing; a new output goes
 * where the folder path led when it was opened, as with `>`. A final link
 * is followed by hand, hop by hop, and judged before anything is opened
 * through it (in a sticky folder others may write, only the runner's or
 * the folder owner's link is followed), and the entry that holds the file
 * is opened bound to the look that saw it; what it opened decides: a
 * regular file is replaced under that entry (and a final link keeps
 * pointing at the file that gets the new content). Every file a run
 * creates is created with O_EXCL. The temporary file of a replacement is
 * made with mode 0600, so that nobody else can open it while it is
 * written; that of a new output with 0666, so that the umask or the
 * folder's default ACL applies to it as to any new file. A replacement
 * gets, after the last write, the owner and group where the system allows
 * it (else the group alone where we are a member, and a changed group none
 * of the old group's rights), the access ACL and the extended attributes
 * but the integrity signatures, the mode, and the set-ID bits and file
 * capabilities only where owner and group were kept. Only where the
 * system refuses the replacement (no file may be created in its folder,
 * the rename is refused, the folder is append-only, the file has no name
 * left) is it locked, truncated and written in place, as an ordinary
 * overwrite would be (it keeps what it had, less what a write clears); a
 * new output in an append-only folder is created and written in place, and
 * stays after a failure. Running short of anything fails.
 *
 * On Windows every name is judged in the form the system is handed: its
 * full path, in the \\?\ form when it is long, or exactly as given when the
 * user wrote it in the \\?\ form (where a device word is part of a file's
 * name). A destination we may not write (read-only, or denied by its DACL)
 * is refused; a device spelled as one, as a whole (NUL, COM5, CONOUT$,
 * \\.\COM5, \\.\pipe\x), is written in place, while any other name Windows
 * takes as a device (out\nul, COM5.bin, nul.txt, COM5\.), and a stream
 * (out.bin:fw) are refused with nothing opened, and so is, once its handle
 * tells, any other output or input that is a device or a pipe (a link to
 * NUL). The output's folder is held open, so that on NTFS it cannot be
 * renamed meanwhile, and the temporary file, shared with no one but for
 * deletion, stays open from its creation through the flush, the move
 * (relative to that folder where the system allows it) and a second flush;
 * the move counts only once the output's name is found to hold that very
 * file, and the file is deleted through its handle on any failure; the
 * replacement keeps the hidden, system and not-indexed attributes,
 * encryption, compression, the creation time and, where they may be read
 * and set, the permissions of the file it replaces, not its other streams
 * or its short name; a link is replaced itself. No input named as a device
 * is ever opened.
 *
 * Paths are text as the OS names files: bytes on POSIX, UTF-8 on Windows,
 * where the layer hands out the arguments and the current directory in
 * UTF-8 and names files through the system's Unicode (wide) functions, so
 * that every name Windows can hold is reachable in every locale. */
#ifndef SWUG_PLATFORM_H
#define SWUG_PLATFORM_H

#include <cstddef>
#include <cstdint>

/* Longest path the platform layer composes (link targets, temporary names). */
constexpr size_t PLATFORM_PATH_SIZE = 4096;

/* 1 where a "./" argument is handed to the system as given, which resolves
 * it from the process's working folder itself, and is composed with that
 * folder's name only to decide whether it fits (POSIX); 0 where the
 * composed path is the one opened (Windows). */
#ifdef _WIN32
constexpr int PLATFORM_DOT_SLASH_AS_GIVEN = 0;
#else
constexpr int PLATFORM_DOT_SLASH_AS_GIVEN = 1;
#endif

struct PLATFORM_IN {
    int fd;       /* open descriptor of a regular file */
    int64_t size; /* POSIX: its size in bytes when it was opened */
};

struct PLATFORM_OUT {
    int fd;                           /* descriptor being written */
    int dest;                         /* POSIX: the destination, open until commit, or -1 */
    int dir;                          /* POSIX: target's folder, every step relative to it, or -1 */
    int in_place;                     /* 1: writing the destination itself (POSIX: 2, one
                                         this run created) */
    char target[PLATFORM_PATH_SIZE];  /* the file that finally holds the image (POSIX: its
                                         entry in dir) */
};

/* Install the handlers that remove a temporary output and restore the
 * terminal when the run is interrupted. Call once, first thing in main. */
void platform_init(void);

/* Replace main's arguments by their UTF-8 form. On Windows the arguments
 * main is given are in the system's ANSI code page, which cannot name most
 * of the world's files; these come from the Unicode command line instead and
 * live in static storage sized for the longest command line Windows allows.
 * On POSIX the arguments are bytes already and are left as they are.
 * Returns 1, or 0 with argc and argv untouched when an argument has no
 * UTF-8 form (unpaired UTF-16 surrogates): such an argument names no file
 * this program can open. */
int platform_utf8_args(int *argc, char ***argv);

/* Have what the program prints shown as UTF-8 text on a console, until the
 * program ends (the console's own setting is then restored). Output to a
 * pipe or a file is not affected: it gets the program's bytes unchanged. */
void platform_utf8_console(void);

/* Flush standard output and wait for one key: raw and without echo on a
 * terminal, one byte (or end of input) otherwise. */
void platform_wait_key(void);

/* Store the current directory, written with '/' separators, in buf.
 * Returns 1, or 0 when it cannot be had or does not fit in size bytes. */
int platform_getcwd(char *buf, size_t size);

/* Open a regular file for reading. Returns 1, or 0 (nothing left open) for
 * a missing file, a directory, a device or a FIFO; never blocks. */
int platform_open_input(const char *path, PLATFORM_IN *in);

/* Size of the open input in bytes, measured in 64 bits. Returns 1 or 0. */
int platform_input_size(PLATFORM_IN *in, uint64_t *size);

/* Read exactly len bytes. Returns 1, or 0 on an error or an early end. */
int platform_read(PLATFORM_IN *in, uint8_t *buf, uint32_t len);

void platform_close_input(PLATFORM_IN *in);

/* Prepare to write `path`. Returns 1, or 0 with nothing created. */
int platform_output_open(const char *path, PLATFORM_OUT *out);

/* Write len bytes. Returns 1, or 0 on any error (the output stays open:
 * follow up with platform_output_abort()). */
int platform_output_write(PLATFORM_OUT *out, const void *buf, size_t len);

/* What platform_output_commit() returns when the image is to be written
 * again: the system refused the replacement after the temporary file was
 * complete (POSIX: a bind-mounted file), so the temporary file is gone and
 * the destination itself, truncated, is now the output. */
constexpr int PLATFORM_OUTPUT_AGAIN = 2;

/* Flush and close the output and put it in place. Returns 1 once the image
 * and its name are on the medium, 0 with the temporary file removed and
 * the destination untouched (a failed flush after the rename, of the folder
 * on POSIX, of the moved file on Windows, leaves the new image under the
 * name), or PLATFORM_OUTPUT_AGAIN: write every byte again from the start,
 * then commit again. */
int platform_output_commit(PLATFORM_OUT *out);

/* Give up on the output: close it and remove the temporary file. */
void platform_output_abort(PLATFORM_OUT *out);

/* Have the memory of p[0 .. len) mapped in one call, instead of one page
 * fault per page as it is first touched. Only a hint for speed: where the
 * system cannot do it, nothing happens and the pages fault in as usual. */
void platform_prefault(void *p, size_t len);

/* Read standard input, as bytes (binary mode on Windows), until its end or
 * until max bytes are in buf, whichever comes first; *got gets how many
 * were read. A pipe has no size to ask: a caller that must know whether
 * there is more asks for one byte more than it can use. Returns 1, or 0
 * on a read error (no standard input at all among them). */
int platform_read_stdin(uint8_t *buf, uint32_t max, uint32_t *got);

#endif
