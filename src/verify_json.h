/* swug-verify's findings as one JSON object, for scripts and pipelines.
 *
 * The object's keys are fixed: scripts key on them, so they are only ever
 * added to, never renamed. Strings hold whatever bytes the paths and the
 * version field hold: valid UTF-8 is written as it is (control characters,
 * `"` and `\` escaped), and every byte that is not part of valid UTF-8 is
 * written as \u00XX with the byte's value, so the output is always valid
 * JSON. Such an escape cannot be told from the character U+00XX itself;
 * that is the price of never dropping a byte. */
#ifndef SWUG_VERIFY_JSON_H
#define SWUG_VERIFY_JSON_H

#include <cstdio>

#include "swug_verify.h"

/* Write the findings of v (after swug_verify_image() and, with an INPUT,
 * swug_verify_input()) to out as one JSON object ending in a line break.
 * input_path is NULL when there was no INPUT. Write errors are left in
 * out's error indicator, for the caller's fflush()/ferror() check. */
void swug_write_json(FILE *out, const SWUG_VERIFY *v, const char *image_path,
                     const char *input_path);

/* Write the n bytes at s as one quoted JSON string, escaped as above. */
void swug_write_json_string(FILE *out, const uint8_t *s, size_t n);

#endif
