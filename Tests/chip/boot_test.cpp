// Bring-up of the chip and the board operations, checked through the register
// models of the virtual MCU: what the configured chip does (clock rates,
// periods, frame and character times, pin modes, interrupt levels), so that a
// wrong constant in the bring-up fails.
#include <gtest/gtest.h>

#include <cstdint>

#include "board.h"
#include "board.hpp"
#include "console.h"
#include "main.h"

namespace {

constexpr uint32_t kGpioaBrr = 0x40010814u;

struct Booted {
    Booted()
    {
        board_init();
        board_adc_calibrate();
    }
    sim::Board b;
};

}  // namespace

// Faults caught: a wrong PLL multiplier or source, APB1 left undivided (TIM2,
// TIM4 and USART2 would all run at the wrong rate), a wrong ADC prescaler,
// flash wait states missing for 72 MHz or the prefetch buffer switched off.
TEST(BootConfig, ClockTreeAndFlash)
{
    sim::Board b;
    board_init();
    const sim::Rcc &rcc = b.mcu.rcc;
    EXPECT_EQ(rcc.sysclk(), 72'000'000u);
    EXPECT_EQ(rcc.hclk(), 72'000'000u);
    EXPECT_EQ(rcc.pclk1(), 36'000'000u);
    EXPECT_EQ(rcc.pclk2(), 72'000'000u);
    EXPECT_EQ(rcc.tim_apb1_clk(), 72'000'000u);
    EXPECT_EQ(rcc.adcclk(), 12'000'000u);
    EXPECT_EQ(rcc.cfgr() & (1u << 22), 0u) << "USB clock must be PLL / 1.5 = 48 MHz";
    EXPECT_EQ(rcc.cr() & ((1u << 16) | (1u << 24)), (1u << 16) | (1u << 24)) << "HSE and PLL on";
    EXPECT_EQ(b.mcu.flash_acr & 0x7u, 2u) << "two wait states";
    EXPECT_EQ(b.mcu.flash_acr & 0x30u, 0x30u) << "prefetch buffer left on";
}

// Faults caught: a pin configured with the wrong mode (an output left as an
// input, SPI or USART pins not on their alternate function, the fault input
// or button without pull-up), a neighbouring pin clobbered by a field
// written at the wrong shift, or a line at the wrong level after bring-up
// (chip select active, bridge enabled, LED on).
TEST(BootConfig, PinModesAndLevels)
{
    Booted t;
    struct Pin {
        int port, pin;
        uint32_t field;
        int level;   // ODR bit after bring-up, -1 = not checked
    };
    const Pin used[] = {
        {0, 0, 0x0, -1}, {0, 1, 0x0, -1}, {0, 2, 0xB, -1}, {0, 3, 0x4, -1},   // ADC inputs, USART2
        {0, 4, 0x3, 1},                                                     // chip select, inactive
        {0, 5, 0xB, -1}, {0, 6, 0x4, -1}, {0, 7, 0xB, -1},                  // SPI1
        {0, 8, 0x3, 0},                                                     // LED off
        {0, 9, 0xB, -1}, {0, 10, 0x4, -1},                                  // USART1
        {1, 0, 0x8, 1},                                                     // nFault, pull-up
        {1, 6, 0xB, -1}, {1, 7, 0xB, -1}, {1, 8, 0xB, -1},                  // TIM4 PWM
        {1, 12, 0x3, 0}, {1, 13, 0x3, 0}, {1, 14, 0x3, 0}, {1, 15, 0x3, 0},  // bridge off, asleep
        {2, 8, 0x8, 1},                                                     // button, pull-up
    };
    const sim::Gpio *ports[] = {&t.b.mcu.gpioa, &t.b.mcu.gpiob, &t.b.mcu.gpioc};
    for (int port = 0; port < 3; ++port) {
        for (int pin = 0; pin < 16; ++pin) {
            uint32_t want = 0x4;   // reset configuration: floating input
            int level = -1;
            for (const Pin &p : used) {
                if (p.port == port && p.pin == pin) {
                    want = p.field;
                    level = p.level;
                }
            }
            SCOPED_TRACE(testing::Message() << "P" << char('A' + port) << pin);
            EXPECT_EQ(ports[port]->mode_field(pin), want);
            if (level >= 0) {
                EXPECT_EQ(ports[port]->output_level(pin), level == 1);
            }
        }
    }
    EXPECT_EQ(t.b.mcu.gpioa.odr() & ~((1u << 4) | (1u << 8)), 0u) << "no other GPIOA output driven";
}

