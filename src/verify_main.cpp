/* swug-verify: check an upgrade image, and that it was built from INPUT.
 *
 *   swug-verify [--json | -q] [--] IMAGE        status 0 valid, 1 not valid, 2 trouble
 *   swug-verify [--json | -q] [--] IMAGE INPUT  status 0 only when IMAGE is byte
 *                                               for byte what swug-gen builds from INPUT
 *
 * IMAGE or INPUT "-" is standard input. The report, as text or as one JSON
 * object, goes to standard output, or with -q nowhere; trouble (wrong usage,
 * a file that cannot be read) goes to standard error, with nothing on
 * standard output, or with --json an object that holds the same message.
 * The text forms show names with their control characters and bytes that
 * are not UTF-8 escaped, so that a name cannot drive the terminal. */
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
static uint8_t image_buf[SWUG_IMAGE_MAX + 1]; /* + 1: a stream's byte past the largest */
static uint8_t input_buf[SWUG_BIN_SIZE + 1];

static const char USAGE[] = "usage: swug-verify [--json | -q] [--] IMAGE [INPUT]\n";

static const char HELP[] =
    "usage: swug-verify [--json | -q] [--] IMAGE [INPUT]\n"
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
    "IMAGE or INPUT - reads standard input (a file named - is ./-). A name's\n"
    "control characters and bytes that are not UTF-8 are shown as \\xNN.\n"
    "\n"
    "  --json     print the same findings as one JSON object instead; its keys:\n"
    "             format_version (\"1.0\"), image, size, kind, version, length,\n"
    "             body_size, body_size_expected, fill, trailer,\n"
    "             checksum {stored, computed},\n"
    "             input (null or {path, size, checksum}), notes and problems\n"
    "             ([{code, message}]), verdict, valid\n"
    "  -q, --quiet\n"
    "             print nothing: the exit status answers, and trouble is\n"
    "             still said on standard error; not with --json\n"
    "  --         end of options: a file whose name begins with - comes after it\n"
    "  -h, --help this text;  --version  the version\n"
    "\n"
    "Exit status: 0 valid (and built from INPUT), 1 not valid (or not built\n"
    "from INPUT), 2 trouble: wrong usage or a file that cannot be read; then a\n"
    "message on standard error and nothing on standard output, or with --json\n"
    "{format_version, \"valid\": false, \"error\": {code, message}}, code one of\n"
    "usage, image-unreadable, input-unreadable.\n";

/* What the command line asks for. */
struct VERIFY_ARGS {
    int json;                /* 1: --json */
    int quiet;               /* 1: -q, no report */
    const char *image_path;  /* "-": standard input */
    const char *input_path;  /* NULL without INPUT; "-": standard input */
};

/* Standard output must have taken everything: a report cut short is trouble. */
static int flush_stdout(void)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "swug-verify: cannot write the report\n");
        return 0;
    }
    return 1;
}

/* Write name to out as the text forms show it: valid UTF-8 as it is, but
 * every control character (C0, DEL, C1) and every byte that is not part of
 * valid UTF-8 as \xNN, byte by byte. A backslash stays as it is: Windows
 * names are full of them. */
static void write_name(FILE *out, const char *name)
{
    const uint8_t *s = (const uint8_t *)name;
    size_t n = strlen(name), i = 0;

    while (i < n) {
        size_t len = s[i] >= 0x80 ? swug_utf8_sequence(s + i, n - i) : 1;
        int control = s[i] < 0x20 || s[i] == 0x7F || (len == 2 && s[i] == 0xC2 && s[i + 1] < 0xA0);
        if (len == 0 || control) {
            for (size_t end = i + (len == 0 ? 1 : len); i < end; i++)
                fprintf(out, "\\x%02x", s[i]);
        } else {
            fwrite(s + i, 1, len, out);
            i += len;
        }
    }
}

/* Report trouble: the message head, path and tail on standard error, with
 * the usage when usage is 1, and with --json the same message under `code`
 * as one object on standard output. Returns 0, for the caller to pass on. */
static int trouble(int json, const char *code, const char *head, const char *path,
                   const char *tail, int usage)
{
    fprintf(stderr, "swug-verify: %s", head);
    if (path != NULL)
        write_name(stderr, path);
    fprintf(stderr, "%s\n%s", tail, usage ? USAGE : "");
    if (json) {
        swug_write_json_error(stdout, code, head, path, tail);
        flush_stdout();
    }
    return 0;
}

/* Standard input into buf, which holds max + 1 bytes: a stream that goes on
 * past max is no image (no INPUT) and is read no further; its size is then
 * SWUG_SIZE_PAST_READ. Returns 1, or 0 after trouble(). */
static int load_stdin(int json, const char *code, uint8_t *buf, uint32_t max, uint64_t *size)
{
    uint32_t got;

    if (!platform_read_stdin(buf, max + 1, &got))
        return trouble(json, code, "cannot read standard input", NULL, "", 0);
    *size = got > max ? SWUG_SIZE_PAST_READ : got;
    return 1;
}

