#include "mcu/rcc.hpp"

#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

namespace sim {

namespace {
constexpr uint32_t kHsiOn = 1u << 0, kHsiReady = 1u << 1, kHseOn = 1u << 16, kHseReady = 1u << 17;
constexpr uint32_t kPllOn = 1u << 24, kPllReady = 1u << 25;
constexpr uint32_t kPllSourceHse = 1u << 16, kPllHseHalved = 1u << 17;
constexpr uint32_t kPllSettings = 0x003F0000u;   // PLLSRC, PLLXTPRE, PLLMUL
}  // namespace

Rcc::Rcc(Mcu &mcu) : Peripheral(mcu, RCC_BASE, sizeof(RCC_TypeDef)) {}

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
    hse_fails = false;
    hclk_ = sysclk() >> ahb_shift();
}

bool Rcc::read(uint32_t off, uint32_t &v)
{
    switch (off) {
    case REG_OFFSET(RCC_TypeDef, CR): v = cr_; return true;
    case REG_OFFSET(RCC_TypeDef, CFGR): v = cfgr_; return true;
    case REG_OFFSET(RCC_TypeDef, CIR): v = cir_; return true;
    case REG_OFFSET(RCC_TypeDef, APB2RSTR): case REG_OFFSET(RCC_TypeDef, APB1RSTR): v = 0; return true;
    case REG_OFFSET(RCC_TypeDef, AHBENR): v = ahbenr_; return true;
    case REG_OFFSET(RCC_TypeDef, APB2ENR): v = apb2enr_; return true;
    case REG_OFFSET(RCC_TypeDef, APB1ENR): v = apb1enr_; return true;
    case REG_OFFSET(RCC_TypeDef, BDCR): v = bdcr_; return true;
    case REG_OFFSET(RCC_TypeDef, CSR): v = csr_; return true;
    default: return false;
    }
}

bool Rcc::write(uint32_t off, uint32_t v)
{
    switch (off) {
    case REG_OFFSET(RCC_TypeDef, CR): {
        // Ready flags follow their enables; the PLL locks only on a running source.
        uint32_t w = v & (kHsiOn | (0x1Fu << 3) | kHseOn | (1u << 18) | (1u << 19) | kPllOn);
        w |= cr_ & (0xFFu << 8);   // calibration, read-only
        if (w & kHsiOn) w |= kHsiReady;
        if ((w & kHseOn) && !hse_fails) w |= kHseReady;
        bool pll_src_ready = (cfgr_ & kPllSourceHse) ? (w & kHseReady) != 0 : (w & kHsiReady) != 0;
        if ((w & kPllOn) && pll_src_ready) w |= kPllReady;
        cr_ = w;
        break;
    }
    case REG_OFFSET(RCC_TypeDef, CFGR): {
        uint32_t w = v & 0x07FFFFF3u;
        if (cr_ & kPllOn) w = (w & ~kPllSettings) | (cfgr_ & kPllSettings);   // locked while the PLL runs
        uint32_t sw = w & 3;
        bool ready = sw == 0 ? (cr_ & kHsiReady) != 0 : sw == 1 ? (cr_ & kHseReady) != 0 : sw == 2 ? (cr_ & kPllReady) != 0 : false;
        uint32_t sws = ready ? sw : (cfgr_ >> 2) & 3;
        cfgr_ = w | (sws << 2);
        hclk_ = sysclk() >> ahb_shift();
        break;
    }
    case REG_OFFSET(RCC_TypeDef, CIR): cir_ = v & 0x00001F00u; break;
    case REG_OFFSET(RCC_TypeDef, APB2RSTR): case REG_OFFSET(RCC_TypeDef, APB1RSTR): break;
    case REG_OFFSET(RCC_TypeDef, AHBENR): ahbenr_ = v & 0x557; break;
    case REG_OFFSET(RCC_TypeDef, APB2ENR): apb2enr_ = v & 0x0038FFFDu; break;
    case REG_OFFSET(RCC_TypeDef, APB1ENR): apb1enr_ = v & 0x3AFEC9FFu; break;
    case REG_OFFSET(RCC_TypeDef, BDCR): bdcr_ = v; break;
    case REG_OFFSET(RCC_TypeDef, CSR): csr_ = (csr_ & 0xFC000000u) | (v & 1); break;
    default: return false;
    }
    mcu_.clocks_changed();
    return true;
}

uint32_t Rcc::sysclk() const
{
    switch ((cfgr_ >> 2) & 3) {
    case 1: return 8'000'000;
    case 2: {
        uint32_t mul = ((cfgr_ >> 18) & 0xF) + 2;
        if (mul > 16) mul = 16;
        uint32_t src = (cfgr_ & kPllSourceHse) ? ((cfgr_ & kPllHseHalved) ? 4'000'000 : 8'000'000) : 4'000'000;
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

}  // namespace sim
