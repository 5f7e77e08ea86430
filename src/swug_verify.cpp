/* Checking an upgrade image, and that it was built from a given input. */
#include "swug_verify.h"

#include <cstring>

#include "swug_image.h"

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

/* 1 when any byte of the version field is not 0. */
static int version_is_set(const char version[SWUG_VERSION_SIZE])
{
    for (size_t i = 0; i < SWUG_VERSION_SIZE; i++)
        if (version[i] != '\0')
            return 1;
    return 0;
}

static int has_problem(const SWUG_VERIFY *v, int kind)
{
    for (uint32_t i = 0; i < v->problem_count; i++)
        if (v->problems[i].kind == kind)
            return 1;
    return 0;
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
        v->kind_not_ours = v->header.sw_or_fmw != 0;
        v->version_not_ours = version_is_set(v->header.version);
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
            v->input_differs = 1;
            add_problem(v, SWUG_PROBLEM_INPUT_BYTES, i, body[i], input[i]);
            return;
        }
    }
    if (v->input_size > v->room) {
        v->input_differs = 1;
        add_problem(v, SWUG_PROBLEM_INPUT_CUT, v->room, v->input_size, 0);
    }
}

/* The header fields swug-gen writes for INPUT: kind 0, no version, INPUT's
 * size as length. */
static void compare_header(SWUG_VERIFY *v)
{
    if (v->kind_not_ours)
        add_problem(v, SWUG_PROBLEM_INPUT_KIND, v->header.sw_or_fmw, 0, 0);
    if (v->version_not_ours)
        add_problem(v, SWUG_PROBLEM_INPUT_VERSION, 0, 0, 0);
    if (v->header.length != v->input_size)
        add_problem(v, SWUG_PROBLEM_INPUT_LENGTH, v->header.length, v->input_size, 0);
}

uint32_t swug_verify_input(SWUG_VERIFY *v, const uint8_t *input, uint64_t input_size)
{
    uint32_t before = v->problem_count;

    v->has_input = 1;
    v->input_size = input_size;
    if (v->has_header)
        compare_header(v);
    if (input_size == 0) {
        add_problem(v, SWUG_PROBLEM_INPUT_EMPTY, 0, 0, 0);
        return v->problem_count - before;
    }
    if (input_size > SWUG_BIN_SIZE) {
        add_problem(v, SWUG_PROBLEM_INPUT_TOO_LARGE, input_size, 0, 0);
        return v->problem_count - before;
    }
    v->input_crc = swug_checksum(input, (uint32_t)input_size);
    v->input_crc_done = 1;
    /* a wrong stored checksum is named once: by the image's own check if it
     * found it, else here */
    if (v->has_header && v->header.CRC != v->input_crc && !has_problem(v, SWUG_PROBLEM_CHECKSUM))
        add_problem(v, SWUG_PROBLEM_INPUT_CHECKSUM, v->header.CRC, v->input_crc, 0);
    if (v->has_layout)
        compare_input(v, input);
    /* likewise a wrong file size */
    uint64_t need = swug_file_size((uint32_t)input_size);
    if (v->file_size != need && !has_problem(v, SWUG_PROBLEM_SIZE) &&
        !has_problem(v, SWUG_PROBLEM_SHORT) && !has_problem(v, SWUG_PROBLEM_TOO_LARGE) &&
        !has_problem(v, SWUG_PROBLEM_EMPTY))
        add_problem(v, SWUG_PROBLEM_INPUT_SIZE, v->file_size, input_size, need);
    return v->problem_count - before;
}
