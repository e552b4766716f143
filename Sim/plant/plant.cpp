#include "plant/plant.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace sim {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRpmPerRadS = 60.0 / (2.0 * kPi);
constexpr double kMostTurnPerStep = 0.02;   // electrical radians per sub-step

struct ParamInfo {
    const char *name;
    double PlantParams::*field;
    double def;
    double min, max;
    bool integer;
    const char *unit;
    const char *why;
};

// The plant's figures: a small outrunner gimbal motor (12 magnets, 6 pole
// pairs) on the 12 V supply of the MP6540, an MA600A over a diametral magnet
// on the shaft and an MCS1805 in phase V. Where the firmware's own constants
// pin a figure down, it is taken from them: FOC_MAX_VOLTAGE 12 V is the
// supply, and mode 2's 0.0012 of the span per mA between phase V and phases U
// and W in parallel (1.5 R) drives the target current when R = 12 V * 0.0012
// / 1.5 = 9.6 ohm; the most the bridge can drive through the windings at rest,
// 12 V / 14.4 ohm = 0.83 A, stays inside FOC_MAX_CURRENT 1.0 A. The rest are
// those of a gimbal motor of that resistance: a small bell (22xx class) wound
// with many turns of thin wire; Kv and L follow the turns (Kv as 1/N, R and L
// as N^2) from a 5-ohm, 260 RPM/V, 1.4/1.6 mH winding of the same frame, so
// the motor constant Kt / sqrt(R) stays that of the frame.
constexpr ParamInfo kParams[] = {
    {"supply_v", &PlantParams::supply_v, 12.0, 4.0, 55.0, false, "V",
     "bridge supply; FOC_MAX_VOLTAGE of the firmware (a 12 V adapter or a 3S battery)"},
    {"diode_vf", &PlantParams::diode_vf, 0.8, 0.0, 2.0, false, "V",
     "body-diode drop of the bridge's FETs: clamps an off leg, carries freewheel and generator current"},
    {"pole_pairs", &PlantParams::pole_pairs, 6.0, 1.0, 50.0, true, "",
     "pole pairs of the motor (12 magnets); the firmware assumes 6"},
    {"r_ohm", &PlantParams::r_ohm, 9.6, 0.1, 100.0, false, "ohm",
     "phase resistance (19.2 ohm line to line); from mode 2: 0.0012 * 12 V per mA across 1.5 R"},
    {"ld_mh", &PlantParams::ld_mh, 2.7, 0.01, 100.0, false, "mH",
     "d-axis inductance (L/R = 0.28 ms); surface magnets give little saliency"},
    {"lq_mh", &PlantParams::lq_mh, 3.1, 0.01, 100.0, false, "mH",
     "q-axis inductance, a little above Ld (some reluctance torque with id < 0)"},
    {"kv_rpm_per_v", &PlantParams::kv_rpm_per_v, 190.0, 5.0, 5000.0, false, "RPM/V",
     "speed per volt of line-to-line peak back-EMF; lambda = 60/(sqrt3 2pi p Kv) = 4.84 mWb, "
     "Kt = 1.5 p lambda = 43.5 mN*m/A"},
    {"inertia_gcm2", &PlantParams::inertia_gcm2, 30.0, 0.1, 10000.0, false, "g*cm^2",
     "bell of about 12 g at 12 mm radius plus the sensor magnet's holder"},
    {"viscous_unms", &PlantParams::viscous_unms, 2.0, 0.0, 1000.0, false, "uN*m/(rad/s)",
     "bearing grease and iron losses; 63 uN*m at 300 RPM"},
    {"friction_mnm", &PlantParams::friction_mnm, 0.4, 0.0, 100.0, false, "mN*m",
     "Coulomb (kinetic) friction of two small ball bearings and seals"},
    {"stiction_mnm", &PlantParams::stiction_mnm, 0.6, 0.0, 100.0, false, "mN*m",
     "breakaway torque (at least friction_mnm): below it a rotor at rest stays at rest"},
    {"load_mnm", &PlantParams::load_mnm, 0.0, -100.0, 100.0, false, "mN*m",
     "load torque on the shaft, opposing positive rotation; up to about 3 times the stall torque"},
    {"step_us", &PlantParams::step_us, 25.0, 0.1, 50.0, false, "us",
     "longest integration sub-step; shortened to a tenth of the windings' L/R and to 0.02 rad of "
     "electrical turn at the present speed"},
    {"sensor_offset_deg", &PlantParams::sensor_offset_deg, 0.0, -360.0, 360.0, false, "deg",
     "rotor angle at which the MA600A reads 0; 0 = sensor zero on the d axis aligned with phase U"},
    {"sensor_direction", &PlantParams::sensor_direction, 1.0, -1.0, 1.0, true, "",
     "+1: the reading grows with positive rotation (U->V->W); -1: magnet read from the other side"},
    {"angle_noise_lsb", &PlantParams::angle_noise_lsb, 2.0, 0.0, 1000.0, false, "LSB rms",
     "noise of the 16-bit angle word (1 LSB = 0.0055 deg)"},
    {"speed_lsb_rpm", &PlantParams::speed_lsb_rpm, 0.1, 0.001, 100.0, false, "RPM",
     "scale of the signed 16-bit speed word (saturates at +-32767 LSB)"},
    {"speed_noise_lsb", &PlantParams::speed_noise_lsb, 3.0, 0.0, 1000.0, false, "LSB rms",
     "noise of the speed word"},
    {"current_zero_v", &PlantParams::current_zero_v, 1.65, 0.0, 3.3, false, "V",
     "MCS1805 output at zero current as the ADC sees it: mid-scale of 3.3 V"},
    {"current_offset_mv", &PlantParams::current_offset_mv, 5.0, -1000.0, 1000.0, false, "mV",
     "zero error of the sensor path (about 6 ADC counts); the boot calibration removes it"},
    {"current_sens_v_per_a", &PlantParams::current_sens_v_per_a, 0.264 / 2.2, 0.001, 10.0, false, "V/A",
     "MCS1805 sensitivity at the ADC input; the output falls as phase-V current flows in"},
    {"current_noise_mv", &PlantParams::current_noise_mv, 1.5, 0.0, 1000.0, false, "mV rms",
     "hall-sensor output noise at the ADC input (about 2 counts, 12 mA)"},
};

