// Modes 1 to 5, each step called directly on the state the tick leaves.
#include <algorithm>
#include <cmath>

#include "bench.hpp"

// Mechanical RPM that moved the vector by `delta` electrical rad in one 4 kHz tick.
static float rpm_of_step(float delta) { return delta / (6.0f * 2.0f * 3.1415925f / 60.0f * 0.00025f); }

// Faults caught: the error not wrapped into [-180, 180], the direction reversed, a stop zone other than below 5
// degrees (5 itself travels).
TEST(PositionOpenLoop, DirectionByWrappedError)
{
    struct { float ref, rotor, rpm; } rows[] = {
        {270, 0, -10}, {180, 0, 10}, {0, 180, -10}, {10, 0, 10}, {0, 3, 0}, {5, 0, 10}, {4.99f, 0, 0}, {0, 5, -10}};
    for (const auto &r : rows) {
        sim::Board b;
        pos_ref_deg = r.ref; ma600_ema_deg = r.rotor; foc_angle = 3.0f;
        foc_mode_pos_open();
        EXPECT_NEAR(rpm_of_step(foc_angle - 3.0f), r.rpm, 0.01f) << r.ref << " from " << r.rotor;
    }
}

// Faults caught: a hold ramp-down of mode 1 over other than 50 ms (foc_vq per 50 ms), or a hold below the present
// amplitude not reached or overshot, or one above it not taken at once; mode 4 falls over 20 ms.
TEST(PositionModes, HoldRampDown)
{
    const struct { int mode; float hold; int ticks; } rows[] = {
        {1, 0.0f, 200}, {1, 0.03f, 140}, {1, 0.2f, 1}, {4, 0.0f, 81}, {4, 0.2f, 1}};
    for (const auto &r : rows) {
        sim::Board b;
        foc_vq = 0.1f; ramp_vq = 0.1f; hold_vq = r.hold; pos_ref_deg = 45.0f; ma600_ema_deg = 45.0f;
        int n = 0;
        while (ramp_vq != r.hold && n < 1000) {
            r.mode == 1 ? foc_mode_pos_open() : foc_mode_pos_cl();
            ++n;
        }
        EXPECT_EQ(n, r.ticks) << "mode " << r.mode << ", hold " << r.hold;
    }
}

// Faults caught: a mode's two angle wraps merged into the other order. An angle a hair below 0 ends at 2 pi in mode 1
// (turns taken off, then added, as written there) and at 0 in mode 3 (added, then taken off).
TEST(AngleWraps, EachModeKeepsItsOrder)
{
    const struct { const char *mode; float rpm; void (*run)(); float want; } rows[] = {
        {"1, backwards", 10.0f, foc_mode_pos_open, FOC_TWO_PI},
        {"3, reference -10", -10.0f, foc_mode_speed_cl, 0.0f},
    };
    for (const auto &r : rows) {
        sim::Board b;
        pos_ref_deg = 270.0f; foc_speed = std::fabs(r.rpm);   // mode 1: error -90, backwards at foc_speed
        ma_sync_count = 10; speed_set = r.rpm; speed_cl_ref = r.rpm;   // mode 3: past alignment, at the reference
        const float step = std::fabs(foc_elec_speed(r.rpm) * foc_dt());
        foc_angle = std::nextafter(step, 0.0f);   // one step back lands a hair below 0
        r.run();
        EXPECT_EQ(foc_angle, r.want) << "mode " << r.mode;
    }
}

// Faults caught: a wrong mA-to-voltage factor or phase, no limit to foc_vq, a compare of 1600 written (full span).
TEST_F(ControlTest, CurrentOpenLoopCompares)
{
    struct { float mA; Ccr ccr; float vq = 0.1f; } rows[] = {{20, {780, 819, 780}}, {50, {752, 847, 752}},
        {100, {720, 880, 720}}, {500, {720, 880, 720}}, {0, {800, 800, 800}}, {1000, {0, 1599, 0}, 1.0f}};
    for (const auto &r : rows) {
        cur_tgt_mA = r.mA; foc_vq = r.vq;
        foc_mode_cur_open();
        EXPECT_EQ(compares(), r.ccr) << r.mA;
    }
}

// Faults caught: a reference slew at the wrong rate, an alignment other than 10 ticks.
TEST(SpeedClosedLoop, AlignmentThenReference)
{
    sim::Board b;
    foc_vq = 0.1f; ma_angle = 1.0f; speed_set = 0.3f;
    for (int i = 1; i <= 10; ++i) {
        foc_mode_speed_cl();
        EXPECT_EQ(foc_angle, 1.0f) << i;   // aligned on the rotor
        EXPECT_NEAR(speed_cl_ref, std::min(0.05f * i, 0.3f), 1e-5f) << i;
    }
    foc_mode_speed_cl();
    EXPECT_NEAR(rpm_of_step(foc_angle - 1.0f), 0.3f, 1e-3f) << "open-loop advance at the reference";
}

