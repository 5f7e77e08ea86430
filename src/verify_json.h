/* swug-verify's findings as one JSON object, for scripts and pipelines.
 *
 * The object's keys are fixed: scripts key on them, so they are only ever
 * added to, never renamed. Its "format_version" says which keys to expect,
 * as MAJOR.MINOR: a new key raises MINOR, a changed or removed one MAJOR.
 * share/swug-verify.schema.json describes the object; a change of keys
 * changes that schema and the version below together. Strings hold whatever bytes the paths and the
 * version field hold: valid UTF-8 is written as it is (control characters,
 * `"` and `\` escaped), and every byte that is not part of valid UTF-8 is
 * written as \u00XX with the byte's value, so the output is always valid
 * JSON. Such an escape cannot be told from the character U+00XX itself;
 * that is the price of never dropping a byte. */
#ifndef SWUG_VERIFY_JSON_H
#define SWUG_VERIFY_JSON_H

#include <cstdio>

#include "swug_verify.h"

constexpr const char SWUG_JSON_FORMAT_VERSION[] = "1.0";

/* Write the findings of v (after swug_verify_image() and, with an INPUT,
 * swug_verify_input()) to out as one JSON object ending in a line break.
 * input_path is NULL when there was no INPUT. Write errors are left in
 * out's error indicator, for the caller's fflush()/ferror() check. */
void swug_write_json(FILE *out, const SWUG_VERIFY *v, const char *image_path,
                     const char *input_path);

/* Instead of the findings, when nothing could be checked: the object
 * {"format_version", "valid": false, "error": {"code", "message"}}, the
 * message being head, path and tail one after the other (path may be NULL).
 * code is one of "usage", "image-unreadable", "input-unreadable". */
void swug_write_json_error(FILE *out, const char *code, const char *head, const char *path,
                           const char *tail);

/* Length of the valid UTF-8 sequence of 2 to 4 bytes that starts s[0..n),
 * or 0 when there is none (a stray continuation byte, a cut sequence, an
 * overlong form, a surrogate, or a code point over U+10FFFF). */
size_t swug_utf8_sequence(const uint8_t *s, size_t n);

/* Write the n bytes at s as one quoted JSON string, escaped as above. */
void swug_write_json_string(FILE *out, const uint8_t *s, size_t n);

#endif
