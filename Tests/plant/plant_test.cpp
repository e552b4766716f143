// The plant: the motor model alone against closed forms, then on a virtual
// board driven through the firmware's board operations, control tick held.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "board.h"
#include "board.hpp"
#include "foc.h"
#include "ma600a.h"
#include "main.h"
#include "plant/motor.hpp"

namespace {

using sim::Leg;
constexpr double kPi = 3.141592653589793, kH = 4e-6;

// The default motor with the 260 RPM/V flux; held: a speed that cannot change.
sim::PmsmModel motor(bool held)
{
    sim::PmsmModel m;
    m.p.flux_wb = sim::flux_from_kv(260.0, 6);
    if (held) m.p.inertia = 1e6, m.p.coulomb = m.p.breakaway = m.p.viscous = 0.0;
    m.reset();
    return m;
}

void bring_up()
{
    board_init();
    control_timer_pause();
    MA600A_Init();
}

struct PlantTest : ::testing::Test {
    sim::Board b;
    PlantTest() { bring_up(); }
    void wait_ms(double ms) { b.native().idle_until(b.mcu.now() + sim::ms_to_cycles(ms)); }
};

}  // namespace

// A wrong factor or sign in the torque (1.5 p, the reluctance term), or
// transforms that do not conserve power: drawn = copper loss + shaft power.
TEST(MotorModel, PowerDrawnEqualsCopperLossPlusShaftPower)
{
    struct Row { double rpm, amp, lead_deg; } rows[] = {
        {300, 2.0, 90}, {300, 2.0, 150}, {1000, 4.0, 120}, {600, 3.0, 200}};
    for (const Row &r : rows) {
        sim::PmsmModel m = motor(true);
        m.omega_mech = r.rpm * kPi / 30;
        // Mid-supply plus a balanced set turning with the rotor, lead_deg ahead of its d axis.
        auto legs = [&] {
            const double phi = m.theta_elec() + r.lead_deg * kPi / 180;
            auto leg = [&](int k) { return Leg{true, 6.0 + r.amp * std::cos(phi - k * 2 * kPi / 3)}; };
            return std::array<Leg, 3>{leg(0), leg(1), leg(2)};
        };
        for (int n = 0; n < 5000; ++n) m.step(kH, legs(), 12.0, 0.0);
        const auto l = legs();
        const auto i = m.phase_currents();
        double p_in = 0.0, p_cu = 0.0;
        for (int k = 0; k < 3; ++k) p_in += l[k].volts * i[k], p_cu += m.p.r_ohm * i[k] * i[k];
        EXPECT_GT(std::fabs(m.id * m.iq), 1e-4) << r.lead_deg << ": the reluctance term must take part";
        EXPECT_NEAR(p_in, p_cu + m.torque() * m.omega_mech, 0.002 * (std::fabs(p_in) + p_cu)) << r.lead_deg;
    }
}

// The rotor creeping under a torque below breakaway, friction that reverses
// a coasting rotor, or a wrong acceleration once broken away.
TEST(MotorModel, StaticAndKineticFriction)
{
    struct Row { double load_mnm, rpm0, rpm_10ms; } rows[] = {
        {0.5, 0, 0}, {-0.59, 0, 0},                                // below breakaway, either sense
        {-1.0, 0, (1.0 - 0.4) * 1e-3 / 3e-6 * 0.01 * 30 / kPi},   // (load - kinetic) / J for 10 ms
        {0.0, 10, 0},                                              // coasts to a stop and stays
    };
    for (const Row &r : rows) {
        sim::PmsmModel m = motor(false);
        m.p.viscous = 0.0;
        m.omega_mech = r.rpm0 * kPi / 30;
        for (int n = 0; n < 2500; ++n) {
            m.step(kH, {}, 12.0, r.load_mnm * 1e-3);
            ASSERT_GE(m.omega_mech, 0.0) << r.load_mnm << ": reversed";
        }
        EXPECT_NEAR(m.omega_mech * 30 / kPi, r.rpm_10ms, 1e-3 * r.rpm_10ms + 1e-12) << r.load_mnm;
    }
}

