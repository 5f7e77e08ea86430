/* swug-verify run as a user runs it: report, problem lines and exit status. */
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <gtest/gtest.h>

#include "e2e_support.h"

static const std::string VERIFY = SWUG_VERIFY_PATH;
static const std::string GEN = SWUG_GEN_PATH;

static RunResult verify(const TempDir &d, std::vector<std::string> args)
{
    args.insert(args.begin(), VERIFY);
    return run_program(args, d.path);
}

/* The lines of out that begin with prefix, the prefix left out. */
static std::vector<std::string> lines_with(const std::string &out, const std::string &prefix)
{
    std::vector<std::string> found;
    size_t at = 0;
    while (at < out.size()) {
        size_t end = out.find('\n', at);
        if (end == std::string::npos)
            end = out.size();
        if (out.compare(at, prefix.size(), prefix) == 0)
            found.push_back(out.substr(at + prefix.size(), end - at - prefix.size()));
        at = end + 1;
    }
    return found;
}

static std::string hex32(uint32_t v)
{
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

static void put_le32(std::string &s, size_t at, uint32_t v)
{
    for (int k = 0; k < 4; k++)
        s[at + k] = (char)(v >> (8 * k));
}

TEST(VerifyRun, EveryGeneratedImageIsValidAndBuiltFromItsInput)
{
    TempDir d;
    for (size_t size : {1u, 2u, 3u, 4u, 5u, 513u, 204800u, 204801u, 300000u, 409549u, 409550u,
                        409551u, 1048575u, 1048576u}) {
        write_file(d / "in.bin", pattern(size, (unsigned)size));
        ASSERT_EQ(run_program({GEN, "in.bin", "out.bin"}, d.path).status, 0) << size;
        RunResult alone = verify(d, {"out.bin"});
        EXPECT_EQ(alone.status, 0) << size << "\n" << alone.out;
        RunResult r = verify(d, {"out.bin", "in.bin"});
        EXPECT_EQ(r.status, 0) << size << "\n" << r.out;
        EXPECT_EQ(lines_with(r.out, "verdict:  "), std::vector<std::string>{"valid, built from INPUT"});
        EXPECT_TRUE(lines_with(r.out, "problem:").empty()) << r.out;
    }
}

TEST(VerifyRun, ReportOfAValidImage)
{
    TempDir d;
    std::string input = pattern(300000);
    write_file(d / "in.bin", input);
    write_file(d / "out.bin", reference_image(input));
    RunResult r = verify(d, {"out.bin", "in.bin"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "image:    out.bin, 409600 bytes\n"
                     "kind:     0x00\n"
                     "version:  \"\"\n"
                     "length:   300000\n"
                     "body:     409550 bytes (length 204801 to 409550: filled up to 409550)\n"
                     "fill:     109550 bytes, all 0xFF\n"
                     "trailer:  10 bytes, all 0xFF\n"
                     "checksum: " + hex32(reference_sum(input)) + " stored, " + hex32(reference_sum(input)) +
                     " computed\n"
                     "input:    in.bin, 300000 bytes, the body starts with it\n"
                     "verdict:  valid, built from INPUT\n");
}

TEST(VerifyRun, EachCorruptionHasItsReason)
{
    const std::string in = pattern(1000, 1), padded_in = pattern(300000, 2);
    const std::string good = reference_image(in), padded = reference_image(padded_in);
    const uint32_t sum = reference_sum(in);
    const std::string stored = hex32(sum) + " stored, ";
    ASSERT_EQ((uint8_t)in[999], 0xE7); /* the byte the cases below see move */

    std::string flipped = good, bad_crc = good, bad_length = good, bad_fill = padded,
                bad_trailer = good, padded_length = padded;
    flipped[40 + 500] ^= 0x01;
    put_le32(bad_crc, 36, sum + 1);
    put_le32(bad_length, 32, 999);
    put_le32(padded_length, 32, 300001);
    bad_fill[40 + 300005] = '\xfe';
    bad_trailer[1049] = '\0';
    std::string garbage;
    while (garbage.size() < 5000)
        garbage += "this is no upgrade image. ";
    garbage.resize(5000);
    uint32_t garbage_length = 0;
    for (int k = 3; k >= 0; k--)
        garbage_length = garbage_length << 8 | (uint8_t)garbage[32 + k];

    struct {
        const char *what;
        std::string image;
        std::vector<std::string> problems;
    } cases[] = {
        {"flipped body byte", flipped,
         {"checksum " + stored + hex32(reference_sum(flipped.substr(40, 1000))) + " computed"}},
        {"wrong CRC", bad_crc, {"checksum " + hex32(sum + 1) + " stored, " + hex32(sum) + " computed"}},
        {"wrong length", bad_length,
         {"the file is 1050 bytes, length 999 needs 1049",
          "checksum " + stored + hex32(sum - 0xE7000000u) + " computed",
          "1 fill byte is not 0xFF, at image offset 1039"}},
        {"wrong length inside the fill band", padded_length,
         {"checksum " + hex32(reference_sum(padded_in)) + " stored, " +
          hex32(reference_sum(padded_in) + 0xFFu) + " computed"}},
        {"one byte short", good.substr(0, 1049),
         {"the file is 1049 bytes, length 1000 needs 1050",
          "1 trailer byte is not 0xFF, at image offset 1039"}},
        {"one byte long", good + '\xff', {"the file is 1051 bytes, length 1000 needs 1050"}},
        {"non-0xFF fill byte", bad_fill, {"1 fill byte is not 0xFF, at image offset 300045"}},
        {"non-0xFF trailer byte", bad_trailer, {"1 trailer byte is not 0xFF, at image offset 1049"}},
        {"garbage", garbage,
         {"length " + std::to_string(garbage_length) + " is outside 1 to 1048576",
          "10 trailer bytes are not 0xFF, the first at image offset 4990"}},
        {"empty file", "", {"the file is empty"}},
        {"header only", good.substr(0, 40),
         {"the file is 40 bytes, shorter than a header and a trailer (50 bytes)"}},
    };
    TempDir d;
    for (auto &c : cases) {
        write_file(d / "image.bin", c.image);
        RunResult r = verify(d, {"image.bin"});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(lines_with(r.out, "problem: "), c.problems) << c.what << "\n" << r.out;
        EXPECT_EQ(lines_with(r.out, "verdict:  "), std::vector<std::string>{"NOT VALID"}) << c.what;
    }
}

TEST(VerifyRun, ReportOfABrokenImageShowsWhatWasFound)
{
    TempDir d;
    std::string image = reference_image(pattern(1000, 1)).substr(0, 1049);
    image[0] = 7;
    memcpy(&image[1], "v2.0\n", 5);
    write_file(d / "cut.bin", image);
    RunResult r = verify(d, {"cut.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "image:    cut.bin, 1049 bytes\n"
                     "kind:     0x07\n"
                     "version:  \"v2.0\\x0A\"\n"
                     "length:   1000\n"
                     "body:     1000 bytes (length 1 to 204800: not filled)\n"
                     "fill:     not checked\n"
                     "trailer:  10 bytes, 1 not 0xFF\n"
                     "checksum: " + hex32(reference_sum(pattern(1000, 1))) + " stored, not computed\n"
                     "verdict:  NOT VALID\n"
                     "problem: the file is 1049 bytes, length 1000 needs 1050\n"
                     "problem: 1 trailer byte is not 0xFF, at image offset 1039\n");
}

TEST(VerifyRun, InputThatTheImageWasNotBuiltFrom)
{
    TempDir d;
    std::string input = pattern(1000, 1), other = input;
    other[999] = (char)(input[999] ^ 0x5A); /* the last byte: the whole input is compared */
    write_file(d / "image.bin", reference_image(input));
    write_file(d / "other.bin", other);
    write_file(d / "shorter.bin", input.substr(0, 999));
    write_file(d / "longer.bin", input + "x");
    write_file(d / "huge.bin", pattern(1048577));
    char diff[120];
    snprintf(diff, sizeof diff,
             "the body differs from INPUT at offset 999 (image offset 1039): "
             "0x%02X in the image, 0x%02X in INPUT", (uint8_t)input[999], (uint8_t)other[999]);

    struct {
        const char *input;
        std::vector<std::string> problems;
    } cases[] = {
        {"other.bin", {diff}},
        {"shorter.bin", {"length 1000, but INPUT is 999 bytes"}},
        {"longer.bin",
         {"length 1000, but INPUT is 1001 bytes", "the body ends after 1000 bytes, INPUT goes on to 1001"}},
        {"huge.bin",
         {"length 1000, but INPUT is 1048577 bytes",
          "INPUT is 1048577 bytes, more than an image holds (1048576)"}},
    };
    for (auto &c : cases) {
        RunResult r = verify(d, {"image.bin", c.input});
        EXPECT_EQ(r.status, 1) << c.input;
        EXPECT_EQ(lines_with(r.out, "problem: "), c.problems) << c.input << "\n" << r.out;
        EXPECT_EQ(lines_with(r.out, "verdict:  "),
                  std::vector<std::string>{"valid image, but not built from INPUT"});
    }
}

TEST(VerifyRun, FileLargerThanAnyImageIsNotReadWhole)
{
    TempDir d;
    std::string header = reference_image("abc").substr(0, 40);
    write_file(d / "big.bin", header);
    int fd = open((d / "big.bin").c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    int sized = ftruncate(fd, 5LL << 30);
    close(fd);
    if (sized != 0)
        GTEST_SKIP() << "no sparse 5 GiB file here: " << strerror(errno);
    RunResult r = verify(d, {"big.bin", "big.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(lines_with(r.out, "length:   "), std::vector<std::string>{"3"});
    EXPECT_EQ(lines_with(r.out, "problem: "),
              (std::vector<std::string>{
                  "the file is 5368709120 bytes, larger than the largest image (1048626 bytes)",
                  "length 3, but INPUT is 5368709120 bytes",
                  "INPUT is 5368709120 bytes, more than an image holds (1048576)"}));
}

TEST(VerifyRun, TroubleIsStatus2WithNoReport)
{
    TempDir d;
    write_file(d / "image.bin", reference_image("abc"));
    make_dir(d / "dir");
    std::vector<std::vector<std::string>> cases = {
        {"missing.bin"}, {"image.bin", "missing.bin"}, {"dir"}, {"image.bin", "dir"},
        {}, {"image.bin", "image.bin", "image.bin"}, {"-x", "image.bin"}, {"image.bin", "--help"},
    };
    for (auto &c : cases) {
        RunResult r = verify(d, c);
        EXPECT_EQ(r.status, 2) << (c.empty() ? "" : c[0]);
        EXPECT_EQ(r.out, "");
    }
    /* what went wrong goes to standard error */
    RunResult r = run_program({"/bin/sh", "-c", "'" + VERIFY + "' missing.bin 2>&1"}, d.path);
    EXPECT_EQ(r.out, "swug-verify: cannot open missing.bin "
                     "(missing, unreadable or not a regular file)\n");
    /* so does a report that cannot be written */
    r = run_program({"/bin/sh", "-c", "'" + VERIFY + "' image.bin >/dev/full"}, d.path);
    EXPECT_EQ(r.status, 2);
}

TEST(VerifyRun, HelpIsStatus0)
{
    TempDir d;
    RunResult r = verify(d, {"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: swug-verify IMAGE [INPUT]\n", 0), 0u) << r.out;
}
