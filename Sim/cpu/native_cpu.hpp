// The native CPU: the firmware compiled for the host runs on a stack of its
// own (a coroutine) and reaches the virtual MCU through the register proxy
// (Sim/seam). Virtual time is what its register accesses, its waits and the
// exception entries and returns cost:
// - a register access spends kAccessCycles of the running clock, then
//   reaches the bus, then the NVIC may take an exception;
// - an exception runs its handler to completion through the firmware's own
//   vector table, kExceptionCycles for the entry and again for the return;
// - time spent in a handler moves the interrupted code's target on: it still
//   has its own cycles to spend afterwards.
// The firmware's globals live once in the process, so only one native CPU
// may exist at a time.
#pragma once
#include <functional>
#include <memory>

#include "cpu/cpu.hpp"

namespace sim {

// Cost of one register access seen from the firmware, in cycles of the
// running clock: the load or store plus the loop around it in a typical poll.
constexpr Cycles kAccessCycles = 12;
// Exception entry (stacking, vector fetch) and return (unstacking).
constexpr Cycles kExceptionCycles = 12;

class NativeCpu final : public Cpu {
public:
    explicit NativeCpu(Mcu &mcu);
    ~NativeCpu() override;
    NativeCpu(const NativeCpu &) = delete;
    NativeCpu &operator=(const NativeCpu &) = delete;

    const char *name() const override { return "native"; }
    void reset() override;
    void run_until(Cycles t) override;
    void take_exception(int n) override;
    bool read_symbol(std::string_view name, void *out, size_t size) override;
    bool write_symbol(std::string_view name, const void *in, size_t size) override;

    // The live native CPU, for the seam; fails if there is none.
    static NativeCpu &active();
    Mcu &mcu() { return mcu_; }

    // The firmware's register accesses (the proxy's calls).
    uint32_t read32(uint32_t addr);
    void write32(uint32_t addr, uint32_t value);
    // The firmware spends n cycles of its running clock: time advances, due
    // events fire and interrupts that may pre-empt are taken.
    void spend(Cycles n);
    // The firmware reads a register that has no read side effects again and
    // again, up to `at_most` more times. Leaves out the reads that cannot see
    // anything new: those due before the next event, and before the stop of
    // the run (where the outside world may act); nothing else changes a
    // register, and no interrupt comes due without an event. Time and the
    // access count advance as if they had been made; returns how many.
    uint64_t repeat_read(uint64_t at_most);
    // Lets time pass until the next event (or by at most `limit`) with
    // nothing running in the foreground: the main loop's idle poll.
    void idle(Cycles limit = kCyclesPerMs);
    // The foreground reads a count that only handlers change (the
    // millisecond count). A read at the instant of the previous one that
    // would see the same value is a loop spinning on it: time first jumps
    // to the next event, where it may change. Any other read returns at
    // once, as the load does on the chip, so where the foreground goes on
    // does not depend on which events happen to be scheduled.
    uint32_t read_spun(const volatile uint32_t &count);
    // Test bench, for firmware functions called from a test: time passes to
    // t with the foreground doing nothing; interrupts are taken.
    void idle_until(Cycles t);

    // Called whenever virtual time has moved, after events and interrupts.
    std::function<void()> on_time_passed;

    // The firmware's part of a snapshot of the board (Board::save): every
    // variable, and where the firmware stands on its own stack with the
    // frames above that point. Taken between runs; it goes back onto this
    // CPU only (the frames point into its stack and at the board's models,
    // which the board restores with it). A build whose sanitizer keeps
    // frames off the stack cannot take one.
    struct State;
    std::shared_ptr<const State> save_state() const;
    void restore_state(const State &s);

private:
    struct Coroutine;
    void run_to(Cycles target);
    void time_passed();

    Mcu &mcu_;
    std::unique_ptr<Coroutine> co_;
    Cycles horizon_ = kNever;   // idle() does not pass this point (the stop of a run)
    // read_spun()'s last read: the value and the instant.
    struct SpunRead {
        uint32_t value = 0;
        Cycles at = kNever;
    } spun_;
};

std::unique_ptr<Cpu> make_native_cpu(Mcu &mcu);

}  // namespace sim
