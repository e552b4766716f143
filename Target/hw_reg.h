// Register primitive of the chip build: a register is a volatile 32-bit word
// at its bus address, so every access compiles to a single load or store.
#pragma once
#include <stdint.h>

typedef volatile uint32_t hw_reg;

#define HW_REG(addr) (*reinterpret_cast<hw_reg *>(static_cast<uintptr_t>(addr)))
#define HW_BLOCK(type, addr) (reinterpret_cast<type *>(static_cast<uintptr_t>(addr)))   // NOLINT(bugprone-macro-parentheses): a type
