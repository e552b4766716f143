// The control tick (the speed open loop is judged by its scenario).
#include <utility>

#include "bench.hpp"

// Faults caught: a stopped tick leaving the bridge or a compare on, a memory kept, ADC or sensor used.
TEST_F(ControlTest, StoppedTickClearsAndLeavesConverterAndSensorAlone)
{
    bridge_on(); pwm_write(5, 6, 7);
    volatile float *cleared[] = {&ramp_vq, &speed_cl_ref, &pid_spd_sum, &cur_cl_integral,
                                 &cur_cl_pid_out, &cur_cl_last_err, &cur_cl_open_v};
    for (auto *f : cleared) *f = 0.5f;
    ma_sync_count = 2; cur_cl_started = 1; cur_cl_phase = 2;
    pid_spd_last_err = 7.0f;   // not a stopped-tick field
    const uint32_t conversions = b.mcu.adc1.conversions;
    tick(2);
    EXPECT_EQ(bridge_lines(), 0u);
    EXPECT_EQ(compares(), (Ccr{0, 0, 0}));
    for (auto *f : cleared) EXPECT_EQ(*f, 0.0f);
    EXPECT_EQ(ma_sync_count + cur_cl_started + cur_cl_phase, 0);
    EXPECT_EQ(pid_spd_last_err, 7.0f);
    EXPECT_EQ(b.mcu.adc1.conversions, conversions);
    EXPECT_TRUE(b.mcu.spi1.sent.empty());
}

// Faults caught: a fault timer off by one, blind to the rate, not reset by a good read, reset by a stop.
TEST(FaultWatch, ThreeSecondsOfLowAtAnyRate)
{
    struct { int rate, low, high, stop, low_after, flag; } rows[] = {
        {4, 11999, 0, 0, 0, 0}, {4, 12000, 0, 0, 0, 1}, {1, 2999, 0, 0, 0, 0},
        {1, 3000, 0, 0, 0, 1},  {1, 2999, 1, 0, 1, 0},  {1, 1500, 0, 1, 1500, 1},
    };
    for (const auto &r : rows) {
        Bench t(Bench::kTickHeld);
        foc_rate = r.rate; foc_vq = 0.0f; motor_running = 1;
        t.b.set_fault(true); t.tick(r.low);
        EXPECT_EQ(bridge_lines(), 0xFu);
        t.b.set_fault(false); t.tick(r.high);
        motor_running = !r.stop; t.tick(r.stop);
        motor_running = 1; t.b.set_fault(true); t.tick(r.low_after);
        EXPECT_EQ(fault_flag, r.flag) << r.rate << " kHz, " << r.low << "+" << r.low_after;
    }
}

// Faults caught: the first sample not taken against 0 or blended, the window closing late or unfiltered,
// an unwrapped step across the 65535/0 seam, no 0.1/0.9 blend.
TEST_F(ControlTest, FirstSampleAfterResetThenAcrossTheSeam)
{
    foc_vq = 0.0f; motor_running = 1;   // no torque: the rotor stays where it is put
    set_raw(40000);
    tick(2);   // one call starts the frame, the next collects it
    ASSERT_EQ(ma_raw, 40000);
    EXPECT_EQ(angle_accum, -25536);
    EXPECT_EQ(ma600_mech_deg, 219.7265625f);
    EXPECT_EQ(ma600_ema_deg, 219.7265625f);
    EXPECT_NEAR(ma_angle, 6 * 219.7265625f * 0.0174533f - 3 * 6.2831855f, 1e-4f);
    tick(125);
    EXPECT_EQ(actual_rpm, 0.0f);
    tick();   // the 128th running tick closes the window
    EXPECT_NEAR(actual_rpm, -219.18f, 0.01f);
    EXPECT_EQ(angle_accum + total_turns, 0);
    for (auto [raw, delta] : {std::pair{65000, 25000}, {500, 1036}, {65000, -1036}}) {
        set_raw(static_cast<uint16_t>(raw));
        const int32_t before = angle_accum;
        const float ema = ma600_ema_deg;
        tick(2);
        EXPECT_EQ(angle_accum - before, delta) << raw;
        EXPECT_FLOAT_EQ(ma600_ema_deg, ma600_mech_deg * 0.1f + ema * 0.9f) << raw;
    }
}

// Faults caught: a reader reset by a stop or a start (the frame left open before the stop is lost instead of giving
// the first word after the restart), or a first sample after the restart not differenced against the last one before
// the stop.
TEST_F(ControlTest, SensorReaderAcrossAStopAndRestart)
{
    foc_vq = 0.0f; motor_running = 1;   // no torque: the rotor stays where it is put
    set_raw(1000);
    tick(2);
    ASSERT_EQ(ma_raw, 1000);
    const int32_t accum = angle_accum;
    set_raw(1500);
    tick();   // a frame opens and is shifted in on 1500
    motor_running = 0;
    tick(3);
    run_ms(0.1);
    set_raw(3000);   // turned by hand while stopped
    motor_running = 1;
    tick();
    EXPECT_EQ(ma_raw, 1500) << "the word of the frame left open";
    tick(2);
    EXPECT_EQ(ma_raw, 3000);
    EXPECT_EQ(angle_accum - accum, 2000);
}

