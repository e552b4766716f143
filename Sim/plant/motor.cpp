#include "plant/motor.hpp"

#include <cmath>

namespace sim {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kSqrt3 = 1.7320508075688772;

double wrap_2pi(double a)
{
    a = std::fmod(a, kTwoPi);
    return a < 0.0 ? a + kTwoPi : a;
}

// Clarke transform of three quantities whose zero-sequence part is dropped.
void clarke(const std::array<double, 3> &x, double &a, double &b)
{
    a = (2.0 * x[0] - x[1] - x[2]) / 3.0;
    b = (x[1] - x[2]) / kSqrt3;
}

double sign(double x) { return x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : 0.0; }

// A leg that is off and carries less than this is open: rounding in the
// transforms leaves a remainder of about 1e-17 A where the current stopped.
constexpr double kOpenA = 1e-9;

}  // namespace

double flux_from_kv(double kv_rpm_per_v, int pole_pairs)
{
    // Line-to-line peak back-EMF = sqrt(3) * omega_e * lambda, and at kv RPM per
    // volt it equals 1 V at kv RPM: omega_e = pole_pairs * kv * 2 pi / 60.
    return 60.0 / (kSqrt3 * kTwoPi * pole_pairs * kv_rpm_per_v);
}

void PmsmModel::reset()
{
    id = iq = 0.0;
    theta_mech = 0.0;
    omega_mech = 0.0;
}

double PmsmModel::theta_elec() const { return wrap_2pi(p.pole_pairs * theta_mech); }

double PmsmModel::torque_of(double d, double q) const
{
    return 1.5 * p.pole_pairs * (p.flux_wb * q + (p.ld_h - p.lq_h) * d * q);
}

std::array<double, 3> PmsmModel::phase_currents() const
{
    double th = theta_elec();
    double c = std::cos(th), s = std::sin(th);
    double a = id * c - iq * s;
    double b = id * s + iq * c;
    return {a, -0.5 * a + 0.5 * kSqrt3 * b, -0.5 * a - 0.5 * kSqrt3 * b};
}

std::array<double, 3> PmsmModel::back_emf() const
{
    // Flux of phase k: lambda cos(theta_e - k 2pi/3); its rate of change.
    double th = theta_elec();
    double we = p.pole_pairs * omega_mech;
    std::array<double, 3> e{};
    for (int k = 0; k < 3; ++k) e[k] = -we * p.flux_wb * std::sin(th - k * kTwoPi / 3.0);
    return e;
}

void PmsmModel::set_phase_currents(const std::array<double, 3> &i, double theta_e)
{
    double a, b;
    clarke(i, a, b);
    double c = std::cos(theta_e), s = std::sin(theta_e);
    id = a * c + b * s;
    iq = -a * s + b * c;
}

void PmsmModel::place(double theta_mech_rad)
{
    auto i = phase_currents();
    theta_mech = wrap_2pi(theta_mech_rad);
    omega_mech = 0.0;
    set_phase_currents(i, theta_elec());
}

void PmsmModel::step(double h, const std::array<Leg, 3> &legs, double vbus, double load_nm)
{
    double t0 = torque();
    step_currents(h, legs, vbus);
    step_shaft(h, t0, load_nm);
}

