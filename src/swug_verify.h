/* Checking an upgrade image, and that it was built from a given input.
 *
 * The checks work on bytes in memory, so they need no files:
 *
 *     swug_verify_image()   the image on its own: sizes, checksum, fill, trailer
 *     swug_verify_input()   then, optionally: the image was built from INPUT
 *
 * Each records in one SWUG_VERIFY what it found, and every problem, in the
 * order of the checks and each kind at most once; swug_problem_text() words
 * a problem as one line. The checks are in swug_verify.cpp, the words the
 * reports use in verify_words.cpp.
 *
 * The layout is taken from the file's own size: the header is its first 40
 * bytes and the trailer its last 10, whatever `length` says. What lies
 * between is the body room; the first `length` bytes of it are summed and
 * the rest of it is the fill. So a wrong `length` or a wrong file size still
 * leaves the trailer, the fill and the checksum checked where they can be. */
#ifndef SWUG_VERIFY_H
#define SWUG_VERIFY_H

#include "main.h"

/* Header and trailer: no file shorter than this can be an image. */
constexpr uint64_t SWUG_FRAME_SIZE = SWUG_HEADER_SIZE + SWUG_RESERVED_SIZE;

/* Kinds of problems, and what the values a, b, c of each hold. The first
 * ones are about the image alone; the SWUG_PROBLEM_INPUT_... ones compare it
 * with the image swug-gen builds from INPUT. */
constexpr int SWUG_PROBLEM_EMPTY = 0;           /* the file is empty */
constexpr int SWUG_PROBLEM_SHORT = 1;           /* a: file size, under header + trailer */
constexpr int SWUG_PROBLEM_TOO_LARGE = 2;       /* a: file size, over the largest image */
constexpr int SWUG_PROBLEM_LENGTH = 3;          /* a: length, outside 1..SWUG_BIN_SIZE */
constexpr int SWUG_PROBLEM_SIZE = 4;            /* a: file size, b: length, c: size length needs */
constexpr int SWUG_PROBLEM_CHECKSUM = 5;        /* a: stored, b: computed */
constexpr int SWUG_PROBLEM_FILL = 6;            /* a: bytes not 0xFF, b: image offset of the first */
constexpr int SWUG_PROBLEM_TRAILER = 7;         /* a, b: as for the fill */
constexpr int SWUG_PROBLEM_INPUT_KIND = 8;      /* a: kind byte, not 0 */
constexpr int SWUG_PROBLEM_INPUT_VERSION = 9;   /* version text not all zero */
constexpr int SWUG_PROBLEM_INPUT_LENGTH = 10;   /* a: length, b: INPUT's size */
constexpr int SWUG_PROBLEM_INPUT_EMPTY = 11;    /* INPUT is empty */
constexpr int SWUG_PROBLEM_INPUT_TOO_LARGE = 12; /* a: INPUT's size */
constexpr int SWUG_PROBLEM_INPUT_CHECKSUM = 13; /* a: stored, b: INPUT's checksum */
constexpr int SWUG_PROBLEM_INPUT_BYTES = 14;    /* a: body offset of the first difference,
                                                   b: image byte there, c: INPUT byte */
constexpr int SWUG_PROBLEM_INPUT_CUT = 15;      /* a: body room, b: INPUT's size */
constexpr int SWUG_PROBLEM_INPUT_SIZE = 16;     /* a: file size, b: INPUT's size,
                                                   c: size of INPUT's image */
constexpr int SWUG_PROBLEM_KINDS = 17;

/* The size given for a stream that goes on past all that was read of it
 * (standard input has no size to ask): over any image and any INPUT, and
 * the size of no file. The reports word it as "more than". */
constexpr uint64_t SWUG_SIZE_PAST_READ = UINT64_MAX;

constexpr size_t SWUG_PROBLEM_TEXT_SIZE = 160;                     /* one worded problem */
constexpr size_t SWUG_VERSION_TEXT_SIZE = 6 * SWUG_VERSION_SIZE + 3; /* quoted, escaped */

