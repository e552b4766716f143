// Reset and clock control: oscillator and PLL enables with their ready
// flags, the clock tree's selection and prescalers, and the peripheral clock
// enables.
#pragma once
#include "mcu/peripheral.hpp"

namespace sim {

class Rcc final : public Peripheral {
public:
    explicit Rcc(Mcu &mcu);
    void reset() override;
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    void archive(StateArchive &a) override { a(hclk_, cr_, cfgr_, apb2enr_, apb1enr_, ahbenr_, cir_, bdcr_, csr_); }

    uint32_t sysclk() const;
    uint32_t hclk() const { return hclk_; }
    uint32_t pclk1() const;
    uint32_t pclk2() const;
    uint32_t tim_apb1_clk() const;   // TIM2..TIM4 counter clock
    uint32_t adcclk() const;
    bool apb2_on(uint32_t bit) const { return (apb2enr_ >> bit) & 1; }
    bool apb1_on(uint32_t bit) const { return (apb1enr_ >> bit) & 1; }
    bool hse_fails = false;   // test harness: the crystal never starts (HSERDY stays clear)

private:
    int ahb_shift() const;
    uint32_t hclk_ = 8'000'000;   // follows CFGR
    uint32_t cr_ = 0, cfgr_ = 0, apb2enr_ = 0, apb1enr_ = 0, ahbenr_ = 0, cir_ = 0, bdcr_ = 0, csr_ = 0;
};

}  // namespace sim
