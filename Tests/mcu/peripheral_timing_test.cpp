// Flag timing of the peripheral models, driven through the bus as the
// firmware drives them.
#include "chip.hpp"

namespace {

// Lets time run event by event until a flag reaches the wanted level; returns
// the virtual time that took, in core cycles.
sim::Cycles time_until(Chip &c, uint32_t reg, uint32_t mask, bool set)
{
    const sim::Cycles t0 = c.m.now();
    while (((c.rd(reg) & mask) != 0) != set && c.m.next_due() != sim::kNever) c.m.advance_to(c.m.next_due());
    return c.m.now() - t0;
}

}  // namespace

// Faults caught: a wrong clock tree, conversion, frame or character time.
TEST(PeripheralTiming, FlagsComeUpAfterTheConfiguredTime)
{
    Chip c;
    c.clocks_72mhz();
    EXPECT_EQ(c.m.rcc.sysclk(), 72000000u);
    EXPECT_EQ(c.m.rcc.pclk1(), 36000000u);
    EXPECT_EQ(c.m.rcc.adcclk(), 12000000u);
    c.wr(REG(RCC, RCC_TypeDef, APB2ENR), 0x1C | 0x200 | 0x1000 | 0x4000);

    c.wr(REG(ADC1, ADC_TypeDef, SMPR2), 0xFFF);
    c.wr(REG(ADC1, ADC_TypeDef, CR2), 0x001E0001);
    c.wr(REG(ADC1, ADC_TypeDef, CR2), 0x005E0001);   // SWSTART
    EXPECT_EQ(time_until(c, REG(ADC1, ADC_TypeDef, SR), 2, true), 1512u);
    c.rd(REG(ADC1, ADC_TypeDef, DR));
    EXPECT_EQ(c.rd(REG(ADC1, ADC_TypeDef, SR)) & 2, 0u) << "reading DR clears EOC";

    c.wr(REG(SPI1, SPI_TypeDef, CR1), 0x0B6F);
    c.wr(REG(SPI1, SPI_TypeDef, DR), 0);
    EXPECT_TRUE(c.rd(REG(SPI1, SPI_TypeDef, SR)) & 2) << "the first word goes straight to the shift register";
    EXPECT_EQ(time_until(c, REG(SPI1, SPI_TypeDef, SR), 1, true), 1024u);
    EXPECT_EQ(c.rd(REG(SPI1, SPI_TypeDef, SR)) & 0x80, 0u) << "BSY drops with the frame";

    std::string sent;
    struct Line : sim::BoardIo {
        std::string *out;
        void serial_out(int usart, uint8_t b) override { if (usart == 1) out->push_back(static_cast<char>(b)); }
    } line;
    line.out = &sent;
    c.m.set_io(&line);
    c.wr(REG(USART1, USART_TypeDef, BRR), 0x271);
    c.wr(REG(USART1, USART_TypeDef, CR1), 0x200C);
    c.wr(REG(USART1, USART_TypeDef, DR), 'a');
    c.wr(REG(USART1, USART_TypeDef, DR), 'b');
    EXPECT_EQ(c.rd(REG(USART1, USART_TypeDef, SR)) & 0x80, 0u) << "second byte waits in the data register";
    EXPECT_EQ(time_until(c, REG(USART1, USART_TypeDef, SR), 0x80, true), 6250u);
    EXPECT_EQ(sent, "a");
}

// Faults caught: a reload that is not 16 bits wide, a prescaler that applies
// before the next update, a counter that stops or resets on a reload write.
TEST(PeripheralTiming, ControlTimerReloadAndPreloadedPrescaler)
{
    Chip c;
    sim::Mcu &m = c.m;
    c.clocks_72mhz();
    c.wr(REG(RCC, RCC_TypeDef, APB1ENR), 1);
    const uint32_t arr = REG(TIM2, TIM_TypeDef, ARR), cnt = REG(TIM2, TIM_TypeDef, CNT);
    c.wr(arr, 71999);
    EXPECT_EQ(c.rd(arr), 71999u & 0xFFFF);
    c.wr(arr, 17999);
    c.wr(REG(TIM2, TIM_TypeDef, CR1), 1);
    EXPECT_EQ(m.tim2.update_period(), 18000u);
    c.wr(REG(TIM2, TIM_TypeDef, PSC), 1);   // takes effect at the next update
    EXPECT_EQ(m.tim2.update_period(), 18000u);
    m.advance_to(m.now() + 18000);
    EXPECT_EQ(c.rd(REG(TIM2, TIM_TypeDef, SR)) & 1, 1u);
    EXPECT_EQ(m.tim2.update_period(), 36000u);
    m.advance_to(m.now() + 5000);
    const uint32_t before = c.rd(cnt);
    c.wr(arr, 35999);
    EXPECT_EQ(c.rd(cnt), before) << "a reload write neither stops nor resets the counter";
}

// The PWM timer runs without its update interrupt: no event marks its
// updates, which are applied when the timer is next read or written, as
// though each had come at its instant.
// Faults caught: a counter that runs past the reload when no event restarted
// it; an update flag that stays clear; a prescaler preload never applied or
// applied at once; an interrupt enabled after the flag rose that never pends.
TEST(PeripheralTiming, UpdatesWithoutAnEventAreAppliedWhenRead)
{
    Chip c;
    sim::Mcu &m = c.m;
    c.clocks_72mhz();
    c.wr(REG(RCC, RCC_TypeDef, APB1ENR), 1u << 2);
    const uint32_t sr = REG(TIM4, TIM_TypeDef, SR), cnt = REG(TIM4, TIM_TypeDef, CNT);
    c.wr(REG(TIM4, TIM_TypeDef, ARR), 1599);
    c.wr(REG(TIM4, TIM_TypeDef, CR1), 1);
    EXPECT_EQ(m.next_due(), sim::kNever) << "nobody waits for the updates";
    const sim::Cycles start = m.now();
    for (sim::Cycles at : {100ull, 1599ull, 1600ull, 1601ull, 16005ull, 1600ull * 4000 + 77}) {
        m.advance_to(start + at);
        EXPECT_EQ(c.rd(cnt), at % 1600) << at;
        EXPECT_EQ(c.rd(sr) & 1, at >= 1600 ? 1u : 0u) << at;
    }
    c.wr(sr, 0);
    // A preloaded prescaler waits for the next update, then doubles the period.
    c.wr(REG(TIM4, TIM_TypeDef, PSC), 1);
    m.advance_to(start + 1600ull * 4001 - 1);
    EXPECT_EQ(c.rd(cnt), 1599u);
    m.advance_to(start + 1600ull * 4001 + 3000);
    EXPECT_EQ(c.rd(cnt), 1500u) << "two cycles per count after the update";
    EXPECT_EQ(m.tim4.update_period(), 3200u);
    EXPECT_EQ(c.rd(sr) & 1, 1u);
    // Enabling the interrupt with the flag up pends it at once.
    c.wr(REG(NVIC, NVIC_Type, ISER[0]), 1u << 30);
    c.wr(REG(TIM4, TIM_TypeDef, DIER), 1);
    EXPECT_EQ(m.nvic.next_exception(), sim::Nvic::kIrqBase + 30);
    EXPECT_EQ(m.next_due(), start + 1600ull * 4001 + 3200) << "now someone waits: the next update is an event";
}
