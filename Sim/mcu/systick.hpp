// The core's SysTick timer: 24-bit reload, counter, COUNTFLAG, and the
// SysTick exception, on HCLK or HCLK/8.
#pragma once
#include "mcu/peripheral.hpp"

namespace sim {

class SysTickTimer final : public Peripheral {
public:
    explicit SysTickTimer(Mcu &mcu);
    void reset() override;
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    bool write_narrow(uint32_t off, uint32_t v, int size) override;

private:
    Cycles cycles_per_count() const;
    void restart();
    void on_wrap();
    Event wrap_;
    uint32_t csr_ = 0, rvr_ = 0;
    Cycles base_time_ = 0;   // when the counter last reloaded
};

}  // namespace sim
