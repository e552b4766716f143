// SPI1 as a master: frames of 8 or 16 bits shifted at PCLK2 / 2^(BR+1) with
// BSY, TXE and RXNE timing, a transmit buffer behind the shift register and
// overrun. The frames go to whatever slave the board connects; which slave
// listens is the board's business (its chip select is a GPIO).
#pragma once
#include <vector>

#include "mcu/peripheral.hpp"

namespace sim {

class Spi final : public Peripheral {
public:
    Spi(Mcu &mcu, int number);   // SPI1
    void reset() override;
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    void archive(StateArchive &a) override
    {
        a(txe_stuck, rxne_stuck, sent, done_, cr1_, cr2_, crcpr_, tx_full_, busy_, rxne_, ovr_, tx_buf_, shifting_, rx_);
    }

    Cycles frame_cycles() const;
    uint32_t cr1() const { return cr1_; }
    // Test harness: TXE or RXNE stop coming up, BSY stays up.
    bool txe_stuck = false;
    bool rxne_stuck = false;
    bool bsy_stuck = false;
    std::vector<uint16_t> sent;   // every frame shifted out while keep_sent, for tests
    bool keep_sent = true;        // a long run turns it off: it grows by a frame per control tick

private:
    bool clocked() const;
    uint32_t sr() const;
    void start_frame(uint16_t word);
    void on_frame_done();
    int number_;
    Event done_;
    uint32_t cr1_ = 0, cr2_ = 0, crcpr_ = 7;
    bool tx_full_ = false, busy_ = false, rxne_ = false, ovr_ = false;
    uint16_t tx_buf_ = 0, shifting_ = 0, rx_ = 0;
};

}  // namespace sim
