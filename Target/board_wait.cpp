// Waiting as the chip does it: the millisecond counter is one 32-bit load
// (atomic on the Cortex-M3), a short delay is an empty loop on a volatile
// counter that the compiler must keep, a flag poll is a loop of register
// reads, and the endless wait is a branch to itself.
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

void wait_forever(void)
{
    for (;;) {
        __asm__ volatile("");   // a loop with a side effect the compiler keeps
    }
}

bool poll_flag(const hw_reg &reg, uint32_t mask, uint32_t want, uint32_t limit)
{
    if (limit == POLL_UNBOUNDED) {
        while ((reg & mask) != want) {
        }
        return true;
    }
    for (uint32_t n = limit; n != 0u; --n) {
        if ((reg & mask) == want) {
            return true;
        }
    }
    return false;
}
