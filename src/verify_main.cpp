/* swug-verify: check an upgrade image, and that it was built from INPUT.
 *
 *   swug-verify IMAGE          status 0 valid, 1 not valid, 2 trouble
 *   swug-verify IMAGE INPUT    status 0 only when also built from INPUT
 *
 * The report goes to standard output; trouble (wrong usage, a file that
 * cannot be read) goes to standard error, with nothing on standard output. */
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "swug_image.h"
#include "swug_verify.h"

constexpr int VERIFY_VALID = 0;
constexpr int VERIFY_INVALID = 1;
constexpr int VERIFY_TROUBLE = 2;

/* The image file whole when it is no larger than the largest image (else
 * only its header), and INPUT whole when an image can hold it (else nothing). */
static uint8_t image_buf[SWUG_IMAGE_MAX];
static uint8_t input_buf[SWUG_BIN_SIZE];

static const char USAGE[] = "usage: swug-verify IMAGE [INPUT]\n";

static const char HELP[] =
    "usage: swug-verify IMAGE [INPUT]\n"
    "\n"
    "Check the upgrade image IMAGE: it holds a header and a trailer, its length\n"
    "is 1 to 1048576, its size is what the length and the fill rule give, the\n"
    "checksum of the first length body bytes is the one in the header, and every\n"
    "fill and trailer byte is 0xFF. With INPUT, also check that IMAGE was built\n"
    "from it: the length is INPUT's size and the body starts with INPUT's bytes.\n"
    "\n"
    "Prints a summary, then one \"problem:\" line for every problem found.\n"
    "swug-verify --version prints the version.\n"
    "\n"
    "Exit status: 0 valid (and built from INPUT), 1 not valid (or not built\n"
    "from INPUT), 2 trouble: wrong usage or a file that cannot be read.\n";

/* Load the file at path into buf: all of it when it holds at most max
 * bytes, else only its first `head` bytes; *size gets its true size.
 * Returns 1, or 0 after a message on standard error. */
static int load_file(const char *path, uint8_t *buf, uint32_t max, uint32_t head, uint64_t *size)
{
    PLATFORM_IN in;

    if (!platform_open_input(path, &in)) {
        fprintf(stderr, "swug-verify: cannot open %s (missing, unreadable or not a regular file)\n",
                path);
        return 0;
    }
    int ok = platform_input_size(&in, size);
    if (ok)
        ok = platform_read(&in, buf, *size <= max ? (uint32_t)*size : head);
    platform_close_input(&in);
    if (!ok)
        fprintf(stderr, "swug-verify: cannot read %s\n", path);
    return ok;
}

static int has_problem(const SWUG_VERIFY *v, int kind)
{
    for (uint32_t i = 0; i < v->problem_count; i++)
        if (v->problems[i].kind == kind)
            return 1;
    return 0;
}

static void print_header(const SWUG_VERIFY *v)
{
    char version[SWUG_VERSION_TEXT_SIZE];

    if (!v->has_header) {
        printf("kind:     -\nversion:  -\nlength:   -\nbody:     -\n");
        return;
    }
    swug_version_text(v->header.version, version);
    printf("kind:     0x%02X\n", v->header.sw_or_fmw);
    printf("version:  %s\n", version);
    printf("length:   %" PRIu32 "\n", v->header.length);
    if (v->length_ok)
        printf("body:     %" PRIu32 " bytes (%s)\n", swug_body_size(v->header.length),
               swug_band_text(v->header.length));
    else
        printf("body:     - (%s)\n", swug_band_text(v->header.length));
}

static void print_bytes_check(const char *label, int checked, uint32_t size, uint32_t bad)
{
    if (!checked)
        printf("%s not checked\n", label);
    else if (size == 0)
        printf("%s none\n", label);
    else if (bad == 0)
        printf("%s %" PRIu32 " bytes, all 0xFF\n", label, size);
    else
        printf("%s %" PRIu32 " bytes, %" PRIu32 " not 0xFF\n", label, size, bad);
}

