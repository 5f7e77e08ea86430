/* swug-verify run as a user runs it: report, problem lines and exit status. */
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <algorithm>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "e2e_support.h"

using nlohmann::json;

static const std::string VERIFY = SWUG_VERIFY_PATH;
static const std::string GEN = SWUG_GEN_PATH;

/* Every JSON report the runs of this test program print, checked against
 * the installed schema once its tests are done. */
static std::string json_reports;

static RunResult verify(const TempDir &d, std::vector<std::string> args,
                        const RunOptions &opt = RunOptions())
{
    auto options_end = std::find(args.begin(), args.end(), "--");
    bool json_form = std::find(args.begin(), options_end, "--json") != options_end;
    args.insert(args.begin(), VERIFY);
    RunResult r = run_program(args, d.path, opt);
    if (json_form)
        json_reports += r.out;
    return r;
}

/* python3-jsonschema reads the reports one after the other. */
struct SchemaCheck : testing::Environment {
    void TearDown() override
    {
        if (json_reports.empty())
            return;
        TempDir d;
        write_file(d / "reports.json", json_reports);
        RunResult r = run_program({PYTHON3_PATH, CHECK_SCHEMA_PATH, SWUG_SCHEMA_PATH,
                                   d / "reports.json"}, d.path);
        EXPECT_EQ(r.status, 0) << r.out;
    }
};
static testing::Environment *const schema_check = testing::AddGlobalTestEnvironment(new SchemaCheck);

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

/* The problem line for the first byte where image's body and input differ. */
static std::string differs_at(const std::string &image, const std::string &input, size_t at)
{
    char text[120];
    snprintf(text, sizeof text,
             "the body differs from INPUT at offset %zu (image offset %zu): "
             "0x%02X in the image, 0x%02X in INPUT",
             at, at + 40, (uint8_t)image[40 + at], (uint8_t)input[at]);
    return text;
}

static uint32_t le32(const std::string &s, size_t at)
{
    uint32_t v = 0;
    for (int k = 3; k >= 0; k--)
        v = v << 8 | (uint8_t)s[at + k];
    return v;
}

struct Problem {
    std::string code, message;
    bool operator==(const Problem &o) const { return code == o.code && message == o.message; }
};

static std::ostream &operator<<(std::ostream &os, const Problem &p)
{
    return os << p.code << ": " << p.message;
}

/* Both reports of one check: the text, and the JSON object read back. */
struct Reports {
    RunResult text;
    json obj;
    std::vector<Problem> problems; /* from the JSON */
};

/* Run swug-verify on image (and input, when given) as text, as JSON and with
 * -q (the status alone). The JSON must parse, tell the same status, verdict
 * and problems as the text, and hold the numbers the image's bytes give. */
static Reports verify_both(const TempDir &d, const std::string &image, const std::string *input)
{
    std::vector<std::string> args = {"image.bin"};
    write_file(d / "image.bin", image);
    if (input != nullptr) {
        write_file(d / "in.bin", *input);
        args.push_back("in.bin");
    }
    Reports r;
    r.text = verify(d, args);
    args.insert(args.begin(), "-q");
    RunResult q = verify(d, args);
    EXPECT_TRUE(q.status == r.text.status && q.out.empty()) << q.status << q.out;
    args[0] = "--json";
    RunResult j = verify(d, args);
    EXPECT_EQ(j.status, r.text.status);
    r.obj = json::parse(j.out, nullptr, false);
    if (r.obj.is_discarded() || !r.obj.is_object()) {
        ADD_FAILURE() << "not one JSON object:\n" << j.out;
        return r;
    }
    for (auto &p : r.obj["problems"])
        r.problems.push_back({p["code"].get<std::string>(), p["message"].get<std::string>()});
    std::vector<std::string> messages;
    for (auto &p : r.problems)
        messages.push_back(p.message);
    EXPECT_EQ(lines_with(r.text.out, "problem: "), messages);
    EXPECT_EQ(lines_with(r.text.out, "verdict:  "),
              std::vector<std::string>{r.obj["verdict"].get<std::string>()});
    EXPECT_EQ(r.obj["valid"], r.text.status == 0);
    EXPECT_EQ(r.obj["image"], "image.bin");
    EXPECT_EQ(r.obj["size"], image.size());
    bool header = image.size() >= 40;
    EXPECT_EQ(r.obj["kind"], header ? json((uint8_t)image[0]) : json());
    EXPECT_EQ(r.obj["length"], header ? json(le32(image, 32)) : json());
    EXPECT_EQ(r.obj["checksum"]["stored"], header ? json(le32(image, 36)) : json());
    bool whole = image.size() >= 50 && image.size() <= 1048626;
    EXPECT_EQ(r.obj["body_size"], whole ? json(image.size() - 50) : json());
    EXPECT_EQ(r.obj["input"], input ? json({{"path", "in.bin"}, {"size", input->size()},
                                            {"checksum", r.obj["input"]["checksum"]}})
                                    : json());
    return r;
}

