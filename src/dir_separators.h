/* The separator rewrite for directories as Windows reports them.
 *
 * Pure text handling, below both the platform layer (whose Windows side
 * promises '/' separators from platform_getcwd) and the tool: it knows
 * nothing of either. */
#ifndef SWUG_DIR_SEPARATORS_H
#define SWUG_DIR_SEPARATORS_H

/* Rewrite dir to '/' separators, in place: every backslash becomes '/', and
 * a backslash that follows another one is dropped, so a run of backslashes
 * becomes a single '/'. No other character changes. */
void normalise_dir_separators(char *dir);

#endif
