// A stand-in for the peripherals of the chip image on the emulated core:
// registers keep what is written, and read back with just enough life for
// the bring-up and the boot messages (ready bits follow their enables,
// transmitters are always empty, conversions and frames are finished at
// once). No time-dependent behaviour, no interrupts.
#pragma once
#include <map>
#include <string>
#include <vector>

#include "cpu/arm_core.hpp"

struct StubPort : sim::cpu::ArmPort {
    std::map<uint32_t, uint32_t> regs;
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    std::string usart1;
    std::vector<sim::cpu::Fault> faults;
    bool log_writes = true;

    uint32_t bus_read(uint32_t addr, unsigned, uint64_t) override
    {
        const uint32_t v = regs[addr];
        switch (addr) {
        case 0x40021000: return v | (v & 0x01010000u) << 1;     // RCC CR: HSERDY, PLLRDY follow the enables
        case 0x40021004: return v | (v & 3u) << 2;              // RCC CFGR: SWS follows SW
        case 0x40012408: return v & ~0xCu;                      // ADC CR2: calibration done at once
        case 0x40012400: return 0x2;                            // ADC SR: EOC
        case 0x4001244C: return 2035;                           // ADC DR
        case 0x40013800: case 0x40004400: return 0xC0;          // USART SR: TXE, TC
        case 0x40013008: return 0x3;                            // SPI SR: TXE, RXNE
        case 0x40010C08: case 0x40011008: return 0xFFFF;        // GPIOB, GPIOC IDR: pulled up
        default: return v;
        }
    }
    void bus_write(uint32_t addr, uint32_t value, unsigned, uint64_t) override
    {
        regs[addr] = value;
        if (log_writes) writes.push_back({addr, value});
        if (addr == 0x40013804) usart1 += static_cast<char>(value);
    }
    int exception_return(int, uint64_t) override { return 0; }
    void fault(const sim::cpu::Fault &f) override { faults.push_back(f); }
};
