// The plant: the motor model alone against closed forms, then on a virtual
// board driven through the firmware's board operations, control tick held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "bench.hpp"
#include "plant/motor.hpp"

namespace {

using sim::Leg;
constexpr double kPi = 3.141592653589793, kH = 4e-6;

// The default motor; held: a speed that cannot change.
sim::PmsmModel motor(bool held)
{
    sim::PmsmModel m;
    m.p = sim::PlantParams().motor();
    if (held) m.p.inertia = 1e6, m.p.coulomb = m.p.breakaway = m.p.viscous = 0.0;
    m.reset();
    return m;
}

// The windings and the bridge as a resistive network at one instant
// (inductance neglected): back-EMFs e, legs driven or off with diodes of drop
// vf. Tries every state of the off legs (open, low or high diode) and returns
// the phase currents of the consistent one; sets *supply to the current drawn
// from the supply.
std::array<double, 3> network_currents(const std::array<double, 3> &e, const std::array<Leg, 3> &legs,
                                       double vbus, double vf, double r, double *supply)
{
    for (int code = 0; code < 27; ++code) {
        int st[3], n = 0;
        double v[3], star = 0.0;
        bool ok = true;
        for (int k = 0, c = code; k < 3; ++k, c /= 3) {
            st[k] = c % 3;   // 0 open, 1 low diode, 2 high diode; driven legs only as 0
            ok &= !(legs[k].driven && st[k]);
            v[k] = legs[k].driven ? legs[k].volts : st[k] == 1 ? -vf : vbus + vf;
            const bool on = legs[k].driven || st[k];
            n += on;
            if (on) star += v[k] - e[k];
        }
        if (!ok) continue;
        std::array<double, 3> i{};
        if (n == 0) star = 0.5 * vbus - 0.5 * (*std::max_element(e.begin(), e.end()) + *std::min_element(e.begin(), e.end()));
        else star /= n;
        *supply = 0.0;
        for (int k = 0; k < 3; ++k) {
            const bool on = legs[k].driven || st[k];
            if (on && n >= 2) i[k] = (v[k] - star - e[k]) / r;
            if (!on) ok &= star + e[k] >= -vf - 1e-12 && star + e[k] <= vbus + vf + 1e-12;
            if (st[k] == 1) ok &= i[k] >= 0.0;
            if (st[k] == 2) ok &= i[k] <= 0.0, *supply += i[k];
            if (legs[k].driven) *supply += legs[k].volts / vbus * i[k];
        }
        if (ok) return i;
    }
    ADD_FAILURE() << "no consistent state of the diodes";
    return {};
}

using PlantTest = ControlTest;

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
        double id, iq;
        m.dq_currents(id, iq);
        EXPECT_GT(std::fabs(id * iq), 1e-5) << r.lead_deg << ": the reluctance term must take part";
        EXPECT_NEAR(p_in, p_cu + m.torque() * m.omega_mech, 0.002 * (std::fabs(p_in) + p_cu)) << r.lead_deg;
    }
}

