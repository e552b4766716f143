// The plant around the chip: MP6540 bridge, motor, MA600A angle sensor and
// MCS1805 current sensor (the push button and nFault are driven by the
// board). The board (Sim/board.hpp) connects it to the chip's pins and buses.
//
// The plant is lazy: it integrates the motor from its own time up to "now"
// whenever something is about to depend on it (a bridge input about to
// change, a converter or sensor sample, a periodic catch-up every 1 ms), in
// fixed sub-steps (step_us), the last one shortened to land exactly on "now".
// The catch-up keeps what a reader of the plant sees at most 1 ms old, and
// an observer at whole milliseconds (a trace row) cuts no sub-step of its own.
//
// Modelling choices:
// - Bridge (MP6540): average-value legs, v = duty * supply while the leg's
//   enable and nSleep are high; the 45 kHz current ripple (10 to 20 mA peak
//   to peak at the amplitudes the modes use) is left out. A leg that is off,
//   whatever the reason (its enable low, the bridge asleep), keeps its body
//   diodes: its terminal floats while it stays between -Vf and supply + Vf
//   and is clamped there otherwise. So a current cut off by a disable
//   freewheels against the supply until it reaches zero (about 0.2 ms from
//   0.8 A), and a rotor turned faster than the supply's no-load speed
//   (Kv * (supply + 2 Vf), about 2600 RPM) brakes as a generator through the
//   diodes, even with the whole bridge off. The supply is ideal: it takes back
//   what the diodes return (supply_a in the snapshot is negative then).
// - Integration: sub-steps of at most step_us (25 us, 72 MHz cycles: 1800),
//   shortened to a tenth of the windings' L/R and to 0.02 rad of electrical
//   turn at the speed a run starts with; Heun's method for the windings
//   (second order; stable up to 2 L/R, accurate to ~1e-3 at a tenth of it),
//   the shaft semi-implicitly with static friction; diode switching decided
//   per sub-step and the step cut where a diode stops (see motor.cpp). At the
//   default figures 25 us is 1/11 of L/R and 0.005 rad at 300 RPM. A catch-up
//   before every change of a bridge input cuts a step short, so the legs
//   switch at the exact cycle of every compare or pin write. Should the state
//   still become non-finite, the run stops with a message and status 1.
// - MA600A: angle word = floor(65536 * direction * (rotor - offset) / 360 +
//   noise), wrapped to 16 bits; speed word = round(direction * rpm / 0.1 +
//   noise), saturated to int16 (1 LSB = 0.1 RPM, +-3276 RPM).
// - MCS1805: output = zero + offset - sensitivity * i_V + noise, so that the
//   firmware's inverting conversion reports i_V with its own sign.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "mcu/mcu.hpp"
#include "plant/ma600a_model.hpp"
#include "plant/motor.hpp"

namespace sim {

// Every figure of the plant. The defaults, units, ranges and the reasons for
// them are in one table in plant.cpp; the constructor takes them from there.
struct PlantParams {
    PlantParams();

    // Sets one figure by name. Returns why it cannot (unknown name, not a
    // number, outside its range), or an empty string.
    std::string set(std::string_view name, std::string_view text);
    std::string set(std::string_view name, double value);
    // The figures as a whole: the first rule they break, naming the figures
    // and the reason, or an empty string.
    std::string check() const;
    // One line per figure: name, unit, default, range, meaning.
    static std::string help();

    // Supply and bridge
    double supply_v;
    double diode_vf;
    // Motor
    double pole_pairs;
    double r_ohm;
    double ld_mh, lq_mh;
    double kv_rpm_per_v;
    double inertia_gcm2;
    double viscous_unms;
    double friction_mnm;
    double stiction_mnm;
    double load_mnm;
    double step_us;
    // MA600A
    double sensor_offset_deg;   // rotor angle at which the sensor reads 0, mechanical degrees
    double sensor_direction;    // +1: the reading grows with positive rotation; -1: it falls
    double angle_noise_lsb;
    double speed_lsb_rpm;
    double speed_noise_lsb;
    // MCS1805
    double current_zero_v;
    double current_offset_mv;
    double current_sens_v_per_a;
    double current_noise_mv;

