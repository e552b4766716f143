// An exception without a working handler: the motor loses its power and the firmware stays in the handler.
#include <gtest/gtest.h>

#include <cmath>

#include "board.hpp"
#include "main.h"

// Faults caught: a crash handler that leaves the bridge enabled or a duty on a phase (so the motor keeps its
// current), that returns, or that lets the control tick, the millisecond tick or the console run again.
// An unused interrupt (IRQ 0, the window watchdog, at its reset level 0) is enabled and pended through the NVIC while
// the motor runs in mode 3: its stub enters the handler at level 0, where nothing of equal or lower urgency (SysTick,
// the serial receive interrupts, the control tick at level 4, the main loop) pre-empts it again.
TEST(CrashHandler, BridgeOffAndNothingRunsAgain)
{
    sim::Board b;
    b.run_ms(1500);
    for (const char *line : {"mode 3\r", "vq 300\r", "rpm 300\r", "ON\r"}) {
        b.type(1, line);
        b.run_ms(20);
    }
    b.run_ms(1500);
    ASSERT_EQ(b.mcu.gpiob.odr() & BRIDGE_PINS, BRIDGE_PINS);
    ASSERT_GT(b.mcu.tim4.ccr(1) + b.mcu.tim4.ccr(2) + b.mcu.tim4.ccr(3), 0u);
    ASSERT_GT(std::abs(b.plant.rotor_rpm()), 100.0);
    const uint32_t ticks = b.cpu().expect_symbol<uint32_t>("tick_count");

    b.mcu.bus_write(NVIC_BASE + offsetof(NVIC_Type, ISER[0]), 1u, 4);
    b.mcu.bus_write(NVIC_BASE + offsetof(NVIC_Type, ISPR[0]), 1u, 4);
    b.run_ms(1);
    EXPECT_EQ(b.mcu.nvic.active(), std::vector<int>{16});
    EXPECT_EQ(b.mcu.gpiob.odr() & BRIDGE_PINS, 0u);
    EXPECT_EQ(b.mcu.tim4.ccr(1) + b.mcu.tim4.ccr(2) + b.mcu.tim4.ccr(3), 0u);
    EXPECT_TRUE(b.mcu.tim4.running()) << "the PWM timer keeps running, at duty 0";

    b.take_output(1);
    b.type(1, "stat\r");
    b.run_ms(500);
    EXPECT_EQ(b.take_output(1), "") << "the console answers";
    EXPECT_EQ(b.cpu().expect_symbol<uint32_t>("tick_count"), ticks);
    EXPECT_EQ(b.mcu.nvic.active(), std::vector<int>{16});
    EXPECT_TRUE(b.mcu.nvic.pending(sim::Nvic::kSysTick));
    for (double i : b.plant.snapshot().i_phase) EXPECT_EQ(i, 0.0);
    EXPECT_EQ(b.mcu.gpiob.odr() & BRIDGE_PINS, 0u);
}