// The driven legs' shortcut against the sub-step that decides the diodes
// every time: a wrong term or sign in the affine form of Heun's step, a frame
// that does not follow the rotor (or starts from the wrong angle when a run is
// cut in pieces), the torque or the friction misapplied. The two differ by
// rounding only, so they agree to far better than the model's own accuracy.
TEST(MotorModel, DrivenShortcutFollowsTheGeneralStep)
{
    struct Row { double ld_mh, rpm, load_mnm; bool held; } rows[] = {
        {2.7, 300, 0.0, false},     // the default motor, a turn per step of 2e-4 rad
        {2.7, 0, 0.3, false},       // at rest, held by static friction, then breaking away
        {1.2, -2500, 2.0, false},   // strong saliency, fast backwards: 2e-3 rad per step
        {2.7, 9000, 0.0, true},     // held at 0.023 rad per step
        {2.7, 60000, 0.0, true},    // and at 0.15 rad, beyond what the plant's figures allow
    };
    std::mt19937 rng(7);
    const auto uniform = [&](double lo, double hi) { return lo + (hi - lo) * (rng() / 4294967296.0); };
    for (const Row &r : rows) {
        sim::PmsmModel ref = motor(r.held);
        ref.p.ld_h = r.ld_mh * 1e-3;
        ref.omega_mech = r.rpm * kPi / 30;
        ref.place(uniform(0, 2 * kPi));
        ref.omega_mech = r.rpm * kPi / 30;
        ref.i_alpha = uniform(-0.3, 0.3);
        ref.i_beta = uniform(-0.3, 0.3);
        sim::PmsmModel fast = ref;
        for (int run = 0; run < 40; ++run) {
            const std::array<Leg, 3> legs{Leg{true, uniform(0, 12)}, Leg{true, uniform(0, 12)}, Leg{true, uniform(0, 12)}};
            const int steps = 1 + static_cast<int>(rng() % 120);
            const double h = run % 5 == 4 ? uniform(0.1, 1.0) * kH : kH;        // now and then shortened steps,
            const double last = run % 3 == 2 ? uniform(0.001, 1.0) * kH : 0.0;   // or a short one at the end
            for (int n = 0; n < steps; ++n) ref.step(h, legs, 12.0, r.load_mnm * 1e-3);
            if (last > 0.0) ref.step(last, legs, 12.0, r.load_mnm * 1e-3);
            ASSERT_EQ(fast.step_driven(h, steps, last, legs, r.load_mnm * 1e-3), steps + (last > 0.0));
        }
        SCOPED_TRACE(testing::Message() << r.rpm << " rpm, Ld " << r.ld_mh << " mH");
        EXPECT_NEAR(fast.i_alpha, ref.i_alpha, 1e-12);
        EXPECT_NEAR(fast.i_beta, ref.i_beta, 1e-12);
        EXPECT_NEAR(fast.omega_mech, ref.omega_mech, 1e-9 * (1 + std::fabs(ref.omega_mech)));
        EXPECT_NEAR(fast.theta_mech, ref.theta_mech, 1e-11);
    }
}