const ParamInfo *find_param(std::string_view name)
{
    for (const auto &p : kParams)
        if (name == p.name) return &p;
    return nullptr;
}

template <typename... Args>
std::string fmt(const char *f, Args... args)
{
    char b[512];
    std::snprintf(b, sizeof b, f, args...);
    return b;
}

}  // namespace

PlantParams::PlantParams()
{
    for (const auto &p : kParams) this->*p.field = p.def;
}

MotorParams PlantParams::motor() const
{
    MotorParams m;
    m.pole_pairs = static_cast<int>(pole_pairs);
    m.r_ohm = r_ohm;
    m.ld_h = ld_mh * 1e-3;
    m.lq_h = lq_mh * 1e-3;
    m.flux_wb = flux_from_kv(kv_rpm_per_v, m.pole_pairs);
    m.inertia = inertia_gcm2 * 1e-7;
    m.viscous = viscous_unms * 1e-6;
    m.coulomb = friction_mnm * 1e-3;
    m.breakaway = stiction_mnm * 1e-3;
    m.diode_vf = diode_vf;
    return m;
}

static std::string unknown(std::string_view name)
{
    return fmt("unknown parameter '%.*s'", static_cast<int>(name.size()), name.data());
}

std::string PlantParams::set(std::string_view name, std::string_view text)
{
    const ParamInfo *p = find_param(name);
    if (!p) return unknown(name);
    const std::string t(text);
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (t.empty() || *end != '\0' || errno != 0 || !std::isfinite(v))
        return fmt("%s: '%s' is not a number", p->name, t.c_str());
    return set(name, v);
}

std::string PlantParams::set(std::string_view name, double value)
{
    const ParamInfo *p = find_param(name);
    if (!p) return unknown(name);
    if (!(value >= p->min && value <= p->max))
        return fmt("%s=%g is outside [%g, %g]%s%s", p->name, value, p->min, p->max, *p->unit ? " " : "", p->unit);
    if (p->integer && value != std::floor(value)) return fmt("%s=%g is not a whole number", p->name, value);
    if (p->field == &PlantParams::sensor_direction && value == 0.0)
        return fmt("%s=0: the direction is +1 or -1", p->name);
    this->*p->field = value;
    return {};
}

std::string PlantParams::check() const
{
    if (stiction_mnm < friction_mnm)
        return fmt("stiction_mnm=%g is below friction_mnm=%g: a rotor at rest cannot hold less than a turning "
                   "one loses", stiction_mnm, friction_mnm);
    return {};
}

std::string PlantParams::help()
{
    std::string s = fmt("  %-20s %-13s %-7s %-15s %s\n", "NAME", "UNIT", "DEFAULT", "RANGE", "MEANING");
    for (const auto &p : kParams) {
        const std::string range = fmt("[%g, %g]", p.min, p.max);
        s += fmt("  %-20s %-13s %-7g %-15s %s\n", p.name, p.unit, p.def, range.c_str(), p.why);
    }
    s += "  The set is checked as a whole: stiction_mnm >= friction_mnm.\n";
    return s;
}

