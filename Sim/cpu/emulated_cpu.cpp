#include "cpu/emulated_cpu.hpp"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

bool in_sram(uint32_t addr, uint32_t size)
{
    return addr >= cpu::kSramBase && size <= cpu::kSramSize && addr - cpu::kSramBase <= cpu::kSramSize - size;
}

const char *fault_name(cpu::FaultKind k)
{
    switch (k) {
    case cpu::FaultKind::Undefined: return "undefined instruction";
    case cpu::FaultKind::Bus: return "bus fault";
    case cpu::FaultKind::Breakpoint: return "breakpoint";
    case cpu::FaultKind::InvalidReturn: return "invalid exception return";
    case cpu::FaultKind::InvalidState: return "invalid state";
    case cpu::FaultKind::Stacking: return "stacking fault";
    }
    return "fault";
}

}  // namespace

std::shared_ptr<const elf::Image> load_image(const std::string &path, std::string &why)
{
    std::optional<elf::Image> image = elf::Image::load(path);
    if (!image) {
        why = path + ": not a readable 32-bit ELF executable";
        return nullptr;
    }
    if (image->machine() != elf::kEmArm) {
        why = path + ": not an ARM image";
        return nullptr;
    }
    for (const elf::Segment &s : image->segments()) {
        const bool in_flash = s.paddr >= cpu::kFlashBase && s.filesz <= cpu::kFlashSize &&
                              s.paddr - cpu::kFlashBase <= cpu::kFlashSize - s.filesz;
        if (s.filesz && !in_flash) {
            why = path + ": a loadable segment lies outside the flash";
            return nullptr;
        }
    }
    return std::make_shared<const elf::Image>(std::move(*image));
}

std::function<std::unique_ptr<Cpu>(Mcu &)> emulated_cpu(const std::shared_ptr<const elf::Image> &image)
{
    return [image](Mcu &mcu) -> std::unique_ptr<Cpu> { return std::make_unique<EmulatedCpu>(mcu, *image); };
}

EmulatedCpu::EmulatedCpu(Mcu &mcu, const elf::Image &image)
    : mcu_(mcu), image_(image), core_(*this), power_on_sram_(cpu::kSramSize, 0)
{
    if (!core_.load(image_)) fail("the chip image does not fit the flash");
    for (const elf::Segment &s : image_.segments())
        if (s.filesz && in_sram(s.vaddr, s.filesz))
            std::copy_n(image_.file().begin() + s.offset, s.filesz, power_on_sram_.begin() + (s.vaddr - cpu::kSramBase));
    for (const elf::Symbol &s : image_.symbols()) {
        if (s.type != elf::kSttObject || s.size == 0 || !in_sram(s.value, s.size)) continue;
        auto [it, fresh] = symbols_.try_emplace(firmware_symbol_name(s.name.c_str()), Location{s.value, s.size});
        if (!fresh && it->second.addr != s.value) it->second.addr = 0;
    }
    reset();
}

void EmulatedCpu::reset()
{
    core_.write(cpu::kSramBase, power_on_sram_.data(), cpu::kSramSize);
    core_.reset();
    faults_.clear();
    // The MCU restarts at time 0 on its own 8 MHz clock: the scale is taken
    // from it at the first run.
    anchor_cycle_ = core_.cycles();
    anchor_time_ = 0;
    scale_ = 0;
}

// The core's clock changed at its cycle c: time up to c at the old scale.
void EmulatedCpu::rescale(uint64_t c)
{
    const Cycles scale = mcu_.clock_scale();
    if (scale == scale_) return;
    anchor_time_ = scale_ ? time_of(c) : anchor_time_;
    anchor_cycle_ = scale_ ? c : anchor_cycle_;
    scale_ = scale;
}

void EmulatedCpu::run_until(Cycles t)
{
    rescale(core_.cycles());
    for (;;) {
        const Cycles ct = core_time();
        mcu_.advance_to(std::min(ct, t));
        if (ct >= t) return;
        if (!core_.locked_up() && may_preempt()) {
            mcu_.nvic.dispatch(*this);
            continue;
        }
        run_end_ = std::min(t, mcu_.next_due());
        core_.run((run_end_ - ct + scale_ - 1) / scale_);
        run_end_ = kNever;
    }
}

bool EmulatedCpu::interrupts_masked() const
{
    return (core_.reg(cpu::ArmCore::PRIMASK) & 1) || (core_.reg(cpu::ArmCore::FAULTMASK) & 1);
}

bool EmulatedCpu::may_preempt()
{
    return mcu_.nvic.has_pending() && mcu_.nvic.next_exception() != 0 && !interrupts_masked();
}

// The SCB's settings that decide how the core enters an exception, as the
// firmware (or anyone on the bus) last wrote them.
void EmulatedCpu::apply_scb()
{
    core_.set_vector_table(mcu_.nvic.vtor());
    core_.set_stack_align8(mcu_.nvic.stack_align8());
}

void EmulatedCpu::take_exception(int n)
{
    if (on_exception) on_exception(n, Exception::Enter, core_.cycles());
    apply_scb();
    core_.enter_exception(n);
}

// After an access: end the run at its block if an exception may now
// pre-empt, or if the access scheduled an event before the run's end.
void EmulatedCpu::after_access()
{
    if (mcu_.next_due() < run_end_ || may_preempt()) core_.request_stop();
}

uint32_t EmulatedCpu::bus_read(uint32_t addr, unsigned size, uint64_t cycle)
{
    mcu_.advance_to(time_of(cycle));
    const uint32_t v = mcu_.bus_read(addr, static_cast<int>(size));
    after_access();
    return v;
}

void EmulatedCpu::bus_write(uint32_t addr, uint32_t value, unsigned size, uint64_t cycle)
{
    mcu_.advance_to(time_of(cycle));
    mcu_.bus_write(addr, value, static_cast<int>(size));
    rescale(cycle);
    after_access();
}

int EmulatedCpu::exception_return(int n, uint64_t cycle)
{
    mcu_.advance_to(time_of(cycle));
    mcu_.nvic.leave(n);
    if (on_exception) on_exception(n, Exception::Return, cycle);
    const int next = may_preempt() ? mcu_.nvic.next_exception() : 0;
    if (next) {
        mcu_.nvic.enter(next);
        if (on_exception) on_exception(next, Exception::TailChain, cycle);
        apply_scb();
    }
    return next;
}

void EmulatedCpu::fault(const cpu::Fault &f)
{
    mcu_.advance_to(time_of(f.cycle));
    faults_.push_back(f);
    std::fprintf(stderr, "emulated CPU: %s at pc 0x%08X (address 0x%08X), %s\n", fault_name(f.kind), f.pc, f.address,
                 f.exception > 0 ? "HardFault taken" : "core locked up");
    if (f.exception > 0) {
        mcu_.nvic.enter(f.exception);
        if (on_exception) on_exception(f.exception, Exception::Enter, f.cycle);
        apply_scb();
    }
}

const EmulatedCpu::Location *EmulatedCpu::find(std::string_view name, size_t size) const
{
    auto it = symbols_.find(std::string(name));
    if (it == symbols_.end() || !it->second.addr || it->second.size != size) return nullptr;
    return &it->second;
}

bool EmulatedCpu::read_symbol(std::string_view name, void *out, size_t size)
{
    const Location *s = find(name, size);
    return s && core_.read(s->addr, out, s->size);
}

bool EmulatedCpu::write_symbol(std::string_view name, const void *in, size_t size)
{
    const Location *s = find(name, size);
    return s && core_.write(s->addr, in, s->size);
}

}  // namespace sim