struct SWUG_PROBLEM {
    int kind;       /* SWUG_PROBLEM_... */
    uint64_t a;     /* values, by kind */
    uint64_t b;
    uint64_t c;
};

struct SWUG_VERIFY {
    const uint8_t *image;        /* the bytes swug_verify_image() looked at */
    uint64_t file_size;          /* the image file's true size */
    int has_header;              /* 1: the 40 header bytes are there, decoded below */
    SWUG_STRUCT header;          /* the header as found */
    int kind_not_ours;           /* 1: kind is not the 0 that swug-gen writes */
    int version_not_ours;        /* 1: version is not the 31 zero bytes swug-gen writes */
    int length_ok;               /* 1: length is 1 to SWUG_BIN_SIZE */
    int has_layout;              /* 1: 50 to SWUG_IMAGE_MAX bytes, all looked at */
    uint32_t room;               /* with has_layout: bytes between header and trailer */
    int crc_done;                /* 1: the first length body bytes are there and were summed */
    uint32_t crc;                /* their checksum */
    int fill_checked;            /* 1: the fill (room after length) was checked */
    uint32_t fill_size;          /* its size in bytes */
    uint32_t fill_bad;           /* how many of its bytes are not 0xFF */
    int trailer_checked;         /* 1: the last 10 bytes were checked */
    uint32_t trailer_bad;        /* how many of them are not 0xFF */
    int has_input;               /* 1: swug_verify_input() ran */
    uint64_t input_size;         /* INPUT's size */
    int input_compared;          /* 1: INPUT's bytes were compared with the body */
    int input_differs;           /* 1: and the body does not start with them */
    int input_crc_done;          /* 1: INPUT (1 to SWUG_BIN_SIZE bytes) was summed */
    uint32_t input_crc;          /* its checksum */
    uint32_t image_problems;     /* problems of the image alone: the first ones below */
    uint32_t problem_count;
    SWUG_PROBLEM problems[SWUG_PROBLEM_KINDS];
};

/* Check an image file of file_size bytes held in image[]. A file over
 * SWUG_IMAGE_MAX bytes is not looked at beyond its header: image[] then need
 * hold only the first SWUG_HEADER_SIZE bytes. Returns the number of problems
 * found; 0 means a valid image. */
uint32_t swug_verify_image(const uint8_t *image, uint64_t file_size, SWUG_VERIFY *v);

/* After swug_verify_image(), with its image[] still in place: check that
 * the image is byte for byte the one swug-gen builds from INPUT, of
 * input_size bytes held in input[]. Every header field, the body and the
 * file size that differ from that image add a problem, unless a problem of
 * the image alone already names the same field; fill and trailer are those
 * of the image alone, which are INPUT's as soon as length and size agree.
 * input[] is not looked at when input_size is 0 or over SWUG_BIN_SIZE (no
 * image is built from it). Returns the number of new problems. */
uint32_t swug_verify_input(SWUG_VERIFY *v, const uint8_t *input, uint64_t input_size);

/* Word problem p as one line, without a line break, into text. */
void swug_problem_text(const SWUG_PROBLEM *p, char text[SWUG_PROBLEM_TEXT_SIZE]);

/* The short name of a problem kind that reports and scripts key on, such
 * as "checksum" or "input-kind"; these names never change. */
const char *swug_problem_code(int kind);

/* The verdict in a few words: "NOT VALID", "valid image, but not built from
 * INPUT", "valid, built from INPUT" or "valid". */
const char *swug_verdict_text(const SWUG_VERIFY *v);

/* The version field as a quoted text: printable ASCII as it is, `"` and `\`
 * escaped with a backslash, other bytes as \x{NN} (braced, so that a digit
 * after it cannot be read as part of it); trailing NULs left out. */
void swug_version_text(const char version[SWUG_VERSION_SIZE], char text[SWUG_VERSION_TEXT_SIZE]);

/* Which size band `length` falls in, and what the fill rule does there. */
const char *swug_band_text(uint32_t length);

#endif
