/* The image builder and the input loader.
 *
 * The builder owns the state of a run: the image record swug_img, sw_ver and
 * in_cmd_mode are defined with it, so that code which only reads images
 * (swug-verify) links none of them. */
#ifndef SWUG_BUILD_H
#define SWUG_BUILD_H

#include <cstddef>

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

/* Set every byte of swug_img that the image of filesize loaded input bytes
 * is written from, other than the input and the header, to 0xFF: the body's
 * fill up to its size and the trailer. A run writes only those bytes of the
 * record, so only those are touched: the rest of the 1 MiB record, which a
 * small input never uses, is never filled, faulted in or written. */
void fill_swug_img(uint32_t filesize);

/* Set the header of swug_img for the filesize input bytes loaded at the
 * start of its body: kind 0, the version from sw_ver, length. The checksum
 * is left to generate_CRC(). */
void set_swug_header(uint32_t filesize);

/* Checksum of the first swug_img.sw_str.length body bytes, summed in
 * 512-byte chunks, stored in swug_img.sw_str.CRC. */
void generate_CRC(void);

/* One of the three pieces an image file is written in. */
struct SWUG_PIECE {
    const void *data;
    size_t len;
};

/* The image file of swug_img, whose header is set and checksummed, as the
 * pieces it is written in, in order: the header as it stands on disk (put
 * into header[]), the body with its 0xFF fill, the trailer. */
void swug_img_pieces(uint8_t header[SWUG_HEADER_SIZE], SWUG_PIECE pieces[3]);

#endif
