// Virtual time, events and the bus of the virtual MCU.
#include "mcu/mcu.hpp"

#include <cstdio>
#include <cstdlib>

#include "stm32f1xx.h"

namespace sim {

namespace {
constexpr uint32_t kBusBase = PERIPH_BASE;
static_assert(kBusBase + (192u << 10) == AHBPERIPH_BASE + 0x10000);

// TIM4's compare outputs: channels 1 to 3 on PB6 to PB8 (no remap).
constexpr Pin kTim4Pins[3] = {{1, 6}, {1, 7}, {1, 8}};
static_assert(kTim4Pins[0].port == kTim4Pins[1].port && kTim4Pins[1].port == kTim4Pins[2].port);
}  // namespace

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
    if (was_next || at == next_due_) {
        recompute_next();   // moved later, another event may now be first; or a tie, decided by order
    } else if (at < next_due_) {
        next_due_ = at;
        next_event_ = &e;
    }
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
    next_event_ = nullptr;
    for (Event *e : events_) {
        if (e->due_ < next_due_) {
            next_due_ = e->due_;
            next_event_ = e;
        }
    }
}

bool Mcu::fire_next(Cycles limit)
{
    if (next_due_ > limit) return false;
    Event *first = next_event_;
    if (!first)
        for (Event *e : events_)
            if (e->due_ == next_due_) { first = e; break; }
    if (!first) fail("the next due event is not registered");
    if (first->due_ > now_) now_ = first->due_;
    first->due_ = kNever;
    recompute_next();
    first->fire_();
    return true;
}

// ---------------------------------------------------------------- Mcu

Peripheral::Peripheral(Mcu &mcu, uint32_t base_, uint32_t size_) : base(base_), size(size_), mcu_(mcu)
{
    mcu.peripherals_.push_back(this);
    uint32_t block = (base - kBusBase) >> 10;
    if (block < Mcu::kBusBlocks && ((base + size - 1 - kBusBase) >> 10) == block) mcu.bus_blocks_[block] = this;
    else mcu.elsewhere_.push_back(this);
}

Mcu::Mcu() { reset(); }

Mcu::~Mcu()
{
    for (Event *e : events_) e->owner_ = nullptr;
}

void Mcu::reset()
{
    now_ = 0;
    for (Event *e : events_) e->due_ = kNever;
    next_due_ = kNever;
    next_event_ = nullptr;
    for (Peripheral *p : peripherals_) p->reset();
    accesses = 0;
}

void Mcu::archive(StateArchive &a)
{
    a(now_, next_due_, accesses);
    next_event_ = nullptr;   // the events' times are restored by their owners, after this
    for (Peripheral *p : peripherals_) p->archive(a);
}

float Mcu::alternate_output(Pin pin) const
{
    // A timer's PWM output is seen as its duty; the serial peripherals'
    // outputs carry frames and bytes, and idle high.
    for (int ch = 0; ch < 3; ++ch)
        if (pin == kTim4Pins[ch]) return tim4.duty(ch + 1);
    return 1.0f;
}

void Mcu::alternate_outputs_changed(uint32_t channels)
{
    uint32_t pins = 0;
    for (int ch = 0; ch < 3; ++ch)
        if ((channels >> ch) & 1) pins |= 1u << kTim4Pins[ch].index;
    port(kTim4Pins[0].port).report_pins(pins);
}

void Mcu::clocks_changed()
{
    for (int n = 0; n < 3; ++n) port(n).report_pins();
}

// ---------------------------------------------------------------- bus

Peripheral *Mcu::decode(uint32_t addr) const
{
    uint32_t block = (addr - kBusBase) >> 10;
    if (block < kBusBlocks) {
        Peripheral *p = bus_blocks_[block];
        return p && addr - p->base < p->size ? p : nullptr;
    }
    for (Peripheral *p : elsewhere_)
        if (addr - p->base < p->size) return p;
    return nullptr;
}

bool Peripheral::write_narrow(uint32_t off, uint32_t v, int size)
{
    return write(off & ~3u, size == 1 ? (v & 0xFFu) * 0x01010101u : (v & 0xFFFFu) * 0x00010001u);
}

static void check_narrow_access(uint32_t addr, int size)
{
    if ((size != 1 && size != 2) || addr % static_cast<uint32_t>(size) != 0)
        fail("bus access of " + std::to_string(size) + " bytes at " + hex(addr) + ": not a naturally aligned byte, halfword or word");
}

uint32_t Mcu::bus_read(uint32_t addr, int size)
{
    if (size != 4 || addr % 4 != 0) check_narrow_access(addr, size);
    ++accesses;
    Peripheral *p = decode(addr);
    uint32_t v = 0;
    if (!p || !p->read((addr - p->base) & ~3u, v)) fail("read of unmodelled register " + hex(addr));
    if (size == 4) return v;
    return (v >> (8 * (addr & 3))) & (size == 1 ? 0xFFu : 0xFFFFu);
}

void Mcu::bus_write(uint32_t addr, uint32_t value, int size)
{
    if (size != 4 || addr % 4 != 0) check_narrow_access(addr, size);
    ++accesses;
    Peripheral *p = decode(addr);
    bool ok = p && (size == 4 ? p->write(addr - p->base, value) : p->write_narrow(addr - p->base, value, size));
    if (!ok) fail("write of unmodelled register " + hex(addr) + " = " + hex(value));
}

}  // namespace sim
