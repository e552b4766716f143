// What the main loop does from reset that the console transcript does not show.
#include "bench.hpp"

using MainLoop = BenchTest<Bench::kBooted>;

// Fault caught: the stopped board's angles not following the last sample, an electrical angle left unwrapped, or
// the filtered angle not restarting from the sample or jumping across the 0/360 seam.
TEST_F(MainLoop, AngleRefreshWhileStopped)
{
    const auto deg = [&](const char *name) { return get<float>(name); };
    set<uint16_t>("ma_raw", 0x4000);   // 90 degrees, as the tick would have left it
    run_ms(3);
    EXPECT_EQ(deg("ma600_mech_deg"), 90.0f);
    EXPECT_EQ(deg("ma600_ema_deg"), 90.0f);   // restarted from the sample, not blended with 0
    EXPECT_NEAR(deg("ma_angle"), 3.14159f, 1e-3f);   // six pole pairs: 540 degrees wrapped to 180
    set<uint16_t>("ma_raw", 65354);   // 359 degrees
    run_ms(300);
    EXPECT_NEAR(deg("ma600_ema_deg"), 359.0f, 0.01f);
    set<uint16_t>("ma_raw", 182);   // 1 degree
    run_ms(5);
    const float mid = deg("ma600_ema_deg");
    EXPECT_TRUE(mid > 100.0f && mid < 350.0f) << mid;   // back through the middle
    run_ms(300);
    EXPECT_NEAR(deg("ma600_ema_deg"), 1.0f, 0.01f);
}

// Fault caught: a button held through reset taken as a press, a start by button that leaves the speed loop's
// memory charged, or a heartbeat at the wrong rate or moving other pins of its port (chip select stays high).
TEST(Button, HeldThroughResetAndHeartbeat)
{
    Bench t(Bench::kPoweredOn);
    sim::Board &b = t.b;
    b.set_button(true);
    t.run_ms(Bench::kBootMs);
    int changes = 0;
    bool led = b.led_lit();
    for (int ms = 0; ms < 2000; ++ms) {
        t.run_ms(1);
        if (b.led_lit() != led) { led = !led; ++changes; }
        EXPECT_FALSE(b.plant.sensor.selected());
    }
    EXPECT_EQ(changes, 10);
    EXPECT_EQ(t.get<int32_t>("motor_running"), 0);
    b.set_button(false);
    t.run_ms(100);
    b.take_output(1);
    t.set("pid_spd_last_err", 5.0f);
    b.set_button(true);
    t.run_ms(100);
    EXPECT_EQ(b.take_output(1).rfind("BTN:START\r\n", 0), 0u);
    EXPECT_EQ(t.get<float>("pid_spd_last_err"), 0.0f);
}
