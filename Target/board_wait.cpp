// Waiting without register access, as the chip does it: the millisecond
// counter is one 32-bit load (atomic on the Cortex-M3), and a short delay is
// an empty loop on a volatile counter that the compiler must keep.
#include "board.h"

uint32_t millis_now(void)
{
    return tick_count;
}

void spin_delay(uint32_t iterations)
{
    for (volatile uint32_t i = 0u; i < iterations; i++) {
    }
}
