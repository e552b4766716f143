// What the chip tells the board around it: pin drives with their values,
// converter inputs by pin, SPI frames and serial bytes.
#include <string>

#include "chip.hpp"

namespace {

// Writes down every call of the chip into the board.
struct RecordingIo : sim::BoardIo {
    std::string log;
    float volts = 0.0f;
    void pin_changed(sim::Pin p, sim::PinDrive d) override
    {
        log += std::string("P") + char('A' + p.port) + std::to_string(p.index) + "=" +
               (d.driven ? std::to_string(static_cast<int>(d.level * 1000)) : std::string("in")) + " ";
    }
    float pin_volts(sim::Pin p) override
    {
        log += std::string("adc P") + char('A' + p.port) + std::to_string(p.index) + " ";
        return volts;
    }
    void spi_frame_begins(int spi) override { log += "spi" + std::to_string(spi) + " begins "; }
    uint16_t spi_frame(int spi, uint16_t mosi, uint32_t) override
    {
        log += "spi" + std::to_string(spi) + " " + std::to_string(mosi) + " ";
        return 0xA55A;
    }
    void serial_out(int usart, uint8_t b) override { log += "usart" + std::to_string(usart) + " " + char(b) + " "; }
    std::string take() { return std::exchange(log, ""); }
};

}  // namespace

// Faults caught: a pin change the board is not told of; a drive with a stale
// value (a compare not reaching the PWM pin as its duty, an ODR level); a
// report for a pin that did not change; a chip-select change that moves
// another pin.
TEST(BoardIo, PinDrivesTravelWithTheirValues)
{
    Chip c;
    RecordingIo io;
    c.m.set_io(&io);
    c.clocks_72mhz();
    c.wr(REG(RCC, RCC_TypeDef, APB2ENR), 0x1C);
    c.wr(REG(RCC, RCC_TypeDef, APB1ENR), 0x4);   // TIM4
    io.take();
    const uint32_t odr_a = REG(GPIOA, GPIO_TypeDef, ODR);
    const struct { const char *step; uint32_t addr, value; const char *told; } steps[] = {
        {"PA4 and PA8 outputs", REG(GPIOA, GPIO_TypeDef, CRL), 0x44434444, "PA4=0 "},
        {"PA8 output", REG(GPIOA, GPIO_TypeDef, CRH), 0x44444443, "PA8=0 "},
        {"PA4 high", REG(GPIOA, GPIO_TypeDef, BSRR), 1u << 4, "PA4=1000 "},
        {"PA4 high again", REG(GPIOA, GPIO_TypeDef, BSRR), 1u << 4, ""},
        {"PA8 high, PA4 low", odr_a, 1u << 8, "PA4=0 PA8=1000 "},
        {"PA4 back to an input", REG(GPIOA, GPIO_TypeDef, CRL), 0x44444444, "PA4=in "},
        {"PB6, PB7 timer outputs", REG(GPIOB, GPIO_TypeDef, CRL), 0xBB444444, "PB6=0 PB7=0 "},
        {"PWM mode 1", REG(TIM4, TIM_TypeDef, CCMR1), 0x6060, ""},
        {"outputs on", REG(TIM4, TIM_TypeDef, CCER), 0x0011, ""},
        {"period 1600", REG(TIM4, TIM_TypeDef, ARR), 1599, ""},
        {"counting", REG(TIM4, TIM_TypeDef, CR1), 1, ""},
        {"compare 1", REG(TIM4, TIM_TypeDef, CCR1), 400, "PB6=250 "},
        {"compare 2", REG(TIM4, TIM_TypeDef, CCR2), 1600, "PB7=1000 "},
        {"TIM4 unclocked", REG(RCC, RCC_TypeDef, APB1ENR), 0, "PB6=0 PB7=0 "},
    };
    for (const auto &s : steps) {
        c.wr(s.addr, s.value);
        EXPECT_EQ(io.take(), s.told) << s.step;
    }
}

