#include "mcu/flash.hpp"

#include "stm32f1xx.h"

namespace sim {

namespace {
constexpr uint32_t kPrefetchEnable = 1u << 4;   // PRFTBS (bit 5) follows it
}

FlashInterface::FlashInterface(Mcu &mcu) : Peripheral(mcu, FLASH_R_BASE, sizeof(FLASH_TypeDef)) {}

bool FlashInterface::read(uint32_t off, uint32_t &v)
{
    if (off != REG_OFFSET(FLASH_TypeDef, ACR)) return false;
    v = acr_;
    return true;
}

bool FlashInterface::write(uint32_t off, uint32_t v)
{
    if (off != REG_OFFSET(FLASH_TypeDef, ACR)) return false;
    acr_ = (v & 0x1F) | ((v & kPrefetchEnable) << 1);
    return true;
}

}  // namespace sim
