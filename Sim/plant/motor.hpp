// A permanent-magnet synchronous motor in the rotor's dq frame, fed by three
// bridge legs with their body diodes, with the shaft's mechanics. Nothing here
// knows about the MCU: the plant around it turns pins into leg states and
// calls step().
//
// Conventions
// - Phase axes U, V, W at 0, 120 and 240 electrical degrees; the electrical
//   angle theta_e = pole_pairs * theta_mech is the position of the rotor's d
//   axis (the magnet's north) from the U axis. Positive rotation turns it
//   U -> V -> W.
// - Phase current positive from the bridge into the winding. The star point
//   floats, so the three currents sum to zero and only differences of the
//   leg voltages matter.
// - Amplitude-invariant Clarke/Park transforms: a balanced set of phase
//   currents of peak I is a vector of length I; torque = 1.5 p (lambda iq +
//   (Ld - Lq) id iq); lambda is the peak flux linkage of one phase.
// - The winding currents are kept in the stator frame (alpha, beta), so that
//   a phase that carries no current keeps exactly none while the rotor turns.
#pragma once
#include <array>

namespace sim {

struct MotorParams {
    int pole_pairs = 0;
    double r_ohm = 0.0;      // phase resistance
    double ld_h = 0.0;       // d-axis inductance
    double lq_h = 0.0;       // q-axis inductance
    double flux_wb = 0.0;    // peak flux linkage of one phase, V*s/rad(electrical)
    double inertia = 0.0;    // kg*m^2
    double viscous = 0.0;    // N*m*s/rad
    double coulomb = 0.0;    // kinetic friction, N*m
    double breakaway = 0.0;  // static friction, N*m (at least coulomb)
    double diode_vf = 0.0;   // body-diode forward drop of the bridge, V
};

// Peak phase flux linkage of a motor of kv RPM per volt, kv being the usual
// hobby figure: no-load speed per volt of supply, i.e. RPM per volt of
// line-to-line peak back-EMF.
double flux_from_kv(double kv_rpm_per_v, int pole_pairs);

// One bridge leg during a sub-step: driven to `volts` (above ground, the
// average over the PWM period), or off. An off leg's terminal floats between
// the rails; its low-side diode conducts (terminal at -Vf) when the winding
// would pull it below, its high-side diode (at supply + Vf) when above.
struct Leg {
    bool driven = false;
    double volts = 0.0;
};

class PmsmModel {
public:
    MotorParams p;

    void reset();
    // Lists the state for a snapshot archive (mcu/archive.hpp), the frame
    // cache included so that a restored model is the saved one byte for byte.
    template <typename Archive>
    void archive(Archive &a)
    {
        a(p, i_alpha, i_beta, theta_mech, omega_mech, frame_of_, frame_cos_, frame_sin_);
    }
    // Integrates the windings and the shaft over h seconds with the legs held
    // as given, the supply at vbus and load_nm opposing positive rotation.
    void step(double h, const std::array<Leg, 3> &legs, double vbus, double load_nm);
    // The same, `steps` times and then once over last_h (if above 0), for the
    // case that makes nearly all of a run: all three legs driven, no diode in
    // play. Cheaper arithmetic for the same sums, results equal to step()'s
    // but for rounding: the windings' step as one affine map, and the rotor's
    // frame carried from step to step by small turns instead of cos and sin
    // of its angle. Returns the steps made until the state stopped being
    // finite: all of them if it stayed finite.
    int step_driven(double h, int steps, double last_h, const std::array<Leg, 3> &legs, double load_nm);
    // The frame step_driven() carries from run to run is taken afresh from
    // the angle at the next run, so that its rounding does not add up.
    void forget_frame() { frame_of_ = -1.0; }

    // State.
    double i_alpha = 0.0, i_beta = 0.0;   // winding currents in the stator frame, A
    double theta_mech = 0.0;              // rad, [0, 2 pi)
    double omega_mech = 0.0;              // rad/s; exactly 0 while static friction holds the rotor

    double theta_elec() const;   // [0, 2 pi)
    std::array<double, 3> phase_currents() const;
    void dq_currents(double &id, double &iq) const;
    double torque() const;
    // Voltage the magnet induces in each phase now, V.
    std::array<double, 3> back_emf() const;
    // Current the bridge draws from the supply with these legs (a driven leg
    // at its duty, a leg off through its high-side diode): negative while
    // the motor charges the supply.
    double supply_current(const std::array<Leg, 3> &legs, double vbus) const;
    // Places the rotor (at rest); the stator currents keep their values.
    void place(double theta_mech_rad);

private:
    struct Conduction;
    Conduction conduction(const std::array<Leg, 3> &legs, double vbus, double th, double we,
                          const std::array<bool, 3> &kept_open) const;
    std::array<double, 3> open_voltages(const Conduction &c, double vbus, double th, double we) const;
    double series_slope(const Conduction &c, double i, double th, double we) const;
    void integrate(double h, const Conduction &c, double th, double we, double &t_start, double &t_end);
    void step_currents(double h, const std::array<Leg, 3> &legs, double vbus, double &t_start, double &t_end);
    void step_shaft(double h, double drive_nm);
    void frame(double &c, double &s);
    double frame_of_ = -1.0, frame_cos_ = 0.0, frame_sin_ = 0.0;   // see frame()
    double torque_of(double id, double iq) const;
    double torque_at(double theta_e) const;
    void set_phase_currents(const std::array<double, 3> &i);
};

}  // namespace sim
