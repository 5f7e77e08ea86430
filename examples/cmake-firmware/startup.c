/* The start of the firmware: the vector table the core reads at reset
 * (initial stack pointer, then the handlers), and the reset handler, which
 * sets up .data and .bss and calls main. */
#include <stdint.h>

extern uint32_t _estack, _sidata, _sdata, _edata, _sbss, _ebss;
int main(void);

void reset_handler(void)
{
    const uint32_t *from = &_sidata;
    uint32_t *p;

    /* volatile: the compiler must not turn these loops into memcpy and
     * memset calls, which a -nostdlib link does not have. */
    for (p = &_sdata; p < &_edata; p++)
        *(volatile uint32_t *)p = *from++;
    for (p = &_sbss; p < &_ebss; p++)
        *(volatile uint32_t *)p = 0;
    main();
    for (;;) {
    }
}

/* Every other exception stops here. */
static void default_handler(void)
{
    for (;;) {
    }
}

__attribute__((section(".isr_vector"), used))
static const uintptr_t vector_table[] = {
    (uintptr_t)&_estack,
    (uintptr_t)reset_handler,
    (uintptr_t)default_handler, /* NMI */
    (uintptr_t)default_handler, /* HardFault */
};
