// What the main loop does from reset that the console transcript does not show.
#include <gtest/gtest.h>

#include "board.hpp"
#include "foc.h"

static constexpr double kBootMs = 1500.0;   // settling wait, calibration and the help text

// Fault caught: the stopped board's angles not following the last sample, an electrical angle left unwrapped, or
// the filtered angle not restarting from the sample or jumping across the 0/360 seam.
TEST(MainLoop, AngleRefreshWhileStopped)
{
    sim::Board b;
    b.run_ms(kBootMs);
    ma_raw = 0x4000;   // 90 degrees, as the tick would have left it
    b.run_ms(3);
    EXPECT_EQ(ma600_mech_deg, 90.0f);
    EXPECT_EQ(ma600_ema_deg, 90.0f);   // restarted from the sample, not blended with 0
    EXPECT_NEAR(ma_angle, 3.14159f, 1e-3f);   // six pole pairs: 540 degrees wrapped to 180
    ma_raw = 65354;   // 359 degrees
    b.run_ms(300);
    EXPECT_NEAR(ma600_ema_deg, 359.0f, 0.01f);
    ma_raw = 182;   // 1 degree
    b.run_ms(5);
    EXPECT_TRUE(ma600_ema_deg > 100.0f && ma600_ema_deg < 350.0f) << ma600_ema_deg;   // back through the middle
    b.run_ms(300);
    EXPECT_NEAR(ma600_ema_deg, 1.0f, 0.01f);
}

// Fault caught: a button held through reset taken as a press, a start by button that leaves the speed loop's
// memory charged, or a heartbeat at the wrong rate or moving other pins of its port (chip select stays high).
TEST(MainLoop, ButtonHeldThroughResetAndHeartbeat)
{
    sim::Board b;
    b.set_button(true);
    b.run_ms(kBootMs);
    int changes = 0;
    bool led = b.led_lit();
    for (int ms = 0; ms < 2000; ++ms) {
        b.run_ms(1);
        if (b.led_lit() != led) { led = !led; ++changes; }
        EXPECT_FALSE(b.plant.sensor.selected());
    }
    EXPECT_EQ(changes, 10);
    EXPECT_EQ(motor_running, 0);
    b.set_button(false);
    b.run_ms(100);
    b.take_output(1);
    pid_spd_last_err = 5.0f;
    b.set_button(true);
    b.run_ms(100);
    EXPECT_EQ(b.take_output(1).rfind("BTN:START\r\n", 0), 0u);
    EXPECT_EQ(pid_spd_last_err, 0.0f);
}
