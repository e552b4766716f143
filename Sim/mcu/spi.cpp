#include "mcu/spi.hpp"

#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

namespace sim {

namespace {
constexpr uint32_t kMaster = 1u << 2, kSpe = 1u << 6, kDff16 = 1u << 11;                 // CR1
constexpr uint32_t kRxne = 1u << 0, kTxe = 1u << 1, kOvr = 1u << 6, kBsy = 1u << 7;    // SR
constexpr uint32_t kSpi1Enable = 12;                                                   // in APB2ENR

uint32_t spi_base(int number)
{
    if (number != 1) fail("SPI" + std::to_string(number) + " is not modelled");
    return SPI1_BASE;
}
}  // namespace

Spi::Spi(Mcu &mcu, int number)
    : Peripheral(mcu, spi_base(number), sizeof(SPI_TypeDef)), number_(number), done_(mcu, [this] { on_frame_done(); })
{
}

void Spi::reset()
{
    cr1_ = cr2_ = 0;
    crcpr_ = 7;
    tx_full_ = busy_ = rxne_ = ovr_ = false;
    tx_buf_ = shifting_ = rx_ = 0;
    txe_stuck = rxne_stuck = bsy_stuck = false;
    sent.clear();
}

bool Spi::clocked() const { return mcu_.rcc.apb2_on(kSpi1Enable); }

Cycles Spi::frame_cycles() const
{
    uint32_t bits = (cr1_ & kDff16) ? 16 : 8;
    uint32_t div = 2u << ((cr1_ >> 3) & 7);
    return static_cast<Cycles>(bits) * div * core_cycles_per_tick(mcu_.rcc.pclk2());
}

uint32_t Spi::sr() const
{
    uint32_t v = 0;
    if (rxne_ && !rxne_stuck) v |= kRxne;
    if (!tx_full_ && !txe_stuck) v |= kTxe;
    if (ovr_) v |= kOvr;
    if (busy_ || bsy_stuck) v |= kBsy;
    return v;
}

void Spi::start_frame(uint16_t word)
{
    busy_ = true;
    shifting_ = word;
    if (keep_sent) sent.push_back(word);
    mcu_.io().spi_frame_begins(number_);
    mcu_.schedule(done_, mcu_.now() + frame_cycles());
}

void Spi::on_frame_done()
{
    uint16_t miso = mcu_.io().spi_frame(number_, shifting_, cr1_);
    if (!(cr1_ & kDff16)) miso &= 0xFF;
    if (rxne_) ovr_ = true;   // the unread word stays, the new one is lost
    else { rx_ = miso; rxne_ = true; }
    busy_ = false;
    if (tx_full_) {
        tx_full_ = false;
        start_frame(tx_buf_);
    }
}

bool Spi::read(uint32_t off, uint32_t &v)
{
    switch (off) {
    case REG_OFFSET(SPI_TypeDef, CR1): v = cr1_; break;
    case REG_OFFSET(SPI_TypeDef, CR2): v = cr2_; break;
    case REG_OFFSET(SPI_TypeDef, SR): v = sr(); break;
    case REG_OFFSET(SPI_TypeDef, DR):
        v = rx_;
        if (clocked()) rxne_ = ovr_ = false;
        break;
    case REG_OFFSET(SPI_TypeDef, CRCPR): v = crcpr_; break;
    case REG_OFFSET(SPI_TypeDef, RXCRCR): case REG_OFFSET(SPI_TypeDef, TXCRCR): v = 0; break;
    default: return false;
    }
    if (!clocked()) v = 0;
    return true;
}

bool Spi::write(uint32_t off, uint32_t v)
{
    if (off > REG_OFFSET(SPI_TypeDef, TXCRCR)) return false;
    if (!clocked()) return true;
    switch (off) {
    case REG_OFFSET(SPI_TypeDef, CR1): cr1_ = v & 0xFFFF; break;
    case REG_OFFSET(SPI_TypeDef, CR2): cr2_ = v & 0xF7; break;
    case REG_OFFSET(SPI_TypeDef, DR): {
        uint16_t word = (cr1_ & kDff16) ? v & 0xFFFF : v & 0xFF;
        if ((cr1_ & kSpe) && (cr1_ & kMaster) && !busy_) start_frame(word);   // straight into the shift register
        else { tx_buf_ = word; tx_full_ = true; }
        break;
    }
    case REG_OFFSET(SPI_TypeDef, CRCPR): crcpr_ = v & 0xFFFF; break;
    default: break;
    }
    return true;
}

}  // namespace sim