// Faults caught: a mode dispatched to another mode's law, or a running tick that leaves out the output stage. One
// running tick from the same state: target 300 degrees (60 behind the rotor), vector at 6.2825 rad, sensor angle 2
// rad, vq 0.1, 500 mA.
TEST(ControlTick, RunsTheSelectedMode)
{
    const struct { int mode; float angle, amplitude; bool own; Ccr ccr; } rows[] = {   // own: the mode's compares
        {0, 6.2825f + 0.0015708f - FOC_TWO_PI, 0.00025f, false, {}},   // forwards at 10 RPM, wrapped; first ramp step
        {1, 6.2825f - 0.0015708f, 0.00025f, false, {}},                // backwards at 10 RPM
        {2, 6.2825f, 0.0f, true, {720, 880, 720}},
        {3, 2.0f, 0.0005f, false, {}},                                  // aligned on the sensor; 0.01 x 0.05 RPM
        {4, 6.2825f - 0.0023562f, 0.00025f, false, {}},                // backwards at 0.5 x 30 degrees
        {5, 6.2825f, 0.0f, true, {0, 0, 0}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "mode " << r.mode);
        Bench t(Bench::kTickHeld);
        foc_mode = r.mode; foc_vq = 0.1f; foc_angle = 6.2825f; ma_angle = 2.0f; pos_ref_deg = 300.0f;
        pwm_write(1, 1, 1);
        motor_running = 1;
        t.tick();
        EXPECT_NEAR(foc_angle, r.angle, 2e-6f);
        EXPECT_NEAR(ramp_vq, r.amplitude, 2e-6f);
        const Ccr written = t.compares();
        if (!r.own) foc_output_vector(foc_angle, ramp_vq);   // what the output stage writes
        EXPECT_EQ(written, r.own ? r.ccr : t.compares());
    }
}

// Faults caught: an estimate blind to the rate, a wrong plausibility bound, turns not truncated to zero.
TEST(SpeedWindow, EstimateAndWholeTurns)
{
    struct { int rate; int32_t accum; float rpm; int32_t turns; } rows[] = {
        {4, 65536, 562.5f, 1},      {1, 65536, 140.625f, 1},  {4, 70000, 600.81f, 1},
        {4, -70000, -600.81f, -1},  {4, 65535, 562.49f, 0},   {4, 174762, 1499.99f, 2},
        {4, 174763, 0.0f, 2},       {4, -174763, 0.0f, -2},
    };
    for (const auto &r : rows) {
        Bench t(Bench::kTickHeld);
        foc_rate = r.rate; foc_vq = 0.0f; angle_accum = r.accum;
        motor_running = 1;   // the rotor stands at raw 0: samples add nothing
        t.tick(128);
        EXPECT_NEAR(actual_rpm, r.rpm, 0.01f) << r.accum << " at " << r.rate << " kHz";
        EXPECT_EQ(total_turns, r.turns) << r.accum;
    }
}

// Faults caught: a step not scaled by rate and ramp time, an overshoot, a rising form that falls, ramp 0
// not jumping. (At 20 and 1 kHz single-precision steps need one tick more than nominal.)
TEST(VoltageRamp, StepsAndEnds)
{
    struct { int rate, ramp_ms; float vq, start; bool two_way; float first; int ticks; } rows[] = {
        {4, 100, 0.08f, 0, false, 0.0002f, 400},   {20, 100, 0.08f, 0, false, 0.00004f, 2001},
        {1, 1000, 0.08f, 0, true, 0.00008f, 1001}, {4, 100, 0.04f, 0.08f, true, 0.0799f, 400},
        {4, 100, 0.04f, 0.08f, false, 0.08f, -1},  {4, 0, 0.05f, 0.2f, false, 0.05f, 1},
        {4, 0, 0.05f, 0, true, 0.05f, 1},
    };
    for (const auto &r : rows) {
        sim::Board b;
        foc_rate = r.rate; ramp_rate = r.ramp_ms; foc_vq = r.vq; ramp_vq = r.start;
        int n = 0;
        float first = 0.0f;
        while (n < (r.ticks < 0 ? 50 : r.ticks + 5) && (r.ticks < 0 || ramp_vq != r.vq)) {
            r.two_way ? foc_ramp_two_way() : foc_ramp_rising();
            if (n++ == 0) first = ramp_vq;
        }
        EXPECT_FLOAT_EQ(first, r.first) << r.rate << " kHz, " << r.ramp_ms << " ms";
        EXPECT_EQ(n, r.ticks < 0 ? 50 : r.ticks) << r.rate << " kHz, " << r.ramp_ms << " ms";
    }
}
