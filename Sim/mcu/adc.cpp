#include "mcu/adc.hpp"

#include <cmath>
#include <optional>

#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

namespace sim {

namespace {
constexpr uint32_t kEoc = 1u << 1, kStrt = 1u << 4;   // SR
constexpr uint32_t kAdon = 1u << 0, kCal = 1u << 2, kRstCal = 1u << 3, kAlignLeft = 1u << 11, kExtTrig = 1u << 20,
                   kSwStart = 1u << 22;               // CR2

// The pin of an input channel: IN0..7 on PA0..7, IN8..9 on PB0..1,
// IN10..15 on PC0..5; 16 and 17 are inside the chip.
std::optional<Pin> channel_pin(int channel)
{
    if (channel < 8) return Pin{0, static_cast<uint8_t>(channel)};
    if (channel < 10) return Pin{1, static_cast<uint8_t>(channel - 8)};
    if (channel < 16) return Pin{2, static_cast<uint8_t>(channel - 10)};
    return std::nullopt;
}
}  // namespace

Adc::Adc(Mcu &mcu) : Peripheral(mcu, ADC1_BASE, sizeof(ADC_TypeDef)), done_(mcu, [this] { on_done(); }) {}

void Adc::reset()
{
    sr_ = cr1_ = cr2_ = smpr1_ = smpr2_ = sqr1_ = sqr2_ = sqr3_ = dr_ = 0;
    channel_ = 0;
    state_ = kIdle;
    conversions = 0;
    never_finishes = false;
    calibration_never_ends = false;
    calibrated_ = false;
}

bool Adc::clocked() const { return mcu_.rcc.apb2_on(9); }

Cycles Adc::conversion_cycles(int channel) const
{
    static const double sample[8] = {1.5, 7.5, 13.5, 28.5, 41.5, 55.5, 71.5, 239.5};
    uint32_t code = channel < 10 ? (smpr2_ >> (3 * channel)) & 7 : (smpr1_ >> (3 * (channel - 10))) & 7;
    double adc_cycles = sample[code] + 12.5;
    return static_cast<Cycles>(std::llround(adc_cycles * static_cast<double>(kCoreHz) / mcu_.rcc.adcclk()));
}

void Adc::start()
{
    channel_ = static_cast<int>(sqr3_ & 0x1F);
    ++conversions;
    sr_ |= kStrt;
    state_ = kConverting;
    if (never_finishes) {
        mcu_.cancel(done_);
        return;
    }
    mcu_.schedule(done_, mcu_.now() + conversion_cycles(channel_));
}

void Adc::on_done()
{
    if (state_ == kCalibrating) {
        if (cr2_ & kCal) calibrated_ = true;
        cr2_ &= ~(kCal | kRstCal);
        state_ = kIdle;
        return;
    }
    std::optional<Pin> pin = channel_pin(channel_);
    double v = pin ? mcu_.io().pin_volts(*pin) : 0.0;   // the internal channels are not modelled
    double code = std::floor(v / 3.3 * 4096.0);
    uint32_t c = code < 0 ? 0 : code > 4095 ? 4095 : static_cast<uint32_t>(code);
    dr_ = (cr2_ & kAlignLeft) ? c << 4 : c;
    sr_ |= kEoc;
    state_ = kIdle;
}

bool Adc::read(uint32_t off, uint32_t &v)
{
    switch (off) {
    case REG_OFFSET(ADC_TypeDef, SR): v = sr_; break;
    case REG_OFFSET(ADC_TypeDef, CR1): v = cr1_; break;
    case REG_OFFSET(ADC_TypeDef, CR2): v = cr2_; break;
    case REG_OFFSET(ADC_TypeDef, SMPR1): v = smpr1_; break;
    case REG_OFFSET(ADC_TypeDef, SMPR2): v = smpr2_; break;
    case REG_OFFSET(ADC_TypeDef, SQR1): v = sqr1_; break;
    case REG_OFFSET(ADC_TypeDef, SQR2): v = sqr2_; break;
    case REG_OFFSET(ADC_TypeDef, SQR3): v = sqr3_; break;
    case REG_OFFSET(ADC_TypeDef, DR): v = dr_; if (clocked()) sr_ &= ~kEoc; break;   // reading the data clears EOC
    default: return false;
    }
    if (!clocked()) v = 0;
    return true;
}

bool Adc::write(uint32_t off, uint32_t v)
{
    switch (off) {
    case REG_OFFSET(ADC_TypeDef, SR): case REG_OFFSET(ADC_TypeDef, CR1): case REG_OFFSET(ADC_TypeDef, CR2):
    case REG_OFFSET(ADC_TypeDef, SMPR1): case REG_OFFSET(ADC_TypeDef, SMPR2): case REG_OFFSET(ADC_TypeDef, SQR1):
    case REG_OFFSET(ADC_TypeDef, SQR2): case REG_OFFSET(ADC_TypeDef, SQR3):
        break;
    default: return false;
    }
    if (!clocked()) return true;
    switch (off) {
    case REG_OFFSET(ADC_TypeDef, SR): sr_ &= v | ~0x1Fu; break;
    case REG_OFFSET(ADC_TypeDef, CR1): cr1_ = v & 0x00CFFFFF; break;
    case REG_OFFSET(ADC_TypeDef, CR2): {
        uint32_t old = cr2_;
        uint32_t w = v & 0x00FEF90F;
        bool was_on = old & kAdon;
        // Setting ADON again, with no other bit changed, starts a conversion.
        bool adon_start = was_on && (w & kAdon) && ((w & ~(kSwStart | kCal | kRstCal)) == (old & ~(kSwStart | kCal | kRstCal)));
        cr2_ = (w & ~kSwStart) | (old & (kCal | kRstCal));
        if (!(w & kAdon)) {
            state_ = kIdle;
            mcu_.cancel(done_);
            break;
        }
        if (!was_on) break;   // power-up only
        if (w & (kCal | kRstCal)) {
            // Calibration (or its reset) takes some ADC clock cycles, then the bit clears.
            cr2_ |= w & (kCal | kRstCal);
            state_ = kCalibrating;
            if (calibration_never_ends) mcu_.cancel(done_);
            else mcu_.schedule(done_, mcu_.now() + Cycles{(w & kCal) ? 83u : 8u} * (kCoreHz / mcu_.rcc.adcclk()));
            break;
        }
        bool sw_trigger = (w & kSwStart) && (w & kExtTrig) && ((w >> 17) & 7) == 7;
        if (sw_trigger || adon_start) start();
        break;
    }
    case REG_OFFSET(ADC_TypeDef, SMPR1): smpr1_ = v & 0x00FFFFFF; break;
    case REG_OFFSET(ADC_TypeDef, SMPR2): smpr2_ = v & 0x3FFFFFFF; break;
    case REG_OFFSET(ADC_TypeDef, SQR1): sqr1_ = v & 0x00FFFFFF; break;
    case REG_OFFSET(ADC_TypeDef, SQR2): sqr2_ = v & 0x3FFFFFFF; break;
    case REG_OFFSET(ADC_TypeDef, SQR3): sqr3_ = v & 0x3FFFFFFF; break;
    }
    return true;
}

}  // namespace sim