    // Motor figures derived from the above.
    MotorParams motor() const;
    friend bool operator==(const PlantParams &, const PlantParams &) = default;
};

// What a trace row shows of the plant at one instant.
struct PlantSnapshot {
    double duty[3];          // PWM duty of phases U, V, W as the bridge sees it, 0..1
    bool bridge_enabled;     // enables and nSleep all high
    double i_phase[3];       // phase currents U, V, W, A (positive into the winding)
    double id, iq;           // the same in the rotor's frame, A
    double theta_elec;       // electrical angle of the rotor's d axis, rad [0, 2pi)
    double theta_mech_deg;   // mechanical rotor angle, degrees [0, 360)
    double speed_rpm;        // mechanical speed
    double torque_nm;        // electromagnetic torque
    double load_nm;          // load torque, opposing positive rotation
    double supply_a;         // current the bridge draws from the supply, A; negative while it charges it
    double sense_v;          // MCS1805 output without its noise, V
    uint16_t sensor_word;    // what the MA600A would answer now, without its noise
};

class Plant {
public:
    Plant(Mcu &mcu, const PlantParams &params, uint64_t seed);
    Plant(const Plant &) = delete;
    Plant &operator=(const Plant &) = delete;
    // Motor at rest at angle 0 without current, sensors and noise restarted
    // from the seed, time 0; parameters are kept.
    void reset(uint64_t seed);
    // Saves or restores the plant's state, its figures included (archive.hpp).
    void archive(StateArchive &a);

    // The MP6540's inputs, each the level of its line: 0 low, 1 high, a PWM
    // input its duty (the average over the PWM period). A change takes effect
    // now: the plant first catches up with the inputs as they were.
    enum BridgeInput { kInA, kInB, kInC, kEnA, kEnB, kEnC, kNSleep, kBridgeInputs };
    void set_bridge_input(int input, double level);
    // The MCS1805's output as the converter samples it now, with its noise.
    float current_sense_volts();
    // The MA600A on the SPI bus: a frame starts, and at its end the sensor
    // answers it if it was selected from start to end (else MISO floats high).
    void sensor_frame_begins() { sensor.frame_begins(); }
    uint16_t sensor_frame(uint16_t mosi, uint32_t cr1);

    // Brings the plant's state up to the present virtual time.
    void advance_to(Cycles t);
    Cycles time() const { return time_; }
    static constexpr Cycles kCatchUpCycles = kCoreHz / 1000;   // 1 ms

    // State the outside world sets or reads. Setting the rotor's angle or
    // speed is turning the shaft by hand: it takes effect now.
    void set_rotor_deg(double mech_deg);   // the rotor is placed there at rest
    void set_rotor_rpm(double rpm);
    double rotor_deg() const;              // mechanical, [0, 360)
    double rotor_rpm() const;
    double phase_v_current_a() const;
    std::array<double, 3> back_emf_v() const;   // induced phase voltages U, V, W
    bool bridge_enabled() const;
    // The load torque on the shaft, opposing positive rotation; false, with
    // the reason, if the figures would no longer hold with it.
    bool set_load_torque_nm(double nm, std::string *why = nullptr);
    PlantSnapshot snapshot() const;

    // Changes a parameter now; false, with the reason, for an unknown name,
    // a value out of its range or one the set as a whole does not allow.
    bool set_param(std::string_view name, double value, std::string *why = nullptr);

    // Called with the message when the state stops being finite, before the
    // plant ends the process with status 1 (e.g. to flush what the board sent).
    std::function<void(const std::string &)> on_diverged;

    PlantParams params;
    Ma600aModel sensor;

private:
    // Splitmix64 and Box-Muller: the same numbers on every host and library.
    struct Noise {
        uint64_t state = 0;
        bool has_spare = false;
        double spare = 0.0;
        void seed(uint64_t s);
        double uniform();   // (0, 1)
        double gauss();     // standard normal
    };

    std::array<Leg, 3> legs() const;
    double sensor_angle_deg() const;      // what the sensor measures, [0, 360)
    double sense_volts() const;           // MCS1805 output without noise
    void catch_up();
    void derive();   // motor_.p and step_ from params
    [[noreturn]] void diverged() const;

    Mcu &mcu_;
    Cycles time_ = 0;
    std::array<double, kBridgeInputs> bridge_in_{};
    PmsmModel motor_;
    PlantParams derived_from_;   // the figures motor_.p and step_ were derived from
    Cycles step_ = 1;            // sub-step, cycles
    Event catch_up_;
    Noise angle_noise_, current_noise_;
};

}  // namespace sim
