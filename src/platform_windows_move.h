/* Putting a finished output in place on Windows, for
 * platform_windows_output.cpp: the destination's folder held open from the
 * start, the move of the open temporary file over the destination, and the
 * check, by file ID, that the name then holds our file. */
#ifndef SWUG_PLATFORM_WINDOWS_MOVE_H
#define SWUG_PLATFORM_WINDOWS_MOVE_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

/* Open the folder of the full path `target` (up to its last backslash)
 * sharing reading and writing but not deletion, so that on NTFS nobody can
 * rename or remove it while we hold it; where another program holds it
 * with the right to delete, it is opened sharing deletion too. Returns its
 * handle, or INVALID_HANDLE_VALUE (only the move by names is then tried). */
HANDLE move_folder_open(const wchar_t *target);

/* Move the temporary file open at tmp (created as tmp_path, beside target)
 * over target, through tmp itself and relative to folder where the system
 * allows it, else by names. Returns 1 once target's name holds the file
 * open at tmp, whatever the move itself answered; else 0 with *err the
 * system's refusal, or 0 with *err == 0 when the move would take, or took,
 * another file or another place. */
int move_temp(HANDLE tmp, const wchar_t *tmp_path, HANDLE folder, const wchar_t *target, DWORD *err);

/* May a move of tmp over target refused with err work a moment later? When
 * another program (a virus scanner, an indexer) has the destination open. */
int move_may_pass(DWORD err, const wchar_t *target);

#endif
