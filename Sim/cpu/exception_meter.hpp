// What the exceptions of the emulated CPU cost, for reports: the cycles of
// each activation without the handlers nested in it, the profile over each
// activation of one chosen exception (the control tick) without them either,
// and the deepest stack of each context.
//
// An activation's cycles run from the start of its entry (or of the
// tail-chain into it) to the end of its return: 12 + body + 10 cycles; an
// activation that tail-chains into the next one ends where the chain begins,
// the 6 cycles of the chain counting with the next.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "cpu/emulated_cpu.hpp"

namespace sim {

class ExceptionMeter {
public:
    // Takes over cpu.on_exception until it goes. The stack depths count
    // from `stack_top` (the image's _estack).
    ExceptionMeter(EmulatedCpu &cpu, int profiled_exception, uint32_t stack_top);
    ~ExceptionMeter();
    ExceptionMeter(const ExceptionMeter &) = delete;
    ExceptionMeter &operator=(const ExceptionMeter &) = delete;

    // Since the last clear: each exception's activations (own cycles), and
    // the profile of the chosen exception's activations by bucket (cycles
    // and calls; the entry's cycles included, the return's not).
    std::map<int, std::vector<uint64_t>> own;
    std::vector<uint64_t> profiled_cycles, profiled_calls;
    void clear();

    // Since construction: cycles of the outermost activations (all the
    // handlers took from thread mode), the deepest stack of each context
    // below the SP it started from (thread mode as -1, with what the
    // exceptions have seen of it), and the lowest SP of all.
    uint64_t handler_cycles() const { return handler_cycles_; }
    std::map<int, uint32_t> depth;
    uint32_t lowest = 0xFFFFFFFF;
    void look_at_thread();   // takes in the thread's stack now, between exceptions

private:
    struct Frame {
        int n;
        uint64_t start;          // core cycle at its entry
        uint32_t entry_sp;       // SP of the context it pre-empted
        uint32_t outer_lowest;   // the pre-empted context's lowest SP so far
        bool profiled;           // the chosen exception and what nests in it
        uint64_t nested = 0;     // cycles of the activations nested in it
        std::vector<uint64_t> cycles, calls;                 // profile at entry
        std::vector<uint64_t> nested_cycles, nested_calls;   // profile of the nested activations
    };
    void on_exception(int n, EmulatedCpu::Exception what, uint64_t cycle);
    void entered(int n, uint64_t cycle, uint32_t sp);
    void returned(int n, uint64_t cycle);
    bool in_profiled() const;
    size_t exception_bucket() const;
    void reached(int context, uint32_t from_sp, uint32_t lowest_sp);

    EmulatedCpu &cpu_;
    cpu::ArmCore &core_;
    const int profiled_;
    const uint32_t stack_top_;
    std::vector<Frame> stack_;
    uint64_t handler_cycles_ = 0;
    struct { int n = 0; uint64_t cycle = 0; uint32_t sp = 0; } last_return_;
};

}  // namespace sim