// Faults caught: a wrong PWM period or prescaler, centre-aligned or
// down-counting mode, compares not starting at 0, a channel not in PWM
// mode 1 or not enabled, preload that delays a new duty; a control tick at
// the wrong rate or without its update interrupt.
TEST(BootConfig, PwmAndControlTimers)
{
    Booted t;
    const sim::Timer &tim4 = t.b.mcu.tim4, &tim2 = t.b.mcu.tim2;
    EXPECT_EQ(tim4.update_period(), 1600u) << "45 kHz PWM";
    EXPECT_EQ(tim4.cr1(), 1u) << "edge-aligned, up, no auto-reload preload";
    for (int ch = 1; ch <= 3; ++ch) {
        EXPECT_EQ(tim4.ccr(ch), 0u);
        EXPECT_EQ(tim4.duty(ch), 0.0f);
    }
    pwm_write(0, 800, 1599);
    EXPECT_EQ(tim4.duty(1), 0.0f);
    EXPECT_EQ(tim4.duty(2), 0.5f);
    EXPECT_EQ(tim4.duty(3), 1599.0f / 1600.0f);
    EXPECT_EQ(T4_CR1 & 0x1u, 1u);

    EXPECT_TRUE(tim2.running());
    EXPECT_EQ(tim2.update_period(), 18000u) << "4 kHz control tick";
    EXPECT_EQ(T2_DIER & 0x1u, 1u) << "update interrupt";
}

// Faults caught: SysTick reloaded for a rate other than 1 kHz or clocked from
// HCLK/8, or a handler that does not count.
TEST(BootConfig, MillisecondTick)
{
    Booted t;
    const uint32_t before = tick_count;
    t.b.mcu.advance_to(t.b.mcu.now() + 10 * sim::kCyclesPerMs);
    EXPECT_EQ(tick_count - before, 10u);
}

// Faults caught: SPI1 in a mode other than 3, 8-bit frames, a wrong baud
// prescaler, not master or not enabled; USART divisors for another baud rate
// or a receiver without its interrupt; an ADC left uncalibrated, with the
// wrong sample time or converter clock.
TEST(BootConfig, SpiUsartsAndAdc)
{
    Booted t;
    sim::Mcu &m = t.b.mcu;
    EXPECT_EQ(m.spi1.cr1(), 0x0B6Fu);
    EXPECT_EQ(m.spi1.cr1() & 0x3u, 0x3u) << "CPOL = CPHA = 1";
    EXPECT_EQ(m.spi1.frame_cycles(), 1024u) << "16 bits at 1.125 MHz";

    EXPECT_EQ(m.usart1.char_cycles(), 6250u) << "115200 baud exactly";
    EXPECT_EQ(m.usart2.char_cycles(), 6240u) << "115384.6 baud";
    EXPECT_EQ(m.usart1.cr1(), 0x202Cu);
    EXPECT_EQ(m.usart2.cr1(), 0x202Cu);

    EXPECT_TRUE(m.adc1.calibrated());
    EXPECT_EQ(A1_CR2 & 0xCu, 0u) << "calibration finished";
    EXPECT_EQ(A1_CR2 & 0x1u, 1u) << "converter on";
    EXPECT_EQ(m.adc1.conversion_cycles(1), 1512u) << "(239.5 + 12.5) ADC cycles at 12 MHz";
}

// Faults caught: the control tick at the wrong level (it would hold off the
// millisecond tick and the receive interrupts), a USART at a level that
// cannot pre-empt it, an interrupt left disabled or one enabled that has no
// working handler.
TEST(BootConfig, InterruptLevelsAndEnables)
{
    Booted t;
    const sim::Nvic &nvic = t.b.mcu.nvic;
    EXPECT_EQ(nvic.priority(16 + 28), 0x40u);
    EXPECT_EQ(nvic.priority(16 + 37), 0x00u);
    EXPECT_EQ(nvic.priority(16 + 38), 0x00u);
    EXPECT_EQ(nvic.priority(sim::Nvic::kSysTick), 0x00u);
    for (int irq = 0; irq < 64; ++irq) {
        SCOPED_TRACE(irq);
        EXPECT_EQ(nvic.enabled(irq), irq == 28 || irq == 37 || irq == 38);
    }
    // A byte arriving right after bring-up is stored by the receive interrupt.
    const int w = r_w;
    t.b.mcu.usart2.receive('x');
    t.b.mcu.advance_to(t.b.mcu.now() + 100);
    EXPECT_EQ(r_w, (w + 1) % RING_SIZE);
    EXPECT_EQ(ring[w], 'x');
}

