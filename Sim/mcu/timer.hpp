// A 16-bit up-counting general-purpose timer (TIM2, TIM4): prescaler
// (preloaded), auto-reload (no preload), counter, update flag and update
// interrupt; TIM4 adds the PWM mode 1 compares of its channels 1 to 3.
#pragma once
#include <array>

#include "mcu/peripheral.hpp"

namespace sim {

class Timer final : public Peripheral {
public:
    Timer(Mcu &mcu, int number);   // TIM2 or TIM4
    void reset() override;
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    void archive(StateArchive &a) override
    {
        a(update_, cr1_, cr2_, dier_, sr_, psc_, psc_active_, arr_, ccmr1_, ccmr2_, ccer_, ccr_, base_count_, base_time_,
          next_update_);
    }

    uint32_t cnt() const;
    bool running() const { return (cr1_ & 1) && clocked(); }
    Cycles cycles_per_count() const;
    Cycles update_period() const { return cycles_per_count() * (arr_ + 1ull); }
    // PWM mode 1 duty of channel 1..3 as a fraction of the period.
    float duty(int channel) const;
    uint32_t ccr(int channel) const { return ccr_[channel - 1]; }
    uint32_t psc() const { return psc_; }
    uint32_t cr1() const { return cr1_; }

private:
    bool clocked() const;
    void on_update();              // the update event came due
    void rebase(uint32_t count);   // counter = count now; reschedule
    // Applies the updates due by now that no event applied: the flag, the
    // prescaler's preload, the counter's restart at the last of them.
    void apply_updates();
    // Schedules the update event only where someone sees it at its instant:
    // the update interrupt is enabled, or a preloaded prescaler waits for
    // it. Otherwise the updates (45 kHz on the PWM timer) are applied when
    // the timer is next read or written.
    void arm();
    void update_line();
    int irq_;
    uint32_t apb1_bit_;
    bool pwm_;
    Event update_;
    uint32_t cr1_ = 0, cr2_ = 0, dier_ = 0, sr_ = 0, psc_ = 0, psc_active_ = 0, arr_ = 0xFFFF;
    uint32_t ccmr1_ = 0, ccmr2_ = 0, ccer_ = 0;
    std::array<uint32_t, 3> ccr_{};
    uint32_t base_count_ = 0;   // counter value at base_time_
    Cycles base_time_ = 0;
    Cycles next_update_ = kNever;   // while running: the next update, applied or not
};

}  // namespace sim
