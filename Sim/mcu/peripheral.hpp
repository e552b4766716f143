// A register model on the bus of the virtual MCU. Each model declares itself
// by being a member of the Mcu (mcu.hpp); its constructor registers its
// address window with the bus decoder, and the Mcu resets it at power-on.
// Windows and register offsets come from the device header's blocks, which
// only the models' sources include (its register names are short macros
// elsewhere: CR1 is also a terminal flag of <termios.h>).
#pragma once
#include <cstddef>
#include <cstdint>

#include "mcu/event.hpp"

// Offset of a register in its device-header block, e.g. REG_OFFSET(SPI_TypeDef, DR).
#define REG_OFFSET(type, member) static_cast<uint32_t>(offsetof(type, member))

namespace sim {

class Peripheral {
public:
    Peripheral(Mcu &mcu, uint32_t base, uint32_t size);
    virtual ~Peripheral() = default;
    Peripheral(const Peripheral &) = delete;
    Peripheral &operator=(const Peripheral &) = delete;

    virtual void reset() = 0;
    // A word at a word-aligned offset of the window; false: not modelled.
    virtual bool read(uint32_t offset, uint32_t &value) = 0;
    virtual bool write(uint32_t offset, uint32_t value) = 0;
    // A byte or halfword write. On the peripheral buses the AHB-to-APB bridge
    // repeats the data on every byte lane and the register takes the word.
    virtual bool write_narrow(uint32_t offset, uint32_t value, int size);

    const uint32_t base, size;

protected:
    Mcu &mcu_;
};

// 72 MHz core cycles per cycle of a clock of hz.
constexpr Cycles core_cycles_per_tick(uint32_t hz) { return hz >= kCoreHz ? 1 : kCoreHz / hz; }

}  // namespace sim