static void print_checksum(const SWUG_VERIFY *v)
{
    if (!v->has_header)
        printf("checksum: -\n");
    else if (!v->crc_done)
        printf("checksum: 0x%08" PRIX32 " stored, not computed\n", v->header.CRC);
    else
        printf("checksum: 0x%08" PRIX32 " stored, 0x%08" PRIX32 " computed\n", v->header.CRC,
               v->crc);
}

static void print_input(const SWUG_VERIFY *v, const char *input_path)
{
    const char *outcome = "not compared";

    if (v->input_compared)
        outcome = has_problem(v, SWUG_PROBLEM_INPUT_BYTES) || has_problem(v, SWUG_PROBLEM_INPUT_CUT)
                      ? "the body does not start with it"
                      : "the body starts with it";
    printf("input:    %s, %" PRIu64 " bytes, %s\n", input_path, v->input_size, outcome);
}

static const char *verdict(const SWUG_VERIFY *v)
{
    if (v->image_problems > 0)
        return "NOT VALID";
    if (v->problem_count > 0)
        return "valid image, but not built from INPUT";
    return v->has_input ? "valid, built from INPUT" : "valid";
}

/* The summary, then one line per problem. */
static void print_report(const SWUG_VERIFY *v, const char *image_path, const char *input_path)
{
    char text[SWUG_PROBLEM_TEXT_SIZE];

    printf("image:    %s, %" PRIu64 " bytes\n", image_path, v->file_size);
    print_header(v);
    print_bytes_check("fill:    ", v->fill_checked, v->fill_size, v->fill_bad);
    print_bytes_check("trailer: ", v->trailer_checked, SWUG_RESERVED_SIZE, v->trailer_bad);
    print_checksum(v);
    if (input_path != NULL)
        print_input(v, input_path);
    printf("verdict:  %s\n", verdict(v));
    for (uint32_t i = 0; i < v->problem_count; i++) {
        swug_problem_text(&v->problems[i], text);
        printf("problem: %s\n", text);
    }
}

/* Standard output must have taken everything: a report cut short is trouble. */
static int flush_stdout(void)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "swug-verify: cannot write the report\n");
        return 0;
    }
    return 1;
}

/* Usage: one or two arguments, none of them an option. Returns 1 when fine. */
static int check_usage(int argc, char **argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "swug-verify: expected one or two files\n%s", USAGE);
        return 0;
    }
    for (int i = 1; i < argc; i++) {
        if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "swug-verify: unknown option %s\n%s", argv[i], USAGE);
            return 0;
        }
    }
    return 1;
}

int main(int argc, char **argv)
{
    if (!platform_utf8_args(&argc, &argv)) {
        fprintf(stderr, "swug-verify: an argument is not valid Unicode\n");
        return VERIFY_TROUBLE;
    }
    platform_utf8_console();
    static SWUG_VERIFY v;
    uint64_t image_size = 0, input_size = 0;
    const char *input_path = argc == 3 ? argv[2] : NULL;

    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        fputs(HELP, stdout);
        return flush_stdout() ? VERIFY_VALID : VERIFY_TROUBLE;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        fputs("swug-verify " SWUG_VERSION "\n", stdout);
        return flush_stdout() ? VERIFY_VALID : VERIFY_TROUBLE;
    }
    if (!check_usage(argc, argv))
        return VERIFY_TROUBLE;
    /* both files are read before anything is reported */
    if (!load_file(argv[1], image_buf, SWUG_IMAGE_MAX, SWUG_HEADER_SIZE, &image_size))
        return VERIFY_TROUBLE;
    if (input_path != NULL && !load_file(input_path, input_buf, SWUG_BIN_SIZE, 0, &input_size))
        return VERIFY_TROUBLE;

    swug_verify_image(image_buf, image_size, &v);
    if (input_path != NULL)
        swug_verify_input(&v, input_buf, input_size);
    print_report(&v, argv[1], input_path);
    if (!flush_stdout())
        return VERIFY_TROUBLE;
    return v.problem_count == 0 ? VERIFY_VALID : VERIFY_INVALID;
}
