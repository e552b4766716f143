// Bring-up checked through the register models: a wrong constant in it fails.
#include <gtest/gtest.h>

#include "bench.hpp"

using BroughtUp = BenchTest<Bench::kBroughtUp>;

// Faults caught: a wrong clock, flash, timer, SPI, USART, ADC or interrupt setting (each line names it).
TEST_F(BroughtUp, ClocksTimersBusesAndInterrupts)
{
    EXPECT_EQ(b.mcu.rcc.sysclk(), 72'000'000u);
    EXPECT_EQ(b.mcu.rcc.pclk1(), 36'000'000u);
    EXPECT_EQ(b.mcu.flash.acr() & 0x37u, 0x32u) << "two wait states, prefetch on";
    EXPECT_EQ(SYST_RVR, 71999u) << "a SysTick every 72000 cycles: 1 ms";
    EXPECT_EQ(b.mcu.tim4.update_period(), 1600u) << "45 kHz PWM";
    EXPECT_EQ(b.mcu.tim4.cr1(), 1u) << "edge-aligned, up, no auto-reload preload";
    EXPECT_EQ(b.mcu.tim4.ccr(1) | b.mcu.tim4.ccr(2) | b.mcu.tim4.ccr(3), 0u) << "compares start at 0";
    pwm_write(0, 800, 1599);
    EXPECT_EQ(b.mcu.tim4.duty(1), 0.0f) << "a compare of 0 keeps its output low";
    EXPECT_EQ(b.mcu.tim4.duty(2), 0.5f) << "PWM mode 1, outputs on";
    EXPECT_EQ(b.mcu.tim4.duty(3), 1599.0f / 1600.0f) << "compare without preload";
    EXPECT_TRUE(b.mcu.tim2.running() && (T2_DIER & 1u)) << "control tick with its interrupt";
    EXPECT_EQ(b.mcu.tim2.update_period(), 18000u) << "4 kHz control tick";
    EXPECT_EQ(b.mcu.spi1.cr1(), 0x0B6Fu) << "master, mode 3, 16 bits, /64";
    EXPECT_EQ(b.mcu.spi1.frame_cycles(), 1024u) << "16 bits at 1.125 MHz";
    EXPECT_EQ(b.mcu.usart1.char_cycles(), 6250u) << "115200 baud exactly";
    EXPECT_EQ(b.mcu.usart2.char_cycles(), 6240u) << "115384.6 baud";
    EXPECT_TRUE(b.mcu.adc1.calibrated());
    EXPECT_EQ(b.mcu.adc1.conversion_cycles(1), 1512u) << "(239.5 + 12.5) ADC cycles at 12 MHz";
    for (int irq = 0; irq < 64; ++irq) {   // only TIM2 (level 4), USART1 and USART2 (level 0)
        EXPECT_EQ(b.mcu.nvic.enabled(irq), irq == 28 || irq == 37 || irq == 38) << irq;
        EXPECT_EQ(b.mcu.nvic.priority(16 + irq), irq == 28 ? 0x40u : 0x00u) << irq;
    }
}

// Faults caught: a pin in the wrong mode (or a neighbour's field clobbered) or at the wrong
// level after bring-up; a bridge switch that misses a line or drops the PB0 pull-up.
TEST_F(BroughtUp, PinModesAndLevels)
{
    struct { int port, pin; uint32_t field; int level; } used[] = {   // level -1 = not checked
        {0, 0, 0x0, -1}, {0, 1, 0x0, -1}, {0, 2, 0xB, -1}, {0, 3, 0x4, -1}, {0, 4, 0x3, 1},
        {0, 5, 0xB, -1}, {0, 6, 0x4, -1}, {0, 7, 0xB, -1}, {0, 8, 0x3, 0},  {0, 9, 0xB, -1},
        {0, 10, 0x4, -1}, {1, 0, 0x8, 1}, {1, 6, 0xB, -1}, {1, 7, 0xB, -1}, {1, 8, 0xB, -1},
        {1, 12, 0x3, 0}, {1, 13, 0x3, 0}, {1, 14, 0x3, 0}, {1, 15, 0x3, 0}, {2, 8, 0x8, 1},
    };
    const sim::Gpio *ports[] = {&b.mcu.gpioa, &b.mcu.gpiob, &b.mcu.gpioc};
    for (int port = 0; port < 3; ++port) {
        for (int pin = 0; pin < 16; ++pin) {
            SCOPED_TRACE(testing::Message() << "P" << char('A' + port) << pin);
            uint32_t want = 0x4;   // reset configuration: floating input
            for (const auto &p : used) {
                if (p.port != port || p.pin != pin) continue;
                want = p.field;
                EXPECT_TRUE(p.level < 0 || ports[port]->output_level(pin) == (p.level == 1));
            }
            EXPECT_EQ(ports[port]->mode_field(pin), want);
        }
    }
    bridge_on();
    EXPECT_EQ(b.mcu.gpiob.odr() & BRIDGE_PINS, BRIDGE_PINS);
    bridge_off();
    EXPECT_EQ(b.mcu.gpiob.odr() & (BRIDGE_PINS | nFault_PIN), nFault_PIN);
}

// Fault caught: a reload truncated to 16 bits (1 kHz would run near 11 kHz) or off by the rounding.
TEST_F(BroughtUp, ControlTimerRateForEveryConsoleRate)
{
    for (int32_t khz = 1; khz <= 20; ++khz) {
        control_timer_set_rate(khz);
        b.native().idle_until(b.mcu.now() + 2 * 72000);   // a new prescaler loads at the next update
        EXPECT_EQ(b.mcu.tim2.update_period(), 72000u / static_cast<uint32_t>(khz)) << khz;
        EXPECT_EQ(b.mcu.tim2.psc(), khz == 1 ? 1u : 0u) << khz;
    }
}

// Fault caught: an LED switched on or off by a read-modify-write of GPIOA ODR, which undoes a chip-select change
// made between its read and its write. The "tick" deselects the sensor in each gap between the toggle's accesses.
TEST_F(BroughtUp, LedToggleKeepsConcurrentChipSelect)
{
    const uint32_t bsrr = GPIOA_BASE + offsetof(GPIO_TypeDef, BSRR), brr = GPIOA_BASE + offsetof(GPIO_TypeDef, BRR);
    sim::Event tick(b.mcu, [&] { b.mcu.bus_write(brr, MA600A_CS_PIN, 4); });
    for (bool lit : {false, true}) {
        for (sim::Cycles gap = 0; gap < 4; ++gap) {
            SCOPED_TRACE(testing::Message() << (lit ? "switching off" : "switching on") << ", gap " << gap);
            b.mcu.bus_write(lit ? bsrr : brr, LED2_PIN, 4);
            b.mcu.bus_write(bsrr, MA600A_CS_PIN, 4);
            b.mcu.schedule(tick, b.mcu.now() + gap * sim::kAccessCycles + sim::kAccessCycles / 2);
            led_toggle();
            run_ms(0.01);
            EXPECT_EQ(b.mcu.gpioa.output_level(8), !lit);
            EXPECT_FALSE(b.mcu.gpioa.output_level(4)) << "chip select change undone";
        }
    }
}