TEST(VerifyRun, EveryGeneratedImageIsValidAndBuiltFromItsInput)
{
    TempDir d;
    for (size_t size : {1u, 2u, 3u, 4u, 5u, 513u, 204800u, 204801u, 300000u, 409549u, 409550u,
                        409551u, 1048575u, 1048576u}) {
        std::string input = pattern(size, (unsigned)size);
        write_file(d / "in.bin", input);
        ASSERT_EQ(run_program({GEN, "in.bin", "out.bin"}, d.path).status, 0) << size;
        std::string image = read_file(d / "out.bin");
        Reports alone = verify_both(d, image, nullptr);
        EXPECT_EQ(alone.text.status, 0) << size << "\n" << alone.text.out;
        Reports r = verify_both(d, image, &input);
        EXPECT_EQ(r.text.status, 0) << size << "\n" << r.text.out;
        EXPECT_EQ(r.obj["verdict"], "valid, built from INPUT");
        EXPECT_EQ(r.obj["input"]["checksum"], reference_sum(input));
        EXPECT_TRUE(r.problems.empty() && r.obj["notes"].empty()) << r.text.out;
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

/* Every corruption of an image, and every INPUT it was not built from: the
 * problems of the image alone, and those that INPUT adds, in the text and
 * in the JSON report alike. */
TEST(VerifyRun, EachDifferenceHasItsReason)
{
    const std::string in = pattern(1000, 1), padded_in = pattern(300000, 2);
    const std::string good = reference_image(in), padded = reference_image(padded_in);
    const uint32_t sum = reference_sum(in);
    const std::string stored = hex32(sum) + " stored, ";
    ASSERT_EQ((uint8_t)in[999], 0xE7); /* the byte the cases below see move */

    std::string flipped = good, bad_crc = good, bad_length = good, bad_fill = padded,
                bad_trailer = good, padded_length = padded, kind = good, version = good;
    flipped[40 + 500] ^= 0x01;
    put_le32(bad_crc, 36, sum + 1);
    put_le32(bad_length, 32, 999);
    put_le32(padded_length, 32, 300001);
    bad_fill[40 + 300005] = '\xfe';
    bad_trailer[1049] = '\0';
    kind[0] = 1;
    version[31] = 'x';
    std::string garbage;
    while (garbage.size() < 5000)
        garbage += "this is no upgrade image. ";
    garbage.resize(5000);
    std::string other = in, one = "A";
    other[999] ^= 0x5A; /* the last byte: the whole input is compared */
    auto input_sum = [&](const std::string &s) { return "checksum " + stored + "INPUT's is " + hex32(reference_sum(s)); };

    struct {
        const char *what;
        std::string image, input;
        std::vector<Problem> alone, with_input; /* the latter after the former */
    } cases[] = {
        {"flipped body byte", flipped, in,
         {{"checksum", "checksum " + stored + hex32(reference_sum(flipped.substr(40, 1000))) + " computed"}},
         {{"input-body", differs_at(flipped, in, 500)}}},
        {"wrong CRC", bad_crc, in,
         {{"checksum", "checksum " + hex32(sum + 1) + " stored, " + hex32(sum) + " computed"}}, {}},
        {"wrong length", bad_length, in,
         {{"size", "the file is 1050 bytes, length 999 needs 1049 bytes"},
          {"checksum", "checksum " + stored + hex32(sum - 0xE7000000u) + " computed"},
          {"fill", "1 fill byte is not 0xFF, at image offset 1039"}},
         {{"input-length", "length 999, but INPUT is 1000 bytes"}}},
        {"wrong length inside the fill band", padded_length, padded_in,
         {{"checksum", "checksum " + hex32(reference_sum(padded_in)) + " stored, " +
                           hex32(reference_sum(padded_in) + 0xFFu) + " computed"}},
         {{"input-length", "length 300001, but INPUT is 300000 bytes"}}},
        {"one byte short", good.substr(0, 1049), in,
         {{"size", "the file is 1049 bytes, length 1000 needs 1050 bytes"},
          {"trailer", "1 trailer byte is not 0xFF, at image offset 1039"}},
         {{"input-cut", "the body ends after 999 bytes, INPUT goes on to 1000 bytes"}}},
        {"one byte long", good + '\xff', in,
         {{"size", "the file is 1051 bytes, length 1000 needs 1050 bytes"}}, {}},
        {"non-0xFF fill byte", bad_fill, padded_in,
         {{"fill", "1 fill byte is not 0xFF, at image offset 300045"}}, {}},
        {"non-0xFF trailer byte", bad_trailer, in,
         {{"trailer", "1 trailer byte is not 0xFF, at image offset 1049"}}, {}},
        {"kind byte", kind, in, {}, {{"input-kind", "kind 0x01, but swug-gen writes 0x00"}}},
        {"version text", version, in, {},
         {{"input-version", "a version text is set, but swug-gen writes none (31 zero bytes)"}}},
        {"garbage", garbage, in,
         {{"length", "length " + std::to_string(le32(garbage, 32)) + " is outside 1 to 1048576"},
          {"trailer", "10 trailer bytes are not 0xFF, the first at image offset 4990"}},
         {{"input-kind", "kind 0x74, but swug-gen writes 0x00"},
          {"input-version", "a version text is set, but swug-gen writes none (31 zero bytes)"},
          {"input-length", "length " + std::to_string(le32(garbage, 32)) + ", but INPUT is 1000 bytes"},
          {"input-checksum", "checksum " + hex32(le32(garbage, 36)) + " stored, INPUT's is " + hex32(sum)},
          {"input-body", differs_at(garbage, in, 0)},
          {"input-size", "the file is 5000 bytes, the image of INPUT (1000 bytes) is 1050 bytes"}}},
        {"empty file", "", in, {{"empty", "the file is empty"}}, {}},
        {"header only", good.substr(0, 40), in,
         {{"short", "the file is 40 bytes, shorter than a header and a trailer (50 bytes)"}}, {}},
        {"1-byte file", "x", in,
         {{"short", "the file is 1 byte, shorter than a header and a trailer (50 bytes)"}}, {}},
        {"other INPUT", good, other, {},
         {{"input-checksum", input_sum(other)}, {"input-body", differs_at(good, other, 999)}}},
        {"shorter INPUT", good, in.substr(0, 999), {},
         {{"input-length", "length 1000, but INPUT is 999 bytes"},
          {"input-checksum", input_sum(in.substr(0, 999))},
          {"input-size", "the file is 1050 bytes, the image of INPUT (999 bytes) is 1049 bytes"}}},
        {"longer INPUT", good, in + "x", {},
         {{"input-length", "length 1000, but INPUT is 1001 bytes"},
          {"input-checksum", input_sum(in + "x")},
          {"input-cut", "the body ends after 1000 bytes, INPUT goes on to 1001 bytes"},
          {"input-size", "the file is 1050 bytes, the image of INPUT (1001 bytes) is 1051 bytes"}}},
        {"INPUT over 1 MiB", good, pattern(1048577), {},
         {{"input-length", "length 1000, but INPUT is 1048577 bytes"},
          {"input-too-large", "INPUT is 1048577 bytes, more than an image holds (1048576)"}}},
        {"empty INPUT", good, "", {},
         {{"input-length", "length 1000, but INPUT is 0 bytes"},
          {"input-empty", "INPUT is empty: swug-gen builds no image from it"}}},
        {"1-byte INPUT", reference_image(one), "B", {},
         {{"input-checksum", "checksum 0x00000041 stored, INPUT's is 0x00000042"},
          {"input-body", differs_at(reference_image(one), "B", 0)}}},
    };
    TempDir d;
    for (auto &c : cases) {
        Reports r = verify_both(d, c.image, nullptr);
        EXPECT_EQ(r.text.status, c.alone.empty() ? 0 : 1) << c.what;
        EXPECT_EQ(r.problems, c.alone) << c.what << "\n" << r.text.out;
        EXPECT_EQ(r.obj["verdict"], c.alone.empty() ? "valid" : "NOT VALID") << c.what;

        std::vector<Problem> all = c.alone;
        all.insert(all.end(), c.with_input.begin(), c.with_input.end());
        r = verify_both(d, c.image, &c.input);
        EXPECT_EQ(r.text.status, all.empty() ? 0 : 1) << c.what;
        EXPECT_EQ(r.problems, all) << c.what << "\n" << r.text.out;
        EXPECT_EQ(r.obj["verdict"], !c.alone.empty()     ? "NOT VALID"
                                    : !all.empty()       ? "valid image, but not built from INPUT"
                                                         : "valid, built from INPUT")
            << c.what;
    }
}

TEST(VerifyRun, ReportOfABrokenImageShowsWhatWasFound)
{
    TempDir d;
    std::string image = reference_image(pattern(1000, 1)).substr(0, 1049);
    image[0] = 7;
    memcpy(&image[1], "v2.0\n" "4", 6);
    write_file(d / "cut.bin", image);
    RunResult r = verify(d, {"cut.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "image:    cut.bin, 1049 bytes\n"
                     "kind:     0x07 (not from swug-gen, which writes 0x00)\n"
                     "version:  \"v2.0\\x{0A}4\" (not from swug-gen, which writes none)\n"
                     "length:   1000\n"
                     "body:     999 bytes found, 1000 expected (length 1 to 204800: not filled)\n"
                     "fill:     not checked: length is more than the body found\n"
                     "trailer:  10 bytes, 1 not 0xFF\n"
                     "checksum: " + hex32(reference_sum(pattern(1000, 1))) + " stored, not computed\n"
                     "verdict:  NOT VALID\n"
                     "problem: the file is 1049 bytes, length 1000 needs 1050 bytes\n"
                     "problem: 1 trailer byte is not 0xFF, at image offset 1039\n");

    /* one byte of everything, and an empty INPUT that nothing is claimed of */
    write_file(d / "one.bin", reference_image("A"));
    write_file(d / "empty.bin", "");
    r = verify(d, {"one.bin", "empty.bin"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "image:    one.bin, 51 bytes\n"
                     "kind:     0x00\n"
                     "version:  \"\"\n"
                     "length:   1\n"
                     "body:     1 byte (length 1 to 204800: not filled)\n"
                     "fill:     none\n"
                     "trailer:  10 bytes, all 0xFF\n"
                     "checksum: 0x00000041 stored, 0x00000041 computed\n"
                     "input:    empty.bin, 0 bytes, empty, nothing to compare\n"
                     "verdict:  valid image, but not built from INPUT\n"
                     "problem: length 1, but INPUT is 0 bytes\n"
                     "problem: INPUT is empty: swug-gen builds no image from it\n");
}

/* Paths and version texts hold any bytes; the JSON stays valid and keeps
 * every byte: UTF-8 as it is, any other byte as the character of its value;
 * the text shows control characters and bytes that are not UTF-8 as \xNN. */
TEST(VerifyRun, JsonStringsHoldAnyBytes)
{
    TempDir d;
    const std::string name = "\x1b[1m\xc2\x9b\"q\\\x01\t\x7f\xc3\xa9\xff\xc3\xed\xa0\x80\xf4\x90\x80\x80-\xe2\x82\xac.bin";
    const std::string want = "\x1b[1m\xc2\x9b\"q\\\x01\t\x7f\xc3\xa9\xc3\xbf\xc3\x83\xc3\xad\xc2\xa0\xc2\x80"
                             "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80-\xe2\x82\xac.bin";
    std::string image = reference_image("abc");
    memcpy(&image[1], "\xff" "1\x13\xc3\xa9", 5);
    write_file(d / name, image);
    RunResult r = verify(d, {"--json", name, "--"});
    EXPECT_EQ(r.status, 0);
    json obj = json::parse(r.out, nullptr, false);
    ASSERT_FALSE(obj.is_discarded()) << r.out;
    EXPECT_EQ(obj["image"], want);
    EXPECT_EQ(obj["version"], "\xc3\xbf" "1\x13\xc3\xa9");
    EXPECT_EQ(obj["notes"], json::parse(R"([{"code": "version", "message":
        "the version text is not from swug-gen, which writes none"}])"));
    EXPECT_EQ(obj["fill"], json::parse(R"({"size": 0, "not_ff": 0})"));
    r = verify(d, {"--", name});
    EXPECT_EQ(lines_with(r.out, "image:    "),
              std::vector<std::string>{"\\x1b[1m\\xc2\\x9b\"q\\\\x01\\x09\\x7f\xc3\xa9\\xff\\xc3\\xed\\xa0"
                                       "\\x80\\xf4\\x90\\x80\\x80-\xe2\x82\xac.bin, 53 bytes"});
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

TEST(VerifyRun, TroubleIsStatus2WithOnlyAnErrorObject)
{
    TempDir d;
    write_file(d / "image.bin", reference_image("abc"));
    make_dir(d / "dir");
    const std::string image = "image-unreadable", input = "input-unreadable", usage = "usage";
    struct {
        std::vector<std::string> args;
        std::string code;
        Stdin in = Stdin::DevNull;
    } cases[] = {
        {{"missing.bin"}, image}, {{"image.bin", "missing.bin"}, input}, {{"dir"}, image},
        {{"image.bin", "dir"}, input}, {{}, usage}, {{"image.bin", "image.bin", "image.bin"}, usage},
        {{"-x", "image.bin"}, usage}, {{"image.bin", "--help"}, usage}, {{"image.bin", "-h"}, usage},
        {{"--"}, usage}, {{"--", "-x"}, image}, {{"image.bin", "--", "--", "image.bin"}, usage},
        {{"-", "-"}, usage}, {{"--", "-", "-"}, usage}, {{"-q", "missing.bin"}, usage},
        {{"-"}, image, Stdin::Closed}, {{"image.bin", "-"}, input, Stdin::Closed},
    };
    for (auto &c : cases) {
        RunOptions opt;
        opt.in = c.in;
        RunResult r = verify(d, c.args, opt);
        std::string what = c.args.empty() ? "" : c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.status, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        /* --json counts wherever it is before "--", also after what is wrong */
        bool ended = std::find(c.args.begin(), c.args.end(), "--") != c.args.end();
        c.args.insert(ended ? c.args.begin() : c.args.end(), "--json");
        r = verify(d, c.args, opt);
        EXPECT_EQ(r.status, 2) << what;
        json obj = json::parse(r.out, nullptr, false);
        EXPECT_EQ(obj["error"]["code"], c.code) << what << "\n" << r.out; /* the rest: schema */
    }
    /* what went wrong goes to standard error, and with --json into the object too */
    for (std::string form : {"", "--json ", "--quiet "}) {
        RunResult r = run_program({"/bin/sh", "-c", "'" + VERIFY + "' " + form + "missing.bin 2>&1"}, d.path);
        const std::string message = "cannot open missing.bin (missing, unreadable or not a regular file)";
        ASSERT_EQ(r.out.rfind("swug-verify: " + message + "\n", 0), 0u) << r.out;
        EXPECT_TRUE(form != "--json " || json::parse(r.out.substr(r.out.find('{')))["error"]["message"] == message)
            << r.out;
    }
    /* so does a report that cannot be written */
    for (std::string form : {"", "--json ", "--json missing-"}) {
        RunResult r = run_program({"/bin/sh", "-c", "'" + VERIFY + "' " + form + "image.bin >/dev/full"}, d.path);
        EXPECT_EQ(r.status, 2) << form;
    }
}

/* "-" is standard input, a pipe with no size to ask: the image, or INPUT,
 * whole and byte for byte; past the largest image (or INPUT) it is read no
 * further and has no size. */
TEST(VerifyRun, DashIsStandardInput)
{
    TempDir d;
    const std::string in = pattern(300000, 3) + "\r\n\x1a\r", image = reference_image(in);
    write_file(d / "in.bin", in);
    write_file(d / "image.bin", image);
    write_file(d / "big.bin", pattern(1048627));
    write_file(d / "largest.bin", reference_image(pattern(1048576)));
    struct {
        std::string from, args;
        int status;
        json size; /* of the file read from standard input: null past the limit */
    } cases[] = {
        {"image.bin", "- in.bin", 0, image.size()}, {"in.bin", "image.bin -", 0, in.size()},
        {"image.bin", "-- - in.bin", 0, image.size()}, {"/dev/null", "-", 1, 0},
        {"big.bin", "-", 1, json()}, {"big.bin", "image.bin -", 1, json()},
        {"largest.bin", "-", 0, 1048626},
    };
    for (auto &c : cases) {
        std::string cmd = "cat " + c.from + " | '" + VERIFY + "' --json " + c.args;
        RunResult r = run_program({"/bin/sh", "-c", cmd}, d.path);
        json_reports += r.out;
        json obj = json::parse(r.out, nullptr, false);
        EXPECT_EQ(r.status, c.status) << cmd;
        EXPECT_EQ(c.args[0] == '-' ? obj["size"] : obj["input"]["size"], c.size) << cmd;
    }
}

TEST(VerifyRun, HelpAndEndOfOptions)
{
    TempDir d;
    for (const char *h : {"--help", "-h"}) {
        RunResult r = verify(d, {h});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("usage: swug-verify [--json | -q] [--] IMAGE [INPUT]\n", 0), 0u) << r.out;
    }
    /* after --, names that begin with - are files; --json may come before or after IMAGE */
    write_file(d / "-h", reference_image("abc"));
    write_file(d / "--json", "abc");
    RunResult r = verify(d, {"--", "-h", "--json"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(lines_with(r.out, "input:    "),
              std::vector<std::string>{"--json, 3 bytes, the body starts with it"});
    r = verify(d, {"./-h", "--json"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(json::parse(r.out)["image"], "./-h");
    /* a file named - is ./-: standard input (empty here) is not read */
    write_file(d / "-", reference_image("abc"));
    EXPECT_EQ(verify(d, {"./-", "--", "--json"}).status, 0);
}
