// The firmware from reset: boot lines, the main loop's command hand-off,
// button debounce, fault warning, angle refresh, heartbeat and periodic
// status, seen from outside the chip.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>

#include "board.h"
#include "board.hpp"
#include "console.h"
#include "foc.h"
#include "main.h"

namespace {

constexpr double kBootMs = 1500.0;   // settling wait, calibration and the help text

size_t count(const std::string &s, const std::string &what)
{
    size_t n = 0;
    for (size_t p = 0; (p = s.find(what, p)) != std::string::npos; p += what.size()) ++n;
    return n;
}

}  // namespace

// Fault caught: boot lines missing, out of order or misformatted, a
// calibration that does not reach the zero of the sensor, a mis-configured
// peripheral shown in the diagnostic line, or a help text that is cut.
TEST(MainLoop, BootTranscript)
{
    sim::Board b;
    b.run_ms(kBootMs);
    const std::string out = b.output(1);
    // The mean of 64 samples of the sensor's output at zero current.
    const double zero = (b.plant.params.current_zero_v + b.plant.params.current_offset_mv * 1e-3) / 3.3 * 4096.0;
    EXPECT_NEAR(adc_zero_iv2, zero, 3.0);
    char iv20[32];
    std::snprintf(iv20, sizeof iv20, "IV20=0x%X\r\n", static_cast<unsigned>(adc_zero_iv2));
    const std::string head = std::string(iv20) + "\r\nF103 FOC v2\r\nDIAG: CCR1=0x0 CR1=0x1 SPI=0xB6F PB=0 PB0=1\r\n";
    EXPECT_EQ(out.substr(0, head.size()), head);
    EXPECT_EQ(out.size(), head.size() + 2263u);
    EXPECT_EQ(out.find("\r\n=== FOC 命令 ===\r\nON "), head.size());
    EXPECT_EQ(out.substr(out.size() - 21), "=================\r\n\r\n");
    EXPECT_EQ(b.output(2), out);
    EXPECT_EQ(motor_running, 0);
}

// Fault caught: nFault read with the wrong sense in the boot line.
TEST(MainLoop, BootLineShowsFaultLevel)
{
    sim::Board b;
    b.set_fault(true);
    b.run_ms(kBootMs);
    EXPECT_NE(b.output(1).find(" PB=0 PB0=0\r\n"), std::string::npos);
}

// Fault caught: typed lines not reaching the interpreter, replies on one
// port only, or a line interpreted twice.
TEST(MainLoop, TypedLinesAreInterpretedOnce)
{
    sim::Board b;
    b.run_ms(kBootMs);
    b.take_output(1);
    b.type(1, "vq 120\r\n");
    b.run_ms(20);
    EXPECT_EQ(b.take_output(1), "vq=120\r\n");
    b.type(2, "Mode 3\r");
    b.run_ms(20);
    EXPECT_EQ(b.take_output(1), "? Mode 3\r\n");
    b.type(1, "stat\r");
    b.run_ms(30);
    const std::string stat = b.take_output(1);
    EXPECT_EQ(stat.rfind("【SET】:STOP M=0 SPD_OPEN vq=120 ", 0), 0u) << stat;
    EXPECT_EQ(count(stat, "\r\n"), 1u);
}

// Fault caught: bounces shorter than the debounce time toggling the motor,
// a held press toggling more than once, a release acting, or the start not
// clearing the speed loop's memories.
TEST(MainLoop, ButtonDebounceStartsAndStops)
{
    sim::Board b;
    b.run_ms(kBootMs);
    b.take_output(1);

    for (int i = 0; i < 5; ++i) {   // bounces of 30 ms
        b.set_button(true);
        b.run_ms(30);
        b.set_button(false);
        b.run_ms(5);
    }
    b.run_ms(100);
    EXPECT_EQ(b.take_output(1), "");
    EXPECT_EQ(motor_running, 0);

    pid_spd_last_err = 5.0f;
    b.set_button(true);
    b.run_ms(45);
    EXPECT_EQ(motor_running, 0);
    b.run_ms(1000);   // held for long: one toggle only
    std::string out = b.take_output(1);
    EXPECT_EQ(out.rfind("BTN:START\r\n【SET】:RUN M=0 ", 0), 0u) << out;
    EXPECT_EQ(count(out, "\r\n"), 2u);
    EXPECT_EQ(motor_running, 1);
    EXPECT_EQ(pid_spd_last_err, 0.0f);

    b.set_button(false);
    b.run_ms(100);
    EXPECT_EQ(b.take_output(1), "");
    EXPECT_EQ(motor_running, 1);

    b.set_button(true);
    b.run_ms(100);
    out = b.take_output(1);
    EXPECT_EQ(out.rfind("BTN:STOP\r\n【SET】:STOP M=0 ", 0), 0u) << out;
    EXPECT_EQ(motor_running, 0);
}