// Faults caught: the error limited before wrapped, a wrong limit (error, integrator or speed command), fine zone,
// scale or hysteresis; a hold that keeps the integrator, turns the vector or ramps down wrongly.
TEST(PositionClosedLoop, ErrorSpeedCommandHysteresisAndHold)
{
    // sum: the integrator before the tick; kp: the gain (default 0.5, ki 0.1).
    struct { float ref, rotor, err, rpm; int hold_before, hold_after; float sum = 0.0f, kp = 0.5f; } rows[] = {
        {9, 0, 9, 0.9f, 0, 0},     {10, 0, 10, 5, 0, 0},    {20, 0, 20, 10, 0, 0},   {90, 0, 30, 15, 0, 0},
        {350, 10, -20, -10, 0, 0}, {0, 90, -30, -15, 0, 0}, {101.5f, 100, 0, 0, 0, 1},
        {104, 100, 4, 0.4f, 0, 0}, {104, 100, 0, 0, 1, 1},  {105, 100, 0, 0, 1, 1}, {105.5f, 100, 5.5f, 0.55f, 1, 0},
        {90, 0, 30, 65, 0, 0, 900},      // integrator held at 500: 0.5 x 30 + 0.1 x 500
        {0, 90, -30, -65, 0, 0, -900},
        {90, 0, 30, 500, 0, 0, 0, 50},   // speed command held at 500 RPM
        {0, 90, -30, -500, 0, 0, 0, 50},
    };
    for (const auto &r : rows) {
        sim::Board b;
        pos_ref_deg = r.ref; ma600_ema_deg = r.rotor; foc_angle = 3.0f; pos_hold = r.hold_before;
        pid_spd_sum = r.sum; pid_pos_kp = r.kp;
        foc_mode_pos_cl();
        SCOPED_TRACE(testing::Message() << r.ref << " from " << r.rotor);
        EXPECT_EQ(pid_spd_last_err, r.err);
        EXPECT_NEAR(rpm_of_step(foc_angle - 3.0f), r.rpm, 0.01f);
        EXPECT_EQ(pos_hold, r.hold_after);
    }
    sim::Board b;
    pos_ref_deg = 45.0f; ma600_ema_deg = 45.0f;
    foc_angle = 2.0f; ramp_vq = 0.08f; pid_spd_sum = 3.0f; pid_spd_last_err = 4.0f;
    for (int i = 0; i < 80; ++i) foc_mode_pos_cl();
    EXPECT_TRUE(ramp_vq > 0.0f && ramp_vq < 1e-6f) << ramp_vq;   // 0.001 per tick, rounding remainder
    foc_mode_pos_cl();
    EXPECT_EQ(ramp_vq, 0.0f);
    EXPECT_EQ(foc_angle, 2.0f);
    EXPECT_EQ(pid_spd_sum + pid_spd_last_err, 0.0f);
}

// Faults caught: start-up phases of the wrong length, a loop not starting as the second ramp ends.
TEST_F(ControlTest, CurrentClosedLoopStartUp)
{
    foc_vq = 0.1f; iv2_cache = 2048;   // no current
    pwm_write(1, 1, 1);
    foc_mode_cur_cl();
    EXPECT_EQ(compares(), (Ccr{0, 0, 0}));
    int n = 1;
    for (; cur_cl_phase == 0 && n < 1000; ++n) foc_mode_cur_cl();
    EXPECT_EQ(n, 128);
    EXPECT_NEAR(cur_cl_open_v, 0.0504f, 1e-5f);
    for (; cur_cl_phase == 1 && n < 1000; ++n) foc_mode_cur_cl();
    EXPECT_EQ(n, 229);
    EXPECT_NEAR(cur_cl_open_v, 0.1004f, 1e-5f);
    EXPECT_EQ(cur_cl_last_err, 500.0f);   // the loop ran in that same tick
    EXPECT_EQ(cur_cl_pid_out, 0.1f);
}

// Faults caught: integration while the output is held at the limit (windup), no 20 x foc_vq integrator limit.
TEST(SpeedClosedLoop, AntiWindupAndIntegratorLimit)
{
    sim::Board b;
    foc_vq = 0.1f; ma_sync_count = 10; speed_set = 1000.0f; speed_cl_ref = 1000.0f; pid_spd_sum = 1.0f;
    for (int i = 0; i < 100; ++i) foc_mode_speed_cl();   // error 1000 rpm: output pinned at +foc_vq
    EXPECT_EQ(ramp_vq, 0.1f);
    EXPECT_NEAR(pid_spd_sum, 1.0f, 1e-4f);
    pid_spd_kp = 0.1f; pid_spd_ki = 0.1f; speed_set = 500.0f; speed_cl_ref = 500.0f;   // output inside the limit
    for (int i = 0; i < 100; ++i) foc_mode_speed_cl();
    EXPECT_NEAR(pid_spd_sum, 2.0f, 1e-4f);
}

// Faults caught: integrating while limited, a negative output, a wrong gain scale or error sign, a vector not a
// quarter turn ahead of the sensor's electrical angle.
TEST_F(ControlTest, CurrentClosedLoopLaw)
{
    struct { uint16_t raw; float out, integral; } rows[] = {
        {2033, 0.1f, 0.0f},         // +100 mA seen against a 0 target: clipped to foc_vq
        {2063, 0.0f, 0.0f},         // -100 mA: clipped to 0
        {2047, 0.06f, 0.0015f},     // +6 mA: 0.01 x 6, integrating 6 mA for 250 us
    };
    for (const auto &r : rows) {
        cur_cl_started = 1; cur_cl_phase = 2; cur_cl_integral = 0; cur_cl_last_err = 0;
        foc_vq = 0.1f; cur_tgt_mA = 0; adc_zero_iv2 = 2048; iv2_cache = r.raw; ma_angle = 1.0f;
        foc_mode_cur_cl();
        EXPECT_NEAR(cur_cl_pid_out, r.out, 1e-6f) << r.raw;
        EXPECT_NEAR(cur_cl_integral, r.integral, 1e-7f) << r.raw;
        const auto [alpha, beta] = alpha_beta(compares());   // q axis of 1.0 + 1.5708 rad
        EXPECT_NEAR(alpha, -r.out * std::sin(2.5708), 1.0 / PWM_MAX) << r.raw;
        EXPECT_NEAR(beta, r.out * std::cos(2.5708), 1.0 / PWM_MAX) << r.raw;
    }
}
