// The host side of the register primitive: a shadow image of the peripheral
// address space whose cells stand for the registers, and the calls that take
// an access from a cell to the native CPU of the virtual board.
#include <cstdio>

#include "cpu/native_cpu.hpp"
#include "hw_reg.h"
#include "stm32f1xx.h"

namespace {
constexpr uint32_t kPeriphBase = PERIPH_BASE, kPeriphSize = 0x30000;   // APB1, APB2, AHB
constexpr uint32_t kPpbBase = SCS_BASE, kPpbSize = 0x1000;             // SysTick, NVIC, SCB
hw_reg g_periph[kPeriphSize / 4];
hw_reg g_ppb[kPpbSize / 4];

uint32_t address_of(const void *reg)
{
    auto p = static_cast<const hw_reg *>(reg);
    if (p >= g_periph && p < g_periph + kPeriphSize / 4) return kPeriphBase + 4 * static_cast<uint32_t>(p - g_periph);
    if (p >= g_ppb && p < g_ppb + kPpbSize / 4) return kPpbBase + 4 * static_cast<uint32_t>(p - g_ppb);
    sim::fail("register access through a pointer outside the peripheral space");
}
}  // namespace

hw_reg &sim_reg_at(uint32_t addr)
{
    if (addr % 4 != 0) sim::fail("unaligned register address");
    if (addr >= kPeriphBase && addr - kPeriphBase < kPeriphSize) return g_periph[(addr - kPeriphBase) / 4];
    if (addr >= kPpbBase && addr - kPpbBase < kPpbSize) return g_ppb[(addr - kPpbBase) / 4];
    char b[80];
    std::snprintf(b, sizeof b, "address 0x%08X is outside the modelled peripheral space", addr);
    sim::fail(b);
}

uint32_t sim_reg_read(const void *reg) { return sim::NativeCpu::active().read32(address_of(reg)); }
void sim_reg_write(void *reg, uint32_t value) { sim::NativeCpu::active().write32(address_of(reg), value); }
