/* Fuzz target "paths": a working-directory text and a command-line argument
 * through the separator rewrite and the "./" composition.
 *
 * Input: one flag byte, the directory text, a NUL byte, the argument (up to
 * its own first NUL, as a C string would end). Flag bit 0 puts "./" in front
 * of the argument, so that most inputs take the composition path. The
 * directory is cut to what the 300-byte work_dir can hold, which is all a
 * capture ever stores; an empty one is a failed capture.
 *
 * Both steps are checked against plain string computations written here.
 * The rewrite works on a heap block of exactly the text's size and the
 * composition writes into a heap block of exactly SWUG_PATH_SIZE bytes, so
 * ASan reports any byte touched beyond them. */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "dir_separators.h"
#include "work_dir.h"

/* Every run of backslashes becomes one '/'. */
static std::string reference_separators(const std::string &dir)
{
    std::string r;
    size_t i = 0;
    while (i < dir.size()) {
        if (dir[i] != '\\') {
            r += dir[i++];
            continue;
        }
        r += '/';
        while (i < dir.size() && dir[i] == '\\')
            i++;
    }
    return r;
}

/* The composed path, or false when there is none: "./" needs a directory,
 * and the result needs room for its terminator in SWUG_PATH_SIZE bytes. */
static bool reference_compose(const std::string &dir, const std::string &arg, std::string *path)
{
    if (arg.compare(0, 2, "./") == 0) {
        if (dir.empty())
            return false;
        *path = dir + "/" + arg.substr(2);
    } else {
        *path = arg;
    }
    return path->size() + 1 <= SWUG_PATH_SIZE;
}

static char *heap_copy(const std::string &s)
{
    char *p = (char *)malloc(s.size() + 1);
    FUZZ_CHECK(p != nullptr);
    memcpy(p, s.c_str(), s.size() + 1);
    return p;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    uint8_t flags = data[0];
    std::string rest((const char *)data + 1, size - 1);
    size_t nul = rest.find('\0');
    std::string dir = rest.substr(0, nul);
    std::string arg = nul == std::string::npos ? std::string() : rest.substr(nul + 1);
    arg = arg.substr(0, arg.find('\0'));
    if (flags & 1)
        arg = "./" + arg;
    if (dir.size() > SWUG_PATH_SIZE - 1)
        dir.resize(SWUG_PATH_SIZE - 1);

    char *rewritten = heap_copy(dir);
    normalise_dir_separators(rewritten);
    std::string want_dir = reference_separators(dir);
    FUZZ_CHECK(want_dir == rewritten);
    memset(work_dir, 0, sizeof work_dir);
    memcpy(work_dir, rewritten, strlen(rewritten) + 1);
    free(rewritten);

    char *arg_copy = heap_copy(arg);
    char *out = (char *)malloc(SWUG_PATH_SIZE);
    FUZZ_CHECK(out != nullptr);
    memset(out, 'G', SWUG_PATH_SIZE);
    int ok = compose_path(out, arg_copy);

    std::string want;
    bool fits = reference_compose(want_dir, arg, &want);
    FUZZ_CHECK(ok == (fits ? 1 : 0));
    if (ok) {
        FUZZ_CHECK(memchr(out, '\0', SWUG_PATH_SIZE) != nullptr);
        FUZZ_CHECK(want == out);
    } else {
        FUZZ_CHECK(out[0] == '\0');
    }
    free(out);
    free(arg_copy);
    return 0;
}
