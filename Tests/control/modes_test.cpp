// Modes 1 to 5, each step called directly on the state the tick leaves.
#include "control_fixture.hpp"

namespace {
// Mechanical RPM that moved the vector by `delta` electrical rad in one 4 kHz tick.
float rpm_of_step(float delta) { return delta / (6.0f * 2.0f * 3.1415925f / 60.0f * 0.00025f); }
}  // namespace

// Faults caught: the error not wrapped into [-180, 180], the direction
// reversed, the 5-degree stop zone missing, a hold ramp-down of the wrong
// length, an amplitude below the hold value not raised to it.
TEST(PositionOpenLoop, DirectionStopAndHold)
{
    struct { float ref, rotor, rpm; } rows[] = {
        {270, 0, -10}, {180, 0, 10}, {0, 180, -10}, {10, 0, 10}, {0, 3, 0}};
    for (const auto &r : rows) {
        sim::Board b;
        pos_ref_deg = r.ref; ma600_ema_deg = r.rotor; foc_angle = 3.0f;
        foc_mode_pos_open();
        EXPECT_NEAR(rpm_of_step(foc_angle - 3.0f), r.rpm, 0.01f) << r.ref << " from " << r.rotor;
    }
    sim::Board b;
    foc_vq = 0.1f; ramp_vq = 0.1f;   // at the target
    int n = 0;
    for (; ramp_vq > 0.0f && n < 300; ++n) foc_mode_pos_open();
    EXPECT_EQ(n, 200);   // 0.0005 per tick
    hold_vq = 0.03f;
    foc_mode_pos_open();
    EXPECT_EQ(ramp_vq, 0.03f);
}

// Faults caught: a wrong mA-to-voltage factor, the limit to foc_vq missing,
// the current pushed through the wrong phase.
TEST_F(ControlTest, CurrentOpenLoopCompares)
{
    struct { float mA; Ccr ccr; } rows[] = {{20, {780, 819, 780}}, {50, {752, 847, 752}},
        {100, {720, 880, 720}}, {500, {720, 880, 720}}, {0, {800, 800, 800}}};
    foc_vq = 0.1f;
    for (const auto &r : rows) {
        cur_tgt_mA = r.mA;
        foc_mode_cur_open();
        EXPECT_EQ(compares(), r.ccr) << r.mA;
    }
}

// Faults caught: a reference slewing at the wrong rate, an alignment other
// than 10 ticks, an open-loop advance at the wrong speed.
TEST(SpeedClosedLoop, AlignmentThenReferenceSpeed)
{
    sim::Board b;
    foc_vq = 0.1f; ma_angle = 1.0f;
    for (int i = 1; i <= 10; ++i) {
        foc_mode_speed_cl();
        EXPECT_EQ(foc_angle, 1.0f) << i;
        EXPECT_NEAR(speed_cl_ref, 0.05f * i, 1e-5f);
    }
    foc_mode_speed_cl();
    EXPECT_NEAR(rpm_of_step(foc_angle - 1.0f), 0.55f, 1e-3f);
    speed_set = speed_cl_ref;   // on target: the reference stays
    float ref = speed_cl_ref;
    foc_mode_speed_cl();
    EXPECT_EQ(speed_cl_ref, ref);
}

// Faults caught: windup while the output is saturated, the integrator limit
// missing, the output not limited to +-foc_vq.
TEST(SpeedClosedLoop, SaturationAndIntegratorLimit)
{
    struct { float measured, kp, ki, sum, out; } rows[] = {
        {-1000, 10, 1000, 0, 0.1f}, {1000, 10, 1000, 0, -0.1f},   // held at the limit, nothing integrated
        {-50, 0, 100, 2, 0.02f},    {50, 0, 100, -2, -0.02f},      // integrator stops at 20 * vq
    };
    for (const auto &r : rows) {
        sim::Board b;
        foc_vq = 0.1f; pid_spd_kp = r.kp; pid_spd_ki = r.ki; speed_set = 0; actual_rpm = r.measured;
        for (int i = 0; i < 1000; ++i) foc_mode_speed_cl();
        EXPECT_NEAR(pid_spd_sum, r.sum, 1e-6f) << r.measured << " kp " << r.kp;
        EXPECT_NEAR(ramp_vq, r.out, 1e-6f) << r.measured << " kp " << r.kp;
    }
}

