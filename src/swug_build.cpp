/* The image builder and the input loader. */
#include "swug_build.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "swug_image.h"
#include "work_dir.h"

SWUG_IMG swug_img;
char sw_ver[SWUG_SW_VER_SIZE];
uint8_t in_cmd_mode;

static const char DEFAULT_INPUT[] = "data/KOVRIN_SW.bin";
static const char DEFAULT_OUTPUT[] = "out/KOVRIN_UPGRADE_SW.bin";

/* From this input size on, the pages the input is read into are mapped in
 * one call before the read rather than one fault at a time during it: that
 * saves 3-5% of a run at 128 KiB and more, and nothing below. */
static const uint64_t PREFAULT_FROM = 128 * 1024;

/* Print a message, unless this is a command run, which only has its exit status. */
static void swug_msg(const char *fmt, ...)
{
    va_list ap;

    if (in_cmd_mode == 1)
        return;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

int32_t read_bin(const char *fn, uint8_t *buffer, uint32_t max_len)
{
    PLATFORM_IN in;
    uint64_t bytes = 0;

    if (!platform_open_input(fn, &in)) {
        swug_msg("Open file (%s) failed\n", fn);
        return 0;
    }
    int measured = platform_input_size(&in, &bytes);
    if (measured)
        swug_msg("%s len= %" PRIu64 "\n", fn, bytes);
    if (!measured || bytes > max_len) {
        swug_msg("Length of %s exceed limition\n", fn);
        platform_close_input(&in);
        return 0;
    }
    if (bytes >= PREFAULT_FROM)
        platform_prefault(buffer, (size_t)bytes);
    int complete = platform_read(&in, buffer, (uint32_t)bytes);
    platform_close_input(&in);
    if (!complete) {
        swug_msg("Read file %s failed\n", fn);
        return 0;
    }
    return (int32_t)bytes;
}

void fill_swug_img(uint32_t filesize)
{
    uint32_t body = swug_body_size(filesize);

    if (body > SWUG_BIN_SIZE) /* never write past the body buffer */
        return;
    memset(swug_img.sw_bin + filesize, 0xFF, body - filesize);
    memset(swug_img.reserved, 0xFF, sizeof swug_img.reserved);
}

void set_swug_header(uint32_t filesize)
{
    swug_img.sw_str.sw_or_fmw = 0;
    memset(swug_img.sw_str.version, 0, sizeof swug_img.sw_str.version);
    memcpy(swug_img.sw_str.version, sw_ver, sizeof sw_ver);
    swug_img.sw_str.length = filesize;
}

void generate_CRC(void)
{
    uint32_t length = swug_img.sw_str.length;

    if (length > SWUG_BIN_SIZE) /* never read past the body buffer */
        length = SWUG_BIN_SIZE;
    swug_img.sw_str.CRC = swug_checksum(swug_img.sw_bin, length);
}

void swug_img_pieces(uint8_t header[SWUG_HEADER_SIZE], SWUG_PIECE pieces[3])
{
    swug_put_header(&swug_img.sw_str, header);
    pieces[0] = {header, SWUG_HEADER_SIZE};
    pieces[1] = {swug_img.sw_bin, swug_body_size(swug_img.sw_str.length)};
    pieces[2] = {swug_img.reserved, sizeof swug_img.reserved};
}

/* Write the built image to fname, replacing it only once every byte is
 * written. The platform layer may ask for the pieces again, once it has
 * had to give up the replacement and write the file in place. Returns 1
 * or 0. */
static int write_swug_file(const char *fname)
{
    PLATFORM_OUT out;
    uint8_t header[SWUG_HEADER_SIZE];
    SWUG_PIECE pieces[3];
    int done;

    if (!platform_output_open(fname, &out)) {
        swug_msg("Write file %s failed\n", fname);
        return 0;
    }
    generate_CRC();
    swug_img_pieces(header, pieces);
    do {
        for (const SWUG_PIECE &piece : pieces) {
            if (!platform_output_write(&out, piece.data, piece.len)) {
                platform_output_abort(&out);
                swug_msg("Write file %s failed\n", fname);
                return 0;
            }
        }
        done = platform_output_commit(&out);
    } while (done == PLATFORM_OUTPUT_AGAIN);
    if (done != 1) {
        swug_msg("Write file %s failed\n", fname);
        return 0;
    }
    return 1;
}

int32_t generate_swug_bin(func_args *args)
{
    char openname[SWUG_PATH_SIZE];
    char fname[SWUG_PATH_SIZE];

    memset(openname, 0, sizeof openname);
    memset(fname, 0, sizeof fname);
    if (args->argc == 1) {
        memcpy(openname, DEFAULT_INPUT, sizeof DEFAULT_INPUT);
        memcpy(fname, DEFAULT_OUTPUT, sizeof DEFAULT_OUTPUT);
    } else if (args->argc == 3) {
        /* a path that does not fit fails the run: never cut it short */
        if (!argument_path(openname, args->argv[1]) || !argument_path(fname, args->argv[2]))
            return 0;
    } else {
        swug_msg("Parameter Error [%d]\n", args->argc);
        return 0;
    }

    int32_t filesize = read_bin(openname, swug_img.sw_bin, SWUG_BIN_SIZE);
    if (filesize <= 0)
        return 0;

    fill_swug_img((uint32_t)filesize);
    set_swug_header((uint32_t)filesize);
    return write_swug_file(fname);
}
