/* swug-verify: check an upgrade image, and that it was built from INPUT.
 *
 *   swug-verify [--json] [--] IMAGE          status 0 valid, 1 not valid, 2 trouble
 *   swug-verify [--json] [--] IMAGE INPUT    status 0 only when IMAGE is byte
 *                                            for byte what swug-gen builds from INPUT
 *
 * The report, as text or as one JSON object, goes to standard output;
 * trouble (wrong usage, a file that cannot be read) goes to standard error,
 * with nothing on standard output. */
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "swug_image.h"
#include "swug_verify.h"
#include "verify_json.h"

constexpr int VERIFY_VALID = 0;
constexpr int VERIFY_INVALID = 1;
constexpr int VERIFY_TROUBLE = 2;

/* The image file whole when it is no larger than the largest image (else
 * only its header), and INPUT whole when an image can hold it (else nothing). */
static uint8_t image_buf[SWUG_IMAGE_MAX];
static uint8_t input_buf[SWUG_BIN_SIZE];

static const char USAGE[] = "usage: swug-verify [--json] [--] IMAGE [INPUT]\n";

static const char HELP[] =
    "usage: swug-verify [--json] [--] IMAGE [INPUT]\n"
    "       swug-verify -h | --help | --version\n"
    "\n"
    "Check the upgrade image IMAGE: it holds a header and a trailer, its length\n"
    "is 1 to 1048576, its size is what the length and the fill rule give, the\n"
    "checksum of the first length body bytes is the one in the header, and every\n"
    "fill and trailer byte is 0xFF. A kind other than 0 or a version text is\n"
    "noted (swug-gen writes neither) but not a problem.\n"
    "\n"
    "With INPUT, also check that IMAGE is byte for byte the image swug-gen\n"
    "builds from INPUT: kind 0, no version text, INPUT's size as length, INPUT's\n"
    "checksum, a body that starts with INPUT's bytes, the file size INPUT gives;\n"
    "every difference is a problem.\n"
    "\n"
    "Prints a summary, then one \"problem:\" line for every problem found.\n"
    "  --json     print the same findings as one JSON object instead; its keys:\n"
    "             image, size, kind, version, length, body_size,\n"
    "             body_size_expected, fill, trailer, checksum {stored, computed},\n"
    "             input (null or {path, size, checksum}), notes and problems\n"
    "             ([{code, message}]), verdict, valid\n"
    "  --         end of options: a file whose name begins with - comes after it\n"
    "  -h, --help this text;  --version  the version\n"
    "\n"
    "Exit status: 0 valid (and built from INPUT), 1 not valid (or not built\n"
    "from INPUT), 2 trouble: wrong usage or a file that cannot be read; then a\n"
    "message on standard error and nothing on standard output.\n";

/* What the command line asks for. */
struct VERIFY_ARGS {
    int json;                /* 1: --json */
    const char *image_path;
    const char *input_path;  /* NULL without INPUT */
};

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

/* "N bytes", or "1 byte". */
static const char *plural(uint64_t n)
{
    return n == 1 ? "" : "s";
}

static void print_header(const SWUG_VERIFY *v)
{
    char version[SWUG_VERSION_TEXT_SIZE];

    if (!v->has_header) {
        printf("kind:     -\nversion:  -\nlength:   -\n");
        return;
    }
    swug_version_text(v->header.version, version);
    printf("kind:     0x%02X%s\n", v->header.sw_or_fmw,
           v->kind_not_ours ? " (not from swug-gen, which writes 0x00)" : "");
    printf("version:  %s%s\n", version,
           v->version_not_ours ? " (not from swug-gen, which writes none)" : "");
    printf("length:   %" PRIu32 "\n", v->header.length);
}

/* The body found between header and trailer, and the one length asks for
 * when that differs: the body found is length + fill, and header + body
 * found + trailer is the file's size. */
static void print_body(const SWUG_VERIFY *v)
{
    int expected = v->has_header && v->length_ok;
    uint32_t need = expected ? swug_body_size(v->header.length) : 0;
    const char *band = v->has_header ? swug_band_text(v->header.length) : NULL;

    if (!v->has_layout && !expected)
        printf("body:     -");
    else if (!v->has_layout)
        printf("body:     -, %" PRIu32 " byte%s expected", need, plural(need));
    else if (!expected || need == v->room)
        printf("body:     %" PRIu32 " byte%s", v->room, plural(v->room));
    else
        printf("body:     %" PRIu32 " byte%s found, %" PRIu32 " expected", v->room,
               plural(v->room), need);
    if (band != NULL)
        printf(" (%s)", band);
    printf("\n");
}

