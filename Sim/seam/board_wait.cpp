// Host definitions of the firmware's pure waits: on the chip they spend
// cycles without touching a register; here they let virtual time pass.
#include "board.h"
#include "cpu/native_cpu.hpp"

namespace {
// One turn of the empty counting loop on a volatile counter: load, add,
// store, compare and branch from flash with two wait states.
constexpr sim::Cycles kCyclesPerIteration = 10;
}

uint32_t millis_now(void)
{
    // The main loop polls this until the millisecond changes: nothing else
    // runs in the foreground meanwhile, so time may jump to the next event.
    sim::NativeCpu::active().idle();
    return tick_count;
}

void spin_delay(uint32_t iterations)
{
    sim::NativeCpu::active().spend(static_cast<sim::Cycles>(iterations) * kCyclesPerIteration);
}
