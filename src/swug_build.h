/* The image builder and the input loader. */
#ifndef SWUG_BUILD_H
#define SWUG_BUILD_H

#include "main.h"

/* Build the image of one run into swug_img and write it out: the default
 * files with argc 1, the two arguments with argc 3. Returns 1 when the image
 * file is written whole, 0 on every failure, each reported by one message
 * (none in a command run). A failed build leaves the output as it was. */
int32_t generate_swug_bin(func_args *args);

/* Load file fn whole into buffer if it holds 1 to max_len bytes. Returns its
 * size, or 0 (after a message) when it cannot be opened, is empty, too large
 * or cannot be read in full. */
int32_t read_bin(const char *fn, uint8_t *buffer, uint32_t max_len);

#endif
