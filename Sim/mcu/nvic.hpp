// The Cortex-M3's interrupt controller and the system control block, one
// model: the interrupt enables, pends and priorities (4 implemented bits, all
// of them pre-emption bits with the grouping at its reset value) and the
// system handlers' priorities decide together what pre-empts what.
#pragma once
#include <array>
#include <vector>

#include "mcu/peripheral.hpp"

namespace sim {

class Cpu;

class Nvic final : public Peripheral {
public:
    static constexpr int kSysTick = 15;
    static constexpr int kIrqBase = 16;
    static constexpr int kExceptions = 16 + 64;
    static constexpr int kThreadPriority = 256;   // below every exception

    explicit Nvic(Mcu &mcu);
    void reset() override;
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    void archive(StateArchive &a) override { a(enable_, pending_, line_, ipr_, shpr_, active_, next_, stale_, taken); }
    // Priority bytes take byte and halfword writes of their own; the set and
    // clear words take a narrow write as its bits with zeros around them.
    bool write_narrow(uint32_t off, uint32_t v, int size) override;

    // Level of an interrupt line: raising it pends the interrupt; a line still
    // high when its handler returns pends it again.
    void set_line(int irq, bool level);
    void pend_exception(int exception);   // SysTick and software pends
    bool enabled(int irq) const { return (enable_[irq / 32] >> (irq % 32)) & 1; }
    uint8_t priority(int exception) const;
    bool pending(int exception) const { return pending_[exception]; }
    int active_priority() const;           // kThreadPriority in thread mode
    // Cheap: false when nothing can pre-empt now (next_exception() gives 0).
    bool has_pending() const { return stale_ || next_ != 0; }
    const std::vector<int> &active() const { return active_; }   // innermost last

    // The exception that may pre-empt what runs now: the most urgent pending
    // and enabled one, strictly more urgent than the active priority (equal
    // levels never pre-empt; among equals the lowest number wins). 0: none.
    int next_exception();
    // Exception entry: no longer pending, now active, counted.
    void enter(int exception);
    // Exception return from the innermost active exception; an interrupt
    // whose line is still high pends again.
    void leave(int exception);
    // While something may pre-empt: enter it and let the CPU take it. Called
    // after every access and event, so the usual case (nothing pending) is
    // decided here.
    void dispatch(Cpu &cpu)
    {
        if (has_pending()) take_pending(cpu);
    }

    // The SCB's vector table offset and CCR.STKALIGN, which the CPU applies.
    uint32_t vtor() const { return vtor_; }
    bool stack_align8() const { return (ccr_ >> 9) & 1; }

    uint64_t taken = 0;   // exceptions entered since reset

private:
    void take_pending(Cpu &cpu);

    uint32_t enable_[2]{};
    std::array<bool, kExceptions> pending_{};
    std::array<bool, kExceptions> line_{};
    std::array<uint8_t, 64> ipr_{};
    uint32_t shpr_[3]{};
    uint32_t vtor_ = 0, ccr_ = 0;   // r1p1 core: STKALIGN clear at reset
    std::vector<int> active_;   // exception numbers, innermost last
    // next_exception()'s answer, kept until a pend, an enable, a priority or
    // an entry or return changes what it depends on (stale_). An interrupt
    // left pending while disabled would otherwise cost a search at every
    // register access.
    int next_ = 0;
    bool stale_ = false;
};

}  // namespace sim