// Fault caught: a button held through reset taken as a press.
TEST(MainLoop, ButtonHeldThroughResetDoesNothing)
{
    sim::Board b;
    b.set_button(true);
    b.run_ms(kBootMs + 200);
    b.take_output(1);
    EXPECT_EQ(motor_running, 0);
    b.set_button(false);
    b.run_ms(100);
    b.set_button(true);
    b.run_ms(100);
    EXPECT_EQ(b.take_output(1).rfind("BTN:START\r\n", 0), 0u);
}

// Fault caught: the fault warning not repeated, or silenced by a stop.
TEST(MainLoop, FaultWarningRepeatsUntilReset)
{
    sim::Board b;
    b.run_ms(kBootMs);
    b.type(1, "ON\r");
    b.run_ms(20);
    b.set_fault(true);
    b.run_ms(3100);
    EXPECT_EQ(fault_flag, 1);
    b.type(1, "stop\r");
    b.set_fault(false);
    b.run_ms(50);
    b.take_output(1);
    b.run_ms(100);
    const std::string out = b.take_output(1);
    EXPECT_GE(count(out, "WARN:nFault\r\n"), 50u);
    EXPECT_EQ(motor_running, 0);
}

// Fault caught: the periodic report at the wrong period or not stopping.
TEST(MainLoop, EchoReportsEvery200ms)
{
    sim::Board b;
    b.run_ms(kBootMs);
    b.take_output(1);
    b.type(1, "echo on\r");
    b.run_ms(50);
    const std::string reply = b.take_output(1);
    EXPECT_EQ(reply.rfind("echo ON\r\n", 0), 0u) << reply;
    b.run_ms(1000);
    EXPECT_EQ(count(b.take_output(1), "【SET】"), 5u);
    b.type(1, "echo off\r");
    b.run_ms(50);
    b.take_output(1);
    b.run_ms(1000);
    EXPECT_EQ(b.take_output(1), "");
}

// Fault caught: the heartbeat at the wrong rate, or moving other pins of
// its port.
TEST(MainLoop, HeartbeatToggles)
{
    sim::Board b;
    b.run_ms(kBootMs);
    int changes = 0;
    bool led = b.mcu.gpioa.output_level(8);
    for (int ms = 0; ms < 2000; ++ms) {
        b.run_ms(1);
        if (b.mcu.gpioa.output_level(8) != led) {
            led = !led;
            ++changes;
        }
        EXPECT_TRUE(b.mcu.gpioa.output_level(4));   // chip select stays high
    }
    EXPECT_EQ(changes, 10);
}

// Fault caught: the stopped board's angle variables not following the last
// sample, an electrical angle left unwrapped, or the filtered angle not
// starting from the sample or jumping across the 0/360 seam.
TEST(MainLoop, AngleRefreshWhileStopped)
{
    sim::Board b;
    b.run_ms(kBootMs);
    EXPECT_EQ(ma600_mech_deg, 0.0f);
    EXPECT_EQ(ma600_ema_deg, 0.0f);
    ma_raw = 0x4000;   // 90 degrees, as the tick would have left it
    b.run_ms(3);
    EXPECT_EQ(ma600_mech_deg, 90.0f);
    EXPECT_EQ(ma600_ema_deg, 90.0f);   // restarted from the sample, not blended with 0
    EXPECT_GE(ma_angle, 0.0f);
    EXPECT_LT(ma_angle, 6.2831855f);
    EXPECT_NEAR(ma_angle, 3.14159f, 1e-3f);

    ma_raw = 65354;   // 359 degrees
    b.run_ms(300);
    EXPECT_NEAR(ma600_ema_deg, 359.0f, 0.01f);
    ma_raw = 182;     // 1 degree
    b.run_ms(5);
    EXPECT_GT(ma600_ema_deg, 100.0f);   // travels back through the degrees between
    EXPECT_LT(ma600_ema_deg, 350.0f);
    b.run_ms(300);
    EXPECT_NEAR(ma600_ema_deg, 1.0f, 0.01f);
}
