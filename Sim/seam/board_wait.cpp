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
    return sim::NativeCpu::active().read_spun(tick_count);
}

void spin_delay(uint32_t iterations)
{
    sim::NativeCpu::active().spend(static_cast<sim::Cycles>(iterations) * kCyclesPerIteration);
}

// The firmware stays here for good: time passes, events fire and interrupts
// more urgent than the context that waits are taken; each run of the board
// stops in here at its time limit and the next one goes on waiting.
void wait_forever(void)
{
    for (;;) sim::NativeCpu::active().idle();
}

// The read-by-read loop of the chip, with the reads that cannot see a change
// left out: after each read through the proxy that does not show the flag,
// time jumps over the reads due before the next event (or the stop of the
// run), counting them. So the result, the number of reads and the time at
// which the firmware goes on are those of the plain loop, and an interrupt
// still comes at the read after which it pends, and the next read sees what
// its handler did to the flag (the control tick's own conversion restarts
// the converter under a foreground wait). The polled registers (status and
// control words) have no read side effects, which the jump relies on.
bool poll_flag(const hw_reg &reg, uint32_t mask, uint32_t want, uint32_t limit)
{
    sim::NativeCpu &cpu = sim::NativeCpu::active();
    uint64_t left = limit == POLL_UNBOUNDED ? UINT64_MAX : limit;
    while (left != 0) {
        if ((reg & mask) == want) return true;
        --left;
        left -= cpu.repeat_read(left);
    }
    return false;
}