static void print_bytes_check(const char *label, int checked, uint32_t size, uint32_t bad)
{
    if (!checked)
        printf("%s not checked\n", label);
    else if (size == 0)
        printf("%s none\n", label);
    else if (bad == 0)
        printf("%s %" PRIu32 " byte%s, all 0xFF\n", label, size, plural(size));
    else
        printf("%s %" PRIu32 " byte%s, %" PRIu32 " not 0xFF\n", label, size, plural(size), bad);
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

    if (v->input_size == 0)
        outcome = "empty, nothing to compare";
    else if (v->input_compared)
        outcome = v->input_differs ? "the body does not start with it" : "the body starts with it";
    printf("input:    %s, %" PRIu64 " byte%s, %s\n", input_path, v->input_size,
           plural(v->input_size), outcome);
}

/* The summary, then one line per problem. */
static void print_report(const SWUG_VERIFY *v, const char *image_path, const char *input_path)
{
    char text[SWUG_PROBLEM_TEXT_SIZE];

    printf("image:    %s, %" PRIu64 " byte%s\n", image_path, v->file_size, plural(v->file_size));
    print_header(v);
    print_body(v);
    if (!v->fill_checked && v->has_layout && v->length_ok)
        printf("fill:     not checked: length is more than the body found\n");
    else
        print_bytes_check("fill:    ", v->fill_checked, v->fill_size, v->fill_bad);
    print_bytes_check("trailer: ", v->trailer_checked, SWUG_RESERVED_SIZE, v->trailer_bad);
    print_checksum(v);
    if (input_path != NULL)
        print_input(v, input_path);
    printf("verdict:  %s\n", swug_verdict_text(v));
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

/* Sort the arguments into options and one or two files; every argument
 * after "--" is a file. Returns 1, or 0 after a message on standard error. */
static int parse_args(int argc, char **argv, VERIFY_ARGS *a)
{
    const char *files[2];
    int nfiles = 0, options_end = 0;

    memset(a, 0, sizeof *a);
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!options_end && strcmp(arg, "--") == 0) {
            options_end = 1;
        } else if (!options_end && strcmp(arg, "--json") == 0) {
            a->json = 1;
        } else if (!options_end && arg[0] == '-' && arg[1] != '\0') {
            fprintf(stderr, "swug-verify: unknown option %s\n%s", arg, USAGE);
            return 0;
        } else if (nfiles == 2) {
            fprintf(stderr, "swug-verify: expected one or two files\n%s", USAGE);
            return 0;
        } else {
            files[nfiles++] = arg;
        }
    }
    if (nfiles == 0) {
        fprintf(stderr, "swug-verify: expected one or two files\n%s", USAGE);
        return 0;
    }
    a->image_path = files[0];
    a->input_path = nfiles == 2 ? files[1] : NULL;
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
    VERIFY_ARGS a;
    uint64_t image_size = 0, input_size = 0;

    /* -h, --help and --version stand alone */
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(HELP, stdout);
        return flush_stdout() ? VERIFY_VALID : VERIFY_TROUBLE;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        fputs("swug-verify " SWUG_VERSION "\n", stdout);
        return flush_stdout() ? VERIFY_VALID : VERIFY_TROUBLE;
    }
    if (!parse_args(argc, argv, &a))
        return VERIFY_TROUBLE;
    /* both files are read before anything is reported */
    if (!load_file(a.image_path, image_buf, SWUG_IMAGE_MAX, SWUG_HEADER_SIZE, &image_size))
        return VERIFY_TROUBLE;
    if (a.input_path != NULL &&
        !load_file(a.input_path, input_buf, SWUG_BIN_SIZE, 0, &input_size))
        return VERIFY_TROUBLE;

    swug_verify_image(image_buf, image_size, &v);
    if (a.input_path != NULL)
        swug_verify_input(&v, input_buf, input_size);
    if (a.json)
        swug_write_json(stdout, &v, a.image_path, a.input_path);
    else
        print_report(&v, a.image_path, a.input_path);
    if (!flush_stdout())
        return VERIFY_TROUBLE;
    return v.problem_count == 0 ? VERIFY_VALID : VERIFY_INVALID;
}
