#include "plant/motor.hpp"

#include <algorithm>
#include <cmath>

namespace sim {

namespace {

constexpr double kTwoPi = 6.283185307179586;
constexpr double kSqrt3 = 1.7320508075688772;
// Unit vectors of the phase axes U, V, W in the stator frame.
constexpr double kAxisA[3] = {1.0, -0.5, -0.5};
constexpr double kAxisB[3] = {0.0, 0.5 * kSqrt3, -0.5 * kSqrt3};

// The angle a reduced to [0, 2 pi): fmod's exact remainder, by binary long
// division below 32 pi (each subtraction takes m from a with m <= a < 2 m,
// which leaves no rounding).
[[gnu::noinline]] double reduce_2pi(double a)
{
    if (a >= 0.0 && a < 16 * kTwoPi) {
        for (const double m : {8 * kTwoPi, 4 * kTwoPi, 2 * kTwoPi, kTwoPi}) {
            if (a >= m) a -= m;
        }
        return a;
    }
    a = std::fmod(a, kTwoPi);
    return a < 0.0 ? a + kTwoPi : a;
}

inline double wrap_2pi(double a) { return a >= 0.0 && a < kTwoPi ? a : reduce_2pi(a); }

// Clarke transform of three quantities whose zero-sequence part is dropped.
void clarke(const std::array<double, 3> &x, double &a, double &b)
{
    a = (2.0 * x[0] - x[1] - x[2]) / 3.0;
    b = (x[1] - x[2]) / kSqrt3;
}

std::array<double, 3> emf(double th, double we, double flux)
{
    // Flux of phase k: lambda cos(theta_e - k 2pi/3); its rate of change.
    std::array<double, 3> e{};
    for (int k = 0; k < 3; ++k) e[k] = -we * flux * std::sin(th - k * kTwoPi / 3.0);
    return e;
}

// cos less 1 (which keeps its precision) and sin of the small angle x a
// sub-step turns the rotor by, to better than 1e-19: Taylor series, to x^10
// for |x| <= 1/8, to x^8 for the usual |x| <= 1/64, to x^5 for |x| <= 1/512,
// to x^2 for the change of speed within a step, |x| <= 2^-20 (the first term
// left out is below 1e-19 in each case).
[[gnu::always_inline]] inline void small_turn(double x, double &cos_less_1, double &sin)
{
    const double x2 = x * x;
    if (std::fabs(x) <= 1.0 / 1048576) {
        sin = x;
        cos_less_1 = -0.5 * x2;
    } else if (std::fabs(x) <= 1.0 / 512) {
        sin = x + x * x2 * (-1.0 / 6 + x2 * (1.0 / 120));
        cos_less_1 = x2 * (-1.0 / 2 + x2 * (1.0 / 24));
    } else if (std::fabs(x) <= 1.0 / 64) {
        sin = x + x * x2 * (-1.0 / 6 + x2 * (1.0 / 120 + x2 * (-1.0 / 5040)));
        cos_less_1 = x2 * (-1.0 / 2 + x2 * (1.0 / 24 + x2 * (-1.0 / 720 + x2 * (1.0 / 40320))));
    } else if (std::fabs(x) <= 1.0 / 8) {
        sin = x + x * x2 * (-1.0 / 6 + x2 * (1.0 / 120 + x2 * (-1.0 / 5040 + x2 * (1.0 / 362880))));
        cos_less_1 = x2 * (-1.0 / 2 + x2 * (1.0 / 24 + x2 * (-1.0 / 720 + x2 * (1.0 / 40320 + x2 * (-1.0 / 3628800)))));
    } else {
        cos_less_1 = std::cos(x) - 1.0;
        sin = std::sin(x);
    }
}

// A vector's components (x, y) in a frame that turns on by the small angle a.
[[gnu::always_inline]] inline void frame_turns(double &x, double &y, double a)
{
    double cm1, sn;
    small_turn(a, cm1, sn);
    const double x0 = x;
    x += x0 * cm1 + y * sn;
    y += y * cm1 - x0 * sn;
}

// The shaft over sub-steps of h seconds under the mean torque `drive` (motor
// less load): inertia, viscous friction (implicit, so any damping is
// stable), Coulomb friction and static friction. A turning rotor whose
// friction would reverse it within the step stops instead; a rotor at rest
// stays at rest while the torque on it does not exceed the breakaway torque.
struct Shaft {
    Shaft(const MotorParams &p, double h_)
        : h(h_), keep(1.0 / (1.0 + h_ * p.viscous / p.inertia)), gain(h_ / p.inertia * keep), coulomb(p.coulomb),
          breakaway(p.breakaway)
    {
    }
    // One sub-step of speed w and angle theta; w1 = (w0 + h/J (drive - friction)) / (1 + h viscous/J).
    void step(double &w, double &theta, double drive) const
    {
        auto sign = [](double x) { return x > 0.0 ? 1.0 : x < 0.0 ? -1.0 : 0.0; };
        const double w0 = w;
        double w1;
        if (w0 == 0.0) {
            if (std::fabs(drive) <= breakaway || std::fabs(drive) <= coulomb) {
                w1 = 0.0;
            } else {
                w1 = gain * (drive - coulomb * sign(drive));
            }
        } else {
            w1 = (w0 * keep - gain * coulomb * sign(w0)) + gain * drive;
            if (sign(w1) != sign(w0)) w1 = 0.0;   // friction stops it; it cannot reverse it
        }
        w = w1;
        theta = wrap_2pi(theta + 0.5 * h * (w0 + w1));
    }
    double h, keep, gain, coulomb, breakaway;
};

// A leg that is off and carries less than this is open: rounding in the
// transforms leaves a remainder of about 1e-17 A where the current stopped.
constexpr double kOpenA = 1e-9;

}  // namespace

// The legs that carry current during (part of) a sub-step and their terminal
// voltages. With two, x is the open leg and the current i flows into y and
// out of z: the stator-frame current vector is i * (pa, pb).
struct PmsmModel::Conduction {
    std::array<bool, 3> on{};
    std::array<double, 3> v{};
    std::array<int, 3> diode{};   // +1 low-side diode (current into the winding), -1 high-side, 0 driven or open
    int n = 0;
    int x = 0, y = 1, z = 2;
    double pa = 0.0, pb = 0.0;

