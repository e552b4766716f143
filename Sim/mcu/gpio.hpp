// A GPIO port: pin modes (CRL, CRH), input and output data, bit set/reset,
// lock. The board can drive a pin from outside; the port tells the board
// whenever a pin's drive changes.
#pragma once
#include <array>

#include "mcu/board_io.hpp"
#include "mcu/peripheral.hpp"

namespace sim {

class Gpio final : public Peripheral {
public:
    Gpio(Mcu &mcu, int port);   // 0 = GPIOA, 1 = GPIOB, ...
    void reset() override;
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    void archive(StateArchive &a) override
    {
        a(crl_, crh_, odr_, lckr_, driven_, high_, reads_, reads_latch_, reads_high_, reported_);
    }

    // Drive a pin from outside: 0 or 1, or -1 to release it.
    void drive(int pin, int level);
    uint32_t idr() const;
    uint32_t odr() const { return odr_; }
    uint32_t mode_field(int pin) const { return (pin < 8 ? crl_ >> (4 * pin) : crh_ >> (4 * (pin - 8))) & 0xF; }
    bool output_level(int pin) const { return (odr_ >> pin) & 1; }
    PinDrive pin_drive(int pin) const;
    // Tells the board of every pin (of those in the mask) whose drive differs
    // from what it was last told.
    void report_pins(uint32_t mask = 0xFFFF);

private:
    bool clocked() const;
    void set_odr(uint32_t v);
    void set_modes(uint32_t crl, uint32_t crh);
    int port_;
    uint32_t crl_ = 0x44444444, crh_ = 0x44444444, odr_ = 0, lckr_ = 0;
    uint32_t driven_ = 0, high_ = 0;   // pins driven from outside, and of those the ones driven high
    // From the modes, what a pin reads: its line at all (not analog or
    // reserved), and with nobody outside driving it, its latch (an output, a
    // pull-up or pull-down) or 1 (a floating input).
    uint32_t reads_ = 0, reads_latch_ = 0, reads_high_ = 0;
    std::array<PinDrive, 16> reported_{};
};

}  // namespace sim
