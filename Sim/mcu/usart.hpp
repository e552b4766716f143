// A USART in asynchronous mode: baud rate from BRR on its bus clock, a
// transmit data register behind the shift register (TXE, TC), one received
// byte in the data register (RXNE, overrun) and the interrupt line. Bytes
// leave to the board one character time after they start.
#pragma once
#include "mcu/peripheral.hpp"

namespace sim {

class Usart final : public Peripheral {
public:
    Usart(Mcu &mcu, int number);   // USART1 or USART2
    void reset() override;
    bool read(uint32_t off, uint32_t &v) override;
    bool write(uint32_t off, uint32_t v) override;
    void archive(StateArchive &a) override
    {
        a(tx_done_, brr_, cr1_, cr2_, cr3_, gtpr_, txe_, tc_, rxne_, ore_, shifting_, tdr_full_, tdr_, shift_, rdr_);
    }

    // A byte arrives on RX. Returns false if the receiver is off.
    bool receive(uint8_t byte);
    Cycles char_cycles() const;   // one frame of start, data and stop bits
    // The rate set by BRR on the port's bus clock, in baud; 0 while the
    // port is unclocked or disabled.
    double baud() const;
    bool tx_stuck = false;        // test harness: the first byte never leaves the shift register

private:
    bool clocked() const;
    uint32_t pclk() const;
    void update_irq();
    void on_tx_done();
    int number_, irq_;
    bool apb2_;
    uint32_t enable_bit_;
    Event tx_done_;
    uint32_t brr_ = 0, cr1_ = 0, cr2_ = 0, cr3_ = 0, gtpr_ = 0;
    bool txe_ = true, tc_ = true, rxne_ = false, ore_ = false, shifting_ = false, tdr_full_ = false;
    uint8_t tdr_ = 0, shift_ = 0, rdr_ = 0;
};

}  // namespace sim
