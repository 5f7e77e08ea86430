/* The upgrade image in memory and the globals of one run.
 *
 * The whole image lives in the single static record `swug_img`: a 40-byte
 * header, a body buffer large enough for the biggest input we accept, and a
 * 10-byte trailer. In memory `length` and `CRC` hold host-order numbers; on
 * disk they are little-endian, and swug_put_header() writes them that way. */
#ifndef SWUG_MAIN_H
#define SWUG_MAIN_H

#include <cstddef>
#include <cstdint>

constexpr size_t SWUG_PATH_SIZE = 300;       /* path buffers, terminator included */
constexpr uint32_t SWUG_BIN_SIZE = 0x100000; /* largest input: 1,048,576 bytes */
constexpr size_t SWUG_VERSION_SIZE = 31;
constexpr size_t SWUG_SW_VER_SIZE = 10;
constexpr size_t SWUG_RESERVED_SIZE = 10;
constexpr size_t SWUG_HEADER_SIZE = 40;

struct SWUG_STRUCT {
    uint8_t sw_or_fmw;                /* kind of image: we always write 0 */
    char version[SWUG_VERSION_SIZE];  /* version text, NUL-filled */
    uint32_t length;                  /* input size in bytes, before any fill */
    uint32_t CRC;                     /* additive checksum of the first length body bytes */
};

static_assert(sizeof(SWUG_STRUCT) == SWUG_HEADER_SIZE, "the header is 40 bytes");
static_assert(offsetof(SWUG_STRUCT, sw_or_fmw) == 0, "kind at offset 0");
static_assert(offsetof(SWUG_STRUCT, version) == 1, "version at offset 1");
static_assert(offsetof(SWUG_STRUCT, length) == 32, "length at offset 32");
static_assert(offsetof(SWUG_STRUCT, CRC) == 36, "CRC at offset 36");

struct SWUG_IMG {
    SWUG_STRUCT sw_str;                   /* the header */
    uint8_t sw_bin[SWUG_BIN_SIZE];        /* the body: the input is loaded at its start */
    uint8_t reserved[SWUG_RESERVED_SIZE]; /* the trailer, always 0xFF */
};

/* What main() hands to generate_swug_bin(). */
struct func_args {
    int32_t argc;        /* command-line entries, program name included */
    char **argv;         /* the entries themselves */
    int32_t return_code; /* unused: the result is generate_swug_bin()'s return value */
};

extern SWUG_IMG swug_img;                /* the one image of this run */
extern char sw_ver[SWUG_SW_VER_SIZE];    /* version text copied into every header: empty */
extern uint8_t in_cmd_mode;              /* 1 in a command run: no message is printed */
extern char work_dir[SWUG_PATH_SIZE];    /* working directory of a command run, '/' separated */

#endif
