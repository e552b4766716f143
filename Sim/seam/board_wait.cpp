// Host definitions of the firmware's waits: on the chip they spend cycles
// (and, for a flag poll, register reads); here they let virtual time pass.
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

// For now every read goes through the register proxy, as on the chip. A
// version that skips ahead to the event that changes the flag must keep:
// - the result: true exactly when one of the first `limit` reads (all of
//   them for POLL_UNBOUNDED) would have shown (reg & mask) == want;
// - the time: it returns at the virtual time of that read, or of the last
//   one, with every read costing what a proxy read costs, and it takes each
//   interrupt at the read after which it would have been taken, then looks
//   again, since a handler may change the flag (the control tick's own
//   conversion restarts the converter under a foreground wait);
// - the reads: the registers polled (status and control registers) have no
//   read side effects, so the number of reads is observable only through
//   time and through Mcu::accesses, which it advances by the reads it skips.
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
