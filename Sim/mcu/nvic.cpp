#include "mcu/nvic.hpp"

#include <algorithm>
#include <cstring>

#include "cpu/cpu.hpp"
#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

namespace sim {

namespace {

// Offsets in the model's window, which starts at the NVIC's block.
constexpr uint32_t kIser = REG_OFFSET(NVIC_Type, ISER), kIcer = REG_OFFSET(NVIC_Type, ICER);
constexpr uint32_t kIspr = REG_OFFSET(NVIC_Type, ISPR), kIcpr = REG_OFFSET(NVIC_Type, ICPR);
constexpr uint32_t kIpr = REG_OFFSET(NVIC_Type, IPR);
constexpr uint32_t kScb = SCB_BASE - NVIC_BASE;
constexpr uint32_t kCpuid = kScb + REG_OFFSET(SCB_Type, CPUID), kIcsr = kScb + REG_OFFSET(SCB_Type, ICSR);
constexpr uint32_t kAircr = kScb + REG_OFFSET(SCB_Type, AIRCR), kShpr = kScb + REG_OFFSET(SCB_Type, SHPR);
constexpr uint32_t kVtor = kScb + REG_OFFSET(SCB_Type, VTOR), kCcr = kScb + REG_OFFSET(SCB_Type, CCR);
constexpr uint32_t kVtorBits = 0x3FFFFF80, kCcrBits = 0x31B;   // TBLOFF and TBLBASE; the r1p1 core's CCR bits
constexpr uint32_t kIrqWords = 2;   // 64 interrupt lines: two words of enable or pending bits

bool within(uint32_t off, uint32_t start, uint32_t bytes) { return off >= start && off < start + bytes; }

}  // namespace

Nvic::Nvic(Mcu &mcu) : Peripheral(mcu, NVIC_BASE, SCB_BASE + sizeof(SCB_Type) - NVIC_BASE)
{
    active_.reserve(kExceptions);   // the deepest nesting there can be: nothing allocated while running
}

void Nvic::reset()
{
    enable_[0] = enable_[1] = 0;
    pending_.fill(false);
    line_.fill(false);
    ipr_.fill(0);
    shpr_[0] = shpr_[1] = shpr_[2] = 0;
    vtor_ = ccr_ = 0;
    active_.clear();
    next_ = 0;
    stale_ = false;
    taken = 0;
}

void Nvic::set_line(int irq, bool level)
{
    if (level && !line_[irq]) {
        pending_[kIrqBase + irq] = true;
        stale_ = true;
    }
    line_[irq] = level;
}

void Nvic::pend_exception(int exception)
{
    pending_[exception] = true;
    stale_ = true;
}

uint8_t Nvic::priority(int exception) const
{
    if (exception >= kIrqBase) return ipr_[exception - kIrqBase] & 0xF0;
    if (exception >= 4) return (shpr_[(exception - 4) / 4] >> (8 * (exception % 4))) & 0xF0;
    return 0;
}

int Nvic::active_priority() const
{
    int p = kThreadPriority;
    for (int e : active_)
        if (priority(e) < p) p = priority(e);
    return p;
}

int Nvic::next_exception()
{
    if (!stale_) return next_;
    stale_ = false;
    int best = 0;
    int best_pri = active_priority();
    // Eight exceptions at a time, as nearly all are not pending.
    static_assert(kExceptions % 8 == 0);
    for (int base = 0; base < kExceptions; base += 8) {
        uint64_t eight;
        std::memcpy(&eight, &pending_[base], sizeof eight);
        if (eight == 0) continue;
        for (int e = std::max(base, kSysTick); e < base + 8; ++e) {
            if (!pending_[e] || (e >= kIrqBase && !enabled(e - kIrqBase))) continue;
            if (priority(e) < best_pri) {
                best = e;
                best_pri = priority(e);
            }
        }
    }
    next_ = best;
    return best;
}

void Nvic::enter(int exception)
{
    pending_[exception] = false;
    active_.push_back(exception);
    stale_ = true;
    ++taken;
}

void Nvic::leave(int exception)
{
    if (active_.empty() || active_.back() != exception) fail("return from an exception that is not the innermost active one");
    active_.pop_back();
    stale_ = true;
    if (exception >= kIrqBase && line_[exception - kIrqBase]) pending_[exception] = true;
}

void Nvic::take_pending(Cpu &cpu)
{
    for (int n; (n = next_exception()) != 0;) {
        enter(n);
        cpu.take_exception(n);
    }
}

bool Nvic::read(uint32_t off, uint32_t &v)
{
    if (within(off, kIser, 4 * kIrqWords)) { v = enable_[(off - kIser) / 4]; return true; }
    if (within(off, kIcer, 4 * kIrqWords)) { v = enable_[(off - kIcer) / 4]; return true; }
    if (within(off, kIspr, 4 * kIrqWords)) {
        int base = kIrqBase + 32 * static_cast<int>((off - kIspr) / 4);
        v = 0;
        for (int i = 0; i < 32 && base + i < kExceptions; ++i) v |= uint32_t(pending_[base + i]) << i;
        return true;
    }
    if (within(off, kIpr, sizeof ipr_)) {
        uint32_t n = off - kIpr;
        v = ipr_[n] | ipr_[n + 1] << 8 | ipr_[n + 2] << 16 | uint32_t(ipr_[n + 3]) << 24;
        return true;
    }
    if (within(off, kShpr, sizeof shpr_)) { v = shpr_[(off - kShpr) / 4]; return true; }
    switch (off) {
    case kCpuid: v = 0x411FC231; return true;   // Cortex-M3 r1p1
    case kIcsr: v = 0; return true;
    case kAircr: v = 0xFA050000; return true;   // priority grouping 0
    case kVtor: v = vtor_; return true;
    case kCcr: v = ccr_; return true;
    default: return false;
    }
}

bool Nvic::write(uint32_t off, uint32_t v)
{
    if (within(off, kIser, 4 * kIrqWords)) { enable_[(off - kIser) / 4] |= v; stale_ = true; return true; }
    if (within(off, kIcer, 4 * kIrqWords)) { enable_[(off - kIcer) / 4] &= ~v; stale_ = true; return true; }
    if (within(off, kIspr, 4 * kIrqWords) || within(off, kIcpr, 4 * kIrqWords)) {
        bool set = off < kIcpr;
        int base = kIrqBase + 32 * static_cast<int>((off - (set ? kIspr : kIcpr)) / 4);
        for (int i = 0; i < 32 && base + i < kExceptions; ++i)
            if ((v >> i) & 1) pending_[base + i] = set;
        stale_ = true;
        return true;
    }
    if (within(off, kIpr, sizeof ipr_)) {
        uint32_t n = off - kIpr;
        for (uint32_t i = 0; i < 4; ++i) ipr_[n + i] = (v >> (8 * i)) & 0xF0;   // 4 implemented bits
        stale_ = true;
        return true;
    }
    if (within(off, kShpr, sizeof shpr_)) { shpr_[(off - kShpr) / 4] = v & 0xF0F0F0F0; stale_ = true; return true; }
    if (off == kVtor) { vtor_ = v & kVtorBits; return true; }
    if (off == kCcr) { ccr_ = v & kCcrBits; return true; }
    return false;
}

bool Nvic::write_narrow(uint32_t off, uint32_t v, int size)
{
    const uint32_t word = off & ~3u, shift = 8 * (off & 3), bits = (size == 1 ? 0xFFu : 0xFFFFu) << shift;
    uint32_t merged = (v << shift) & bits;
    if (within(word, kIpr, sizeof ipr_) || within(word, kShpr, sizeof shpr_)) {
        uint32_t old = 0;
        read(word, old);
        merged |= old & ~bits;
    }
    return write(word, merged);
}

}  // namespace sim
