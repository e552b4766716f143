// Register models of the STM32F103 peripherals the firmware uses, with the
// reset values and flag timing of the reference manual.
#include <cmath>

#include "mcu/mcu.hpp"

namespace sim {

// ---------------------------------------------------------------- RCC

void Rcc::reset()
{
    cr_ = 0x00000083;   // HSI on and ready, trim 16
    cfgr_ = 0;
    cir_ = 0;
    apb2enr_ = 0;
    apb1enr_ = 0;
    ahbenr_ = 0x14;     // SRAM and flash interface clocked
    bdcr_ = 0;
    csr_ = 0x0C000000;
}

bool Rcc::read(uint32_t off, uint32_t &v) const
{
    switch (off) {
    case 0x00: v = cr_; return true;
    case 0x04: v = cfgr_; return true;
    case 0x08: v = cir_; return true;
    case 0x0C: case 0x10: v = 0; return true;
    case 0x14: v = ahbenr_; return true;
    case 0x18: v = apb2enr_; return true;
    case 0x1C: v = apb1enr_; return true;
    case 0x20: v = bdcr_; return true;
    case 0x24: v = csr_; return true;
    default: return false;
    }
}

bool Rcc::write(uint32_t off, uint32_t v)
{
    switch (off) {
    case 0x00: {
        // Ready flags follow their enables; the PLL locks only on a running source.
        uint32_t w = v & ((1u << 0) | (0x1Fu << 3) | (1u << 16) | (1u << 18) | (1u << 19) | (1u << 24));
        w |= cr_ & (0xFFu << 8);   // calibration, read-only
        if (w & 1) w |= 1u << 1;
        if ((w & (1u << 16)) && hse_present) w |= 1u << 17;
        bool pll_src_ready = (cfgr_ & (1u << 16)) ? (w & (1u << 17)) != 0 : (w & (1u << 1)) != 0;
        if ((w & (1u << 24)) && pll_src_ready) w |= 1u << 25;
        cr_ = w;
        return true;
    }
    case 0x04: {
        uint32_t w = v & 0x07FFFFF3u;
        if (cr_ & (1u << 24)) w = (w & ~0x003F0000u) | (cfgr_ & 0x003F0000u);   // PLL settings locked while it runs
        uint32_t sw = w & 3;
        bool ready = sw == 0 ? (cr_ & 2) != 0 : sw == 1 ? (cr_ & (1u << 17)) != 0 : sw == 2 ? (cr_ & (1u << 25)) != 0 : false;
        uint32_t sws = ready ? sw : (cfgr_ >> 2) & 3;
        cfgr_ = w | (sws << 2);
        return true;
    }
    case 0x08: cir_ = v & 0x00001F00u; return true;
    case 0x0C: case 0x10: return true;
    case 0x14: ahbenr_ = v & 0x557; return true;
    case 0x18: apb2enr_ = v & 0x0038FFFDu; return true;
    case 0x1C: apb1enr_ = v & 0x3AFEC9FFu; return true;
    case 0x20: bdcr_ = v; return true;
    case 0x24: csr_ = (csr_ & 0xFC000000u) | (v & 1); return true;
    default: return false;
    }
}

uint32_t Rcc::sysclk() const
{
    switch ((cfgr_ >> 2) & 3) {
    case 1: return 8'000'000;
    case 2: {
        uint32_t mul = ((cfgr_ >> 18) & 0xF) + 2;
        if (mul > 16) mul = 16;
        uint32_t src = (cfgr_ & (1u << 16)) ? ((cfgr_ & (1u << 17)) ? 4'000'000 : 8'000'000) : 4'000'000;
        return src * mul;
    }
    default: return 8'000'000;
    }
}

int Rcc::ahb_shift() const
{
    uint32_t hpre = (cfgr_ >> 4) & 0xF;
    static const int shift[8] = {1, 2, 3, 4, 6, 7, 8, 9};
    return hpre < 8 ? 0 : shift[hpre - 8];
}

static uint32_t apb_div(uint32_t ppre) { return ppre < 4 ? 1 : 2u << (ppre - 4); }

uint32_t Rcc::pclk1() const { return hclk() / apb_div((cfgr_ >> 8) & 7); }
uint32_t Rcc::pclk2() const { return hclk() / apb_div((cfgr_ >> 11) & 7); }
uint32_t Rcc::tim_apb1_clk() const { return apb_div((cfgr_ >> 8) & 7) == 1 ? pclk1() : 2 * pclk1(); }
uint32_t Rcc::adcclk() const { return pclk2() / (2 * (((cfgr_ >> 14) & 3) + 1)); }

// Core cycles (72 MHz time base) per cycle of a bus clock.
static Cycles per(uint32_t hz) { return hz >= kCoreHz ? 1 : kCoreHz / hz; }

// ---------------------------------------------------------------- GPIO

void Gpio::reset()
{
    crl_ = crh_ = 0x44444444;
    odr_ = 0;
    lckr_ = 0;
    external_.fill(-1);
}

uint32_t Gpio::idr() const
{
    uint32_t v = 0;
    for (int pin = 0; pin < 16; ++pin) {
        uint32_t f = mode_field(pin);
        uint32_t mode = f & 3, cnf = f >> 2;
        int level;
        if (mode != 0) level = external_[pin] >= 0 ? external_[pin] : static_cast<int>((odr_ >> pin) & 1);   // output: the pin as driven
        else if (cnf == 0) level = 0;                                                     // analog: reads 0
        else if (cnf == 1) level = external_[pin] >= 0 ? external_[pin] : 1;             // floating
        else if (cnf == 2) level = external_[pin] >= 0 ? external_[pin] : static_cast<int>((odr_ >> pin) & 1);   // pull-up/down
        else level = 0;
        v |= uint32_t(level & 1) << pin;
    }
    return v;
}

void Gpio::drive(int pin, int level) { external_[pin] = level; }

bool Gpio::read(uint32_t off, uint32_t &v) const
{
    bool on = mcu_.rcc.apb2_on(2 + port_);
    switch (off) {
    case 0x00: v = on ? crl_ : 0; return true;
    case 0x04: v = on ? crh_ : 0; return true;
    case 0x08: v = on ? idr() : 0; return true;
    case 0x0C: v = on ? odr_ : 0; return true;
    case 0x10: case 0x14: v = 0; return true;
    case 0x18: v = on ? lckr_ : 0; return true;
    default: return false;
    }
}

void Gpio::set_odr(uint32_t v)
{
    v &= 0xFFFF;
    if (v == odr_) return;
    mcu_.io().outputs_changing();
    uint32_t old = odr_;
    odr_ = v;
    mcu_.io().odr_changed(port_, old, v);
}

bool Gpio::write(uint32_t off, uint32_t v)
{
    if (off > 0x18 || (off & 3)) return false;
    if (!mcu_.rcc.apb2_on(2 + port_)) return true;   // unclocked: writes are lost
    switch (off) {
    case 0x00: mcu_.io().outputs_changing(); crl_ = v; break;
    case 0x04: mcu_.io().outputs_changing(); crh_ = v; break;
    case 0x08: break;
    case 0x0C: set_odr(v); break;
    case 0x10: set_odr((odr_ & ~(v >> 16)) | (v & 0xFFFF)); break;   // set wins over reset
    case 0x14: set_odr(odr_ & ~(v & 0xFFFF)); break;
    case 0x18: lckr_ = v & 0x1FFFF; break;
    }
    return true;
}

// ---------------------------------------------------------------- TIM2 / TIM4

void Timer::reset()
{
    cr1_ = cr2_ = dier_ = sr_ = psc_ = psc_active_ = 0;
    arr_ = 0xFFFF;
    ccmr1_ = ccmr2_ = ccer_ = 0;
    ccr_.fill(0);
    base_count_ = 0;
    base_time_ = 0;
}

bool Timer::clocked() const { return mcu_.rcc.apb1_on(apb1_bit_); }

Cycles Timer::cycles_per_count() const { return (psc_active_ + 1ull) * per(mcu_.rcc.tim_apb1_clk()); }

uint32_t Timer::cnt() const
{
    if (!running()) return base_count_;
    return (base_count_ + static_cast<uint32_t>((mcu_.now() - base_time_) / cycles_per_count())) & 0xFFFF;
}

void Timer::rebase(uint32_t count)
{
    base_count_ = count & 0xFFFF;
    base_time_ = mcu_.now();
    if (!running()) {
        mcu_.cancel(*update_);
        return;
    }
    // Up-counting: the update comes when the counter passes ARR; a counter
    // already above ARR runs to 0xFFFF and wraps first.
    uint64_t counts = base_count_ <= arr_ ? arr_ + 1ull - base_count_ : (0x10000ull - base_count_) + arr_ + 1ull;
    mcu_.schedule(*update_, base_time_ + counts * cycles_per_count());
}

void Timer::on_update()
{
    sr_ |= 1;
    psc_active_ = psc_;
    base_count_ = 0;
    base_time_ = mcu_.now();
    mcu_.schedule(*update_, base_time_ + update_period());
    mcu_.nvic.set_line(irq_, (sr_ & dier_ & 1) != 0);
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

bool Timer::read(uint32_t off, uint32_t &v) const
{
    bool on = clocked();
    switch (off) {
    case 0x00: v = cr1_; break;
    case 0x04: if (!pwm_) return false; v = cr2_; break;
    case 0x0C: v = dier_; break;
    case 0x10: v = sr_; break;
    case 0x14: v = 0; break;
    case 0x18: if (!pwm_) return false; v = ccmr1_; break;
    case 0x1C: if (!pwm_) return false; v = ccmr2_; break;
    case 0x20: if (!pwm_) return false; v = ccer_; break;
    case 0x24: v = cnt(); break;
    case 0x28: v = psc_; break;
    case 0x2C: v = arr_; break;
    case 0x34: case 0x38: case 0x3C: if (!pwm_) return false; v = ccr_[(off - 0x34) / 4]; break;
    default: return false;
    }
    if (!on) v = 0;
    return true;
}

bool Timer::write(uint32_t off, uint32_t v)
{
    bool known = off == 0x00 || off == 0x0C || off == 0x10 || off == 0x14 || off == 0x24 || off == 0x28 || off == 0x2C ||
                 (pwm_ && (off == 0x04 || off == 0x18 || off == 0x1C || off == 0x20 || off == 0x34 || off == 0x38 || off == 0x3C));
    if (!known) return false;
    if (!clocked()) return true;
    if (pwm_) mcu_.io().outputs_changing();
    switch (off) {
    case 0x00: {
        uint32_t count = cnt();
        cr1_ = v & 0x3FF;
        rebase(count);
        break;
    }
    case 0x04: cr2_ = v & 0xF8; break;
    case 0x0C: dier_ = v & 0x5F5F; mcu_.nvic.set_line(irq_, (sr_ & dier_ & 1) != 0); break;
    case 0x10: sr_ &= v; mcu_.nvic.set_line(irq_, (sr_ & dier_ & 1) != 0); break;   // flags clear by writing 0
    case 0x14:
        if (v & 1) {   // update generation: counter and prescaler reload
            psc_active_ = psc_;
            if (!(cr1_ & 4)) sr_ |= 1;
            rebase(0);
            mcu_.nvic.set_line(irq_, (sr_ & dier_ & 1) != 0);
        }
        break;
    case 0x18: ccmr1_ = v & 0xFFFF; break;
    case 0x1C: ccmr2_ = v & 0xFFFF; break;
    case 0x20: ccer_ = v & 0x3333; break;
    case 0x24: rebase(v); break;
    case 0x28: psc_ = v & 0xFFFF; break;   // preloaded: applies at the next update
    case 0x2C: {
        uint32_t count = cnt();
        arr_ = v & 0xFFFF;   // 16 bits; no preload, applies at once
        rebase(count);
        break;
    }
    default: ccr_[(off - 0x34) / 4] = v & 0xFFFF; break;
    }
    return true;
}

// ---------------------------------------------------------------- ADC1

void Adc::reset()
{
    sr_ = cr1_ = cr2_ = smpr1_ = smpr2_ = sqr1_ = sqr2_ = sqr3_ = dr_ = 0;
    channel_ = 0;
    state_ = kIdle;
    conversions = 0;
    never_finishes = false;
    calibrated_ = false;
}

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
    sr_ |= 1u << 4;   // STRT
    state_ = kConverting;
    if (never_finishes) {
        mcu_.cancel(*done_);
        return;
    }
    mcu_.schedule(*done_, mcu_.now() + conversion_cycles(channel_));
}

void Adc::on_done()
{
    if (state_ == kCalibrating) {
        if (cr2_ & (1u << 2)) calibrated_ = true;
        cr2_ &= ~((1u << 2) | (1u << 3));
        state_ = kIdle;
        return;
    }
    double v = mcu_.io().adc_input_volts(channel_);
    double code = std::floor(v / 3.3 * 4096.0);
    uint32_t c = code < 0 ? 0 : code > 4095 ? 4095 : static_cast<uint32_t>(code);
    dr_ = (cr2_ & (1u << 11)) ? c << 4 : c;
    sr_ |= 1u << 1;   // EOC
    state_ = kIdle;
}

bool Adc::read(uint32_t off, uint32_t &v)
{
    bool on = mcu_.rcc.apb2_on(9);
    switch (off) {
    case 0x00: v = sr_; break;
    case 0x04: v = cr1_; break;
    case 0x08: v = cr2_; break;
    case 0x0C: v = smpr1_; break;
    case 0x10: v = smpr2_; break;
    case 0x2C: v = sqr1_; break;
    case 0x30: v = sqr2_; break;
    case 0x34: v = sqr3_; break;
    case 0x4C: v = dr_; if (on) sr_ &= ~(1u << 1); break;   // reading the data clears EOC
    default: return false;
    }
    if (!on) v = 0;
    return true;
}

bool Adc::write(uint32_t off, uint32_t v)
{
    if (!(off == 0x00 || off == 0x04 || off == 0x08 || off == 0x0C || off == 0x10 || off == 0x2C || off == 0x30 || off == 0x34))
        return false;
    if (!mcu_.rcc.apb2_on(9)) return true;
    switch (off) {
    case 0x00: sr_ &= v | ~0x1Fu; break;
    case 0x04: cr1_ = v & 0x00CFFFFF; break;
    case 0x08: {
        uint32_t old = cr2_;
        uint32_t w = v & 0x00FEF90F;
        bool was_on = old & 1;
        // Setting ADON again, with no other bit changed, starts a conversion.
        bool adon_start = was_on && (w & 1) && ((w & ~0x0040000Cu) == (old & ~0x0040000Cu));
        cr2_ = (w & ~(1u << 22)) | (old & ((1u << 2) | (1u << 3)));
        if (!(w & 1)) { state_ = kIdle; mcu_.cancel(*done_); break; }
        if (!was_on) break;   // power-up only
        if (w & ((1u << 2) | (1u << 3))) {
            // Calibration (or its reset) takes some ADC clock cycles, then the bit clears.
            cr2_ |= w & ((1u << 2) | (1u << 3));
            state_ = kCalibrating;
            mcu_.schedule(*done_, mcu_.now() + Cycles{(w & (1u << 2)) ? 83u : 8u} * (kCoreHz / mcu_.rcc.adcclk()));
            break;
        }
        bool sw_trigger = (w & (1u << 22)) && (w & (1u << 20)) && ((w >> 17) & 7) == 7;
        if (sw_trigger || adon_start) start();
        break;
    }
    case 0x0C: smpr1_ = v & 0x00FFFFFF; break;
    case 0x10: smpr2_ = v & 0x3FFFFFFF; break;
    case 0x2C: sqr1_ = v & 0x00FFFFFF; break;
    case 0x30: sqr2_ = v & 0x3FFFFFFF; break;
    case 0x34: sqr3_ = v & 0x3FFFFFFF; break;
    }
    return true;
}

// ---------------------------------------------------------------- SPI1

void Spi::reset()
{
    cr1_ = cr2_ = 0;
    crcpr_ = 7;
    tx_full_ = busy_ = rxne_ = ovr_ = false;
    tx_buf_ = shifting_ = rx_ = 0;
    frame_to_slave_ = false;
    txe_stuck = rxne_stuck = false;
    sent.clear();
}

Cycles Spi::frame_cycles() const
{
    uint32_t bits = (cr1_ & (1u << 11)) ? 16 : 8;
    uint32_t div = 2u << ((cr1_ >> 3) & 7);
    return static_cast<Cycles>(bits) * div * per(mcu_.rcc.pclk2());
}

uint32_t Spi::sr() const
{
    uint32_t v = 0;
    if (rxne_ && !rxne_stuck) v |= 1;
    if (!tx_full_ && !txe_stuck) v |= 2;
    if (ovr_) v |= 1u << 6;
    if (busy_) v |= 1u << 7;
    return v;
}

void Spi::start_frame(uint16_t word)
{
    busy_ = true;
    shifting_ = word;
    frame_to_slave_ = (mcu_.gpioa.odr() & (1u << 4)) == 0;
    sent.push_back(word);
    mcu_.schedule(*done_, mcu_.now() + frame_cycles());
}

void Spi::on_frame_done()
{
    bool selected = frame_to_slave_ && (mcu_.gpioa.odr() & (1u << 4)) == 0;
    uint16_t miso = selected ? mcu_.io().spi_frame(shifting_, cr1_) : 0xFFFF;   // MISO idles high
    if (!(cr1_ & (1u << 11))) miso &= 0xFF;
    if (rxne_) ovr_ = true;   // the unread word stays, the new one is lost
    else { rx_ = miso; rxne_ = true; }
    busy_ = false;
    if (tx_full_) {
        tx_full_ = false;
        start_frame(tx_buf_);
    }
}

bool Spi::read(uint32_t off, uint32_t &v)
{
    bool on = mcu_.rcc.apb2_on(12);
    switch (off) {
    case 0x00: v = cr1_; break;
    case 0x04: v = cr2_; break;
    case 0x08: v = sr(); break;
    case 0x0C:
        v = rx_;
        if (on) { rxne_ = false; ovr_ = false; }
        break;
    case 0x10: v = crcpr_; break;
    case 0x14: case 0x18: v = 0; break;
    default: return false;
    }
    if (!on) v = 0;
    return true;
}

bool Spi::write(uint32_t off, uint32_t v)
{
    if (off > 0x18 || (off & 3)) return false;
    if (!mcu_.rcc.apb2_on(12)) return true;
    switch (off) {
    case 0x00: cr1_ = v & 0xFFFF; break;
    case 0x04: cr2_ = v & 0xF7; break;
    case 0x08: break;
    case 0x0C: {
        uint16_t word = (cr1_ & (1u << 11)) ? v & 0xFFFF : v & 0xFF;
        bool master_on = (cr1_ & (1u << 6)) && (cr1_ & (1u << 2));
        if (master_on && !busy_) start_frame(word);   // straight into the shift register
        else { tx_buf_ = word; tx_full_ = true; }
        break;
    }
    case 0x10: crcpr_ = v & 0xFFFF; break;
    default: break;
    }
    return true;
}

// ---------------------------------------------------------------- USART1 / USART2

void Usart::reset()
{
    brr_ = cr1_ = cr2_ = cr3_ = gtpr_ = 0;
    txe_ = tc_ = true;
    rxne_ = ore_ = shifting_ = tdr_full_ = false;
    tdr_ = shift_ = rdr_ = 0;
    overruns = 0;
}

bool Usart::clocked() const { return port_ == 1 ? mcu_.rcc.apb2_on(14) : mcu_.rcc.apb1_on(17); }

Cycles Usart::char_cycles() const
{
    uint32_t bits = 1 + ((cr1_ & (1u << 12)) ? 9 : 8) + (((cr2_ >> 12) & 3) == 2 ? 2 : 1);
    uint32_t pclk = port_ == 1 ? mcu_.rcc.pclk2() : mcu_.rcc.pclk1();
    uint32_t brr = brr_ < 16 ? 16 : brr_;
    return static_cast<Cycles>(bits) * brr * per(pclk);
}

void Usart::update_irq()
{
    bool ue = cr1_ & (1u << 13);
    bool level = ue && (((cr1_ & (1u << 5)) && (rxne_ || ore_)) || ((cr1_ & (1u << 7)) && txe_) || ((cr1_ & (1u << 6)) && tc_));
    mcu_.nvic.set_line(irq_, level);
}

void Usart::on_tx_done()
{
    mcu_.io().uart_tx(port_, shift_);
    if (tdr_full_) {
        shift_ = tdr_;
        tdr_full_ = false;
        txe_ = true;
        mcu_.schedule(*tx_done_, mcu_.now() + char_cycles());
    } else {
        shifting_ = false;
        tc_ = true;
    }
    update_irq();
}

bool Usart::receive(uint8_t byte)
{
    if (!clocked() || !(cr1_ & (1u << 13)) || !(cr1_ & (1u << 2))) return false;
    if (rxne_) {
        ore_ = true;   // overrun: the byte in the data register stays
        ++overruns;
    } else {
        rdr_ = byte;
        rxne_ = true;
    }
    update_irq();
    return true;
}

bool Usart::read(uint32_t off, uint32_t &v)
{
    if (off > 0x18 || (off & 3)) return false;
    if (!clocked()) { v = 0; return true; }
    switch (off) {
    case 0x00:
        v = (txe_ ? 1u << 7 : 0) | (tc_ ? 1u << 6 : 0) | (rxne_ ? 1u << 5 : 0) | (ore_ ? 1u << 3 : 0);
        break;
    case 0x04:
        v = rdr_;
        rxne_ = false;
        ore_ = false;
        update_irq();
        break;
    case 0x08: v = brr_; break;
    case 0x0C: v = cr1_; break;
    case 0x10: v = cr2_; break;
    case 0x14: v = cr3_; break;
    default: v = gtpr_; break;
    }
    return true;
}

bool Usart::write(uint32_t off, uint32_t v)
{
    if (off > 0x18 || (off & 3)) return false;
    if (!clocked()) return true;
    switch (off) {
    case 0x00:
        if (!(v & (1u << 5))) rxne_ = false;   // flags clear by writing 0
        if (!(v & (1u << 6))) tc_ = false;
        break;
    case 0x04: {
        if (!(cr1_ & (1u << 13))) break;
        uint8_t b = v & 0xFF;
        if (!(cr1_ & (1u << 3))) { tdr_ = b; txe_ = false; break; }   // transmitter off: the byte waits
        if (!shifting_) {
            shift_ = b;
            shifting_ = true;
            tc_ = false;
            mcu_.schedule(*tx_done_, mcu_.now() + char_cycles());
        } else {
            tdr_ = b;
            tdr_full_ = true;
            txe_ = false;
        }
        break;
    }
    case 0x08: brr_ = v & 0xFFFF; break;
    case 0x0C: cr1_ = v & 0x3FFF; break;
    case 0x10: cr2_ = v & 0x7F7F; break;
    case 0x14: cr3_ = v & 0x7FF; break;
    default: gtpr_ = v & 0xFFFF; break;
    }
    update_irq();
    return true;
}

// ---------------------------------------------------------------- SysTick

void SysTickTimer::reset()
{
    csr_ = 0;
    rvr_ = 0;
    base_time_ = 0;
}

Cycles SysTickTimer::cycles_per_count() const { return (csr_ & 4) ? per(mcu_.rcc.hclk()) : 8 * per(mcu_.rcc.hclk()); }

void SysTickTimer::restart()
{
    base_time_ = mcu_.now();
    if ((csr_ & 1) && rvr_ != 0) mcu_.schedule(*wrap_, base_time_ + (rvr_ + 1ull) * cycles_per_count());
    else mcu_.cancel(*wrap_);
}

void SysTickTimer::on_wrap()
{
    csr_ |= 1u << 16;
    if (csr_ & 2) mcu_.nvic.pend_exception(Nvic::kSysTick);
    restart();
}

bool SysTickTimer::read(uint32_t off, uint32_t &v)
{
    switch (off) {
    case 0x0: v = csr_; csr_ &= ~(1u << 16); return true;
    case 0x4: v = rvr_; return true;
    case 0x8: {
        if (!(csr_ & 1)) { v = 0; return true; }
        uint64_t counts = (mcu_.now() - base_time_) / cycles_per_count();
        v = counts == 0 ? 0 : rvr_ - static_cast<uint32_t>((counts - 1) % (rvr_ + 1ull));
        return true;
    }
    case 0xC: v = 0x40002328; return true;   // CALIB: 9000 counts per ms at HCLK/8
    default: return false;
    }
}

bool SysTickTimer::write(uint32_t off, uint32_t v)
{
    switch (off) {
    case 0x0: csr_ = (csr_ & (1u << 16)) | (v & 7); restart(); return true;
    case 0x4: rvr_ = v & 0xFFFFFF; return true;
    case 0x8: csr_ &= ~(1u << 16); restart(); return true;
    case 0xC: return true;
    default: return false;
    }
}

}  // namespace sim
