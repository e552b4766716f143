// Virtual time, events, the address decoder and the NVIC of the virtual MCU.
#include "mcu/mcu.hpp"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cpu/cpu.hpp"

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

// ---------------------------------------------------------------- events

void Event::attach(Mcu &mcu, std::function<void()> fire)
{
    detach();
    fire_ = std::move(fire);
    mcu.add_event(*this);
}

void Event::detach()
{
    if (owner_) owner_->remove_event(*this);
}

void Mcu::add_event(Event &e)
{
    e.owner_ = this;
    e.due_ = kNever;
    events_.push_back(&e);
}

void Mcu::remove_event(Event &e)
{
    std::erase(events_, &e);
    e.owner_ = nullptr;
    if (e.due_ != kNever) {
        e.due_ = kNever;
        recompute_next();
    }
}

void Mcu::schedule(Event &e, Cycles at)
{
    if (e.owner_ != this) fail("an event scheduled on a board it is not attached to");
    bool was_next = e.due_ == next_due_;
    e.due_ = at;
    if (was_next) recompute_next();   // moved later: another event may now be first
    else if (at < next_due_) next_due_ = at;
}

void Mcu::cancel(Event &e)
{
    if (e.owner_ != this || e.due_ == kNever) return;
    e.due_ = kNever;
    recompute_next();
}

void Mcu::recompute_next()
{
    next_due_ = kNever;
    for (Event *e : events_)
        if (e->due_ < next_due_) next_due_ = e->due_;
}

bool Mcu::fire_next(Cycles limit)
{
    if (next_due_ > limit) return false;
    Event *first = nullptr;
    for (Event *e : events_)
        if (e->due_ == next_due_) { first = e; break; }
    if (first->due_ > now_) now_ = first->due_;
    first->due_ = kNever;
    recompute_next();
    first->fire_();
    return true;
}

// ---------------------------------------------------------------- Mcu

Mcu::Mcu()
{
    tim2.attach(&tim2_update_);
    tim4.attach(&tim4_update_);
    adc1.attach(&adc_done_);
    spi1.attach(&spi_done_);
    usart1.attach(&u1_tx_);
    usart2.attach(&u2_tx_);
    systick.attach(&systick_wrap_);
    tim2_update_.attach(*this, [this] { tim2.on_update(); });
    tim4_update_.attach(*this, [this] { tim4.on_update(); });
    adc_done_.attach(*this, [this] { adc1.on_done(); });
    spi_done_.attach(*this, [this] { spi1.on_frame_done(); });
    u1_tx_.attach(*this, [this] { usart1.on_tx_done(); });
    u2_tx_.attach(*this, [this] { usart2.on_tx_done(); });
    systick_wrap_.attach(*this, [this] { systick.on_wrap(); });
    reset();
}

Mcu::~Mcu()
{
    for (Event *e : events_) e->owner_ = nullptr;
}

