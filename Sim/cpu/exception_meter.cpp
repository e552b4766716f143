#include "cpu/exception_meter.hpp"

#include <algorithm>

namespace sim {

namespace {
std::vector<uint64_t> minus(const std::vector<uint64_t> &now, const std::vector<uint64_t> &then)
{
    std::vector<uint64_t> d(now);
    for (size_t i = 0; i < then.size(); ++i) d[i] -= then[i];
    return d;
}

void add_to(std::vector<uint64_t> &sum, const std::vector<uint64_t> &v)
{
    sum.resize(std::max(sum.size(), v.size()), 0);
    for (size_t i = 0; i < v.size(); ++i) sum[i] += v[i];
}
}  // namespace

ExceptionMeter::ExceptionMeter(EmulatedCpu &cpu, int profiled_exception, uint32_t stack_top)
    : cpu_(cpu), core_(cpu.core()), profiled_(profiled_exception), stack_top_(stack_top)
{
    cpu.on_exception = [this](int n, EmulatedCpu::Exception what, uint64_t cycle) { on_exception(n, what, cycle); };
}

ExceptionMeter::~ExceptionMeter() { cpu_.on_exception = nullptr; }

void ExceptionMeter::clear()
{
    own.clear();
    profiled_cycles.assign(core_.profile_cycles().size(), 0);
    profiled_calls.assign(core_.profile_calls().size(), 0);
}

void ExceptionMeter::look_at_thread()
{
    if (stack_.empty()) reached(-1, stack_top_, core_.lowest_sp());
}

size_t ExceptionMeter::exception_bucket() const
{
    const size_t n = core_.profile_cycles().size();
    for (size_t i = n; i-- > 0;)
        if (core_.profile_name(i) == "(exception)") return i;
    return n;   // not profiling: none
}

bool ExceptionMeter::in_profiled() const
{
    return std::any_of(stack_.begin(), stack_.end(), [&](const Frame &f) { return f.n == profiled_; });
}

void ExceptionMeter::reached(int context, uint32_t from_sp, uint32_t lowest_sp)
{
    if (lowest_sp > from_sp) return;   // nothing seen
    depth[context] = std::max(depth[context], from_sp - lowest_sp);
    lowest = std::min(lowest, lowest_sp);
}

void ExceptionMeter::on_exception(int n, EmulatedCpu::Exception what, uint64_t cycle)
{
    switch (what) {
    case EmulatedCpu::Exception::Enter:
        look_at_thread();
        entered(n, cycle, core_.reg(cpu::ArmCore::SP));
        break;
    case EmulatedCpu::Exception::TailChain:
        // The activation that returned ends where the chain begins.
        if (last_return_.cycle == cycle && !own[last_return_.n].empty()) {
            own[last_return_.n].back() -= cpu::kReturnCycles;
            (stack_.empty() ? handler_cycles_ : stack_.back().nested) -= cpu::kReturnCycles;
        }
        entered(n, cycle, last_return_.sp);
        break;
    case EmulatedCpu::Exception::Return: returned(n, cycle); break;
    }
}

void ExceptionMeter::entered(int n, uint64_t cycle, uint32_t sp)
{
    Frame f{n, cycle, sp, core_.exchange_lowest_sp(0xFFFFFFFF), n == profiled_ || in_profiled(), 0, {}, {}, {}, {}};
    if (f.profiled) {
        f.cycles = core_.profile_cycles();
        f.calls = core_.profile_calls();
    }
    stack_.push_back(std::move(f));
}

void ExceptionMeter::returned(int n, uint64_t cycle)
{
    if (stack_.empty()) return;   // entered before the meter was there
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    const uint64_t total = cycle + cpu::kReturnCycles - f.start;
    own[n].push_back(total - f.nested);
    (stack_.empty() ? handler_cycles_ : stack_.back().nested) += total;
    reached(n, f.entry_sp, core_.exchange_lowest_sp(f.outer_lowest));
    last_return_ = {n, cycle, f.entry_sp};
    if (!f.profiled) return;
    const std::vector<uint64_t> cycles = minus(core_.profile_cycles(), f.cycles);
    const std::vector<uint64_t> calls = minus(core_.profile_calls(), f.calls);
    if (n != profiled_) {   // nested in the chosen exception: not its own
        if (stack_.back().n == profiled_) {
            // The core counts this return once the callback is over, in the
            // profile of the activation it returns to.
            std::vector<uint64_t> with_return(cycles);
            const size_t bucket = exception_bucket();
            if (bucket < with_return.size()) with_return[bucket] += cpu::kReturnCycles;
            add_to(stack_.back().nested_cycles, with_return);
            add_to(stack_.back().nested_calls, calls);
        }
        return;   // else counted with the activation it nests in
    }
    add_to(profiled_cycles, minus(cycles, f.nested_cycles));
    add_to(profiled_calls, minus(calls, f.nested_calls));
}

}  // namespace sim
