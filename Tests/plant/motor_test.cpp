// The motor model alone: windings, torque, shaft and the bridge's diodes,
// checked against closed-form results of the dq equations.
#include <gtest/gtest.h>

#include <cmath>

#include "plant/motor.hpp"

namespace {

using sim::Leg;
using sim::PmsmModel;

constexpr double kPi = 3.141592653589793;
constexpr double kH = 4e-6;

PmsmModel salient_motor()
{
    PmsmModel m;
    m.p.flux_wb = sim::flux_from_kv(260.0, 6);
    m.reset();
    return m;
}

// Legs at mid-supply plus a balanced set of amplitude a at electrical angle phi.
std::array<Leg, 3> vector_legs(double a, double phi)
{
    std::array<Leg, 3> l;
    for (int k = 0; k < 3; ++k) l[k] = {true, 6.0 + a * std::cos(phi - k * 2.0 * kPi / 3.0)};
    return l;
}

void run(PmsmModel &m, double seconds, const std::array<Leg, 3> &legs, double load = 0.0)
{
    for (int n = static_cast<int>(seconds / kH + 0.5); n > 0; --n) m.step(kH, legs, 12.0, load);
}

}  // namespace

// Faults caught: a wrong factor or sign in the torque (1.5 p, the reluctance
// term), transforms that do not conserve power, torque inconsistent with the
// back-EMF. At constant speed and steady currents the power drawn from the
// legs equals the copper loss plus the shaft power.
TEST(MotorModel, PowerDrawnEqualsCopperLossPlusShaftPower)
{
    struct Case { double rpm, amp, lead_deg; };
    const Case cases[] = {{300, 2.0, 90}, {300, 2.0, 150}, {1000, 4.0, 120}, {600, 3.0, 200}};
    for (const Case &c : cases) {
        PmsmModel m = salient_motor();
        m.p.inertia = 1e6;   // the speed cannot change
        m.p.coulomb = m.p.breakaway = m.p.viscous = 0.0;
        m.omega_mech = c.rpm * 2.0 * kPi / 60.0;
        // A vector turning with the rotor, lead_deg ahead of its d axis.
        for (int n = 0; n < 5000; ++n) {
            double phi = m.theta_elec() + c.lead_deg * kPi / 180.0;
            m.step(kH, vector_legs(c.amp, phi), 12.0, 0.0);
        }
        double phi = m.theta_elec() + c.lead_deg * kPi / 180.0;
        auto legs = vector_legs(c.amp, phi);
        auto i = m.phase_currents();
        double p_in = 0.0, p_cu = 0.0;
        for (int k = 0; k < 3; ++k) {
            p_in += legs[k].volts * i[k];
            p_cu += m.p.r_ohm * i[k] * i[k];
        }
        double p_shaft = m.torque() * m.omega_mech;
        SCOPED_TRACE(c.lead_deg);
        EXPECT_GT(std::fabs(m.id * m.iq), 1e-4) << "the reluctance term must take part";
        EXPECT_NEAR(p_in, p_cu + p_shaft, 0.002 * (std::fabs(p_in) + p_cu));
    }
}

// Faults caught: back-EMF with the wrong sign, size or phase; a missing or
// wrong cross-coupling term. Legs all at one voltage short the windings: the
// steady currents are iq = -w lambda R / (R^2 + w^2 Ld Lq), id = w Lq iq / R.
TEST(MotorModel, ShortedWindingsCarryTheClosedFormCurrent)
{
    for (double rpm : {100.0, 1000.0, -500.0}) {
        PmsmModel m = salient_motor();
        m.p.inertia = 1e6;
        m.p.coulomb = m.p.breakaway = m.p.viscous = 0.0;
        m.omega_mech = rpm * 2.0 * kPi / 60.0;
        run(m, 0.01, {Leg{true, 6.0}, Leg{true, 6.0}, Leg{true, 6.0}});
        const double w = 6.0 * m.omega_mech, R = m.p.r_ohm, Ld = m.p.ld_h, Lq = m.p.lq_h;
        const double iq = -w * m.p.flux_wb * R / (R * R + w * w * Ld * Lq);
        const double id = w * Lq * iq / R;
        SCOPED_TRACE(rpm);
        EXPECT_NEAR(m.iq, iq, 1e-4 * std::fabs(iq) + 1e-9);
        EXPECT_NEAR(m.id, id, 1e-4 * std::fabs(id) + 1e-9);
        EXPECT_LT(m.torque() * m.omega_mech, 0.0) << "a shorted motor brakes";
    }
}

