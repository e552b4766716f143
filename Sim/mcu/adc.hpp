// ADC1: power-up, calibration and its reset, single conversions of the
// first regular channel started by SWSTART or by setting ADON again, EOC
// after the sample and conversion time, right- or left-aligned DR. The
// input is the voltage the board puts on the channel's pin.
#pragma once
#include "mcu/peripheral.hpp"

namespace sim {

class Adc final : public Peripheral {
public:
    explicit Adc(Mcu &mcu);
    void reset() override;
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    void archive(StateArchive &a) override
    {
        a(done_, sr_, cr1_, cr2_, smpr1_, smpr2_, sqr1_, sqr2_, sqr3_, dr_, channel_, state_, calibrated_, never_finishes, conversions);
    }

    Cycles conversion_cycles(int channel) const;
    bool calibrated() const { return calibrated_; }   // a calibration has completed since reset
    bool never_finishes = false;            // test harness: a converter that hangs
    bool calibration_never_ends = false;    // test harness: CAL and RSTCAL stay set
    uint32_t conversions = 0;      // started conversions, for tests

private:
    bool clocked() const;
    void start();
    void on_done();
    Event done_;
    uint32_t sr_ = 0, cr1_ = 0, cr2_ = 0, smpr1_ = 0, smpr2_ = 0, sqr1_ = 0, sqr2_ = 0, sqr3_ = 0, dr_ = 0;
    int channel_ = 0;
    enum { kIdle, kConverting, kCalibrating } state_ = kIdle;
    bool calibrated_ = false;
};

}  // namespace sim