// The windings over one sub-step, with Heun's method (explicit trapezoidal
// rule, second order). The rotor's speed is taken as constant over the step
// and its angle as moving linearly: the shaft is three orders of magnitude
// slower than the windings.
//
// A leg that is off conducts through its low-side diode (at -Vf) while its
// current flows into the winding and through its high-side diode (at
// Vbus + Vf) while it flows out, so the voltage always works against the
// current and drives it to zero within tens of microseconds; at zero the leg
// is open and stays so. With all three legs connected the winding currents
// follow the dq equations; with one leg open the other two carry one current
// through two windings in series; with fewer, nothing flows.
void PmsmModel::step_currents(double h, const std::array<Leg, 3> &legs, double vbus)
{
    const double th0 = theta_elec();
    const double we = p.pole_pairs * omega_mech;
    const double th1 = th0 + we * h;
    const auto i0 = phase_currents();

    std::array<bool, 3> connected{};
    std::array<double, 3> v{};
    std::array<double, 3> dir{};   // sign of the current a diode carries, 0 for a driven leg
    int n = 0;
    for (int k = 0; k < 3; ++k) {
        if (legs[k].driven) {
            connected[k] = true;
            v[k] = legs[k].volts;
        } else if (std::fabs(i0[k]) > kOpenA) {
            connected[k] = true;
            dir[k] = sign(i0[k]);
            v[k] = i0[k] > 0.0 ? -p.diode_vf : vbus + p.diode_vf;
        }
        n += connected[k];
    }

    const double R = p.r_ohm, Ld = p.ld_h, Lq = p.lq_h, lam = p.flux_wb;

    if (n == 3) {
        double va, vb;
        clarke(v, va, vb);
        auto f = [&](double d, double q, double th, double &dd, double &dq) {
            double c = std::cos(th), s = std::sin(th);
            double vd = va * c + vb * s, vq = -va * s + vb * c;
            dd = (vd - R * d + we * Lq * q) / Ld;
            dq = (vq - R * q - we * (Ld * d + lam)) / Lq;
        };
        double k1d, k1q, k2d, k2q;
        f(id, iq, th0, k1d, k1q);
        f(id + h * k1d, iq + h * k1q, th1, k2d, k2q);
        id += 0.5 * h * (k1d + k2d);
        iq += 0.5 * h * (k1q + k2q);
        // A current decaying in shorted windings would end in subnormal
        // numbers, which the FPU handles a hundred times slower.
        if (std::fabs(id) < 1e-15) id = 0.0;
        if (std::fabs(iq) < 1e-15) iq = 0.0;
    } else if (n == 2) {
        // Current i flows into leg y and out of leg z; x is open. In the dq
        // frame the current is i * u(theta) with u the rotating image of the
        // pattern (x, y, z) = (0, 1, -1). Projecting the voltage equation on u
        // removes the unknown voltage of the open leg: 1.5 u.v_ab = v_y - v_z.
        int x = !connected[0] ? 0 : !connected[1] ? 1 : 2;
        int y = (x + 1) % 3, z = (x + 2) % 3;
        std::array<double, 3> pat{};
        pat[y] = 1.0;
        pat[z] = -1.0;
        double pa, pb;
        clarke(pat, pa, pb);
        const double drive = 2.0 / 3.0 * (v[y] - v[z]);
        auto g = [&](double i, double th) {
            double c = std::cos(th), s = std::sin(th);
            double ud = pa * c + pb * s, uq = -pa * s + pb * c;
            double psi_d = Ld * i * ud + lam, psi_q = Lq * i * uq;
            // u . (L J u), with J the quarter-turn rotation, and u . J psi.
            double uLJu = (Lq - Ld) * ud * uq;
            double uJpsi = -ud * psi_q + uq * psi_d;
            return (drive - R * i * (ud * ud + uq * uq) + i * we * uLJu - we * uJpsi) /
                   (Ld * ud * ud + Lq * uq * uq);
        };
        // The present currents projected on the pattern (exact when x carries none).
        double i = 0.5 * (i0[y] - i0[z]);
        double k1 = g(i, th0);
        double k2 = g(i + h * k1, th1);
        double i1 = i + 0.5 * h * (k1 + k2);
        std::array<double, 3> out{};
        out[y] = i1;
        out[z] = -i1;
        set_phase_currents(out, wrap_2pi(th1));
    } else {
        id = iq = 0.0;
    }

    // A diode stops conducting when its current reaches zero: that leg opens.
    auto i1 = phase_currents();
    int opened = 0;
    std::array<bool, 3> open{};
    for (int k = 0; k < 3; ++k) {
        open[k] = !connected[k] || (dir[k] != 0.0 && sign(i1[k]) != dir[k]);
        opened += open[k];
    }
    if (opened == 0 || (opened == 1 && n == 2)) return;   // nothing newly opened
    std::array<double, 3> out{};
    if (opened == 1) {
        int x = open[0] ? 0 : open[1] ? 1 : 2;
        int y = (x + 1) % 3, z = (x + 2) % 3;
        out[y] = 0.5 * (i1[y] - i1[z]);
        out[z] = -out[y];
    }
    set_phase_currents(out, wrap_2pi(th1));
}

// The shaft: inertia, viscous friction (implicit, so any damping is stable),
// Coulomb friction and static friction. A turning rotor whose friction would
// reverse it within the step stops instead; a rotor at rest stays at rest
// while the torque on it does not exceed the breakaway torque.
void PmsmModel::step_shaft(double h, double torque_start, double load_nm)
{
    const double J = p.inertia;
    const double drive = 0.5 * (torque_start + torque()) - load_nm;
    const double damp = 1.0 + h * p.viscous / J;
    const double w0 = omega_mech;
    double w1;
    if (w0 == 0.0) {
        if (std::fabs(drive) <= p.breakaway || std::fabs(drive) <= p.coulomb) {
            w1 = 0.0;
        } else {
            w1 = h / J * (drive - p.coulomb * sign(drive)) / damp;
        }
    } else {
        w1 = (w0 + h / J * (drive - p.coulomb * sign(w0))) / damp;
        if (sign(w1) != sign(w0)) w1 = 0.0;   // friction stops it; it cannot reverse it
    }
    omega_mech = w1;
    theta_mech = wrap_2pi(theta_mech + 0.5 * h * (w0 + w1));
}

}  // namespace sim
