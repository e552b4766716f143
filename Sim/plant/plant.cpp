#include "plant/plant.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kRpmPerRadS = 60.0 / (2.0 * kPi);

// Pins of GPIOB between the MCU and the MP6540.
constexpr int kPwmPin[3] = {6, 7, 8};   // IN_A, IN_B, IN_C from TIM4 CH1..3
constexpr int kEnPin[3] = {12, 13, 14};
constexpr int kSleepPin = 15;
constexpr int kCsPin = 4;   // GPIOA: MA600A chip select
constexpr int kCurrentChannel = 1;

struct ParamInfo {
    const char *name;
    double PlantParams::*field;
    double def;
    double min, max;
    bool integer;
    const char *unit;
    const char *why;
};

// The plant's figures: a small outrunner gimbal motor of the 22xx class
// (12 magnets, 6 pole pairs) on the 12 V supply of the MP6540, an MA600A
// over a diametral magnet on the shaft and an MCS1805 in phase V.
constexpr ParamInfo kParams[] = {
    {"supply_v", &PlantParams::supply_v, 12.0, 1.0, 60.0, false, "V",
     "bridge supply; a 3S battery or a 12 V adapter"},
    {"diode_vf", &PlantParams::diode_vf, 0.8, 0.0, 2.0, false, "V",
     "body-diode drop of the bridge's FETs, seen while a disabled leg freewheels"},
    {"pole_pairs", &PlantParams::pole_pairs, 6.0, 1.0, 50.0, true, "",
     "pole pairs of the motor (12 magnets); the firmware assumes 6"},
    {"r_ohm", &PlantParams::r_ohm, 5.0, 0.01, 1000.0, false, "ohm",
     "phase resistance (10 ohm line to line): gimbal windings are many turns of thin wire"},
    {"ld_mh", &PlantParams::ld_mh, 1.4, 0.001, 1000.0, false, "mH",
     "d-axis inductance; surface magnets give little saliency"},
    {"lq_mh", &PlantParams::lq_mh, 1.6, 0.001, 1000.0, false, "mH",
     "q-axis inductance, a little above Ld (some reluctance torque with id < 0)"},
    {"kv_rpm_per_v", &PlantParams::kv_rpm_per_v, 260.0, 1.0, 100000.0, false, "RPM/V",
     "speed per volt of line-to-line peak back-EMF; lambda = 60/(sqrt3 2pi p Kv) = 3.53 mWb, "
     "Kt = 1.5 p lambda = 31.8 mN*m/A"},
    {"inertia_gcm2", &PlantParams::inertia_gcm2, 30.0, 0.01, 1e6, false, "g*cm^2",
     "bell of about 12 g at 12 mm radius plus the sensor magnet's holder"},
    {"viscous_unms", &PlantParams::viscous_unms, 2.0, 0.0, 1e6, false, "uN*m/(rad/s)",
     "bearing grease and iron losses; 63 uN*m at 300 RPM"},
    {"friction_mnm", &PlantParams::friction_mnm, 0.4, 0.0, 1000.0, false, "mN*m",
     "Coulomb (kinetic) friction of two small ball bearings and seals"},
    {"stiction_mnm", &PlantParams::stiction_mnm, 0.6, 0.0, 1000.0, false, "mN*m",
     "breakaway torque: below it a rotor at rest stays at rest"},
    {"load_mnm", &PlantParams::load_mnm, 0.0, -1000.0, 1000.0, false, "mN*m",
     "load torque on the shaft, opposing positive rotation (like a weight on an arm)"},
    {"step_us", &PlantParams::step_us, 4.0, 0.1, 50.0, false, "us",
     "integration sub-step: 1/70 of the windings' L/R, 1/12 of the fastest control tick"},
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
    catch_up_.fire = [this] { catch_up(); };
    mcu_.add_event(catch_up_);
    reset(seed);
}

Plant::~Plant() { mcu_.cancel(catch_up_); }

void Plant::reset(uint64_t seed)
{
    time_ = mcu_.now();
    motor_.p = params.motor();
    motor_.reset();
    sensor.reset();
    angle_noise_.seed(seed * 0x2545F4914F6CDD1Dull + 1);
    current_noise_.seed(seed * 0x2545F4914F6CDD1Dull + 2);
    mcu_.schedule(catch_up_, mcu_.now() + kCatchUpCycles);
}

void Plant::catch_up()
{
    advance_to(mcu_.now());
    mcu_.schedule(catch_up_, mcu_.now() + kCatchUpCycles);
    if (on_sample) on_sample(mcu_.now());
}

