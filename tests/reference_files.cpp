/* Write the test input of N bytes and its reference image, so that a build
 * for another host can be checked against what this machine works out:
 *
 *   swug-reference-files N INPUT IMAGE */
#include <cstdio>
#include <cstdlib>

#include "e2e_support.h"

static int put(const char *path, const std::string &bytes)
{
    FILE *f = fopen(path, "wb");
    int ok = f != NULL && fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (f != NULL && fclose(f) != 0)
        ok = 0;
    if (!ok)
        perror(path);
    return ok;
}

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: swug-reference-files N INPUT IMAGE\n");
        return 2;
    }
    size_t n = strtoul(argv[1], NULL, 10);
    std::string input = pattern(n, (unsigned)n);
    return put(argv[2], input) && put(argv[3], reference_image(input)) ? 0 : 1;
}
