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
    // Lets time pass until the next event (or by at most `limit`) with
    // nothing running in the foreground: the main loop's idle poll.
    void idle(Cycles limit = kCyclesPerMs);
    // Test bench, for firmware functions called from a test: time passes to
    // t with the foreground doing nothing; interrupts are taken.
    void idle_until(Cycles t);

    // Called whenever virtual time has moved, after events and interrupts.
    std::function<void()> on_time_passed;

private:
    struct Coroutine;
    void run_to(Cycles target);
    void time_passed();

    Mcu &mcu_;
    std::unique_ptr<Coroutine> co_;
    Cycles horizon_ = kNever;   // idle() does not pass this point (the stop of a run)
};

std::unique_ptr<Cpu> make_native_cpu(Mcu &mcu);

}  // namespace sim