// Faults caught: a conversion that samples another pin than its channel's
// (or a pin for an internal channel), a frame offered without its start or
// to the wrong bus, an 8-bit frame keeping a 16-bit answer, serial bytes
// reported for the wrong USART.
TEST(BoardIo, ConverterSpiAndSerialGoToTheBoard)
{
    Chip c;
    RecordingIo io;
    c.m.set_io(&io);
    c.clocks_72mhz();
    c.wr(REG(RCC, RCC_TypeDef, APB2ENR), 0x1C | 0x200 | 0x1000);
    c.wr(REG(RCC, RCC_TypeDef, APB1ENR), 1u << 17);   // USART2
    c.wr(REG(ADC1, ADC_TypeDef, CR2), 0x001E0001);
    io.volts = 1.6513f;   // 2049.6 counts
    for (const auto &[channel, pin] : {std::pair{1, "PA1"}, {9, "PB1"}, {12, "PC2"}, {17, ""}}) {
        io.take();
        c.wr(REG(ADC1, ADC_TypeDef, SQR3), channel);
        c.wr(REG(ADC1, ADC_TypeDef, CR2), 0x005E0001);
        c.m.advance_to(c.m.next_due());
        EXPECT_EQ(io.take(), *pin ? std::string("adc ") + pin + " " : "") << channel;
        EXPECT_EQ(c.rd(REG(ADC1, ADC_TypeDef, DR)), *pin ? 2049u : 0u) << channel;
    }

    c.wr(REG(SPI1, SPI_TypeDef, CR1), 0x0B6F);
    c.wr(REG(SPI1, SPI_TypeDef, DR), 0x1234);
    EXPECT_EQ(io.take(), "spi1 begins ");
    c.m.advance_to(c.m.next_due());
    EXPECT_EQ(io.take(), "spi1 4660 ");
    EXPECT_EQ(c.rd(REG(SPI1, SPI_TypeDef, DR)), 0xA55Au);
    c.wr(REG(SPI1, SPI_TypeDef, CR1), 0x036F);   // 8-bit frames
    c.wr(REG(SPI1, SPI_TypeDef, DR), 0x1234);
    c.m.advance_to(c.m.next_due());
    EXPECT_EQ(io.take(), "spi1 begins spi1 52 ");
    EXPECT_EQ(c.rd(REG(SPI1, SPI_TypeDef, DR)), 0x5Au);

    c.wr(REG(USART2, USART_TypeDef, BRR), 0x138);
    c.wr(REG(USART2, USART_TypeDef, CR1), 0x200C);
    c.wr(REG(USART2, USART_TypeDef, DR), 'z');
    c.m.advance_to(c.m.next_due());
    EXPECT_EQ(io.take(), "usart2 z ");
}

// Faults caught: a floating input that reads 0, a pull-up or pull-down that
// ignores its latch, an analog or reserved pin that reads its line, a pin
// driven from outside that reads anything but that drive.
TEST(BoardIo, InputDataFollowsModeLatchAndOutsideDrive)
{
    Chip c;
    c.wr(REG(RCC, RCC_TypeDef, APB2ENR), 0x1C);
    // PA0 analog, PA1 floating, PA2 pull-up/down, PA3 output, PA4 reserved input mode.
    c.wr(REG(GPIOA, GPIO_TypeDef, CRL), 0x000C2840);
    const struct { uint32_t latch; int drive; uint32_t idr; } rows[] = {
        {0x00, -1, 0b00010}, {0x1F, -1, 0b01110},   // undriven: floating reads 1, pulls and output their latch
        {0x00, 1, 0b01110}, {0x1F, 0, 0b00000},      // driven from outside: the drive, where the pin reads at all
    };
    for (const auto &r : rows) {
        c.wr(REG(GPIOA, GPIO_TypeDef, ODR), r.latch);
        for (int pin = 0; pin < 5; ++pin) c.m.gpioa.drive(pin, r.drive);
        EXPECT_EQ(c.rd(REG(GPIOA, GPIO_TypeDef, IDR)) & 0x1F, r.idr) << "latch " << r.latch << ", drive " << r.drive;
    }
}
