/* Checking an upgrade image, and that it was built from a given input. */
#include "swug_verify.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "swug_image.h"

constexpr uint64_t SWUG_FRAME_SIZE = SWUG_HEADER_SIZE + SWUG_RESERVED_SIZE;

/* Record one problem. The array holds one of each kind, and no kind is
 * recorded twice, so it cannot overflow; the test keeps that true anyway. */
static void add_problem(SWUG_VERIFY *v, int kind, uint64_t a, uint64_t b, uint64_t c)
{
    if (v->problem_count >= (uint32_t)SWUG_PROBLEM_KINDS)
        return;
    SWUG_PROBLEM *p = &v->problems[v->problem_count++];
    p->kind = kind;
    p->a = a;
    p->b = b;
    p->c = c;
}

/* Count the bytes of p[0..n) that are not 0xFF; *first gets the index of
 * the first of them. */
static uint32_t count_not_ff(const uint8_t *p, uint32_t n, uint32_t *first)
{
    uint32_t bad = 0;

    for (uint32_t i = 0; i < n; i++) {
        if (p[i] != 0xFF) {
            if (bad == 0)
                *first = i;
            bad++;
        }
    }
    return bad;
}

/* The file's size against a header plus trailer and the largest image.
 * Returns 1 when the whole file is there to be checked. */
static int check_file_size(SWUG_VERIFY *v)
{
    if (v->file_size == 0) {
        add_problem(v, SWUG_PROBLEM_EMPTY, 0, 0, 0);
        return 0;
    }
    if (v->file_size < SWUG_FRAME_SIZE) {
        add_problem(v, SWUG_PROBLEM_SHORT, v->file_size, 0, 0);
        return 0;
    }
    if (v->file_size > SWUG_IMAGE_MAX) {
        add_problem(v, SWUG_PROBLEM_TOO_LARGE, v->file_size, 0, 0);
        return 0;
    }
    return 1;
}

/* `length` against its range and, when the file is whole, against the
 * file's size. */
static void check_length(SWUG_VERIFY *v)
{
    uint32_t length = v->header.length;

    v->length_ok = length >= 1 && length <= SWUG_BIN_SIZE;
    if (!v->length_ok) {
        add_problem(v, SWUG_PROBLEM_LENGTH, length, 0, 0);
        return;
    }
    uint64_t need = swug_file_size(length);
    if (v->has_layout && v->file_size != need)
        add_problem(v, SWUG_PROBLEM_SIZE, v->file_size, length, need);
}

/* Checksum and fill, as far as the body room holds `length` bytes. */
static void check_body(SWUG_VERIFY *v)
{
    const uint8_t *body = v->image + SWUG_HEADER_SIZE;
    uint32_t length = v->header.length;
    uint32_t first = 0;

    if (length > v->room)
        return; /* the bytes to sum are not all there: the size problem says so */
    v->crc = swug_checksum(body, length);
    v->crc_done = 1;
    if (v->crc != v->header.CRC)
        add_problem(v, SWUG_PROBLEM_CHECKSUM, v->header.CRC, v->crc, 0);

    v->fill_checked = 1;
    v->fill_size = v->room - length;
    v->fill_bad = count_not_ff(body + length, v->fill_size, &first);
    if (v->fill_bad > 0)
        add_problem(v, SWUG_PROBLEM_FILL, v->fill_bad, SWUG_HEADER_SIZE + length + first, 0);
}

/* The trailer is the file's last 10 bytes, wherever `length` puts it. */
static void check_trailer(SWUG_VERIFY *v)
{
    uint32_t at = SWUG_HEADER_SIZE + v->room;
    uint32_t first = 0;

    v->trailer_checked = 1;
    v->trailer_bad = count_not_ff(v->image + at, SWUG_RESERVED_SIZE, &first);
    if (v->trailer_bad > 0)
        add_problem(v, SWUG_PROBLEM_TRAILER, v->trailer_bad, at + first, 0);
}

uint32_t swug_verify_image(const uint8_t *image, uint64_t file_size, SWUG_VERIFY *v)
{
    memset(v, 0, sizeof *v);
    v->image = image;
    v->file_size = file_size;

    v->has_layout = check_file_size(v);
    if (v->has_layout)
        v->room = (uint32_t)(file_size - SWUG_FRAME_SIZE);
    if (file_size >= SWUG_HEADER_SIZE) {
        swug_get_header(image, &v->header);
        v->has_header = 1;
        check_length(v);
    }
    if (v->has_layout && v->length_ok)
        check_body(v);
    if (v->has_layout)
        check_trailer(v);
    v->image_problems = v->problem_count;
    return v->problem_count;
}

/* Compare INPUT with the start of the body room. */
static void compare_input(SWUG_VERIFY *v, const uint8_t *input)
{
    const uint8_t *body = v->image + SWUG_HEADER_SIZE;
    uint32_t n = v->input_size < v->room ? (uint32_t)v->input_size : v->room;

    v->input_compared = 1;
    for (uint32_t i = 0; i < n; i++) {
        if (body[i] != input[i]) {
            add_problem(v, SWUG_PROBLEM_INPUT_BYTES, i, body[i], input[i]);
            return;
        }
    }
    if (v->input_size > v->room)
        add_problem(v, SWUG_PROBLEM_INPUT_CUT, v->room, v->input_size, 0);
}

