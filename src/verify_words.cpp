/* Checking an upgrade image: the findings in words, as the reports show
 * them. The checks themselves are in swug_verify.cpp. */
#include "swug_verify.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "swug_image.h"

const char *swug_verdict_text(const SWUG_VERIFY *v)
{
    if (v->image_problems > 0)
        return "NOT VALID";
    if (v->problem_count > 0)
        return "valid image, but not built from INPUT";
    return v->has_input ? "valid, built from INPUT" : "valid";
}

/* "s" after a count other than 1, for "1 byte" but "2 bytes". */
static const char *plural(uint64_t n)
{
    return n == 1 ? "" : "s";
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

/* Word the problems about INPUT; the others are worded by swug_problem_text(). */
static void word_input_problem(const SWUG_PROBLEM *p, char text[SWUG_PROBLEM_TEXT_SIZE])
{
    const size_t n = SWUG_PROBLEM_TEXT_SIZE;

    switch (p->kind) {
    case SWUG_PROBLEM_INPUT_KIND:
        snprintf(text, n, "kind 0x%02" PRIX64 ", but swug-gen writes 0x00", p->a);
        break;
    case SWUG_PROBLEM_INPUT_VERSION:
        snprintf(text, n, "a version text is set, but swug-gen writes none (31 zero bytes)");
        break;
    case SWUG_PROBLEM_INPUT_LENGTH:
        if (p->b == SWUG_SIZE_PAST_READ)
            snprintf(text, n, "length %" PRIu64 ", but INPUT is more than %" PRIu32 " bytes", p->a,
                     SWUG_BIN_SIZE);
        else
            snprintf(text, n, "length %" PRIu64 ", but INPUT is %" PRIu64 " byte%s", p->a, p->b,
                     plural(p->b));
        break;
    case SWUG_PROBLEM_INPUT_EMPTY:
        snprintf(text, n, "INPUT is empty: swug-gen builds no image from it");
        break;
    case SWUG_PROBLEM_INPUT_TOO_LARGE:
        if (p->a == SWUG_SIZE_PAST_READ)
            snprintf(text, n, "INPUT is more than an image holds (%" PRIu32 " bytes)",
                     SWUG_BIN_SIZE);
        else
            snprintf(text, n, "INPUT is %" PRIu64 " bytes, more than an image holds (%" PRIu32 ")",
                     p->a, SWUG_BIN_SIZE);
        break;
    case SWUG_PROBLEM_INPUT_CHECKSUM:
        snprintf(text, n, "checksum 0x%08" PRIX64 " stored, INPUT's is 0x%08" PRIX64, p->a, p->b);
        break;
    case SWUG_PROBLEM_INPUT_BYTES:
        snprintf(text, n, "the body differs from INPUT at offset %" PRIu64 " (image offset %" PRIu64
                 "): 0x%02" PRIX64 " in the image, 0x%02" PRIX64 " in INPUT",
                 p->a, p->a + SWUG_HEADER_SIZE, p->b, p->c);
        break;
    case SWUG_PROBLEM_INPUT_CUT:
        snprintf(text, n, "the body ends after %" PRIu64 " byte%s, INPUT goes on to %" PRIu64
                 " bytes", p->a, plural(p->a), p->b);
        break;
    case SWUG_PROBLEM_INPUT_SIZE:
        snprintf(text, n, "the file is %" PRIu64 " byte%s, the image of INPUT (%" PRIu64
                 " byte%s) is %" PRIu64 " bytes", p->a, plural(p->a), p->b, plural(p->b), p->c);
        break;
    default:
        snprintf(text, n, "unknown problem %d", p->kind);
        break;
    }
}

void swug_problem_text(const SWUG_PROBLEM *p, char text[SWUG_PROBLEM_TEXT_SIZE])
{
    const size_t n = SWUG_PROBLEM_TEXT_SIZE;

    switch (p->kind) {
    case SWUG_PROBLEM_EMPTY:
        snprintf(text, n, "the file is empty");
        break;
    case SWUG_PROBLEM_SHORT:
        snprintf(text, n, "the file is %" PRIu64 " byte%s, shorter than a header and a trailer (%"
                 PRIu64 " bytes)", p->a, plural(p->a), SWUG_FRAME_SIZE);
        break;
    case SWUG_PROBLEM_TOO_LARGE:
        if (p->a == SWUG_SIZE_PAST_READ)
            snprintf(text, n, "the file is larger than the largest image (%" PRIu64 " bytes)",
                     (uint64_t)SWUG_IMAGE_MAX);
        else
            snprintf(text, n, "the file is %" PRIu64 " bytes, larger than the largest image (%"
                     PRIu64 " bytes)", p->a, (uint64_t)SWUG_IMAGE_MAX);
        break;
    case SWUG_PROBLEM_LENGTH:
        snprintf(text, n, "length %" PRIu64 " is outside 1 to %" PRIu32, p->a, SWUG_BIN_SIZE);
        break;
    case SWUG_PROBLEM_SIZE:
        snprintf(text, n, "the file is %" PRIu64 " bytes, length %" PRIu64 " needs %" PRIu64
                 " bytes", p->a, p->b, p->c);
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
    default:
        word_input_problem(p, text);
        break;
    }
}

const char *swug_problem_code(int kind)
{
    static const char *const codes[SWUG_PROBLEM_KINDS] = {
        "empty", "short", "too-large", "length", "size", "checksum", "fill", "trailer",
        "input-kind", "input-version", "input-length", "input-empty", "input-too-large",
        "input-checksum", "input-body", "input-cut", "input-size",
    };

    return kind >= 0 && kind < SWUG_PROBLEM_KINDS ? codes[kind] : "unknown";
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
            memcpy(text + o, "\\x{", 3);
            text[o + 3] = hex[c >> 4];
            text[o + 4] = hex[c & 15];
            text[o + 5] = '}';
            o += 6;
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
