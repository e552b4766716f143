#include "mcu/timer.hpp"

#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

namespace sim {

namespace {
constexpr uint32_t kUrs = 1u << 2;                    // CR1
constexpr uint32_t kUif = 1u << 0;                    // SR, DIER (UIE), EGR (UG)
}  // namespace

// Where each timer sits: its block, interrupt, clock enable in APB1ENR, and
// whether its compare channels are modelled.
struct TimerInstance {
    int number;
    uint32_t base;
    int irq;
    uint32_t apb1_bit;
    bool pwm;
};

static const TimerInstance &timer(int number)
{
    static const TimerInstance timers[] = {{2, TIM2_BASE, 28, 0, false}, {4, TIM4_BASE, 30, 2, true}};
    for (const auto &t : timers)
        if (t.number == number) return t;
    fail("TIM" + std::to_string(number) + " is not modelled");
}

Timer::Timer(Mcu &mcu, int number)
    : Peripheral(mcu, timer(number).base, sizeof(TIM_TypeDef)), irq_(timer(number).irq),
      apb1_bit_(timer(number).apb1_bit), pwm_(timer(number).pwm), update_(mcu, [this] { on_update(); })
{
}

void Timer::reset()
{
    cr1_ = cr2_ = dier_ = sr_ = psc_ = psc_active_ = 0;
    arr_ = 0xFFFF;
    ccmr1_ = ccmr2_ = ccer_ = 0;
    ccr_.fill(0);
    base_count_ = 0;
    base_time_ = 0;
    next_update_ = kNever;
}

bool Timer::clocked() const { return mcu_.rcc.apb1_on(apb1_bit_); }

Cycles Timer::cycles_per_count() const { return (psc_active_ + 1ull) * core_cycles_per_tick(mcu_.rcc.tim_apb1_clk()); }

uint32_t Timer::cnt() const
{
    if (!running()) return base_count_;
    const Cycles now = mcu_.now();
    if (next_update_ <= now) return static_cast<uint32_t>((now - next_update_) % update_period() / cycles_per_count());
    return (base_count_ + static_cast<uint32_t>((now - base_time_) / cycles_per_count())) & 0xFFFF;
}

void Timer::rebase(uint32_t count)
{
    base_count_ = count & 0xFFFF;
    base_time_ = mcu_.now();
    next_update_ = kNever;
    if (running()) {
        // Up-counting: the update comes when the counter passes ARR; a
        // counter already above ARR runs to 0xFFFF and wraps first.
        uint64_t counts = base_count_ <= arr_ ? arr_ + 1ull - base_count_ : (0x10000ull - base_count_) + arr_ + 1ull;
        next_update_ = base_time_ + counts * cycles_per_count();
    }
    arm();
}

void Timer::arm()
{
    if (next_update_ != kNever && ((dier_ & kUif) || psc_ != psc_active_)) mcu_.schedule(update_, next_update_);
    else mcu_.cancel(update_);
}

void Timer::apply_updates()
{
    const Cycles now = mcu_.now();
    if (next_update_ > now) return;
    sr_ |= kUif;
    psc_active_ = psc_;
    const Cycles period = update_period(), missed = (now - next_update_) / period;
    base_count_ = 0;
    base_time_ = next_update_ + missed * period;
    next_update_ = base_time_ + period;
}

void Timer::update_line() { mcu_.nvic.set_line(irq_, (sr_ & dier_ & kUif) != 0); }

void Timer::on_update()
{
    apply_updates();
    arm();
    update_line();
}

float Timer::duty(int channel) const
{
    uint32_t ccmr = channel <= 2 ? ccmr1_ : ccmr2_;
    uint32_t ocm = (ccmr >> (channel == 2 ? 12 : 4)) & 7;
    bool enabled = (ccer_ >> (4 * (channel - 1))) & 1;
    bool inverted = (ccer_ >> (4 * (channel - 1) + 1)) & 1;
    if (!enabled || !clocked()) return 0.0f;
    float high;
    uint32_t ccr = ccr_[channel - 1];
    if (ocm == 6 || ocm == 7) {
        if (running()) high = ccr >= arr_ + 1 ? 1.0f : static_cast<float>(ccr) / static_cast<float>(arr_ + 1);
        else high = cnt() < ccr ? 1.0f : 0.0f;
        if (ocm == 7) high = 1.0f - high;
    } else if (ocm == 5) {
        high = 1.0f;
    } else {
        high = 0.0f;
    }
    return inverted ? 1.0f - high : high;
}

bool Timer::read(uint32_t off, uint32_t &v)
{
    apply_updates();
    switch (off) {
    case REG_OFFSET(TIM_TypeDef, CR1): v = cr1_; break;
    case REG_OFFSET(TIM_TypeDef, CR2): if (!pwm_) return false; v = cr2_; break;
    case REG_OFFSET(TIM_TypeDef, DIER): v = dier_; break;
    case REG_OFFSET(TIM_TypeDef, SR): v = sr_; break;
    case REG_OFFSET(TIM_TypeDef, EGR): v = 0; break;
    case REG_OFFSET(TIM_TypeDef, CCMR1): if (!pwm_) return false; v = ccmr1_; break;
    case REG_OFFSET(TIM_TypeDef, CCMR2): if (!pwm_) return false; v = ccmr2_; break;
    case REG_OFFSET(TIM_TypeDef, CCER): if (!pwm_) return false; v = ccer_; break;
    case REG_OFFSET(TIM_TypeDef, CNT): v = cnt(); break;
    case REG_OFFSET(TIM_TypeDef, PSC): v = psc_; break;
    case REG_OFFSET(TIM_TypeDef, ARR): v = arr_; break;
    case REG_OFFSET(TIM_TypeDef, CCR1): case REG_OFFSET(TIM_TypeDef, CCR2): case REG_OFFSET(TIM_TypeDef, CCR3):
        if (!pwm_) return false;
        v = ccr_[(off - REG_OFFSET(TIM_TypeDef, CCR1)) / 4];
        break;
    default: return false;
    }
    if (!clocked()) v = 0;
    return true;
}

bool Timer::write(uint32_t off, uint32_t v)
{
    switch (off) {
    case REG_OFFSET(TIM_TypeDef, CR1): case REG_OFFSET(TIM_TypeDef, DIER): case REG_OFFSET(TIM_TypeDef, SR):
    case REG_OFFSET(TIM_TypeDef, EGR): case REG_OFFSET(TIM_TypeDef, CNT): case REG_OFFSET(TIM_TypeDef, PSC):
    case REG_OFFSET(TIM_TypeDef, ARR):
        break;
    case REG_OFFSET(TIM_TypeDef, CR2): case REG_OFFSET(TIM_TypeDef, CCMR1): case REG_OFFSET(TIM_TypeDef, CCMR2):
    case REG_OFFSET(TIM_TypeDef, CCER): case REG_OFFSET(TIM_TypeDef, CCR1): case REG_OFFSET(TIM_TypeDef, CCR2):
    case REG_OFFSET(TIM_TypeDef, CCR3):
        if (!pwm_) return false;
        break;
    default: return false;
    }
    apply_updates();
    if (!clocked()) return true;
    uint32_t outputs = 0b111;   // the channels whose outputs the write may move
    switch (off) {
    case REG_OFFSET(TIM_TypeDef, CR1): {
        uint32_t count = cnt();
        cr1_ = v & 0x3FF;
        rebase(count);
        break;
    }
    case REG_OFFSET(TIM_TypeDef, CR2): cr2_ = v & 0xF8; break;
    case REG_OFFSET(TIM_TypeDef, DIER): dier_ = v & 0x5F5F; arm(); update_line(); break;
    case REG_OFFSET(TIM_TypeDef, SR): sr_ &= v; update_line(); break;   // flags clear by writing 0
    case REG_OFFSET(TIM_TypeDef, EGR):
        if (v & kUif) {   // update generation: counter and prescaler reload
            psc_active_ = psc_;
            if (!(cr1_ & kUrs)) sr_ |= kUif;
            rebase(0);
            update_line();
        }
        break;
    case REG_OFFSET(TIM_TypeDef, CCMR1): ccmr1_ = v & 0xFFFF; break;
    case REG_OFFSET(TIM_TypeDef, CCMR2): ccmr2_ = v & 0xFFFF; break;
    case REG_OFFSET(TIM_TypeDef, CCER): ccer_ = v & 0x3333; break;
    case REG_OFFSET(TIM_TypeDef, CNT): rebase(v); break;
    case REG_OFFSET(TIM_TypeDef, PSC): psc_ = v & 0xFFFF; arm(); break;   // preloaded: applies at the next update
    case REG_OFFSET(TIM_TypeDef, ARR): {
        uint32_t count = cnt();
        arr_ = v & 0xFFFF;   // 16 bits; no preload, applies at once
        rebase(count);
        break;
    }
    default: {
        const uint32_t ch = (off - REG_OFFSET(TIM_TypeDef, CCR1)) / 4;
        ccr_[ch] = v & 0xFFFF;
        outputs = 1u << ch;
        break;
    }
    }
    if (pwm_) mcu_.alternate_outputs_changed(outputs);
    return true;
}

}  // namespace sim
