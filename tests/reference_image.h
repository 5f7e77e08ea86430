/* The sum and the image our tools must produce, worked out here a second
 * time, independently of the code under test, so that the unit tests, the
 * end-to-end tests and the fuzz targets all check against one oracle. */
#ifndef SWUG_REFERENCE_IMAGE_H
#define SWUG_REFERENCE_IMAGE_H

#include <cstddef>
#include <cstdint>

#include <string>

/* The sum of the bytes as little-endian 32-bit words, the last partial word
 * zero-extended: byte i weighs 256^(i mod 4). */
uint32_t reference_sum(const unsigned char *p, size_t n);
uint32_t reference_sum(const std::string &bytes);

/* Bytes in the image of an n-byte input: header, body, trailer. */
size_t reference_image_size(size_t n);

/* Write the image of input[0..n) to out, which holds reference_image_size(n)
 * bytes: 32 zero bytes, length and sum little-endian, the input, filled with
 * 0xFF to 409,550 bytes for inputs of 204,801 to 409,550 bytes, ten 0xFF
 * bytes. Uses no heap, for fuzz targets. */
void reference_image_write(const unsigned char *input, size_t n, unsigned char *out);

/* The same image as a string. */
std::string reference_image(const std::string &input);

#endif