// Fault caught: a reload that truncates to 16 bits (1 kHz would give
// 6463 counts, about 11 kHz) or a rate off by the integer rounding.
TEST(BoardOps, ControlTimerRateForEveryConsoleRate)
{
    Booted t;
    sim::Timer &tim2 = t.b.mcu.tim2;
    for (int32_t khz = 1; khz <= 20; ++khz) {
        SCOPED_TRACE(khz);
        control_timer_set_rate(khz);
        // The prescaler takes effect at the next update.
        t.b.mcu.advance_to(t.b.mcu.now() + 2 * 72000);
        EXPECT_TRUE(tim2.running());
        EXPECT_EQ(tim2.update_period(), 72000u / static_cast<uint32_t>(khz));
    }
    control_timer_set_rate(4);
    EXPECT_EQ(tim2.arr(), 17999u);
    EXPECT_EQ(tim2.psc(), 0u);
}

// Faults caught: a pause that resets the counter or leaves the timer
// running; a resume that does not restart it.
TEST(BoardOps, ControlTimerPauseKeepsCounter)
{
    Booted t;
    sim::Timer &tim2 = t.b.mcu.tim2;
    control_timer_pause();
    const uint32_t held = tim2.cnt();
    t.b.mcu.advance_to(t.b.mcu.now() + 50000);
    EXPECT_FALSE(tim2.running());
    EXPECT_EQ(tim2.cnt(), held);
    control_timer_resume();
    EXPECT_TRUE(tim2.running());
    t.b.mcu.advance_to(t.b.mcu.now() + 100);
    EXPECT_NE(tim2.cnt(), held);
}

// Faults caught: bridge lines switched one by one or not all four, inputs
// read with inverted sense, chip-select level misreported.
TEST(BoardOps, BridgeInputsAndChipSelect)
{
    Booted t;
    bridge_on();
    EXPECT_EQ(bridge_lines(), 0xFu);
    EXPECT_EQ(t.b.mcu.gpiob.odr() & BRIDGE_PINS, BRIDGE_PINS);
    bridge_off();
    EXPECT_EQ(bridge_lines(), 0x0u);
    EXPECT_EQ(t.b.mcu.gpiob.odr() & nFault_PIN, nFault_PIN) << "pull-up of PB0 kept";

    EXPECT_EQ(nfault_high(), 1);
    t.b.set_fault(true);
    EXPECT_EQ(nfault_high(), 0);
    EXPECT_EQ(button_pressed(), 0);
    t.b.set_button(true);
    EXPECT_EQ(button_pressed(), 1);

    EXPECT_EQ(cs_level(), 1);
    CS_LOW();
    EXPECT_EQ(cs_level(), 0);
    CS_HIGH();
    EXPECT_EQ(cs_level(), 1);
}

// Fault caught: an LED toggle by read-modify-write of GPIOA ODR, which undoes
// a chip-select change that an interrupt makes between its read and write.
TEST(BoardOps, LedToggleKeepsConcurrentChipSelect)
{
    Booted t;
    sim::Mcu &m = t.b.mcu;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const bool led_before = m.gpioa.output_level(8);
        CS_HIGH();
        const uint64_t start = m.accesses;
        bool fired = false;
        auto saved = m.on_time_passed;
        m.on_time_passed = [&] {
            // Between the toggle's first and second access: the "control tick"
            // pulls chip select low.
            if (!fired && m.accesses == start + 1) {
                fired = true;
                m.write32(kGpioaBrr, MA600A_CS_PIN);
            }
        };
        led_toggle();
        m.on_time_passed = saved;
        EXPECT_NE(m.gpioa.output_level(8), led_before);
        ASSERT_TRUE(fired) << "the toggle reads the port before it writes";
        EXPECT_FALSE(m.gpioa.output_level(4)) << "chip select change undone";
    }
}