// ------------------------------------------------------------------ noise

void Plant::Noise::seed(uint64_t s)
{
    state = s;
    has_spare = false;
}

double Plant::Noise::uniform()
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return (static_cast<double>(z >> 11) + 0.5) * (1.0 / 9007199254740992.0);
}

double Plant::Noise::gauss()
{
    if (has_spare) {
        has_spare = false;
        return spare;
    }
    double r = std::sqrt(-2.0 * std::log(uniform()));
    double a = 2.0 * kPi * uniform();
    spare = r * std::sin(a);
    has_spare = true;
    return r * std::cos(a);
}

// ------------------------------------------------------------------ plant

Plant::Plant(Mcu &mcu, const PlantParams &p, uint64_t seed) : params(p), mcu_(mcu)
{
    catch_up_.attach(mcu_, [this] { catch_up(); });
    reset(seed);
}

void Plant::reset(uint64_t seed)
{
    time_ = mcu_.now();
    bridge_in_.fill(0.0);   // every line released: the MP6540's pull-downs hold them low
    derive();
    motor_.reset();
    sensor.reset();
    angle_noise_.seed(seed * 0x2545F4914F6CDD1Dull + 1);
    current_noise_.seed(seed * 0x2545F4914F6CDD1Dull + 2);
    mcu_.schedule(catch_up_, mcu_.now() + kCatchUpCycles);
}

void Plant::archive(StateArchive &a)
{
    a(params, derived_from_, step_, time_, bridge_in_, catch_up_, angle_noise_, current_noise_);
    motor_.archive(a);
    sensor.archive(a);
}

void Plant::catch_up()
{
    advance_to(mcu_.now());
    motor_.forget_frame();
    mcu_.schedule(catch_up_, mcu_.now() + kCatchUpCycles);
}

std::array<Leg, 3> Plant::legs() const
{
    std::array<Leg, 3> l{};
    bool awake = bridge_in_[kNSleep] > 0.5;
    for (int k = 0; k < 3; ++k) {
        l[k].driven = awake && bridge_in_[kEnA + k] > 0.5;
        l[k].volts = bridge_in_[kInA + k] * params.supply_v;   // average over the PWM period
    }
    return l;
}

void Plant::set_bridge_input(int input, double level)
{
    if (level == bridge_in_[input]) return;
    advance_to(mcu_.now());
    bridge_in_[input] = level;
}

bool Plant::bridge_enabled() const
{
    auto l = legs();
    return l[0].driven && l[1].driven && l[2].driven;
}

void Plant::derive()
{
    derived_from_ = params;
    motor_.p = params.motor();
    // Heun's method needs sub-steps well inside the windings' time constant.
    const double tau = std::min(motor_.p.ld_h, motor_.p.lq_h) / motor_.p.r_ohm;
    step_ = std::max<Cycles>(1, static_cast<Cycles>(std::llround(std::min(params.step_us * 1e-6, 0.1 * tau) * kCoreHz)));
}

void Plant::advance_to(Cycles t)
{
    if (t <= time_) return;
    if (!(params == derived_from_)) derive();   // the figures were changed
    const auto l = legs();   // the outputs cannot change while the plant catches up
    const double load = params.load_mnm * 1e-3;
    // The sub-step is also short against the electrical turn: at most 0.02
    // rad at the speed the run starts with. The most torque and load change the
    // electrical speed by under 300 rad/s in the millisecond between two
    // catch-ups, so a run's last steps turn by less than 0.03 rad.
    Cycles step = step_;
    const double we = std::fabs(motor_.omega_mech) * motor_.p.pole_pairs;   // electrical rad/s
    constexpr double kMostTurnCycles = kMostTurnPerStep * static_cast<double>(kCoreHz);   // rad * cycles/s
    if (we * static_cast<double>(step) > kMostTurnCycles) step = std::max<Cycles>(1, static_cast<Cycles>(kMostTurnCycles / we));
    if (l[0].driven && l[1].driven && l[2].driven) {
        // Whole sub-steps, then the last one shortened to land on t.
        constexpr Cycles kMostSteps = 1 << 30;
        while (time_ < t) {
            const Cycles span = t - time_, steps = span / step;
            const int whole = static_cast<int>(std::min(steps, kMostSteps));
            const Cycles rest = steps > kMostSteps ? 0 : span - steps * step;
            const int made = motor_.step_driven(static_cast<double>(step) / kCoreHz, whole,
                                                static_cast<double>(rest) / kCoreHz, l, load);
            if (made < whole + (rest > 0)) {
                time_ += static_cast<Cycles>(made + 1) * step;
                diverged();
            }
            time_ += static_cast<Cycles>(whole) * step + rest;
        }
        return;
    }
    while (time_ < t) {
        Cycles n = std::min(step, t - time_);
        motor_.step(static_cast<double>(n) / kCoreHz, l, params.supply_v, load);
        time_ += n;
        if (!std::isfinite(motor_.i_alpha + motor_.i_beta + motor_.omega_mech + motor_.theta_mech)) diverged();
    }
}

