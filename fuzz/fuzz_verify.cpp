/* Fuzz target "verify": the image checks over arbitrary file contents, and
 * over the image the builder code makes of arbitrary input.
 *
 * Input: one control byte, then data. The data is checked as an image file
 * as it stands (in a heap block of exactly its size, so ASan sees any read
 * beyond it). It is also taken as firmware: built into an image the way a
 * run of the tool builds it, that image must verify, also against the data
 * as INPUT, and with any one body byte changed it must not; and it must be,
 * byte for byte, the image the tests' reference builder makes of the data.
 * A control byte of 0xF8 or more stretches the data, repeated, to one of the
 * sizes at the bounds of the fill band or to the largest input. */
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_check.h"
#include "reference_image.h"
#include "swug_build.h"
#include "swug_image.h"
#include "swug_verify.h"

static const uint32_t STRETCH[] = {204800, 204801, 300000, 409549, 409550, 409551, 1048575, 1048576};

static uint8_t image[SWUG_IMAGE_MAX];
static uint8_t reference[SWUG_IMAGE_MAX];
static uint8_t firmware[SWUG_BIN_SIZE];
static SWUG_VERIFY v;

/* Every problem can be worded, and the version shown, within their buffers. */
static void word_everything(const SWUG_VERIFY *r)
{
    char text[SWUG_PROBLEM_TEXT_SIZE], version[SWUG_VERSION_TEXT_SIZE];

    FUZZ_CHECK(r->problem_count <= (uint32_t)SWUG_PROBLEM_KINDS);
    for (uint32_t i = 0; i < r->problem_count; i++) {
        swug_problem_text(&r->problems[i], text);
        FUZZ_CHECK(strlen(text) < sizeof text);
    }
    if (r->has_header) {
        swug_version_text(r->header.version, version);
        FUZZ_CHECK(strlen(version) < sizeof version);
    }
}

/* The data as an image file: no crash, and a verdict of valid only for a
 * file whose size, checksum, fill and trailer are all right. */
static void check_as_file(const uint8_t *data, size_t size)
{
    uint8_t *block = (uint8_t *)malloc(size ? size : 1);
    FUZZ_CHECK(block != nullptr);
    memcpy(block, data, size);
    uint32_t problems = swug_verify_image(block, size, &v);
    word_everything(&v);
    if (problems == 0) {
        SWUG_STRUCT h;
        swug_get_header(block, &h);
        FUZZ_CHECK(h.length >= 1 && h.length <= SWUG_BIN_SIZE);
        FUZZ_CHECK(size == swug_file_size(h.length));
        FUZZ_CHECK(swug_checksum(block + SWUG_HEADER_SIZE, h.length) == h.CRC);
        for (size_t i = SWUG_HEADER_SIZE + h.length; i < size; i++)
            FUZZ_CHECK(block[i] == 0xFF);
    }
    /* a file larger than any image: only its header is looked at */
    if (size >= SWUG_HEADER_SIZE) {
        FUZZ_CHECK(swug_verify_image(block, SWUG_IMAGE_MAX + 1 + size, &v) > 0);
        word_everything(&v);
    }
    free(block);
}

/* Build the image of firmware[0..n) with the tool's own builder steps, into
 * image[]; returns its size. Only the part of swug_img that the image takes
 * is set to 0xFF first, as a run leaves it: filling the whole megabyte every
 * time would slow the fuzzing down. */
static size_t build_image(uint32_t n)
{
    uint8_t header[SWUG_HEADER_SIZE];
    SWUG_PIECE pieces[3];
    size_t size = 0;

    memset(&swug_img.sw_str, 0xFF, sizeof swug_img.sw_str);
    memset(swug_img.sw_bin + n, 0xFF, swug_body_size(n) - n);
    memset(swug_img.reserved, 0xFF, sizeof swug_img.reserved);
    memcpy(swug_img.sw_bin, firmware, n);
    set_swug_header(n);
    generate_CRC();
    swug_img_pieces(header, pieces);
    for (const SWUG_PIECE &piece : pieces) {
        memcpy(image + size, piece.data, piece.len);
        size += piece.len;
    }
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    uint8_t control = data[0];
    data++;
    size--;
    check_as_file(data, size);

    uint32_t n = size < SWUG_BIN_SIZE ? (uint32_t)size : SWUG_BIN_SIZE;
    if (n == 0)
        return 0;
    memcpy(firmware, data, n);
    if (control >= 0xF8) {
        uint32_t want = STRETCH[control - 0xF8];
        for (uint32_t have = n; have < want; have *= 2)
            memcpy(firmware + have, firmware, have < want - have ? have : want - have);
        n = want;
    }
    size_t image_size = build_image(n);
    FUZZ_CHECK(image_size == swug_file_size(n));
    /* the builder's image is the reference image, byte for byte */
    FUZZ_CHECK(reference_image_size(n) == image_size);
    reference_image_write(firmware, n, reference);
    FUZZ_CHECK(memcmp(image, reference, image_size) == 0);
    FUZZ_CHECK(swug_verify_image(image, image_size, &v) == 0);
    FUZZ_CHECK(swug_verify_input(&v, firmware, n) == 0);

    /* one body byte changed: the checksum and the INPUT compare both notice */
    uint32_t at = control % n;
    image[SWUG_HEADER_SIZE + at] ^= (uint8_t)(1 + (control & 0x7F));
    FUZZ_CHECK(swug_verify_image(image, image_size, &v) > 0);
    FUZZ_CHECK(swug_verify_input(&v, firmware, n) > 0);
    word_everything(&v);
    return 0;
}
