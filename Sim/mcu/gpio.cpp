#include "mcu/gpio.hpp"

#include <bit>

#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

namespace sim {

static uint32_t port_base(int port)
{
    static const uint32_t base[] = {GPIOA_BASE, GPIOB_BASE, GPIOC_BASE};
    return base[port];
}

Gpio::Gpio(Mcu &mcu, int port) : Peripheral(mcu, port_base(port), sizeof(GPIO_TypeDef)), port_(port) {}

void Gpio::reset()
{
    set_modes(0x44444444, 0x44444444);
    odr_ = 0;
    lckr_ = 0;
    driven_ = high_ = 0;
    reported_.fill(PinDrive{});   // every pin an input, as the board starts
}

bool Gpio::clocked() const { return mcu_.rcc.apb2_on(2 + port_); }

void Gpio::drive(int pin, int level)
{
    const uint32_t bit = 1u << pin;
    driven_ = level >= 0 ? driven_ | bit : driven_ & ~bit;
    high_ = level > 0 ? high_ | bit : high_ & ~bit;
}

void Gpio::set_modes(uint32_t crl, uint32_t crh)
{
    crl_ = crl;
    crh_ = crh;
    reads_ = reads_latch_ = reads_high_ = 0;
    for (int pin = 0; pin < 16; ++pin) {
        const uint32_t f = mode_field(pin), bit = 1u << pin;
        if ((f & 3) != 0 || f == 8) reads_latch_ |= bit;   // output: the pin as driven; pull-up/down
        else if (f == 4) reads_high_ |= bit;                // floating input
        else continue;                                      // analog or reserved: reads 0
        reads_ |= bit;
    }
}

uint32_t Gpio::idr() const
{
    return reads_ & ((driven_ & high_) | (~driven_ & ((reads_latch_ & odr_) | reads_high_)));
}

PinDrive Gpio::pin_drive(int pin) const
{
    uint32_t f = mode_field(pin);
    if ((f & 3) == 0) return {};                                   // input
    if (f & 8) return {true, mcu_.alternate_output(Pin{static_cast<uint8_t>(port_), static_cast<uint8_t>(pin)})};
    return {true, output_level(pin) ? 1.0f : 0.0f};               // general-purpose output
}

void Gpio::report_pins(uint32_t mask)
{
    for (mask &= 0xFFFF; mask != 0; mask &= mask - 1) {
        const int pin = std::countr_zero(mask);
        PinDrive d = pin_drive(pin);
        if (d == reported_[pin]) continue;
        reported_[pin] = d;
        mcu_.io().pin_changed(Pin{static_cast<uint8_t>(port_), static_cast<uint8_t>(pin)}, d);
    }
}

bool Gpio::read(uint32_t off, uint32_t &v)
{
    switch (off) {
    case REG_OFFSET(GPIO_TypeDef, CRL): v = crl_; break;
    case REG_OFFSET(GPIO_TypeDef, CRH): v = crh_; break;
    case REG_OFFSET(GPIO_TypeDef, IDR): v = idr(); break;
    case REG_OFFSET(GPIO_TypeDef, ODR): v = odr_; break;
    case REG_OFFSET(GPIO_TypeDef, BSRR): case REG_OFFSET(GPIO_TypeDef, BRR): v = 0; break;
    case REG_OFFSET(GPIO_TypeDef, LCKR): v = lckr_; break;
    default: return false;
    }
    if (!clocked()) v = 0;
    return true;
}

void Gpio::set_odr(uint32_t v)
{
    v &= 0xFFFF;
    if (v == odr_) return;
    const uint32_t changed = v ^ odr_;
    odr_ = v;
    report_pins(changed);   // only a general-purpose output follows its latch
}

bool Gpio::write(uint32_t off, uint32_t v)
{
    if (!clocked()) return true;   // unclocked: writes are lost
    switch (off) {
    case REG_OFFSET(GPIO_TypeDef, CRL): set_modes(v, crh_); report_pins(); break;
    case REG_OFFSET(GPIO_TypeDef, CRH): set_modes(crl_, v); report_pins(); break;
    case REG_OFFSET(GPIO_TypeDef, IDR): break;
    case REG_OFFSET(GPIO_TypeDef, ODR): set_odr(v); break;
    case REG_OFFSET(GPIO_TypeDef, BSRR): set_odr((odr_ & ~(v >> 16)) | (v & 0xFFFF)); break;   // set wins over reset
    case REG_OFFSET(GPIO_TypeDef, BRR): set_odr(odr_ & ~(v & 0xFFFF)); break;
    case REG_OFFSET(GPIO_TypeDef, LCKR): lckr_ = v & 0x1FFFF; break;
    }
    return true;
}

}  // namespace sim
