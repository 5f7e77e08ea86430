/* The reference sum and image, written from the image layout alone: no
 * header, constant or function of the code they check is used here. */
#include "reference_image.h"

#include <cstring>

static const size_t HEADER_ZEROS = 32;   /* kind, version and reserved bytes */
static const size_t HEADER_SIZE = 40;    /* those, then length and sum */
static const size_t TRAILER_SIZE = 10;
static const size_t FILL_FROM = 204801;  /* inputs of FILL_FROM to FILL_TO bytes */
static const size_t FILL_TO = 409550;    /* get a body of FILL_TO bytes */

uint32_t reference_sum(const unsigned char *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i < n; i++)
        sum += (uint32_t)p[i] << (8 * (i % 4));
    return sum;
}

uint32_t reference_sum(const std::string &bytes)
{
    return reference_sum((const unsigned char *)bytes.data(), bytes.size());
}

static size_t body_size(size_t n)
{
    return n >= FILL_FROM && n <= FILL_TO ? FILL_TO : n;
}

size_t reference_image_size(size_t n)
{
    return HEADER_SIZE + body_size(n) + TRAILER_SIZE;
}

static void put_le32(unsigned char *at, uint32_t v)
{
    for (int k = 0; k < 4; k++)
        at[k] = (unsigned char)(v >> (8 * k));
}

void reference_image_write(const unsigned char *input, size_t n, unsigned char *out)
{
    size_t body = body_size(n);

    memset(out, 0, HEADER_ZEROS);
    put_le32(out + HEADER_ZEROS, (uint32_t)n);
    put_le32(out + HEADER_ZEROS + 4, reference_sum(input, n));
    if (n > 0)
        memcpy(out + HEADER_SIZE, input, n);
    memset(out + HEADER_SIZE + n, 0xFF, body - n + TRAILER_SIZE);
}

std::string reference_image(const std::string &input)
{
    std::string img(reference_image_size(input.size()), '\0');
    reference_image_write((const unsigned char *)input.data(), input.size(),
                          (unsigned char *)&img[0]);
    return img;
}
