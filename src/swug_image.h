/* The upgrade image format: fill rule, header bytes and the additive checksum.
 *
 * An image file is the 40-byte header, the body and ten 0xFF trailer bytes.
 * The body is the input itself, except that inputs of 204,801 to 409,550
 * bytes are filled up with 0xFF to 409,550 bytes, so that every such image is
 * exactly 409,600 bytes long. */
#ifndef SWUG_IMAGE_H
#define SWUG_IMAGE_H

#include "main.h"

constexpr uint32_t SWUG_FILL_FROM = 204800; /* inputs above this are filled ... */
constexpr uint32_t SWUG_FILL_BODY = 409550; /* ... up to this body size */
constexpr size_t SWUG_IMAGE_MAX = SWUG_HEADER_SIZE + SWUG_BIN_SIZE + SWUG_RESERVED_SIZE;

/* Body size of the image of an input of `length` bytes. */
uint32_t swug_body_size(uint32_t length);

/* Whole file size of the image of an input of `length` bytes. */
uint64_t swug_file_size(uint32_t length);

/* Store v at p as a little-endian 32-bit word (load_le32() reads one). */
void swug_put_le32(uint8_t *p, uint32_t v);

/* The header as it stands on disk, and back. */
void swug_put_header(const SWUG_STRUCT *h, uint8_t out[SWUG_HEADER_SIZE]);
void swug_get_header(const uint8_t in[SWUG_HEADER_SIZE], SWUG_STRUCT *h);

/* Add the chunk c[0..len) to the running sum in_crc and return the new sum.
 * The chunk counts as little-endian words; its last 1 to 4 bytes are added
 * as one zero-extended value, so nothing beyond c[len-1] is ever read. A
 * len of 0 or less adds nothing and reads nothing. */
uint32_t generate_CRC_512(const uint8_t *c, int32_t len, uint32_t in_crc);

/* Checksum of body[0..length), summed in 512-byte chunks. The builder and
 * the verifier both sum through here, so they agree byte for byte. */
uint32_t swug_checksum(const uint8_t *body, uint32_t length);

#endif
