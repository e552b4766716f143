// Register primitive of the host build: a register is a proxy object living in
// a shadow image of the peripheral address space. Its own address tells which
// bus address it stands for; every read and write goes to the virtual MCU,
// which runs the peripheral's model and lets virtual time advance.
// Compound assignments are read-modify-writes, as on the chip. A read whose
// value is thrown away must say so, (void)static_cast<uint32_t>(reg): a bare
// `reg;` reads a volatile word on the chip but is no access to a proxy.
#pragma once
#include <stdint.h>

uint32_t sim_reg_read(const void *reg);
void sim_reg_write(void *reg, uint32_t value);
struct hw_reg;
hw_reg &sim_reg_at(uint32_t addr);

struct hw_reg {
    uint32_t slot_;  // keeps the 4-byte layout of the register blocks; never used

    operator uint32_t() const { return sim_reg_read(this); }
    hw_reg &operator=(uint32_t v) { sim_reg_write(this, v); return *this; }
    // One register copied to another: a read, then a write, as on the chip,
    // also when both are the same register.
    hw_reg &operator=(const hw_reg &o) { return *this = static_cast<uint32_t>(o); }   // NOLINT(cert-oop54-cpp)
    hw_reg &operator|=(uint32_t v) { return *this = sim_reg_read(this) | v; }
    hw_reg &operator&=(uint32_t v) { return *this = sim_reg_read(this) & v; }
    hw_reg &operator^=(uint32_t v) { return *this = sim_reg_read(this) ^ v; }
};

#define HW_REG(addr) (sim_reg_at(addr))
#define HW_BLOCK(type, addr) (reinterpret_cast<type *>(&sim_reg_at(addr)))   // NOLINT(bugprone-macro-parentheses): a type
