/* swug-verify's findings as one JSON object. Written straight to the
 * stream, a field at a time: nothing is assembled in memory. */
#include "verify_json.h"

#include <cinttypes>
#include <cstring>

#include "swug_image.h"

size_t swug_utf8_sequence(const uint8_t *s, size_t n)
{
    uint8_t c = s[0], lo = 0x80, hi = 0xBF;
    size_t len;

    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        len = 3;
    else if (c >= 0xF0 && c <= 0xF4)
        len = 4;
    else
        return 0;
    if (c == 0xE0)
        lo = 0xA0; /* else overlong */
    else if (c == 0xED)
        hi = 0x9F; /* else a surrogate */
    else if (c == 0xF0)
        lo = 0x90; /* else overlong */
    else if (c == 0xF4)
        hi = 0x8F; /* else over U+10FFFF */
    if (n < len || s[1] < lo || s[1] > hi)
        return 0;
    for (size_t i = 2; i < len; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

/* The n bytes at s, escaped, without the quotes around them. */
static void write_json_chars(FILE *out, const uint8_t *s, size_t n)
{
    size_t i = 0;

    while (i < n) {
        uint8_t c = s[i];
        size_t len = c >= 0x80 ? swug_utf8_sequence(s + i, n - i) : 1;
        if (c == '"' || c == '\\')
            fprintf(out, "\\%c", c);
        else if (c == '\n')
            fputs("\\n", out);
        else if (c == '\t')
            fputs("\\t", out);
        else if (c < 0x20 || c == 0x7F || len == 0)
            fprintf(out, "\\u%04X", c); /* a control character, or a byte that is not UTF-8 */
        else
            fwrite(s + i, 1, len, out);
        i += len == 0 ? 1 : len;
    }
}

void swug_write_json_string(FILE *out, const uint8_t *s, size_t n)
{
    fputc('"', out);
    write_json_chars(out, s, n);
    fputc('"', out);
}

static void write_key_string(FILE *out, const char *key, const char *s)
{
    fprintf(out, "  \"%s\": ", key);
    swug_write_json_string(out, (const uint8_t *)s, strlen(s));
    fputs(",\n", out);
}

/* "key": n, or "key": null when there is no such number. */
static void write_key_number(FILE *out, const char *key, int known, uint64_t n)
{
    if (known)
        fprintf(out, "  \"%s\": %" PRIu64 ",\n", key, n);
    else
        fprintf(out, "  \"%s\": null,\n", key);
}

/* "key": {"size": N, "not_ff": N}, or null when those bytes were not checked. */
static void write_bytes_check(FILE *out, const char *key, int checked, uint32_t size, uint32_t bad)
{
    if (checked)
        fprintf(out, "  \"%s\": {\"size\": %" PRIu32 ", \"not_ff\": %" PRIu32 "},\n", key, size,
                bad);
    else
        fprintf(out, "  \"%s\": null,\n", key);
}

static void write_header_fields(FILE *out, const SWUG_VERIFY *v)
{
    size_t version_len = SWUG_VERSION_SIZE;

    write_key_number(out, "kind", v->has_header, v->header.sw_or_fmw);
    if (v->has_header) {
        while (version_len > 0 && v->header.version[version_len - 1] == '\0')
            version_len--; /* the NUL fill is not part of the text */
        fputs("  \"version\": ", out);
        swug_write_json_string(out, (const uint8_t *)v->header.version, version_len);
        fputs(",\n", out);
    } else {
        fputs("  \"version\": null,\n", out);
    }
    write_key_number(out, "length", v->has_header, v->header.length);
    write_key_number(out, "body_size", v->has_layout, v->room);
    write_key_number(out, "body_size_expected", v->length_ok,
                     v->length_ok ? swug_body_size(v->header.length) : 0);
    write_bytes_check(out, "fill", v->fill_checked, v->fill_size, v->fill_bad);
    write_bytes_check(out, "trailer", v->trailer_checked, SWUG_RESERVED_SIZE, v->trailer_bad);
    fputs("  \"checksum\": {\"stored\": ", out);
    if (v->has_header)
        fprintf(out, "%" PRIu32, v->header.CRC);
    else
        fputs("null", out);
    if (v->crc_done)
        fprintf(out, ", \"computed\": %" PRIu32 "},\n", v->crc);
    else
        fputs(", \"computed\": null},\n", out);
}

static void write_input(FILE *out, const SWUG_VERIFY *v, const char *input_path)
{
    if (input_path == NULL) {
        fputs("  \"input\": null,\n", out);
        return;
    }
    fputs("  \"input\": {\"path\": ", out);
    swug_write_json_string(out, (const uint8_t *)input_path, strlen(input_path));
    if (v->input_size == SWUG_SIZE_PAST_READ)
        fputs(", \"size\": null, \"checksum\": ", out);
    else
        fprintf(out, ", \"size\": %" PRIu64 ", \"checksum\": ", v->input_size);
    if (v->input_crc_done)
        fprintf(out, "%" PRIu32 "},\n", v->input_crc);
    else
        fputs("null},\n", out);
}

/* One {"code": ..., "message": ...} entry of an array; first: no comma before it. */
static void write_entry(FILE *out, int first, const char *code, const char *message)
{
    fprintf(out, "%s\n    {\"code\": \"%s\", \"message\": ", first ? "" : ",", code);
    swug_write_json_string(out, (const uint8_t *)message, strlen(message));
    fputc('}', out);
}

/* What swug-gen would not have written but the image alone does not make
 * wrong: a kind other than 0, a version text. */
static void write_notes(FILE *out, const SWUG_VERIFY *v)
{
    char text[SWUG_PROBLEM_TEXT_SIZE];

    fputs("  \"notes\": [", out);
    if (v->kind_not_ours) {
        snprintf(text, sizeof text, "kind 0x%02X is not from swug-gen, which writes 0x00",
                 v->header.sw_or_fmw);
        write_entry(out, 1, "kind", text);
    }
    if (v->version_not_ours)
        write_entry(out, !v->kind_not_ours, "version",
                    "the version text is not from swug-gen, which writes none");
    fputs(v->kind_not_ours || v->version_not_ours ? "\n  ],\n" : "],\n", out);
}

static void write_problems(FILE *out, const SWUG_VERIFY *v)
{
    char text[SWUG_PROBLEM_TEXT_SIZE];

    fputs("  \"problems\": [", out);
    for (uint32_t i = 0; i < v->problem_count; i++) {
        swug_problem_text(&v->problems[i], text);
        write_entry(out, i == 0, swug_problem_code(v->problems[i].kind), text);
    }
    fputs(v->problem_count > 0 ? "\n  ],\n" : "],\n", out);
}

void swug_write_json(FILE *out, const SWUG_VERIFY *v, const char *image_path,
                     const char *input_path)
{
    fprintf(out, "{\n  \"format_version\": \"%s\",\n  \"image\": ", SWUG_JSON_FORMAT_VERSION);
    swug_write_json_string(out, (const uint8_t *)image_path, strlen(image_path));
    fputs(",\n", out);
    write_key_number(out, "size", v->file_size != SWUG_SIZE_PAST_READ, v->file_size);
    write_header_fields(out, v);
    write_input(out, v, input_path);
    write_notes(out, v);
    write_problems(out, v);
    write_key_string(out, "verdict", swug_verdict_text(v));
    fprintf(out, "  \"valid\": %s\n}\n", v->problem_count == 0 ? "true" : "false");
}

void swug_write_json_error(FILE *out, const char *code, const char *head, const char *path,
                           const char *tail)
{
    fprintf(out, "{\n  \"format_version\": \"%s\",\n  \"valid\": false,\n",
            SWUG_JSON_FORMAT_VERSION);
    fprintf(out, "  \"error\": {\"code\": \"%s\", \"message\": \"", code);
    write_json_chars(out, (const uint8_t *)head, strlen(head));
    if (path != NULL)
        write_json_chars(out, (const uint8_t *)path, strlen(path));
    write_json_chars(out, (const uint8_t *)tail, strlen(tail));
    fputs("\"}\n}\n", out);
}