uint32_t swug_verify_input(SWUG_VERIFY *v, const uint8_t *input, uint64_t input_size)
{
    uint32_t before = v->problem_count;

    v->has_input = 1;
    v->input_size = input_size;
    if (v->has_header && v->header.length != input_size)
        add_problem(v, SWUG_PROBLEM_INPUT_SIZE, v->header.length, input_size, 0);
    if (input_size > SWUG_BIN_SIZE)
        add_problem(v, SWUG_PROBLEM_INPUT_TOO_LARGE, input_size, 0, 0);
    else if (v->has_layout)
        compare_input(v, input);
    return v->problem_count - before;
}

/* "N <what> bytes are not 0xFF, the first at image offset X", singular when N is 1. */
static void word_not_ff(const SWUG_PROBLEM *p, const char *what, char text[SWUG_PROBLEM_TEXT_SIZE])
{
    if (p->a == 1)
        snprintf(text, SWUG_PROBLEM_TEXT_SIZE, "1 %s byte is not 0xFF, at image offset %" PRIu64,
                 what, p->b);
    else
        snprintf(text, SWUG_PROBLEM_TEXT_SIZE,
                 "%" PRIu64 " %s bytes are not 0xFF, the first at image offset %" PRIu64, p->a,
                 what, p->b);
}

void swug_problem_text(const SWUG_PROBLEM *p, char text[SWUG_PROBLEM_TEXT_SIZE])
{
    const size_t n = SWUG_PROBLEM_TEXT_SIZE;

    switch (p->kind) {
    case SWUG_PROBLEM_EMPTY:
        snprintf(text, n, "the file is empty");
        break;
    case SWUG_PROBLEM_SHORT:
        snprintf(text, n, "the file is %" PRIu64 " bytes, shorter than a header and a trailer (%"
                 PRIu64 " bytes)", p->a, SWUG_FRAME_SIZE);
        break;
    case SWUG_PROBLEM_TOO_LARGE:
        snprintf(text, n, "the file is %" PRIu64 " bytes, larger than the largest image (%" PRIu64
                 " bytes)", p->a, (uint64_t)SWUG_IMAGE_MAX);
        break;
    case SWUG_PROBLEM_LENGTH:
        snprintf(text, n, "length %" PRIu64 " is outside 1 to %" PRIu32, p->a, SWUG_BIN_SIZE);
        break;
    case SWUG_PROBLEM_SIZE:
        snprintf(text, n, "the file is %" PRIu64 " bytes, length %" PRIu64 " needs %" PRIu64,
                 p->a, p->b, p->c);
        break;
    case SWUG_PROBLEM_CHECKSUM:
        snprintf(text, n, "checksum 0x%08" PRIX64 " stored, 0x%08" PRIX64 " computed", p->a, p->b);
        break;
    case SWUG_PROBLEM_FILL:
        word_not_ff(p, "fill", text);
        break;
    case SWUG_PROBLEM_TRAILER:
        word_not_ff(p, "trailer", text);
        break;
    case SWUG_PROBLEM_INPUT_SIZE:
        snprintf(text, n, "length %" PRIu64 ", but INPUT is %" PRIu64 " bytes", p->a, p->b);
        break;
    case SWUG_PROBLEM_INPUT_TOO_LARGE:
        snprintf(text, n, "INPUT is %" PRIu64 " bytes, more than an image holds (%" PRIu32 ")",
                 p->a, SWUG_BIN_SIZE);
        break;
    case SWUG_PROBLEM_INPUT_BYTES:
        snprintf(text, n, "the body differs from INPUT at offset %" PRIu64 " (image offset %" PRIu64
                 "): 0x%02" PRIX64 " in the image, 0x%02" PRIX64 " in INPUT",
                 p->a, p->a + SWUG_HEADER_SIZE, p->b, p->c);
        break;
    case SWUG_PROBLEM_INPUT_CUT:
        snprintf(text, n, "the body ends after %" PRIu64 " bytes, INPUT goes on to %" PRIu64,
                 p->a, p->b);
        break;
    default:
        snprintf(text, n, "unknown problem %d", p->kind);
        break;
    }
}

void swug_version_text(const char version[SWUG_VERSION_SIZE], char text[SWUG_VERSION_TEXT_SIZE])
{
    static const char hex[] = "0123456789ABCDEF";
    size_t end = SWUG_VERSION_SIZE, o = 0;

    while (end > 0 && version[end - 1] == '\0')
        end--;
    text[o++] = '"';
    for (size_t i = 0; i < end; i++) {
        uint8_t c = (uint8_t)version[i];
        if (c == '"' || c == '\\') {
            text[o++] = '\\';
            text[o++] = (char)c;
        } else if (c >= 0x20 && c < 0x7F) {
            text[o++] = (char)c;
        } else {
            text[o++] = '\\';
            text[o++] = 'x';
            text[o++] = hex[c >> 4];
            text[o++] = hex[c & 15];
        }
    }
    text[o++] = '"';
    text[o] = '\0';
}

static_assert(SWUG_FILL_FROM == 204800 && SWUG_FILL_BODY == 409550 && SWUG_BIN_SIZE == 1048576,
              "the band texts below spell out these sizes");

const char *swug_band_text(uint32_t length)
{
    if (length >= 1 && length <= SWUG_FILL_FROM)
        return "length 1 to 204800: not filled";
    if (length > SWUG_FILL_FROM && length <= SWUG_FILL_BODY)
        return "length 204801 to 409550: filled up to 409550";
    if (length > SWUG_FILL_BODY && length <= SWUG_BIN_SIZE)
        return "length 409551 to 1048576: not filled";
    return "length outside 1 to 1048576";
}