void Plant::diverged() const
{
    const std::string msg =
        fmt("foc-sim: the motor model's state is no longer finite at virtual time %.3f ms "
            "(currents %g, %g A, speed %g rad/s): these plant parameters break the model\n",
            cycles_to_ms(time_), motor_.i_alpha, motor_.i_beta, motor_.omega_mech);
    if (on_diverged) on_diverged(msg);
    std::fputs(msg.c_str(), stderr);
    std::exit(1);
}

double Plant::sense_volts() const
{
    // Phase-V current into the winding lowers the output, so the firmware's
    // inverting conversion reports it with its own sign.
    return params.current_zero_v + params.current_offset_mv * 1e-3 -
           params.current_sens_v_per_a * phase_v_current_a();
}

float Plant::current_sense_volts()
{
    advance_to(mcu_.now());
    double v = sense_volts() + params.current_noise_mv * 1e-3 * current_noise_.gauss();
    return static_cast<float>(v);
}

double Plant::sensor_angle_deg() const
{
    double d = params.sensor_direction * (rotor_deg() - params.sensor_offset_deg);
    d = std::fmod(d, 360.0);
    return d < 0.0 ? d + 360.0 : d;
}

uint16_t Plant::sensor_frame(uint16_t mosi, uint32_t cr1)
{
    if (!sensor.selected_for_frame()) return 0xFFFF;
    advance_to(mcu_.now());
    double counts = sensor_angle_deg() / 360.0 * 65536.0 + params.angle_noise_lsb * angle_noise_.gauss();
    auto word = static_cast<uint16_t>(static_cast<int64_t>(std::floor(counts)) & 0xFFFF);
    double s = params.sensor_direction * rotor_rpm() / params.speed_lsb_rpm +
               params.speed_noise_lsb * angle_noise_.gauss();
    s = std::round(s);
    auto speed = static_cast<int16_t>(s > 32767.0 ? 32767.0 : s < -32768.0 ? -32768.0 : s);
    return sensor.frame(mosi, cr1, word, speed, mcu_.now());
}

void Plant::set_rotor_deg(double mech_deg)
{
    advance_to(mcu_.now());
    motor_.place(mech_deg * kPi / 180.0);
}

void Plant::set_rotor_rpm(double rpm)
{
    advance_to(mcu_.now());
    motor_.omega_mech = rpm / kRpmPerRadS;
}

double Plant::rotor_deg() const
{
    double d = motor_.theta_mech * 180.0 / kPi;
    return d >= 360.0 ? d - 360.0 : d;
}

double Plant::rotor_rpm() const { return motor_.omega_mech * kRpmPerRadS; }

double Plant::phase_v_current_a() const { return motor_.phase_currents()[1]; }

std::array<double, 3> Plant::back_emf_v() const { return motor_.back_emf(); }

bool Plant::set_load_torque_nm(double nm, std::string *why) { return set_param("load_mnm", nm * 1e3, why); }

PlantSnapshot Plant::snapshot() const
{
    PlantSnapshot s{};
    auto l = legs();
    for (int k = 0; k < 3; ++k) s.duty[k] = l[k].volts / params.supply_v;
    s.bridge_enabled = bridge_enabled();
    auto i = motor_.phase_currents();
    for (int k = 0; k < 3; ++k) s.i_phase[k] = i[k];
    motor_.dq_currents(s.id, s.iq);
    s.theta_elec = motor_.theta_elec();
    s.theta_mech_deg = rotor_deg();
    s.speed_rpm = rotor_rpm();
    s.torque_nm = motor_.torque();
    s.load_nm = params.load_mnm * 1e-3;
    s.supply_a = motor_.supply_current(l, params.supply_v);
    s.sense_v = sense_volts();
    s.sensor_word = static_cast<uint16_t>(static_cast<int64_t>(std::floor(sensor_angle_deg() / 360.0 * 65536.0)) & 0xFFFF);
    return s;
}

bool Plant::set_param(std::string_view name, double value, std::string *why)
{
    PlantParams p = params;
    std::string err = p.set(name, value);
    if (err.empty()) err = p.check();
    if (!err.empty()) {
        if (why) *why = err;
        return false;
    }
    advance_to(mcu_.now());   // what happened so far happened with the old figures
    params = p;
    return true;
}

}  // namespace sim