// Faults caught: the error limited before it is wrapped, the limit missing,
// the fine zone missing or too wide, a wrong speed scale, hysteresis
// thresholds swapped.
TEST(PositionClosedLoop, ErrorSpeedCommandAndHysteresis)
{
    struct { float ref, rotor, err, rpm; int hold_before, hold_after; } rows[] = {
        {9, 0, 9, 0.9f, 0, 0},          {20, 0, 20, 10, 0, 0},   {90, 0, 30, 15, 0, 0},
        {350, 10, -20, -10, 0, 0},      {0, 90, -30, -15, 0, 0}, {101.5f, 100, 0, 0, 0, 1},
        {104, 100, 4, 0.4f, 0, 0},      {104, 100, 0, 0, 1, 1},  {105.5f, 100, 5.5f, 0.55f, 1, 0},
    };
    for (const auto &r : rows) {
        sim::Board b;
        pos_ref_deg = r.ref; ma600_ema_deg = r.rotor; foc_angle = 3.0f; pos_hold = r.hold_before;
        foc_mode_pos_cl();
        EXPECT_EQ(pid_spd_last_err, r.err) << r.ref << " from " << r.rotor;
        EXPECT_NEAR(rpm_of_step(foc_angle - 3.0f), r.rpm, 0.01f) << r.ref << " from " << r.rotor;
        EXPECT_EQ(pos_hold, r.hold_after) << r.ref << " from " << r.rotor;
    }
}

// Faults caught: a hold that keeps the integrator or turns the vector, a
// hold ramp-down over the wrong time, a hold value above the amplitude not
// applied at once.
TEST(PositionClosedLoop, HoldRampDown)
{
    sim::Board b;
    pos_ref_deg = 45.0f; ma600_ema_deg = 45.0f;
    foc_angle = 2.0f; ramp_vq = 0.08f; pid_spd_sum = 3.0f; pid_spd_last_err = 4.0f;
    for (int i = 0; i < 80; ++i) foc_mode_pos_cl();
    EXPECT_TRUE(ramp_vq > 0.0f && ramp_vq < 1e-6f) << ramp_vq;   // 0.001 per tick, rounding remainder
    foc_mode_pos_cl();
    EXPECT_EQ(ramp_vq, 0.0f);
    EXPECT_EQ(foc_angle, 2.0f);
    EXPECT_EQ(pid_spd_sum + pid_spd_last_err, 0.0f);
    hold_vq = 0.05f;
    foc_mode_pos_cl();
    EXPECT_EQ(ramp_vq, 0.05f);
}

// Faults caught: start-up phases of the wrong length, a closed loop that does
// not start in the tick that ends the second ramp.
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

// Faults caught: the inverted sensor sign not compensated, integration while
// the output is limited, a derivative without 1/dt, the vector not a
// quarter turn ahead of the rotor.
TEST_F(ControlTest, CurrentClosedLoopControlLaw)
{
    struct { uint16_t raw; float target, kp, kd, out, integral; } rows[] = {
        {2148, 671, 10, 0, 0, 0},                // on target
        {2048, 5, 10, 0, 0.05f, 0.00125f},       // inside the limits: integrates
        {2148, 0, 10, 0, 0, 0},                  // negative output clipped to 0
        {2048, 5, 0, 0.01f, 0.02f, 0.00125f},    // derivative against a previous error of 0
        {0, 500, 10, 0, 0.1f, 0},                // converter timeout reads as +13750 mA
    };
    foc_vq = 0.1f; ma_angle = 0.0f;
    for (const auto &r : rows) {
        cur_cl_started = 1; cur_cl_phase = 2; cur_cl_open_v = 0.1f; cur_cl_integral = 0; cur_cl_last_err = 0;
        iv2_cache = r.raw; cur_tgt_mA = r.target; pid_cur_kp = r.kp; pid_cur_kd = r.kd;
        foc_mode_cur_cl();
        EXPECT_NEAR(cur_cl_pid_out, r.out, 1e-6f) << r.raw << " for " << r.target;
        EXPECT_NEAR(cur_cl_integral, r.integral, 1e-8f) << r.raw << " for " << r.target;
    }
    Ccr c = compares();   // full output, rotor at 0: the vector on -alpha
    EXPECT_NEAR(c[0], 680, 1);
    EXPECT_NEAR(c[1], 920, 1);
    EXPECT_NEAR(c[2], 920, 1);
}