void Mcu::reset()
{
    now_ = 0;
    for (Event *e : events_) e->due_ = kNever;
    next_due_ = kNever;
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

Cycles Mcu::clock_scale() const
{
    uint32_t hz = rcc.hclk();
    return hz >= kCoreHz ? 1 : kCoreHz / hz;
}

// ---------------------------------------------------------------- decoder

bool Mcu::read_word(uint32_t addr, uint32_t &v)
{
    uint32_t off = addr & 0x3FF;
    switch (addr & ~0x3FFu) {
    case 0x40000000: return tim2.read(off, v);
    case 0x40000800: return tim4.read(off, v);
    case 0x40004400: return usart2.read(off, v);
    case 0x40010800: return gpioa.read(off, v);
    case 0x40010C00: return gpiob.read(off, v);
    case 0x40011000: return gpioc.read(off, v);
    case 0x40012400: return adc1.read(off, v);
    case 0x40013000: return spi1.read(off, v);
    case 0x40013800: return usart1.read(off, v);
    case 0x40021000: return rcc.read(off, v);
    case 0x40022000:
        if (off != 0) return false;
        v = flash_acr;
        return true;
    default:
        if (addr >= 0xE000E010 && addr < 0xE000E020) return systick.read(addr - 0xE000E010, v);
        if (addr >= 0xE000E000 && addr < 0xE000F000) return nvic.read(addr, v);
        return false;
    }
}

bool Mcu::write_word(uint32_t addr, uint32_t value)
{
    uint32_t off = addr & 0x3FF;
    switch (addr & ~0x3FFu) {
    case 0x40000000: return tim2.write(off, value);
    case 0x40000800: return tim4.write(off, value);
    case 0x40004400: return usart2.write(off, value);
    case 0x40010800: return gpioa.write(off, value);
    case 0x40010C00: return gpiob.write(off, value);
    case 0x40011000: return gpioc.write(off, value);
    case 0x40012400: return adc1.write(off, value);
    case 0x40013000: return spi1.write(off, value);
    case 0x40013800: return usart1.write(off, value);
    case 0x40021000: return rcc.write(off, value);
    case 0x40022000:
        if (off != 0) return false;
        flash_acr = (value & 0x1F) | ((value & 0x10) << 1);
        return true;
    default:
        if (addr >= 0xE000E010 && addr < 0xE000E020) return systick.write(addr - 0xE000E010, value);
        if (addr >= 0xE000E000 && addr < 0xE000F000) return nvic.write(addr, value);
        return false;
    }
}

static void check_access(uint32_t addr, int size)
{
    if ((size != 1 && size != 2 && size != 4) || addr % static_cast<uint32_t>(size) != 0)
        fail("bus access of " + std::to_string(size) + " bytes at " + hex(addr) + ": not a naturally aligned byte, halfword or word");
}

uint32_t Mcu::bus_read(uint32_t addr, int size)
{
    check_access(addr, size);
    ++accesses;
    uint32_t v = 0;
    if (!read_word(addr & ~3u, v)) fail("read of unmodelled register " + hex(addr));
    if (size == 4) return v;
    return (v >> (8 * (addr & 3))) & (size == 1 ? 0xFFu : 0xFFFFu);
}

void Mcu::bus_write(uint32_t addr, uint32_t value, int size)
{
    check_access(addr, size);
    ++accesses;
    const uint32_t word_addr = addr & ~3u;
    uint32_t word = value;
    if (size < 4) {
        const uint32_t bits = size == 1 ? 0xFFu : 0xFFFFu, shift = 8 * (addr & 3);
        if (word_addr < 0xE0000000u) {
            word = (value & bits) * (size == 1 ? 0x01010101u : 0x00010001u);   // the APB bridge repeats the lanes
        } else {
            word = (value & bits) << shift;
            uint32_t old = 0;
            if (Nvic::byte_addressable(word_addr) && read_word(word_addr, old)) word |= old & ~(bits << shift);
        }
    }
    if (!write_word(word_addr, word)) fail("write of unmodelled register " + hex(addr) + " = " + hex(value));
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

int Nvic::next_exception()
{
    if (!any_pending_) return 0;
    int best = 0;
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
    return best;
}

void Nvic::enter(int exception)
{
    pending_[exception] = false;
    active_.push_back(exception);
    ++taken;
}

void Nvic::leave(int exception)
{
    if (active_.empty() || active_.back() != exception) fail("return from an exception that is not the innermost active one");
    active_.pop_back();
    if (exception >= kIrqBase && line_[exception - kIrqBase]) {
        pending_[exception] = true;
        any_pending_ = true;
    }
}

void Nvic::dispatch(Cpu &cpu)
{
    for (int n; (n = next_exception()) != 0;) {
        enter(n);
        cpu.take_exception(n);
    }
}

bool Nvic::read(uint32_t addr, uint32_t &v) const
{
    if (addr >= 0xE000E100 && addr < 0xE000E108) { v = enable_[(addr - 0xE000E100) / 4]; return true; }
    if (addr >= 0xE000E180 && addr < 0xE000E188) { v = enable_[(addr - 0xE000E180) / 4]; return true; }
    if (addr >= 0xE000E200 && addr < 0xE000E208) {
        int base = kIrqBase + 32 * ((addr - 0xE000E200) / 4);
        v = 0;
        for (int i = 0; i < 32 && base + i < kExceptions; ++i) v |= uint32_t(pending_[base + i]) << i;
        return true;
    }
    if (addr >= 0xE000E400 && addr < 0xE000E440) {
        int n = addr - 0xE000E400;
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
        int base = kIrqBase + 32 * (((addr - (set ? 0xE000E200 : 0xE000E280))) / 4);
        for (int i = 0; i < 32 && base + i < kExceptions; ++i)
            if ((v >> i) & 1) pending_[base + i] = set;
        any_pending_ = true;
        return true;
    }
    if (addr >= 0xE000E400 && addr < 0xE000E440) {
        int n = addr - 0xE000E400;
        for (int i = 0; i < 4; ++i) ipr_[n + i] = (v >> (8 * i)) & 0xF0;   // 4 implemented bits
        return true;
    }
    switch (addr) {
    case 0xE000ED18: case 0xE000ED1C: case 0xE000ED20: shpr_[(addr - 0xE000ED18) / 4] = v & 0xF0F0F0F0; return true;
    default: return false;
    }
}

}  // namespace sim
