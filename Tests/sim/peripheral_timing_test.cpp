// Flag timing of the peripheral models, driven through the registers as the
// firmware drives them.
#include <gtest/gtest.h>

#include "board.hpp"
#include "main.h"

namespace {

// Reads a status register until a flag reaches the wanted level; returns the
// virtual time that took, in core cycles.
sim::Cycles time_until(sim::Mcu &m, hw_reg &reg, uint32_t mask, bool set)
{
    sim::Cycles t0 = m.now();
    for (int i = 0; i < 100000 && (((reg & mask) != 0) != set); ++i) {}
    return m.now() - t0;
}

void clocks_72mhz()
{
    RCC->CR = RCC->CR | (1u << 16);
    RCC->CFGR = 0x001D8400;
    RCC->CR = RCC->CR | (1u << 24);
    RCC->CFGR = 0x001D8402;
}

}  // namespace

// Faults caught: a wrong clock tree, conversion, frame or character time.
TEST(PeripheralTiming, FlagsComeUpAfterTheConfiguredTime)
{
    sim::Board b;
    sim::Mcu &m = b.mcu;
    clocks_72mhz();
    EXPECT_EQ(m.rcc.sysclk(), 72000000u);
    EXPECT_EQ(m.rcc.pclk1(), 36000000u);
    EXPECT_EQ(m.rcc.adcclk(), 12000000u);
    RCC->APB2ENR = 0x1C | 0x200 | 0x1000 | 0x4000;

    A1_SMPR2 = 0xFFF;
    A1_CR2 = 0x001E0001;
    A1_CR2 = 0x005E0001;   // SWSTART
    EXPECT_NEAR(double(time_until(m, A1_SR, 2, true)), 1512.0, 2 * sim::kAccessCycles);
    (void)static_cast<uint32_t>(A1_DR);
    EXPECT_EQ(A1_SR & 2, 0u) << "reading DR clears EOC";

    SPI1->CR1 = 0x0B6F;
    SPI1->DR = 0;
    EXPECT_TRUE(SPI1->SR & 2) << "the first word goes straight to the shift register";
    EXPECT_NEAR(double(time_until(m, SPI1->SR, 1, true)), 1024.0, 3 * sim::kAccessCycles);
    EXPECT_EQ(SPI1->SR & 0x80, 0u) << "BSY drops with the frame";

    U1_BRR = 0x271;
    U1_CR1 = 0x200C;
    U1_DR = 'a';
    U1_DR = 'b';
    EXPECT_EQ(U1_SR & 0x80, 0u) << "second byte waits in the data register";
    EXPECT_NEAR(double(time_until(m, U1_SR, 0x80, true)), 6250.0, 3 * sim::kAccessCycles);
    EXPECT_EQ(b.output(1), "a");
}

// Faults caught: a reload that is not 16 bits wide, a prescaler that applies
// before the next update, a counter that stops or resets on a reload write.
TEST(PeripheralTiming, ControlTimerReloadAndPreloadedPrescaler)
{
    sim::Board b;
    sim::Mcu &m = b.mcu;
    clocks_72mhz();
    RCC->APB1ENR = 1;
    T2_ARR = 71999;
    EXPECT_EQ(T2_ARR, 71999u & 0xFFFF);
    T2_ARR = 17999;
    T2_CR1 = 1;
    EXPECT_EQ(m.tim2.update_period(), 18000u);
    T2_PSC = 1;                         // takes effect at the next update
    EXPECT_EQ(m.tim2.update_period(), 18000u);
    m.advance_to(m.now() + 18000);
    EXPECT_EQ(T2_SR & 1, 1u);
    EXPECT_EQ(m.tim2.update_period(), 36000u);
    hw_reg &t2_cnt = HW_REG(0x40000024UL);
    uint32_t before = t2_cnt;
    T2_ARR = 35999;
    EXPECT_GE(uint32_t(t2_cnt), before) << "a reload write neither stops nor resets the counter";
}
