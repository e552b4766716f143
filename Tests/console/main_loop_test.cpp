// What the main loop does from reset that the console transcript does not show.
#include <gtest/gtest.h>

#include "board.hpp"

static constexpr double kBootMs = 1500.0;   // settling wait, calibration and the help text

// The firmware's variables through the board's CPU.
static float deg(sim::Board &b, const char *name) { return b.cpu().expect_symbol<float>(name); }
static void set_raw(sim::Board &b, uint16_t raw) { ASSERT_TRUE(b.cpu().set_symbol("ma_raw", raw)); }

// Fault caught: the stopped board's angles not following the last sample, an electrical angle left unwrapped, or
// the filtered angle not restarting from the sample or jumping across the 0/360 seam.
TEST(MainLoop, AngleRefreshWhileStopped)
{
    sim::Board b;
    b.run_ms(kBootMs);
    set_raw(b, 0x4000);   // 90 degrees, as the tick would have left it
    b.run_ms(3);
    EXPECT_EQ(deg(b, "ma600_mech_deg"), 90.0f);
    EXPECT_EQ(deg(b, "ma600_ema_deg"), 90.0f);   // restarted from the sample, not blended with 0
    EXPECT_NEAR(deg(b, "ma_angle"), 3.14159f, 1e-3f);   // six pole pairs: 540 degrees wrapped to 180
    set_raw(b, 65354);   // 359 degrees
    b.run_ms(300);
    EXPECT_NEAR(deg(b, "ma600_ema_deg"), 359.0f, 0.01f);
    set_raw(b, 182);   // 1 degree
    b.run_ms(5);
    const float mid = deg(b, "ma600_ema_deg");
    EXPECT_TRUE(mid > 100.0f && mid < 350.0f) << mid;   // back through the middle
    b.run_ms(300);
    EXPECT_NEAR(deg(b, "ma600_ema_deg"), 1.0f, 0.01f);
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
    EXPECT_EQ(b.cpu().symbol<int32_t>("motor_running"), 0);
    b.set_button(false);
    b.run_ms(100);
    b.take_output(1);
    ASSERT_TRUE(b.cpu().set_symbol("pid_spd_last_err", 5.0f));
    b.set_button(true);
    b.run_ms(100);
    EXPECT_EQ(b.take_output(1).rfind("BTN:START\r\n", 0), 0u);
    EXPECT_EQ(b.cpu().symbol<float>("pid_spd_last_err"), 0.0f);
}