// Faults caught: an unstable or inaccurate integration step, inductance or
// resistance misused. A rotor held on the d axis takes a step of voltage
// along d: i = V/R (1 - exp(-t R / Ld)).
TEST(MotorModel, LockedRotorStepFollowsTheRLResponse)
{
    PmsmModel m = salient_motor();
    const double tau = m.p.ld_h / m.p.r_ohm;
    // U at 12 V, V and W at 0: v_alpha = 8 V along the d axis of a rotor at 0.
    const std::array<Leg, 3> legs{Leg{true, 12.0}, Leg{true, 0.0}, Leg{true, 0.0}};
    for (double t : {0.5 * tau, tau, 3.0 * tau}) {
        PmsmModel s = m;
        run(s, t, legs);
        EXPECT_NEAR(s.id, 8.0 / m.p.r_ohm * (1.0 - std::exp(-t / tau)), 2e-4) << t / tau;
        EXPECT_EQ(s.omega_mech, 0.0) << "current on the d axis makes no torque";
    }
}

// Faults caught: the rotor creeping under a torque below the breakaway
// torque, friction that reverses a coasting rotor, a wrong acceleration.
TEST(MotorModel, StaticAndKineticFriction)
{
    struct Case { double load_mnm, rpm0, rpm_after_10ms; };
    const double J = 3e-6;
    const Case cases[] = {
        {0.5, 0.0, 0.0},                          // below breakaway: stays
        {-0.59, 0.0, 0.0},                        // either sense
        {-1.0, 0.0, (1.0 - 0.4) * 1e-3 / J * 0.01 * 60 / (2 * kPi)},   // breaks away, accelerates
        {0.0, 10.0, 0.0},                         // coasts to a stop and stays
    };
    for (const Case &c : cases) {
        PmsmModel m = salient_motor();
        m.p.inertia = J;
        m.p.viscous = 0.0;
        m.omega_mech = c.rpm0 * 2 * kPi / 60;
        double min_rpm = 1e9;
        const std::array<Leg, 3> open{};
        for (int n = 0; n < 2500; ++n) {
            m.step(kH, open, 12.0, c.load_mnm * 1e-3);
            min_rpm = std::min(min_rpm, m.omega_mech * 60 / (2 * kPi));
        }
        SCOPED_TRACE(c.load_mnm);
        EXPECT_NEAR(m.omega_mech * 60 / (2 * kPi), c.rpm_after_10ms, 1e-3 * std::fabs(c.rpm_after_10ms) + 1e-12);
        if (c.rpm0 > 0) {
            EXPECT_GE(min_rpm, 0.0) << "friction must not reverse the rotor";
        }
    }
}

// Faults caught: disabled legs that still drive or brake, a freewheel current
// that overshoots through zero, a leg left open carrying current. With all
// legs off the current returns to the supply through the diodes and stops;
// a spinning rotor then sees no current and no braking.
TEST(MotorModel, DisabledLegsFreewheelToZeroThenFloat)
{
    PmsmModel m = salient_motor();
    m.p.coulomb = m.p.breakaway = m.p.viscous = 0.0;
    m.p.inertia = 1e6;
    run(m, 0.005, {Leg{true, 12.0}, Leg{true, 0.0}, Leg{true, 6.0}});
    auto i0 = m.phase_currents();
    ASSERT_GT(std::fabs(i0[0]), 0.5);
    const std::array<Leg, 3> off{};
    double t = 0.0;
    while (t < 1e-3 && (m.id != 0.0 || m.iq != 0.0)) {
        m.step(kH, off, 12.0, 0.0);
        t += kH;
        auto i = m.phase_currents();
        for (int k = 0; k < 3; ++k) EXPECT_GE(i[k] * i0[k], -1e-12) << "leg " << k << " reversed";
    }
    EXPECT_LT(t, 200e-6) << "the freewheel against the supply takes about 0.1 ms";
    m.omega_mech = 1000 * 2 * kPi / 60;
    run(m, 0.01, off);
    EXPECT_EQ(m.id, 0.0);
    EXPECT_EQ(m.iq, 0.0);
    EXPECT_DOUBLE_EQ(m.omega_mech, 1000 * 2 * kPi / 60);
}
