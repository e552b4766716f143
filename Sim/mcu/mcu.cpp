// Virtual time, events, the address decoder and the NVIC of the virtual MCU.
#include "mcu/mcu.hpp"

#include <cstdio>
#include <cstdlib>

#include "vectors.h"

namespace sim {

void fail(const std::string &what)
{
    std::fprintf(stderr, "virtual board: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

static std::string hex(uint32_t v)
{
    char b[16];
    std::snprintf(b, sizeof b, "0x%08X", v);
    return b;
}

// ---------------------------------------------------------------- Mcu

static Mcu *g_active = nullptr;

Mcu *Mcu::active() { return g_active; }
void Mcu::make_active() { g_active = this; }

Mcu::Mcu()
{
    tim2.attach(&tim2_update_);
    tim4.attach(&tim4_update_);
    adc1.attach(&adc_done_);
    spi1.attach(&spi_done_);
    usart1.attach(&u1_tx_);
    usart2.attach(&u2_tx_);
    systick.attach(&systick_wrap_);
    tim2_update_.fire = [this] { tim2.on_update(); };
    tim4_update_.fire = [this] { tim4.on_update(); };
    adc_done_.fire = [this] { adc1.on_done(); };
    spi_done_.fire = [this] { spi1.on_frame_done(); };
    u1_tx_.fire = [this] { usart1.on_tx_done(); };
    u2_tx_.fire = [this] { usart2.on_tx_done(); };
    systick_wrap_.fire = [this] { systick.on_wrap(); };
    for (Event *e : {&tim2_update_, &tim4_update_, &adc_done_, &spi_done_, &u1_tx_, &u2_tx_, &systick_wrap_})
        events_.push_back(e);
    reset();
}

Mcu::~Mcu()
{
    if (g_active == this) g_active = nullptr;
}

void Mcu::reset()
{
    now_ = 0;
    for (Event *e : events_) e->due = kNever;
    next_due_ = kNever;
    horizon = kNever;
    nvic.reset();
    rcc.reset();
    gpioa.reset();
    gpiob.reset();
    gpioc.reset();
    tim2.reset();
    tim4.reset();
    adc1.reset();
    spi1.reset();
    usart1.reset();
    usart2.reset();
    systick.reset();
    flash_acr = 0x30;
    accesses = 0;
}

void Mcu::add_event(Event &e)
{
    e.due = kNever;
    events_.push_back(&e);
}

void Mcu::schedule(Event &e, Cycles at)
{
    bool was_next = e.due == next_due_;
    e.due = at;
    if (was_next) recompute_next();   // moved later: another event may now be first
    else if (at < next_due_) next_due_ = at;
}

void Mcu::cancel(Event &e)
{
    if (e.due == kNever) return;
    e.due = kNever;
    recompute_next();
}

void Mcu::recompute_next()
{
    next_due_ = kNever;
    for (Event *e : events_)
        if (e->due < next_due_) next_due_ = e->due;
}

Cycles Mcu::clock_scale() const
{
    uint32_t hz = rcc.hclk();
    return hz >= kCoreHz ? 1 : kCoreHz / hz;
}

// Fires the earliest due event at its own time.
bool Mcu::fire_next(Cycles limit)
{
    if (next_due_ > limit) return false;
    Event *first = nullptr;
    for (Event *e : events_)
        if (e->due == next_due_) { first = e; break; }
    if (!first) fail("the earliest due time belongs to no registered event");
    now_ = first->due;
    first->due = kNever;
    recompute_next();
    first->fire();
    return true;
}

// Runs the events up to `target` and every interrupt they raise at the time it
// is raised. Time spent in handlers moves the target on: the interrupted code
// still has its own cycles to spend afterwards.
void Mcu::run_to(Cycles target)
{
    while (fire_next(target)) {
        Cycles before = now_;
        nvic.dispatch(*this);
        target += now_ - before;
        if (on_time_passed) on_time_passed();
    }
    if (target > now_) now_ = target;
    nvic.dispatch(*this);
    if (on_time_passed) on_time_passed();
}

void Mcu::spend(Cycles n)
{
    Cycles target = now_ + n * clock_scale();
    // Most accesses pass no event and no time limit: nothing else to do.
    if (target < next_due_ && target < horizon && !nvic.has_pending()) {
        now_ = target;
        return;
    }
    run_to(target);
}

void Mcu::idle(Cycles limit)
{
    Cycles target = now_ + limit;
    if (next_due_ < target) target = next_due_;
    if (horizon < target && horizon > now_) target = horizon;
    run_to(target);
}

void Mcu::advance_to(Cycles t)
{
    while (now_ < t) run_to(next_due_ < t ? next_due_ : t);
}

// ---------------------------------------------------------------- decoder

uint32_t Mcu::read32(uint32_t addr)
{
    spend(kAccessCycles);
    ++accesses;
    uint32_t v = 0;
    bool ok = false;
    uint32_t off = addr & 0x3FF;
    switch (addr & ~0x3FFu) {
    case 0x40000000: ok = tim2.read(off, v); break;
    case 0x40000800: ok = tim4.read(off, v); break;
    case 0x40004400: ok = usart2.read(off, v); break;
    case 0x40010800: ok = gpioa.read(off, v); break;
    case 0x40010C00: ok = gpiob.read(off, v); break;
    case 0x40011000: ok = gpioc.read(off, v); break;
    case 0x40012400: ok = adc1.read(off, v); break;
    case 0x40013000: ok = spi1.read(off, v); break;
    case 0x40013800: ok = usart1.read(off, v); break;
    case 0x40021000: ok = rcc.read(off, v); break;
    case 0x40022000:
        if (off == 0) { v = flash_acr; ok = true; }
        break;
    default:
        if (addr >= 0xE000E010 && addr < 0xE000E020) ok = systick.read(addr - 0xE000E010, v);
        else if (addr >= 0xE000E000 && addr < 0xE000F000) ok = nvic.read(addr, v);
        break;
    }
    if (!ok) fail("read of unmodelled register " + hex(addr));
    nvic.dispatch(*this);
    return v;
}

void Mcu::write32(uint32_t addr, uint32_t value)
{
    spend(kAccessCycles);
    ++accesses;
    bool ok = false;
    uint32_t off = addr & 0x3FF;
    switch (addr & ~0x3FFu) {
    case 0x40000000: ok = tim2.write(off, value); break;
    case 0x40000800: ok = tim4.write(off, value); break;
    case 0x40004400: ok = usart2.write(off, value); break;
    case 0x40010800: ok = gpioa.write(off, value); break;
    case 0x40010C00: ok = gpiob.write(off, value); break;
    case 0x40011000: ok = gpioc.write(off, value); break;
    case 0x40012400: ok = adc1.write(off, value); break;
    case 0x40013000: ok = spi1.write(off, value); break;
    case 0x40013800: ok = usart1.write(off, value); break;
    case 0x40021000: ok = rcc.write(off, value); break;
    case 0x40022000:
        if (off == 0) { flash_acr = (value & 0x1F) | ((value & 0x10) << 1); ok = true; }
        break;
    default:
        if (addr >= 0xE000E010 && addr < 0xE000E020) ok = systick.write(addr - 0xE000E010, value);
        else if (addr >= 0xE000E000 && addr < 0xE000F000) ok = nvic.write(addr, value);
        break;
    }
    if (!ok) fail("write of unmodelled register " + hex(addr) + " = " + hex(value));
    nvic.dispatch(*this);
}

// ---------------------------------------------------------------- NVIC

void Nvic::reset()
{
    enable_[0] = enable_[1] = 0;
    pending_.fill(false);
    line_.fill(false);
    ipr_.fill(0);
    shpr_[0] = shpr_[1] = shpr_[2] = 0;
    active_.clear();
    any_pending_ = false;
    taken = 0;
}

void Nvic::set_line(int irq, bool level)
{
    if (level && !line_[irq]) {
        pending_[kIrqBase + irq] = true;
        any_pending_ = true;
    }
    line_[irq] = level;
}

void Nvic::pend_exception(int exception)
{
    pending_[exception] = true;
    any_pending_ = true;
}

uint8_t Nvic::priority(int exception) const
{
    if (exception >= kIrqBase) return ipr_[exception - kIrqBase] & 0xF0;
    if (exception >= 4) return (shpr_[(exception - 4) / 4] >> (8 * (exception % 4))) & 0xF0;
    return 0;
}

int Nvic::active_priority() const
{
    int p = 256;
    for (int e : active_)
        if (priority(e) < p) p = priority(e);
    return p;
}

void Nvic::dispatch(Mcu &mcu)
{
    while (any_pending_) {
        int best = -1;
        int best_pri = active_priority();
        bool any = false;
        for (int e = kSysTick; e < kExceptions; ++e) {
            if (!pending_[e]) continue;
            any = true;
            if (e >= kIrqBase && !enabled(e - kIrqBase)) continue;
            if (priority(e) < best_pri) {
                best = e;
                best_pri = priority(e);
            }
        }
        any_pending_ = any;
        if (best < 0) return;
        if (best > VECTOR_SYSTEM_COUNT + VECTOR_IRQ_COUNT)
            fail("exception " + std::to_string(best) + " has no vector in the table");
        vector_fn handler = g_pfnVectors.handler[best - 1];
        pending_[best] = false;
        active_.push_back(best);
        ++taken;
        mcu.spend(12);   // exception entry: stacking and vector fetch
        handler();
        mcu.spend(12);   // exception return: unstacking
        active_.pop_back();
        if (best >= kIrqBase && line_[best - kIrqBase]) {
            pending_[best] = true;
            any_pending_ = true;
        }
    }
}

bool Nvic::read(uint32_t addr, uint32_t &v) const
{
    if (addr >= 0xE000E100 && addr < 0xE000E108) { v = enable_[(addr - 0xE000E100) / 4]; return true; }
    if (addr >= 0xE000E180 && addr < 0xE000E188) { v = enable_[(addr - 0xE000E180) / 4]; return true; }
    if (addr >= 0xE000E200 && addr < 0xE000E208) {
        int base = kIrqBase + 32 * static_cast<int>((addr - 0xE000E200) / 4);
        v = 0;
        for (int i = 0; i < 32 && base + i < kExceptions; ++i) v |= uint32_t(pending_[base + i]) << i;
        return true;
    }
    if (addr >= 0xE000E400 && addr < 0xE000E440) {
        int n = static_cast<int>(addr - 0xE000E400);
        v = ipr_[n] | ipr_[n + 1] << 8 | ipr_[n + 2] << 16 | uint32_t(ipr_[n + 3]) << 24;
        return true;
    }
    switch (addr) {
    case 0xE000ED00: v = 0x411FC231; return true;   // CPUID: Cortex-M3 r1p1
    case 0xE000ED04: v = 0; return true;            // ICSR
    case 0xE000ED0C: v = 0xFA050000; return true;   // AIRCR: priority grouping 0
    case 0xE000ED18: case 0xE000ED1C: case 0xE000ED20: v = shpr_[(addr - 0xE000ED18) / 4]; return true;
    default: return false;
    }
}

bool Nvic::write(uint32_t addr, uint32_t v)
{
    if (addr >= 0xE000E100 && addr < 0xE000E108) { enable_[(addr - 0xE000E100) / 4] |= v; any_pending_ = true; return true; }
    if (addr >= 0xE000E180 && addr < 0xE000E188) { enable_[(addr - 0xE000E180) / 4] &= ~v; return true; }
    if (addr >= 0xE000E200 && addr < 0xE000E288) {
        bool set = addr < 0xE000E280;
        int base = kIrqBase + 32 * static_cast<int>((addr - (set ? 0xE000E200 : 0xE000E280)) / 4);
        for (int i = 0; i < 32 && base + i < kExceptions; ++i)
            if ((v >> i) & 1) pending_[base + i] = set;
        any_pending_ = true;
        return true;
    }
    if (addr >= 0xE000E400 && addr < 0xE000E440) {
        int n = static_cast<int>(addr - 0xE000E400);
        for (int i = 0; i < 4; ++i) ipr_[n + i] = (v >> (8 * i)) & 0xF0;   // 4 implemented bits
        return true;
    }
    switch (addr) {
    case 0xE000ED18: case 0xE000ED1C: case 0xE000ED20: shpr_[(addr - 0xE000ED18) / 4] = v & 0xF0F0F0F0; return true;
    default: return false;
    }
}

}  // namespace sim
