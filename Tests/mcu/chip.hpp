// A bare virtual MCU driven through its bus, as a CPU would drive it, with
// register addresses from the device header.
#pragma once
#include <gtest/gtest.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "cpu/cpu.hpp"
#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

#define REG(block, type, reg) (block##_BASE + static_cast<uint32_t>(offsetof(type, reg)))

struct Chip {
    sim::Mcu m;
    uint32_t rd(uint32_t addr, int size = 4) { return m.bus_read(addr, size); }
    void wr(uint32_t addr, uint32_t v, int size = 4) { m.bus_write(addr, v, size); }

    // HSE, PLL x9 and the bus prescalers of the firmware: 72 MHz core.
    void clocks_72mhz()
    {
        wr(REG(RCC, RCC_TypeDef, CR), rd(REG(RCC, RCC_TypeDef, CR)) | 1u << 16);
        wr(REG(RCC, RCC_TypeDef, CFGR), 0x001D8400);
        wr(REG(RCC, RCC_TypeDef, CR), rd(REG(RCC, RCC_TypeDef, CR)) | 1u << 24);
        wr(REG(RCC, RCC_TypeDef, CFGR), 0x001D8402);
    }
};

// A CPU that only records the exceptions it is given; `body` runs as the
// handler of each, then the exception returns.
struct RecordingCpu : sim::Cpu {
    explicit RecordingCpu(sim::Mcu &mcu) : m(mcu) {}
    const char *name() const override { return "recording"; }
    void reset() override { taken.clear(); }
    void run_until(sim::Cycles t) override
    {
        m.advance_to(t);
        m.nvic.dispatch(*this);
    }
    void take_exception(int n) override
    {
        taken.push_back(n);
        if (body) body(n);
        m.nvic.leave(n);
        taken.push_back(-n);
    }
    bool read_symbol(std::string_view, void *, size_t) override { return false; }
    bool write_symbol(std::string_view, const void *, size_t) override { return false; }

    sim::Mcu &m;
    std::vector<int> taken;   // n at entry, -n at return
    std::function<void(int)> body;
};