    void connect(int k, double volts, int dir)
    {
        on[k] = true;
        v[k] = volts;
        diode[k] = dir;
        ++n;
        if (n != 2) return;
        x = !on[0] ? 0 : !on[1] ? 1 : 2;
        y = (x + 1) % 3;
        z = (x + 2) % 3;
        std::array<double, 3> pattern{};
        pattern[y] = 1.0;
        pattern[z] = -1.0;
        clarke(pattern, pa, pb);
    }
};

double flux_from_kv(double kv_rpm_per_v, int pole_pairs)
{
    // Line-to-line peak back-EMF = sqrt(3) * omega_e * lambda, and at kv RPM per
    // volt it equals 1 V at kv RPM: omega_e = pole_pairs * kv * 2 pi / 60.
    return 60.0 / (kSqrt3 * kTwoPi * pole_pairs * kv_rpm_per_v);
}

void PmsmModel::reset()
{
    i_alpha = i_beta = 0.0;
    theta_mech = 0.0;
    omega_mech = 0.0;
}

double PmsmModel::theta_elec() const { return wrap_2pi(p.pole_pairs * theta_mech); }

void PmsmModel::dq_currents(double &id, double &iq) const
{
    const double th = theta_elec(), c = std::cos(th), s = std::sin(th);
    id = i_alpha * c + i_beta * s;
    iq = -i_alpha * s + i_beta * c;
}

double PmsmModel::torque_of(double id, double iq) const
{
    return 1.5 * p.pole_pairs * (p.flux_wb * iq + (p.ld_h - p.lq_h) * id * iq);
}

double PmsmModel::torque_at(double th) const
{
    const double c = std::cos(th), s = std::sin(th);
    return torque_of(i_alpha * c + i_beta * s, -i_alpha * s + i_beta * c);
}

double PmsmModel::torque() const { return torque_at(theta_elec()); }

std::array<double, 3> PmsmModel::phase_currents() const
{
    return {i_alpha, -0.5 * i_alpha + 0.5 * kSqrt3 * i_beta, -0.5 * i_alpha - 0.5 * kSqrt3 * i_beta};
}

std::array<double, 3> PmsmModel::back_emf() const
{
    return emf(theta_elec(), p.pole_pairs * omega_mech, p.flux_wb);
}

double PmsmModel::supply_current(const std::array<Leg, 3> &legs, double vbus) const
{
    const auto i = phase_currents();
    double s = 0.0;
    for (int k = 0; k < 3; ++k) {
        if (legs[k].driven) s += legs[k].volts / vbus * i[k];
        else if (i[k] < 0.0) s += i[k];   // out of the winding, up through the high-side diode
    }
    return s;
}

void PmsmModel::set_phase_currents(const std::array<double, 3> &i) { clarke(i, i_alpha, i_beta); }

void PmsmModel::place(double theta_mech_rad)
{
    theta_mech = wrap_2pi(theta_mech_rad);
    omega_mech = 0.0;
}

void PmsmModel::step(double h, const std::array<Leg, 3> &legs, double vbus, double load_nm)
{
    double t0 = 0.0, t1 = 0.0;   // torque at both ends of the step (none for an empty step)
    step_currents(h, legs, vbus, t0, t1);
    step_shaft(h, 0.5 * (t0 + t1) - load_nm);
}

// Heun's step (as in integrate) of the windings in the rotor's frame, x =
// (id, iq), is x' = M x + g with the speed we held: M = [-R/Ld, we Lq/Ld;
// -we Ld/Lq, -R/Lq], g = (vd/Ld, (vq - we lambda)/Lq). Written out, it is
// x1 = A x0 + (I + hM) u0 + u1, with A = I + hM + (hM)^2/2 and u = h/2 g at
// the step's start and end; A's diagonal is the speed-free part less
// (we h)^2/2, its corners the speed times a constant. The same sums in
// another order, with a shorter chain from one step to the next. The frame
// follows the rotor: the voltage turns back by the step's angle within the
// step, and the currents and the voltage turn on by the small difference
// between where the shaft's mean speed put the rotor and where the start's
// speed would have.
int PmsmModel::step_driven(double h, int steps, double last_h, const std::array<Leg, 3> &legs, double load_nm)
{
    const double R = p.r_ohm, Ld = p.ld_h, Lq = p.lq_h, lam = p.flux_wb, pp = p.pole_pairs;
    const double half_kt = 0.75 * pp, saliency = Ld - Lq;

    double va, vb, c, s;
    clarke({legs[0].volts, legs[1].volts, legs[2].volts}, va, vb);
    frame(c, s);
    double vd = va * c + vb * s, vq = -va * s + vb * c;
    double d = i_alpha * c + i_beta * s, q = -i_alpha * s + i_beta * c;
    double w = omega_mech, theta = theta_mech;
    double turned = 0.0;   // electrical angle the frame has turned by

    // `steps` sub-steps of h, then one of last_h.
    int made = 0;
    bool finite = true;
    for (int part = 0; part < 2 && finite; ++part) {
        const int n = part == 0 ? steps : last_h > 0.0 ? 1 : 0;
        if (n == 0) continue;
        if (part == 1) h = last_h;
        // Runs are often a fraction of a sub-step (between the writes of the
        // three compares, say): the fewer divisions, the better.
        const double h_ld = h / Ld, h_lq = h / Lq;
        const double p11 = -R * h_ld, p22 = -R * h_lq;      // hM without the speed
        const double m12 = Lq * h_ld, m21 = -Ld * h_lq;     // hM's corners per unit of speed
        const double a = 1.0 + 0.5 * (p11 + p22);
        const double e11 = 1.0 + p11 + 0.5 * p11 * p11, e22 = 1.0 + p22 + 0.5 * p22 * p22;
        const double hd = 0.5 * h_ld, hq = 0.5 * h_lq, lam_hq = lam * hq, hd_p11 = (1.0 + p11) * hd;
        const double pp_h = pp * h;
        const Shaft shaft(p, h);
        for (int k = 0; k < n; ++k) {
            const double we = pp * w, xh = w * pp_h;
            double vd1 = vd, vq1 = vq;
            frame_turns(vd1, vq1, xh);
            const double u0q = vq * hq - we * lam_hq, u1q = vq1 * hq - we * lam_hq;
            const double p12 = we * m12, p21 = we * m21, sq = 0.5 * xh * xh;
            // The terms that wait longest for the speed come last.
            double d1 = ((e11 - sq) * d + a * p12 * q) + ((vd * hd_p11 + p12 * u0q) + vd1 * hd);
            double q1 = (a * p21 * d + (e22 - sq) * q) + ((u0q + p21 * vd * hd + p22 * u0q) + u1q);
            const double half_t0 = half_kt * q * (lam + saliency * d), half_t1 = half_kt * q1 * (lam + saliency * d1);
            // A current decaying in shorted windings would end in subnormal
            // numbers, which the FPU handles a hundred times slower.
            if (std::fabs(d1) < 1e-15) d1 = 0.0;
            if (std::fabs(q1) < 1e-15) q1 = 0.0;
            const double w0 = w;
            shaft.step(w, theta, (half_t0 - load_nm) + half_t1);
            d = d1;
            q = q1;
            if (!std::isfinite(d + q + w + theta)) {
                finite = false;
                break;
            }
            const double off = (w - w0) * (0.5 * pp_h);
            frame_turns(d, q, off);
            vd = vd1;
            vq = vq1;
            frame_turns(vd, vq, off);
            turned += xh + off;
            ++made;
        }
    }
    omega_mech = w;
    theta_mech = theta;
    // The frame where the currents are now: the one they started in, turned
    // on by as much as the rotor (within rounding), which spares the cos and
    // sin of the new angle. frame() takes them again, exactly, after a long
    // turn or after forget_frame().
    if (finite && std::fabs(turned) <= 1.0 / 8) {
        frame_turns(c, s, -turned);
        frame_of_ = p.pole_pairs * theta_mech;
        frame_cos_ = c;
        frame_sin_ = s;
    } else {
        frame(c, s);
    }
    i_alpha = d * c - q * s;
    i_beta = d * s + q * c;
    return made;
}

// cos and sin of the electrical angle, kept for the angle they were taken
// at (before its reduction to one turn, which is all it depends on): a run
// of driven sub-steps starts where the previous one ended.
void PmsmModel::frame(double &c, double &s)
{
    const double unreduced = p.pole_pairs * theta_mech;
    if (unreduced != frame_of_) {
        frame_of_ = unreduced;
        const double th = wrap_2pi(unreduced);
        frame_cos_ = std::cos(th);
        frame_sin_ = std::sin(th);
    }
    c = frame_cos_;
    s = frame_sin_;
}

// Slope di/dt of the current i of a conducting pair (two windings in series,
// the third open) at electrical angle th. In the dq frame the current is
// i * u(theta), u the rotating image of (pa, pb); projecting the voltage
// equation on u removes the unknown star voltage: 1.5 u.v_dq = v_y - v_z.
double PmsmModel::series_slope(const Conduction &c, double i, double th, double we) const
{
    const double R = p.r_ohm, Ld = p.ld_h, Lq = p.lq_h, lam = p.flux_wb;
    const double cs = std::cos(th), sn = std::sin(th);
    const double ud = c.pa * cs + c.pb * sn, uq = -c.pa * sn + c.pb * cs;
    const double psi_d = Ld * i * ud + lam, psi_q = Lq * i * uq;
    // u . (L J u), with J the quarter-turn rotation, and u . J psi.
    const double uLJu = (Lq - Ld) * ud * uq;
    const double uJpsi = -ud * psi_q + uq * psi_d;
    const double drive = 2.0 / 3.0 * (c.v[c.y] - c.v[c.z]);
    return (drive - R * i * (ud * ud + uq * uq) + i * we * uLJu - we * uJpsi) / (Ld * ud * ud + Lq * uq * uq);
}

// Voltage each open leg's terminal takes (its winding carrying no current)
// with the legs of c connected.
std::array<double, 3> PmsmModel::open_voltages(const Conduction &c, double vbus, double th, double we) const
{
    std::array<double, 3> out{};
    if (c.n == 2) {
        // The phase voltage of the open winding x from the dq voltage of the
        // pair's current and its slope; the star sits where the pair puts
        // it: v_x = (v_y + v_z) / 2 + 1.5 u_x.
        const double R = p.r_ohm, Ld = p.ld_h, Lq = p.lq_h, lam = p.flux_wb;
        const auto ph = phase_currents();
        const double i = 0.5 * (ph[c.y] - ph[c.z]);
        const double di = series_slope(c, i, th, we);
        const double cs = std::cos(th), sn = std::sin(th);
        const double ud = c.pa * cs + c.pb * sn, uq = -c.pa * sn + c.pb * cs;
        const double vd = R * i * ud + Ld * (di * ud + we * i * uq) - we * Lq * i * uq;
        const double vq = R * i * uq + Lq * (di * uq - we * i * ud) + we * (Ld * i * ud + lam);
        const double va = vd * cs - vq * sn, vb = vd * sn + vq * cs;
        out[c.x] = 0.5 * (c.v[c.y] + c.v[c.z]) + 1.5 * (va * kAxisA[c.x] + vb * kAxisB[c.x]);
        return out;
    }
    // No current flows: every terminal sits at the star point plus its
    // back-EMF. A star that nothing holds is placed as central as it goes.
    const auto e = emf(th, we, p.flux_wb);
    double star = 0.5 * vbus - 0.5 * (*std::max_element(e.begin(), e.end()) + *std::min_element(e.begin(), e.end()));
    for (int k = 0; k < 3; ++k)
        if (c.on[k]) star = c.v[k] - e[k];
    for (int k = 0; k < 3; ++k) out[k] = star + e[k];
    return out;
}

// The conduction set at the start of (part of) a sub-step: driven legs; off
// legs still carrying current, through the diode of its direction; and open
// legs whose terminal would leave the rails [-Vf, supply + Vf], the worst
// first, connected at the rail they cross. Legs in kept_open stopped
// conducting earlier in this sub-step and wait for the next one.
PmsmModel::Conduction PmsmModel::conduction(const std::array<Leg, 3> &legs, double vbus, double th, double we,
                                            const std::array<bool, 3> &kept_open) const
{
    const double vf = p.diode_vf, top = vbus + vf;
    Conduction c;
    const auto i = phase_currents();
    for (int k = 0; k < 3; ++k) {
        if (legs[k].driven) c.connect(k, legs[k].volts, 0);
        else if (i[k] > kOpenA) c.connect(k, -vf, 1);
        else if (i[k] < -kOpenA) c.connect(k, top, -1);
    }
    // Without current, terminals differ by at most the line-to-line peak of
    // the back-EMF: below the rails' span nothing can start to conduct.
    const double span = kSqrt3 * std::fabs(we) * p.flux_wb;
    while (c.n < 3) {
        if (c.n == 0 && span <= vbus + 2.0 * vf) break;
        if (c.n == 1) {
            const double v = c.on[0] ? c.v[0] : c.on[1] ? c.v[1] : c.v[2];
            if (v - span >= -vf && v + span <= top) break;
        }
        const auto vo = open_voltages(c, vbus, th, we);
        int worst = -1;
        double excess = 0.0;
        for (int k = 0; k < 3; ++k) {
            if (c.on[k] || kept_open[k]) continue;
            const double over = std::max(vo[k] - top, -vf - vo[k]);
            if (over > excess) worst = k, excess = over;
        }
        if (worst < 0) break;
        if (vo[worst] > top) c.connect(worst, top, -1);
        else c.connect(worst, -vf, 1);
    }
    return c;
}

// The winding currents over h seconds with the conduction set c held, from
// electrical angle th, with Heun's method (explicit trapezoidal rule, second
// order). The rotor's speed is taken as constant over the step and its angle
// as moving linearly: the shaft is three orders of magnitude slower than the
// windings. Gives the torque at the start and at the end.
void PmsmModel::integrate(double h, const Conduction &c, double th, double we, double &t_start, double &t_end)
{
    const double th1 = th + we * h;
    auto torque_here = [&](double at) { return i_alpha == 0.0 && i_beta == 0.0 ? 0.0 : torque_at(at); };
    if (c.n == 3) {
        const double R = p.r_ohm, Ld = p.ld_h, Lq = p.lq_h, lam = p.flux_wb;
        double va, vb;
        clarke(c.v, va, vb);
        auto f = [&](double d, double q, double cs, double sn, double &dd, double &dq) {
            const double vd = va * cs + vb * sn, vq = -va * sn + vb * cs;
            dd = (vd - R * d + we * Lq * q) / Ld;
            dq = (vq - R * q - we * (Ld * d + lam)) / Lq;
        };
        const double c0 = std::cos(th), s0 = std::sin(th), c1 = std::cos(th1), s1 = std::sin(th1);
        double d = i_alpha * c0 + i_beta * s0, q = -i_alpha * s0 + i_beta * c0;
        t_start = torque_of(d, q);
        double k1d, k1q, k2d, k2q;
        f(d, q, c0, s0, k1d, k1q);
        f(d + h * k1d, q + h * k1q, c1, s1, k2d, k2q);
        d += 0.5 * h * (k1d + k2d);
        q += 0.5 * h * (k1q + k2q);
        i_alpha = d * c1 - q * s1;
        i_beta = d * s1 + q * c1;
        t_end = torque_of(d, q);
    } else if (c.n == 2) {
        t_start = torque_here(th);
        const auto ph = phase_currents();
        const double i = 0.5 * (ph[c.y] - ph[c.z]);   // exact while x carries none
        const double k1 = series_slope(c, i, th, we);
        const double k2 = series_slope(c, i + h * k1, th1, we);
        const double i1 = i + 0.5 * h * (k1 + k2);
        i_alpha = i1 * c.pa;
        i_beta = i1 * c.pb;
        t_end = torque_here(th1);
    } else {
        t_start = torque_here(th);
        i_alpha = i_beta = 0.0;   // one leg alone carries nothing
        t_end = 0.0;
    }
    // A current decaying in shorted windings would end in subnormal
    // numbers, which the FPU handles a hundred times slower.
    if (std::fabs(i_alpha) < 1e-15) i_alpha = 0.0;
    if (std::fabs(i_beta) < 1e-15) i_beta = 0.0;
}

// The windings over one sub-step. The diodes make the circuit switch: the
// conducting set is decided at the start from the open-circuit voltages (a
// diode starts at most one sub-step late, while the back-EMF that turns it on
// changes over milliseconds), and held while Heun's method integrates. When
// a diode's current comes back to zero within the step, the step is cut at
// that instant (linear interpolation of its current), the leg opens with no
// current left, and the rest of the step runs with the new set.
void PmsmModel::step_currents(double h, const std::array<Leg, 3> &legs, double vbus, double &t_start,
                              double &t_end)
{
    const double we = p.pole_pairs * omega_mech;
    double th = theta_elec();
    std::array<bool, 3> kept_open{};
    for (int cut = 0; h > 0.0; ++cut) {
        const Conduction c = conduction(legs, vbus, th, we, kept_open);
        const double a0 = i_alpha, b0 = i_beta;
        const auto i0 = phase_currents();
        double ts;
        integrate(h, c, th, we, ts, t_end);
        if (cut == 0) t_start = ts;
        const auto i1 = phase_currents();
        int stop = -1;
        double frac = 1.0;
        for (int k = 0; k < 3; ++k) {
            if (c.diode[k] == 0 || i1[k] * c.diode[k] > 0.0) continue;
            const double s = i0[k] == i1[k] ? 0.0 : i0[k] / (i0[k] - i1[k]);
            if (s <= frac) frac = s, stop = k;
        }
        if (stop < 0) return;
        if (frac < 1.0 && cut < 3) {
            i_alpha = a0;
            i_beta = b0;
            integrate(frac * h, c, th, we, ts, t_end);
        } else {
            frac = 1.0;
        }
        // The leg opens: its current is exactly zero, the other two carry
        // what they carried between them.
        const auto i = phase_currents();
        std::array<double, 3> rest{};
        if (c.n == 3) {
            const int y = (stop + 1) % 3, z = (stop + 2) % 3;
            rest[y] = 0.5 * (i[y] - i[z]);
            rest[z] = -rest[y];
        }
        set_phase_currents(rest);
        kept_open[stop] = true;
        th += we * frac * h;
        h -= frac * h;
    }
    t_end = torque_at(th);   // a leg opened at the very end of the step
}

void PmsmModel::step_shaft(double h, double drive) { Shaft(p, h).step(omega_mech, theta_mech, drive); }

}  // namespace sim
