/* The application: counts in a loop, with one value in .data and one in
 * .bss, so that the reset handler's work shows. */
#include <stdint.h>

static volatile uint32_t step = 3;
static volatile uint32_t count;

int main(void)
{
    for (;;)
        count += step;
}
