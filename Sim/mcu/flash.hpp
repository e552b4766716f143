// The flash interface: the access control register (latency, half cycle,
// prefetch enable and its status). Programming is not modelled.
#pragma once
#include "mcu/peripheral.hpp"

namespace sim {

class FlashInterface final : public Peripheral {
public:
    explicit FlashInterface(Mcu &mcu);
    void reset() override { acr_ = 0x30; }   // prefetch on and enabled, zero wait states
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    uint32_t acr() const { return acr_; }

private:
    uint32_t acr_ = 0x30;
};

}  // namespace sim