// An inaccurate integration step or inductance misused (4 V on the d axis:
// i = V/R (1 - exp(-t R / Ld)), no torque); then legs switched off that still
// drive, or a diode freewheel (~0.1 ms) that overshoots through zero or hangs.
TEST(MotorModel, RLStepThenFreewheelToZero)
{
    sim::PmsmModel m = motor(true);
    const double tau = m.p.ld_h / m.p.r_ohm;
    const std::array<Leg, 3> step{Leg{true, 6.0}, Leg{true, 0.0}, Leg{true, 0.0}};
    int n = 0;
    for (double t_tau : {0.5, 1.0, 3.0, 18.0}) {
        for (; n * kH < t_tau * tau - kH / 2; ++n) m.step(kH, step, 12.0, 0.0);
        EXPECT_NEAR(m.id, 4.0 / m.p.r_ohm * (1.0 - std::exp(-n * kH / tau)), 2e-4) << t_tau;
        EXPECT_EQ(m.omega_mech, 0.0) << t_tau;
    }
    const auto i0 = m.phase_currents();
    double t = 0.0;
    for (; t < 1e-3 && (m.id != 0.0 || m.iq != 0.0); t += kH) {
        m.step(kH, {}, 12.0, 0.0);
        for (int k = 0; k < 3; ++k) EXPECT_GE(m.phase_currents()[k] * i0[k], -1e-12) << "leg " << k << " reversed";
    }
    EXPECT_LT(t, 200e-6);
}

// Back-EMF from Kv with a wrong factor (sqrt 3, pole pairs, RPM to rad/s),
// phases out of order, or a floating bridge that conducts or brakes.
TEST_F(PlantTest, OpenCircuitBackEmfMatchesKvAndTheBridgeFloats)
{
    for (const char *p : {"friction_mnm", "stiction_mnm", "viscous_unms"}) ASSERT_TRUE(b.plant.set_param(p, 0));
    b.plant.set_rotor_rpm(1000.0);
    double peak_uv = 0, peak[2] = {0, 0}, max_i = 0;
    int t_peak[2] = {0, 0};
    for (int k = 0; k < 1000; ++k) {
        wait_ms(0.01);
        b.plant.advance_to(b.mcu.now());
        const auto e = b.plant.back_emf_v();
        peak_uv = std::max(peak_uv, e[0] - e[1]);
        for (int ph = 0; ph < 2; ++ph)
            if (e[ph] > peak[ph]) peak[ph] = e[ph], t_peak[ph] = k;
        for (double i : b.plant.snapshot().i_phase) max_i = std::max(max_i, std::fabs(i));
    }
    EXPECT_NEAR(peak_uv, 1000.0 / 260.0, 0.02) << "line-to-line peak = rpm / Kv";
    EXPECT_NEAR((t_peak[1] - t_peak[0] + 1000) % 1000 * 0.01, 10.0 / 3.0, 0.05) << "V a third of 10 ms after U";
    EXPECT_EQ(max_i, 0.0);
    EXPECT_NEAR(b.plant.rotor_rpm(), 1000.0, 1e-9) << "nothing brakes a floating motor";
}

// Duties or supply misread, a leg swapped, the star point not floating, ENC or
// nSleep ignored, a new supply or resistance without effect, or the MCS1805
// sign: the firmware must read current into V as positive.
TEST_F(PlantTest, LockedRotorCurrentIsVOverRAsTheFirmwareReadsIt)
{
    ASSERT_TRUE(b.plant.set_param("stiction_mnm", 100));   // rotor held
    const int16_t zero = static_cast<int16_t>(ADC_Read_Avg(1, 64));
    struct Row { uint16_t u, v, w; uint32_t pin_low; double i[3]; } rows[] = {   // 3 or 9 V of 12, 5 ohm
        {1200, 400, 400, 0, {0.8, -0.4, -0.4}}, {400, 1200, 400, 0, {-0.4, 0.8, -0.4}},
        {400, 400, 1200, 0, {-0.4, -0.4, 0.8}}, {1200, 400, 1200, 0, {0.4, -0.8, 0.4}},
        {1200, 400, 800, ENC_PIN, {0.6, -0.6, 0}}, {1200, 400, 800, nSleep_PIN, {0, 0, 0}},   // U, V in series
    };
    for (double scale : {1.0, 1.25}) {   // then 24 V on 8 ohm
        ASSERT_TRUE(scale == 1 || (b.plant.set_param("supply_v", 24) && b.plant.set_param("r_ohm", 8)));
        for (const Row &r : rows) {
            pwm_write(r.u, r.v, r.w);
            bridge_on();
            GPIOB->BRR = r.pin_low;
            wait_ms(5);   // 18 time constants
            const auto s = b.plant.snapshot();
            SCOPED_TRACE(testing::Message() << r.u << "/" << r.v << "/" << r.w << "/" << r.pin_low << " x" << scale);
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(s.i_phase[k], scale * r.i[k], 1e-3) << "phase " << k;
            EXPECT_NEAR(MCS1805_I_mA(ADC_Read_Avg(1, 16), zero), 1000.0 * s.i_phase[1], 15.0);
            bridge_off();
            wait_ms(1);
        }
    }
}

