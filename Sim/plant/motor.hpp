// A permanent-magnet synchronous motor in the rotor's dq frame, fed by three
// bridge legs, with the shaft's mechanics. Nothing here knows about the MCU:
// the plant around it turns pins into leg states and calls step().
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
#pragma once
#include <array>

namespace sim {

struct MotorParams {
    int pole_pairs = 6;
    double r_ohm = 5.0;          // phase resistance
    double ld_h = 1.4e-3;        // d-axis inductance
    double lq_h = 1.6e-3;        // q-axis inductance
    double flux_wb = 3.53e-3;    // peak flux linkage of one phase, V*s/rad(electrical)
    double inertia = 3.0e-6;     // kg*m^2
    double viscous = 2.0e-6;     // N*m*s/rad
    double coulomb = 0.4e-3;     // kinetic friction, N*m
    double breakaway = 0.6e-3;   // static friction, N*m (at least coulomb)
    double diode_vf = 0.8;       // body-diode forward drop of the bridge, V
};

// Peak phase flux linkage of a motor of kv RPM per volt, kv being the usual
// hobby figure: no-load speed per volt of supply, i.e. RPM per volt of
// line-to-line peak back-EMF.
double flux_from_kv(double kv_rpm_per_v, int pole_pairs);

// One bridge leg during a sub-step: driven to `volts` (above ground), or off,
// when the leg conducts through a body diode while its current flows and is
// open once the current has died out.
struct Leg {
    bool driven = false;
    double volts = 0.0;
};

class PmsmModel {
public:
    MotorParams p;

    void reset();
    // Integrates the windings and the shaft over h seconds with the legs held
    // as given, the supply at vbus and load_nm opposing positive rotation.
    void step(double h, const std::array<Leg, 3> &legs, double vbus, double load_nm);

    // State.
    double id = 0.0, iq = 0.0;   // A
    double theta_mech = 0.0;     // rad, [0, 2 pi)
    double omega_mech = 0.0;     // rad/s; exactly 0 while static friction holds the rotor

    double theta_elec() const;   // [0, 2 pi)
    std::array<double, 3> phase_currents() const;
    double torque() const { return torque_of(id, iq); }
    // Voltage the magnet induces in each phase now, V.
    std::array<double, 3> back_emf() const;
    // Places the rotor (at rest); the stator currents keep their values.
    void place(double theta_mech_rad);

private:
    double torque_of(double d, double q) const;
    void step_currents(double h, const std::array<Leg, 3> &legs, double vbus);
    void step_shaft(double h, double torque_start, double load_nm);
    void set_phase_currents(const std::array<double, 3> &i, double theta_e);
};

}  // namespace sim
