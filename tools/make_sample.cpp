/* Write the bundled sample input: 300,000 bytes of a fixed pattern, inside
 * the band that gets 0xFF fill, with every byte value (0x0A and 0x1A among
 * them) so that any newline translation on the way would show.
 *
 *   make-sample FILE */
#include <cstdint>
#include <cstdio>

constexpr uint32_t SAMPLE_SIZE = 300000;

static uint8_t sample_byte(uint32_t i)
{
    return (uint8_t)(i * 7u + (i >> 9));
}

int main(int argc, char **argv)
{
    static uint8_t buf[SAMPLE_SIZE];

    if (argc != 2) {
        fprintf(stderr, "usage: make-sample FILE\n");
        return 2;
    }
    for (uint32_t i = 0; i < SAMPLE_SIZE; i++)
        buf[i] = sample_byte(i);

    FILE *f = fopen(argv[1], "wb");
    if (f == NULL) {
        perror(argv[1]);
        return 1;
    }
    size_t written = fwrite(buf, 1, sizeof buf, f);
    int flushed = fflush(f) == 0;
    int closed = fclose(f) == 0;
    if (written != sizeof buf || !flushed || !closed) {
        fprintf(stderr, "%s: write failed\n", argv[1]);
        return 1;
    }
    return 0;
}
