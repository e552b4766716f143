#include "mcu/usart.hpp"

#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

namespace sim {

namespace {
constexpr uint32_t kOre = 1u << 3, kRxne = 1u << 5, kTc = 1u << 6, kTxe = 1u << 7;   // SR; CR1: the interrupt enables
constexpr uint32_t kRe = 1u << 2, kTe = 1u << 3, kNineBits = 1u << 12, kUe = 1u << 13;   // CR1
}  // namespace

// Where each USART sits: its block, interrupt, bus (APB2 or APB1) and clock
// enable bit there.
struct UsartInstance {
    uint32_t base;
    int irq;
    bool apb2;
    uint32_t enable_bit;
};

static const UsartInstance &usart(int number)
{
    static const UsartInstance usarts[] = {{USART1_BASE, 37, true, 14}, {USART2_BASE, 38, false, 17}};
    if (number < 1 || number > 2) fail("USART" + std::to_string(number) + " is not modelled");
    return usarts[number - 1];
}

Usart::Usart(Mcu &mcu, int number)
    : Peripheral(mcu, usart(number).base, sizeof(USART_TypeDef)), number_(number), irq_(usart(number).irq),
      apb2_(usart(number).apb2), enable_bit_(usart(number).enable_bit), tx_done_(mcu, [this] { on_tx_done(); })
{
}

void Usart::reset()
{
    brr_ = cr1_ = cr2_ = cr3_ = gtpr_ = 0;
    txe_ = tc_ = true;
    rxne_ = ore_ = shifting_ = tdr_full_ = false;
    tdr_ = shift_ = rdr_ = 0;
    tx_stuck = false;
}

bool Usart::clocked() const { return apb2_ ? mcu_.rcc.apb2_on(enable_bit_) : mcu_.rcc.apb1_on(enable_bit_); }
uint32_t Usart::pclk() const { return apb2_ ? mcu_.rcc.pclk2() : mcu_.rcc.pclk1(); }

Cycles Usart::char_cycles() const
{
    uint32_t bits = 1 + ((cr1_ & kNineBits) ? 9 : 8) + (((cr2_ >> 12) & 3) == 2 ? 2 : 1);
    uint32_t brr = brr_ < 16 ? 16 : brr_;
    return static_cast<Cycles>(bits) * brr * core_cycles_per_tick(pclk());
}

double Usart::baud() const
{
    if (!clocked() || !(cr1_ & kUe)) return 0.0;
    return static_cast<double>(pclk()) / (brr_ < 16 ? 16 : brr_);
}

void Usart::update_irq()
{
    // The interrupt enables sit in CR1 at the bit positions of their flags in SR.
    bool level = (cr1_ & kUe) && (((cr1_ & kRxne) && (rxne_ || ore_)) || ((cr1_ & kTxe) && txe_) || ((cr1_ & kTc) && tc_));
    mcu_.nvic.set_line(irq_, level);
}

void Usart::on_tx_done()
{
    mcu_.io().serial_out(number_, shift_);
    if (tdr_full_) {
        shift_ = tdr_;
        tdr_full_ = false;
        txe_ = true;
        mcu_.schedule(tx_done_, mcu_.now() + char_cycles());
    } else {
        shifting_ = false;
        tc_ = true;
    }
    update_irq();
}

bool Usart::receive(uint8_t byte)
{
    if (!clocked() || !(cr1_ & kUe) || !(cr1_ & kRe)) return false;
    if (rxne_) ore_ = true;   // overrun: the byte in the data register stays
    else {
        rdr_ = byte;
        rxne_ = true;
    }
    update_irq();
    return true;
}

bool Usart::read(uint32_t off, uint32_t &v)
{
    if (!clocked()) {
        v = 0;
        return true;
    }
    switch (off) {
    case REG_OFFSET(USART_TypeDef, SR):
        v = (txe_ ? kTxe : 0) | (tc_ ? kTc : 0) | (rxne_ ? kRxne : 0) | (ore_ ? kOre : 0);
        break;
    case REG_OFFSET(USART_TypeDef, DR):
        v = rdr_;
        rxne_ = false;
        ore_ = false;
        update_irq();
        break;
    case REG_OFFSET(USART_TypeDef, BRR): v = brr_; break;
    case REG_OFFSET(USART_TypeDef, CR1): v = cr1_; break;
    case REG_OFFSET(USART_TypeDef, CR2): v = cr2_; break;
    case REG_OFFSET(USART_TypeDef, CR3): v = cr3_; break;
    default: v = gtpr_; break;
    }
    return true;
}

bool Usart::write(uint32_t off, uint32_t v)
{
    if (!clocked()) return true;
    switch (off) {
    case REG_OFFSET(USART_TypeDef, SR):
        if (!(v & kRxne)) rxne_ = false;   // flags clear by writing 0
        if (!(v & kTc)) tc_ = false;
        break;
    case REG_OFFSET(USART_TypeDef, DR): {
        if (!(cr1_ & kUe)) break;
        uint8_t b = v & 0xFF;
        if (!(cr1_ & kTe)) {   // transmitter off: the byte waits
            tdr_ = b;
            txe_ = false;
            break;
        }
        if (!shifting_) {
            shift_ = b;
            shifting_ = true;
            tc_ = false;
            if (!tx_stuck) mcu_.schedule(tx_done_, mcu_.now() + char_cycles());
        } else {
            tdr_ = b;
            tdr_full_ = true;
            txe_ = false;
        }
        break;
    }
    case REG_OFFSET(USART_TypeDef, BRR): brr_ = v & 0xFFFF; break;
    case REG_OFFSET(USART_TypeDef, CR1): cr1_ = v & 0x3FFF; break;
    case REG_OFFSET(USART_TypeDef, CR2): cr2_ = v & 0x7F7F; break;
    case REG_OFFSET(USART_TypeDef, CR3): cr3_ = v & 0x7FF; break;
    default: gtpr_ = v & 0xFFFF; break;
    }
    update_irq();
    return true;
}

}  // namespace sim