// Offset or direction applied the wrong way, angles not wrapped or rounded
// instead of truncated, or a speed word (0.1 RPM per LSB) of the wrong sign.
TEST_F(PlantTest, SensorReadsTheRotorWithOffsetAndDirection)
{
    struct Row { double offset, dir, rotor, word; } rows[] = {
        {0, 1, 90.0, 16384}, {10, 1, 10.0, 0}, {10, 1, 5.0, 65536 - 5 * 65536 / 360.0},
        {0, -1, 90.0, 49152}, {30, -1, 20.0, 10 * 65536 / 360.0},
    };
    ASSERT_TRUE(b.plant.set_param("angle_noise_lsb", 0));
    for (const Row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.offset << " " << r.dir << " " << r.rotor);
        ASSERT_TRUE(b.plant.set_param("sensor_offset_deg", r.offset) && b.plant.set_param("sensor_direction", r.dir));
        b.plant.set_rotor_deg(r.rotor + r.dir * 0.25 * 360 / 65536.0);   // a quarter count on
        EXPECT_EQ(MA600A_ReadRaw(), static_cast<uint16_t>(std::floor(r.word + 0.25)));
        b.plant.set_rotor_rpm(-120.0);
        uint16_t angle;
        int16_t speed;
        MA600A_ReadAngleSpeed(&angle, &speed);
        EXPECT_NEAR(speed, r.dir * -1200.0, 15.0);
    }
}

// Noise not seeded from the board's seed; a plant that falls behind the MCU,
// or whose result depends on how often it catches up (a wrong partial step).
TEST(PlantNoise, TheSeedAloneDecidesTheRun)
{
    auto sample = [](uint64_t seed, bool ask_often) {
        sim::Board b(sim::PlantParams{}, seed);
        bring_up();
        pwm_write(1000, 600, 700);
        bridge_on();
        std::vector<int> v;
        for (int k = 0; k < 200; ++k) {
            b.mcu.advance_to(b.mcu.now() + 7919);
            EXPECT_LE(b.mcu.now() - b.plant.time(), sim::Plant::kCatchUpCycles);
            if (ask_often) b.plant.advance_to(b.mcu.now() - 13 * (k % 7));
            v.insert(v.end(), {MA600A_ReadRaw(), ADC_Read(1)});
        }
        return v;
    };
    const auto a = sample(7, false);
    EXPECT_EQ(sample(7, true), a);
    EXPECT_NE(sample(8, false), a);
    EXPECT_NE(a[0], a[398]) << "the rotor must have moved";
}

// Values out of range, or a sub-step too long for the windings (L/R is
// 280 us; the integration would blow up), accepted and kept.
TEST_F(PlantTest, SetParamRejectsBadValues)
{
    const std::pair<const char *, double> bad[] = {{"no_such_thing", 1}, {"r_ohm", -1}, {"sensor_direction", 0},
                                                   {"pole_pairs", 6.5}, {"step_us", 40}, {"ld_mh", 0.01}};
    for (const auto &[name, value] : bad) EXPECT_FALSE(b.plant.set_param(name, value)) << name;
    EXPECT_DOUBLE_EQ(b.plant.params.ld_mh, 1.4);
}
