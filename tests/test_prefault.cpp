/* Prefaulting memory is only a hint for speed: it must never change what
 * the memory holds, whether the pages were touched before or not. */
#include <cstring>

#include <gtest/gtest.h>

#include "platform.h"

static uint8_t untouched[5 * 4096 + 100]; /* zero pages nobody has written yet */
static uint8_t written[5 * 4096 + 100];

TEST(Prefault, KeepsTheContentOfTouchedAndUntouchedPages)
{
    for (size_t i = 0; i < sizeof written; i++)
        written[i] = (uint8_t)(i * 7u + 1u);

    /* ranges that start and end inside pages, and nothing at all */
    platform_prefault(untouched + 3, sizeof untouched - 50);
    platform_prefault(written + 3, sizeof written - 50);
    platform_prefault(written + 10, 0);

    for (size_t i = 0; i < sizeof untouched; i++)
        ASSERT_EQ(untouched[i], 0) << i;
    for (size_t i = 0; i < sizeof written; i++)
        ASSERT_EQ(written[i], (uint8_t)(i * 7u + 1u)) << i;

    /* and the pages stay writable */
    memset(untouched, 0xA5, sizeof untouched);
    EXPECT_EQ(untouched[sizeof untouched - 1], 0xA5);
}