// The electrical angle reduced to [0, 2 pi) must be fmod's exact remainder,
// bit for bit: a reduction that rounds (or misses a multiple of 2 pi, or
// leaves 2 pi itself) moves the rotor's frame. Edges at and next to the
// multiples, random angles, pole pairs past the quick reduction's range.
TEST(MotorModel, ElectricalAngleIsTheExactRemainder)
{
    std::mt19937 rng(11);
    std::vector<double> mech;
    for (int k = 0; k <= 40; ++k) {
        const double m = k * (2 * kPi);
        mech.insert(mech.end(), {m, std::nextafter(m, 0.0), std::nextafter(m, 1e9)});
    }
    for (int n = 0; n < 2000; ++n) mech.push_back(rng() / 4294967296.0 * 2 * kPi);
    for (const double pole_pairs : {1.0, 4.0, 7.0, 15.0, 16.0, 40.0}) {
        sim::PmsmModel m = motor(false);
        m.p.pole_pairs = pole_pairs;
        for (const double th : mech) {
            m.theta_mech = th / pole_pairs;
            double want = std::fmod(pole_pairs * m.theta_mech, 2 * kPi);
            if (want < 0.0) want += 2 * kPi;
            ASSERT_EQ(m.theta_elec(), want) << pole_pairs << " pole pairs at " << m.theta_mech;
        }
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
// drive, or a diode freewheel that overshoots through zero, hangs or ends at
// the wrong time: U's low diode and the high diodes of V and W put -2/3
// (supply + 2 Vf) on the d axis, so the current reaches zero at
// t = Ld/R ln(1 + R i0 / (2/3 (supply + 2 Vf))).
TEST(MotorModel, RLStepThenFreewheelToZero)
{
    sim::PmsmModel m = motor(true);
    const double tau = m.p.ld_h / m.p.r_ohm;
    const std::array<Leg, 3> step{Leg{true, 6.0}, Leg{true, 0.0}, Leg{true, 0.0}};
    int n = 0;
    for (double t_tau : {0.5, 1.0, 3.0, 18.0}) {
        for (; n * kH < t_tau * tau - kH / 2; ++n) m.step(kH, step, 12.0, 0.0);
        double id, iq;
        m.dq_currents(id, iq);
        EXPECT_NEAR(id, 4.0 / m.p.r_ohm * (1.0 - std::exp(-n * kH / tau)), 1e-4) << t_tau;
        EXPECT_EQ(m.omega_mech, 0.0) << t_tau;
    }
    const auto i0 = m.phase_currents();
    const double t_zero = tau * std::log(1.0 + m.p.r_ohm * i0[0] / (2.0 / 3.0 * (12.0 + 2.0 * m.p.diode_vf)));
    double t = 0.0;
    for (; t < 1e-3 && (m.i_alpha != 0.0 || m.i_beta != 0.0); t += kH) {
        m.step(kH, {}, 12.0, 0.0);
        for (int k = 0; k < 3; ++k) EXPECT_GE(m.phase_currents()[k] * i0[k], -1e-12) << "leg " << k << " reversed";
    }
    EXPECT_NEAR(t, t_zero, kH) << "from " << i0[0] << " A";
}

// Diodes that do not conduct when a terminal would leave the rails, conduct
// the wrong way, clamp at the wrong voltage, or stop too early or late: on a
// rotor held at speed, the braking torque and the current returned to the
// supply over one electrical turn match the resistive network of the windings
// and diodes (inductance made small). Onset at Kv (12 V + 2 Vf) = 2584 RPM
// with all legs off; driven legs clamp the star so that off legs conduct
// earlier.
TEST(MotorModel, DiodeBridgeBrakesAsTheResistiveNetworkPredicts)
{
    const Leg off{}, at0{true, 0.0}, at6{true, 6.0};
    struct Row { const char *what; double rpm; std::array<Leg, 3> legs; } rows[] = {
        {"all off below the onset", 2500, {off, off, off}},
        {"all off, pairs conduct", 2800, {off, off, off}},
        {"all off, pairs and threes", 4000, {off, off, off}},
        {"all off, turning backwards", -4000, {off, off, off}},
        {"U driven low, V and W off", 1500, {at0, off, off}},
        {"U and V at 6 V, W off (its enable low)", 2000, {at6, at6, off}},
    };
    constexpr double kFine = 0.25e-6;
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        sim::PmsmModel m = motor(true);
        m.p.ld_h = m.p.lq_h = 0.05e-3;   // L/R = 5 us against a 2.5 ms turn
        m.omega_mech = r.rpm * kPi / 30;
        const double turn = 2 * kPi / std::fabs(6 * m.omega_mech);
        for (double t = 0; t < turn; t += kFine) m.step(kFine, r.legs, 12.0, 0.0);   // settle
        double torque = 0, supply = 0, want_torque = 0, want_supply = 0, peak = 0, want_peak = 0;
        int n = 0;
        for (double t = 0; t < turn; t += kFine, ++n) {
            m.step(kFine, r.legs, 12.0, 0.0);
            double s;
            const auto want = network_currents(m.back_emf(), r.legs, 12.0, m.p.diode_vf, m.p.r_ohm, &s);
            const auto e = m.back_emf();
            torque += m.torque();
            want_torque += (e[0] * want[0] + e[1] * want[1] + e[2] * want[2]) / m.omega_mech;
            supply += m.supply_current(r.legs, 12.0);
            want_supply += s;
            for (int k = 0; k < 3; ++k)
                peak = std::max(peak, std::fabs(m.phase_currents()[k])), want_peak = std::max(want_peak, std::fabs(want[k]));
        }
        EXPECT_NEAR(torque / n, want_torque / n, 0.03 * std::fabs(want_torque / n) + 1e-6);
        EXPECT_NEAR(supply / n, want_supply / n, 0.03 * std::fabs(want_supply / n) + 1e-5);
        EXPECT_NEAR(peak, want_peak, 0.03 * want_peak + 1e-5);
        if (want_peak == 0.0) {
            EXPECT_EQ(peak, 0.0) << "floats";
        } else {
            EXPECT_LT(torque / n * r.rpm, -1e-3 * std::fabs(r.rpm)) << "brakes";
        }
    }
}

// Nothing that holds a rotor driven by a load with the bridge off, or a
// braking torque of the wrong size: a load of 3 mN*m turns the rotor
// backwards until the diodes' braking torque equals it, at the speed where
// the resistive network's mean torque does (found by bisection here).
TEST(MotorModel, GeneratorBrakingBoundsTheSpeedUnderLoad)
{
    sim::PmsmModel m = motor(false);
    m.p.ld_h = m.p.lq_h = 0.05e-3;
    m.p.coulomb = m.p.breakaway = m.p.viscous = 0.0;
    m.p.inertia = 3e-7;   // settles in milliseconds, 2 % speed ripple
    const double load = 3e-3;
    auto braking = [&](double w) {   // mean network torque against rotation at -w
        double sum = 0, s;
        const int n = 600;
        for (int k = 0; k < n; ++k) {
            std::array<double, 3> e;
            for (int ph = 0; ph < 3; ++ph) e[ph] = w * 6 * m.p.flux_wb * std::sin(2 * kPi * k / n - ph * 2 * kPi / 3);
            const auto i = network_currents(e, {}, 12.0, m.p.diode_vf, m.p.r_ohm, &s);
            sum += (e[0] * i[0] + e[1] * i[1] + e[2] * i[2]) / w;
        }
        return -sum / n;
    };
    double lo = 100, hi = 2000;
    while (hi - lo > 0.01) (braking(0.5 * (lo + hi)) > load ? hi : lo) = 0.5 * (lo + hi);
    const double want_rpm = -0.5 * (lo + hi) * 30 / kPi;

    constexpr double kFine = 0.5e-6;
    double rpm = 0, supply = 0;
    int n = 0;
    for (double t = 0; t < 0.08; t += kFine) {
        m.step(kFine, {}, 12.0, load);
        if (t > 0.07) rpm += m.omega_mech * 30 / kPi, supply += m.supply_current({}, 12.0), ++n;
    }
    EXPECT_NEAR(rpm / n, want_rpm, 0.01 * std::fabs(want_rpm)) << "Kv (12 V + 2 Vf) = 2584 RPM at the onset";
    EXPECT_LT(supply / n, -0.01) << "the load's power goes back to the supply";
}

// Back-EMF from Kv with a wrong factor (sqrt 3, pole pairs, RPM to rad/s),
// phases out of order, or a floating bridge that conducts or brakes below the
// diodes' onset; then a sleeping bridge whose diodes do not brake a rotor
// turned faster, or brake it below Kv (supply + 2 Vf), where nothing can.
TEST_F(PlantTest, OpenCircuitBackEmfMatchesKvAndASleepingBridgeBrakesOnlyAboveTheSupply)
{
    for (const char *p : {"friction_mnm", "stiction_mnm", "viscous_unms"}) ASSERT_TRUE(b.plant.set_param(p, 0));
    const double kv = b.plant.params.kv_rpm_per_v;
    b.plant.set_rotor_rpm(1000.0);
    double peak_uv = 0, peak[2] = {0, 0}, max_i = 0;
    int t_peak[2] = {0, 0};
    const int n = 1000;   // samples 10 us apart over one electrical turn (10 ms)
    for (int k = 0; k < n; ++k) {
        run_ms(0.01);
        b.plant.advance_to(b.mcu.now());
        const auto e = b.plant.back_emf_v();
        peak_uv = std::max(peak_uv, e[0] - e[1]);
        for (int ph = 0; ph < 2; ++ph)
            if (e[ph] > peak[ph]) peak[ph] = e[ph], t_peak[ph] = k;
        for (double i : b.plant.snapshot().i_phase) max_i = std::max(max_i, std::fabs(i));
    }
    EXPECT_NEAR(peak_uv, 1000.0 / kv, 0.02) << "line-to-line peak = rpm / Kv";
    EXPECT_NEAR((t_peak[1] - t_peak[0] + n) % n * 0.01, 10.0 / 3.0, 0.05) << "V a third of 10 ms after U";
    EXPECT_EQ(max_i, 0.0);
    EXPECT_NEAR(b.plant.rotor_rpm(), 1000.0, 1e-9) << "nothing brakes a floating motor";

    ASSERT_FALSE(b.plant.snapshot().bridge_enabled);
    const double onset = kv * (b.plant.params.supply_v + 2 * b.plant.params.diode_vf);
    b.plant.set_rotor_rpm(-4000.0);
    double supply = 0;
    for (int k = 0; k < 1000; ++k) {
        run_ms(1);
        b.plant.advance_to(b.mcu.now());
        supply += b.plant.snapshot().supply_a;
    }
    EXPECT_LT(supply / 1000, -1e-3) << "the diodes return current to the supply";
    EXPECT_GT(-b.plant.rotor_rpm(), onset);
    EXPECT_LT(-b.plant.rotor_rpm(), 1.03 * onset);
}

// Duties or supply misread, a leg swapped, the star point not floating, ENC or
// nSleep ignored, a new supply or resistance without effect, or the MCS1805
// sign: the firmware must read current into V as positive.
TEST_F(PlantTest, LockedRotorCurrentIsVOverRAsTheFirmwareReadsIt)
{
    ASSERT_TRUE(b.plant.set_param("stiction_mnm", 100));   // rotor held
    const int16_t zero = static_cast<int16_t>(ADC_Read_Avg(1, 64));
    // Legs at a quarter and three quarters of the supply; currents in units of
    // (supply / 3) / R, the current of the first row in U.
    struct Row { uint16_t u, v, w; uint32_t pin_low; double i[3]; } rows[] = {
        {1200, 400, 400, 0, {1, -0.5, -0.5}}, {400, 1200, 400, 0, {-0.5, 1, -0.5}},
        {400, 400, 1200, 0, {-0.5, -0.5, 1}}, {1200, 400, 1200, 0, {0.5, -1, 0.5}},
        {1200, 400, 800, ENC_PIN, {0.75, -0.75, 0}}, {1200, 400, 800, nSleep_PIN, {0, 0, 0}},   // U, V in series
    };
    for (int pass = 0; pass < 2; ++pass) {   // then 24 V on 8 ohm
        ASSERT_TRUE(pass == 0 || (b.plant.set_param("supply_v", 24) && b.plant.set_param("r_ohm", 8)));
        const double scale = b.plant.params.supply_v / 3 / b.plant.params.r_ohm;
        for (const Row &r : rows) {
            pwm_write(r.u, r.v, r.w);
            bridge_on();
            GPIOB->BRR = r.pin_low;
            run_ms(5);   // 18 time constants
            const auto s = b.plant.snapshot();
            SCOPED_TRACE(testing::Message() << r.u << "/" << r.v << "/" << r.w << "/" << r.pin_low << " x" << scale);
            for (int k = 0; k < 3; ++k) EXPECT_NEAR(s.i_phase[k], scale * r.i[k], 1e-3) << "phase " << k;
            EXPECT_NEAR(MCS1805_I_mA(ADC_Read_Avg(1, 16), zero), 1000.0 * s.i_phase[1], 15.0);
            bridge_off();
            run_ms(1);
        }
    }
}

// Sub-steps kept at step_us whatever the windings or the speed: Heun's method
// blows up on windings of L/R 1 us, and a rotor turning 0.3 rad per sub-step
// (braking on the diodes from 20000 RPM) drifts from the fine-stepped motor,
// as it still does at 0.05 rad.
TEST_F(PlantTest, SubStepsShortenForFastWindingsAndAFastRotor)
{
    const sim::PlantParams defaults;
    ASSERT_TRUE(b.plant.set_param("stiction_mnm", 100));   // rotor held
    ASSERT_TRUE(b.plant.set_param("ld_mh", 0.01) && b.plant.set_param("lq_mh", 0.01));
    pwm_write(1200, 400, 400);
    bridge_on();
    run_ms(1);
    EXPECT_NEAR(b.plant.snapshot().i_phase[0], b.plant.params.supply_v / 3 / b.plant.params.r_ohm, 1e-3);
    bridge_off();
    b.plant.params = defaults;
    run_ms(1);
    b.plant.set_rotor_rpm(-20000.0);
    const sim::PlantSnapshot now = b.plant.snapshot();
    const double *i = now.i_phase;
    sim::PmsmModel fine;
    fine.p = defaults.motor();
    fine.place(b.plant.rotor_deg() * kPi / 180);
    fine.omega_mech = -20000.0 * kPi / 30;
    fine.i_alpha = i[0];
    fine.i_beta = (i[1] - i[2]) / std::sqrt(3.0);
    for (int k = 0; k < 4000; ++k) fine.step(0.5e-6, {}, b.plant.params.supply_v, 0.0);   // 2 ms
    run_ms(2);
    b.plant.advance_to(b.mcu.now());
    EXPECT_NEAR(b.plant.rotor_rpm(), fine.omega_mech * 30 / kPi, 10.0);
    EXPECT_NEAR(b.plant.phase_v_current_a(), fine.phase_currents()[1], 0.01);
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
        Bench t(Bench::kTickHeld, seed);
        sim::Board &b = t.b;
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
    // Catching up more often cuts sub-steps elsewhere: the same run within
    // the integration's error, which may move a reading across a count now
    // and then.
    const auto often = sample(7, true);
    ASSERT_EQ(often.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) EXPECT_LE(std::abs(static_cast<int16_t>(often[i] - a[i])), 1) << i;   // words wrap
    EXPECT_NE(sample(8, false), a);
    EXPECT_NE(a[0], a[398]) << "the rotor must have moved";
}

// A bridge input that takes effect from wherever the plant last caught up
// instead of from the instant it changed (up to a millisecond early).
TEST(PlantBridge, AnInputTakesEffectAtTheInstantItChanges)
{
    const auto current_after_change = [](bool caught_up_by_hand) {
        Bench t(Bench::kTickHeld);
        sim::Board &b = t.b;
        pwm_write(1000, 600, 700);
        bridge_on();
        b.mcu.advance_to(b.mcu.now() + 50000);
        if (caught_up_by_hand) b.plant.advance_to(b.mcu.now());
        pwm_write(600, 1000, 700);
        b.mcu.advance_to(b.mcu.now() + 5000);
        b.plant.advance_to(b.mcu.now());
        return b.plant.phase_v_current_a();
    };
    EXPECT_NEAR(current_after_change(false), current_after_change(true), 1e-6);   // sub-steps cut elsewhere
}

// A bad figure accepted, or refused without naming it and the reason; a set
// whose verdict depends on the order of the options.
TEST(PlantParams, EachFigureInItsRangeThenTheSetAsAWhole)
{
    struct Row { std::vector<std::pair<const char *, const char *>> sets; const char *error; } rows[] = {
        {{{"no_such_thing", "1"}}, "unknown parameter 'no_such_thing'"},
        {{{"r_ohm", "abc"}}, "r_ohm: 'abc' is not a number"},
        {{{"r_ohm", "1e999"}}, "r_ohm: '1e999' is not a number"},
        {{{"r_ohm", "0.01"}}, "r_ohm=0.01 is outside [0.1, 100] ohm"},
        {{{"supply_v", "60"}}, "supply_v=60 is outside [4, 55] V"},
        {{{"load_mnm", "-1000"}}, "load_mnm=-1000 is outside [-100, 100] mN*m"},
        {{{"pole_pairs", "6.5"}}, "pole_pairs=6.5 is not a whole number"},
        {{{"sensor_direction", "0"}}, "sensor_direction=0: the direction is +1 or -1"},
        {{{"step_us", "60"}}, "step_us=60 is outside [0.1, 50] us"},
        // the plant shortens its sub-step itself: fast windings, a fast rotor
        {{{"ld_mh", "0.01"}, {"step_us", "50"}}, ""},
        {{{"kv_rpm_per_v", "5000"}, {"supply_v", "55"}, {"load_mnm", "-100"}}, ""},
        {{{"friction_mnm", "1"}}, "stiction_mnm=0.6 is below friction_mnm=1"},
        {{{"friction_mnm", "1"}, {"stiction_mnm", "1"}}, ""},
    };
    for (const Row &r : rows) {
        sim::PlantParams p;
        std::string why;
        for (const auto &[name, text] : r.sets)
            if (why.empty()) why = p.set(name, text);
        if (why.empty()) why = p.check();
        if (*r.error) EXPECT_NE(why.find(r.error), std::string::npos) << r.sets[0].first << ": " << why;
        else EXPECT_EQ(why, "") << r.sets[0].first;
    }
    EXPECT_EQ(sim::PlantParams().check(), "") << "the defaults hold together";
}

// A refused change kept anyway, or a load outside its range accepted at run time.
TEST_F(PlantTest, RefusedChangesLeaveTheFiguresAlone)
{
    std::string why;
    EXPECT_FALSE(b.plant.set_param("friction_mnm", 1.0, &why));
    EXPECT_NE(why.find("is below friction_mnm=1"), std::string::npos) << why;
    EXPECT_DOUBLE_EQ(b.plant.params.friction_mnm, sim::PlantParams().friction_mnm);
    EXPECT_TRUE(b.plant.set_load_torque_nm(0.1));
    EXPECT_FALSE(b.plant.set_load_torque_nm(-1.0, &why));
    EXPECT_NE(why.find("load_mnm=-1000 is outside"), std::string::npos) << why;
    EXPECT_DOUBLE_EQ(b.plant.params.load_mnm, 100.0);
}

// A motor model gone non-finite that runs on (NaN on the console, exit 0)
// instead of stopping with the virtual time and status 1.
TEST_F(PlantTest, NonFiniteStateEndsTheRunWithStatus1)
{
    b.plant.params.ld_mh = 0.0;   // past the checks: the windings' equations divide by it
    pwm_write(1000, 600, 700);
    bridge_on();
    EXPECT_EXIT(run_ms(1), ::testing::ExitedWithCode(1), "no longer finite at virtual time [0-9]+[.][0-9]{3} ms");
}
