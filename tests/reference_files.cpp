/* Write the test input of N bytes and its reference image, to check a build
 * for another host against (a failed write is reported, and then fails the
 * comparison):
 *
 *   swug-reference-files N INPUT IMAGE */
#include <cstdlib>

#include "e2e_support.h"

int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    size_t n = strtoul(argv[1], NULL, 10);
    std::string input = pattern(n, (unsigned)n);
    write_file(argv[2], input);
    write_file(argv[3], reference_image(input));
    return 0;
}
