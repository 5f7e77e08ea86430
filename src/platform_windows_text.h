/* UTF-8 and UTF-16 for the Windows platform files: the rest of the tool
 * keeps paths in UTF-8, the Windows API names files in UTF-16. */
#ifndef SWUG_PLATFORM_WINDOWS_TEXT_H
#define SWUG_PLATFORM_WINDOWS_TEXT_H

#include <cstddef>

/* Convert the UTF-8 text utf8 into out, which holds count wide characters,
 * terminator included. Returns 1, or 0 when it is not valid UTF-8 or does
 * not fit: nothing is ever cut short or guessed. */
int utf8_to_wide(const char *utf8, wchar_t *out, size_t count);

/* Convert the UTF-16 text wide into out, which holds size bytes, terminator
 * included. Returns 1, or 0 when it holds an unpaired surrogate or does not
 * fit. */
int wide_to_utf8(const wchar_t *wide, char *out, size_t size);

#endif