double Plant::pin_level(int pin) const
{
    const Gpio &b = mcu_.gpiob;
    uint32_t f = b.mode_field(pin);
    if ((f & 3) == 0) return 0.0;   // an input: the MP6540's pull-down holds the line low
    if (f & 8) {                    // alternate function: the timer drives it
        for (int ch = 0; ch < 3; ++ch)
            if (kPwmPin[ch] == pin) return mcu_.tim4.duty(ch + 1);
        return 0.0;
    }
    return b.output_level(pin) ? 1.0 : 0.0;
}

std::array<Leg, 3> Plant::legs() const
{
    std::array<Leg, 3> l{};
    bool awake = pin_level(kSleepPin) > 0.5;
    for (int k = 0; k < 3; ++k) {
        l[k].driven = awake && pin_level(kEnPin[k]) > 0.5;
        l[k].volts = pin_level(kPwmPin[k]) * params.supply_v;   // average over the PWM period
    }
    return l;
}

bool Plant::bridge_enabled() const
{
    auto l = legs();
    return l[0].driven && l[1].driven && l[2].driven;
}

void Plant::advance_to(Cycles t)
{
    if (t <= time_) return;
    motor_.p = params.motor();
    const auto l = legs();   // the outputs cannot change while the plant catches up
    const double load = params.load_mnm * 1e-3;
    const Cycles step = std::max<Cycles>(1, static_cast<Cycles>(std::llround(params.step_us * kCoreHz * 1e-6)));
    while (time_ < t) {
        Cycles n = std::min(step, t - time_);
        motor_.step(static_cast<double>(n) / kCoreHz, l, params.supply_v, load);
        time_ += n;
    }
}

void Plant::outputs_changing() { advance_to(mcu_.now()); }

void Plant::odr_changed(int port, uint32_t old_odr, uint32_t new_odr)
{
    if (port == 0 && ((old_odr ^ new_odr) & (1u << kCsPin)))
        sensor.chip_select((new_odr & (1u << kCsPin)) == 0, mcu_.now());
}

double Plant::sense_volts() const
{
    // Phase-V current into the winding lowers the output, so the firmware's
    // inverting conversion reports it with its own sign.
    return params.current_zero_v + params.current_offset_mv * 1e-3 -
           params.current_sens_v_per_a * phase_v_current_a();
}

float Plant::adc_input_volts(int channel)
{
    advance_to(mcu_.now());
    if (channel != kCurrentChannel) return 0.0f;
    double v = sense_volts() + params.current_noise_mv * 1e-3 * current_noise_.gauss();
    return static_cast<float>(v);
}

double Plant::sensor_angle_deg() const
{
    double d = params.sensor_direction * (rotor_deg() - params.sensor_offset_deg);
    d = std::fmod(d, 360.0);
    return d < 0.0 ? d + 360.0 : d;
}

uint16_t Plant::spi_frame(uint16_t mosi, uint32_t cr1)
{
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

void Plant::set_load_torque_nm(double nm)
{
    advance_to(mcu_.now());
    params.load_mnm = nm * 1e3;
}

PlantSnapshot Plant::snapshot() const
{
    PlantSnapshot s{};
    auto l = legs();
    for (int k = 0; k < 3; ++k) s.duty[k] = l[k].volts / params.supply_v;
    s.bridge_enabled = bridge_enabled();
    auto i = motor_.phase_currents();
    for (int k = 0; k < 3; ++k) s.i_phase[k] = i[k];
    s.id = motor_.id;
    s.iq = motor_.iq;
    s.theta_elec = motor_.theta_elec();
    s.theta_mech_deg = rotor_deg();
    s.speed_rpm = rotor_rpm();
    s.torque_nm = motor_.torque();
    s.load_nm = params.load_mnm * 1e-3;
    s.sense_v = sense_volts();
    s.sensor_word = static_cast<uint16_t>(static_cast<int64_t>(std::floor(sensor_angle_deg() / 360.0 * 65536.0)) & 0xFFFF);
    return s;
}

bool Plant::set_param(std::string_view name, double value)
{
    const ParamInfo *p = find_param(name);
    if (!p || !std::isfinite(value) || value < p->min || value > p->max) return false;
    if (p->integer && value != std::floor(value)) return false;
    if (p->field == &PlantParams::sensor_direction && value == 0.0) return false;
    advance_to(mcu_.now());   // what happened so far happened with the old figures
    PlantParams old = params;
    params.*p->field = value;
    // Heun's method needs sub-steps well inside the windings' time constant.
    double tau = std::min(params.ld_mh, params.lq_mh) * 1e-3 / params.r_ohm;
    if (params.step_us * 1e-6 > 0.1 * tau) {
        params = old;
        return false;
    }
    return true;
}

std::string Plant::param_help()
{
    std::string s;
    char line[512];
    for (const auto &p : kParams) {
        std::snprintf(line, sizeof line, "  %-22s %-14s default %-8g %s\n", p.name, p.unit, p.def, p.why);
        s += line;
    }
    return s;
}

}  // namespace sim