/* Load the file at path ("-": standard input) into buf: all of it when it
 * holds at most max bytes, else only its first `head` bytes; *size gets its
 * true size. code names the trouble of this file for --json. Returns 1, or
 * 0 after trouble(). */
static int load_file(int json, const char *code, const char *path, uint8_t *buf, uint32_t max,
                     uint32_t head, uint64_t *size)
{
    PLATFORM_IN in;

    if (strcmp(path, "-") == 0)
        return load_stdin(json, code, buf, max, size);
    if (!platform_open_input(path, &in))
        return trouble(json, code, "cannot open ", path,
                       " (missing, unreadable or not a regular file)", 0);
    int ok = platform_input_size(&in, size);
    if (ok)
        ok = platform_read(&in, buf, *size <= max ? (uint32_t)*size : head);
    platform_close_input(&in);
    if (!ok)
        return trouble(json, code, "cannot read ", path, "", 0);
    return 1;
}

/* "N bytes", or "1 byte". */
static const char *plural(uint64_t n)
{
    return n == 1 ? "" : "s";
}

/* "N bytes", "1 byte", or "more than max bytes" for a stream read no further. */
static void print_size(uint64_t n, uint64_t max)
{
    if (n == SWUG_SIZE_PAST_READ)
        printf("more than %" PRIu64 " bytes", max);
    else
        printf("%" PRIu64 " byte%s", n, plural(n));
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
    printf("input:    ");
    write_name(stdout, input_path);
    printf(", ");
    print_size(v->input_size, SWUG_BIN_SIZE);
    printf(", %s\n", outcome);
}

/* The summary, then one line per problem. */
static void print_report(const SWUG_VERIFY *v, const char *image_path, const char *input_path)
{
    char text[SWUG_PROBLEM_TEXT_SIZE];

    printf("image:    ");
    write_name(stdout, image_path);
    printf(", ");
    print_size(v->file_size, SWUG_IMAGE_MAX);
    printf("\n");
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

/* --json, before "--": known before any other argument is judged, so that
 * a usage error too is reported as one object. */
static int wants_json(int argc, char **argv)
{
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; i++)
        if (strcmp(argv[i], "--json") == 0)
            return 1;
    return 0;
}

/* Sort the arguments into options and one or two files; every argument
 * after "--" is a file, and "-" anywhere is standard input (a file of that
 * name is "./-"). json: wants_json() of the arguments. Returns 1, or 0 after
 * trouble(). */
static int parse_args(int argc, char **argv, int json, VERIFY_ARGS *a)
{
    const char *files[2];
    int nfiles = 0, options_end = 0;

    memset(a, 0, sizeof *a);
    a->json = json;
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (!options_end && strcmp(arg, "--") == 0)
            options_end = 1;
        else if (!options_end && strcmp(arg, "--json") == 0)
            continue;
        else if (!options_end && (strcmp(arg, "-q") == 0 || strcmp(arg, "--quiet") == 0))
            a->quiet = 1;
        else if (!options_end && arg[0] == '-' && arg[1] != '\0')
            return trouble(json, "usage", "unknown option ", arg, "", 1);
        else if (nfiles == 2)
            return trouble(json, "usage", "expected one or two files", NULL, "", 1);
        else
            files[nfiles++] = arg;
    }
    if (nfiles == 0)
        return trouble(json, "usage", "expected one or two files", NULL, "", 1);
    if (a->quiet && json)
        return trouble(json, "usage", "-q prints no report, --json one: give one of them", NULL,
                       "", 1);
    if (nfiles == 2 && strcmp(files[0], "-") == 0 && strcmp(files[1], "-") == 0)
        return trouble(json, "usage", "IMAGE and INPUT cannot both be standard input", NULL, "",
                       1);
    a->image_path = files[0];
    a->input_path = nfiles == 2 ? files[1] : NULL;
    return 1;
}

int main(int argc, char **argv)
{
    int json = wants_json(argc, argv); /* in whatever form main was given them */

    if (!platform_utf8_args(&argc, &argv)) {
        trouble(json, "usage", "an argument is not valid Unicode", NULL, "", 0);
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
    if (!parse_args(argc, argv, json, &a))
        return VERIFY_TROUBLE;
    /* both files are read before anything is reported */
    if (!load_file(a.json, "image-unreadable", a.image_path, image_buf, SWUG_IMAGE_MAX,
                   SWUG_HEADER_SIZE, &image_size))
        return VERIFY_TROUBLE;
    if (a.input_path != NULL && !load_file(a.json, "input-unreadable", a.input_path, input_buf,
                                           SWUG_BIN_SIZE, 0, &input_size))
        return VERIFY_TROUBLE;

    swug_verify_image(image_buf, image_size, &v);
    if (a.input_path != NULL)
        swug_verify_input(&v, input_buf, input_size);
    if (a.json)
        swug_write_json(stdout, &v, a.image_path, a.input_path);
    else if (!a.quiet)
        print_report(&v, a.image_path, a.input_path);
    if (!flush_stdout())
        return VERIFY_TROUBLE;
    return v.problem_count == 0 ? VERIFY_VALID : VERIFY_INVALID;
}
