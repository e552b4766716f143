// The control tick against its frozen reference (control/reference_control):
// the same control state in, the same bits out, for every field of the state
// and the three compare values.
//
// Bit identity here carries over to the chip: its soft-float routines are
// IEEE single precision with round-to-nearest-even, like the host's SSE
// arithmetic (x86-64 keeps no excess precision: FLT_EVAL_METHOD 0, and the
// ISO mode of the build does not contract a*b+c), so the same operations in
// the same order give the same bits on both. NaN payloads are the one thing
// that may differ between the two platforms; between reference and firmware
// on one platform, only the NaN-ness is compared (see differences()).
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "control/reference_control.hpp"
#include "bench.hpp"
#include "ma600a.h"

static_assert(FLT_EVAL_METHOD == 0, "float arithmetic must round to single precision at every step");

namespace {

// Every field of the control state, read and written as its bit pattern.
struct Field {
    const char *name;
    volatile void *p;
    char kind;   // i: int32, f: float, u: uint16, s: int16
};

#define F(x, k) Field{#x, &x, k}
const Field kFields[] = {
    F(motor_running, 'i'), F(foc_mode, 'i'), F(foc_rate, 'i'), F(pole_pairs, 'i'), F(foc_vq, 'f'),
    F(ramp_rate, 'i'), F(ramp_vq, 'f'), F(hold_vq, 'f'), F(foc_angle, 'f'), F(foc_speed, 'f'),
    F(speed_set, 'f'), F(speed_cl_ref, 'f'), F(pid_spd_kp, 'f'), F(pid_spd_ki, 'f'), F(pid_spd_kd, 'f'),
    F(pid_spd_sum, 'f'), F(pid_spd_last_err, 'f'), F(ma_sync_count, 'i'), F(pos_ref_deg, 'f'),
    F(pos_err_max, 'f'), F(pid_pos_kp, 'f'), F(pid_pos_ki, 'f'), F(pid_pos_kd, 'f'), F(pos_hold, 'i'),
    F(posopen_virt_deg, 'f'), F(cur_tgt_mA, 'f'), F(pid_cur_kp, 'f'), F(pid_cur_ki, 'f'), F(pid_cur_kd, 'f'),
    F(cur_cl_started, 'i'), F(cur_cl_phase, 'i'), F(cur_cl_open_v, 'f'), F(cur_cl_integral, 'f'),
    F(cur_cl_pid_out, 'f'), F(cur_cl_last_err, 'f'), F(ma_raw, 'u'), F(ma600_mech_deg, 'f'),
    F(ma600_ema_deg, 'f'), F(ma_angle, 'f'), F(last_isr_angle, 'u'), F(angle_accum, 'i'), F(actual_rpm, 'f'),
    F(total_turns, 'i'), F(iv2_cache, 'u'), F(adc_zero_iv2, 's'), F(mcs1805_sens_factor, 'f'), F(fault_flag, 'i'),
};
#undef F
constexpr size_t kCount = sizeof kFields / sizeof kFields[0];

uint32_t get(const Field &f)
{
    switch (f.kind) {
    case 'u': return *static_cast<volatile uint16_t *>(f.p);
    case 's': return static_cast<uint16_t>(*static_cast<volatile int16_t *>(f.p));
    default: return *static_cast<volatile uint32_t *>(f.p);
    }
}

void put(const Field &f, uint32_t v)
{
    switch (f.kind) {
    case 'u': *static_cast<volatile uint16_t *>(f.p) = static_cast<uint16_t>(v); break;
    case 's': *static_cast<volatile int16_t *>(f.p) = static_cast<int16_t>(v); break;
    default: *static_cast<volatile uint32_t *>(f.p) = v; break;
    }
}

// The state, then the compares and the bridge lines.
using Snapshot = std::array<uint32_t, kCount + 4>;

Snapshot take(const sim::Board &b)
{
    Snapshot s{};
    for (size_t i = 0; i < kCount; ++i) s[i] = get(kFields[i]);
    for (int c = 0; c < 3; ++c) s[kCount + c] = b.mcu.tim4.ccr(c + 1);
    s[kCount + 3] = bridge_lines();
    return s;
}

void restore(const Snapshot &s)
{
    for (size_t i = 0; i < kCount; ++i) put(kFields[i], s[i]);
}

std::string name_of(size_t i)
{
    if (i < kCount) return kFields[i].name;
    return i == kCount + 3 ? "bridge lines" : "CCR" + std::to_string(i - kCount + 1);
}

// Names every slot whose bits differ, with both values; empty when equal.
// Two NaNs are equal whatever their sign and payload: which operand's NaN a
// sum or product passes on is the compiler's choice (it may swap the
// operands of a commutative operation), on the host as on the chip.
std::string differences(const Snapshot &want, const Snapshot &got)
{
    std::string out;
    for (size_t i = 0; i < want.size(); ++i) {
        const bool fl = i < kCount && kFields[i].kind == 'f';
        float fw, fg;
        std::memcpy(&fw, &want[i], 4);
        std::memcpy(&fg, &got[i], 4);
        if (want[i] == got[i] || (fl && std::isnan(fw) && std::isnan(fg))) continue;
        char line[160];
        std::snprintf(line, sizeof line, "  %s: reference 0x%08X (%g), firmware 0x%08X (%g)\n", name_of(i).c_str(), want[i],
                      fl ? fw : static_cast<double>(want[i]), got[i], fl ? fg : static_cast<double>(got[i]));
        out += line;
    }
    return out;
}

float from_bits(uint32_t u)
{
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

// Random control states: meaningful values with the console's clamps and
// steps, edge values, relations between fields that steer the loops onto
// their branches, and now and then a value no command makes (NaN, infinities,
// denormals, out-of-range integers).
struct Gen {
    std::mt19937 rng;
    explicit Gen(uint32_t seed) : rng(seed) {}

    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }
    int32_t range(int32_t lo, int32_t hi) { return std::uniform_int_distribution<int32_t>(lo, hi)(rng); }
    float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); }
    template <typename T, size_t N> T one_of(const T (&v)[N]) { return v[range(0, N - 1)]; }

    // Infinities and huge values only where no turn-reducing loop meets them:
    // an angle of 1e30 never reduces, on the chip as here.
    float special(bool wild)
    {
        const float small[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(), from_bits(0xFFC00001u),
                              1e-40f, -1e-40f, FLT_MIN};
        const float huge[] = {INFINITY, -INFINITY, FLT_MAX, -FLT_MAX, 1e30f, -1e30f};
        return wild && chance(0.5) ? one_of(huge) : one_of(small);
    }
    // lo..hi in steps of `step` (0: any value), sometimes an end or a special.
    float value(float lo, float hi, float step = 0.0f, bool wild = true)
    {
        if (chance(0.02)) return special(wild);
        if (chance(0.05)) return chance(0.5) ? lo : hi;
        if (step > 0.0f) return lo + step * static_cast<float>(range(0, static_cast<int32_t>((hi - lo) / step)));
        return uniform(lo, hi);
    }
    float tame(float lo, float hi, float step = 0.0f) { return value(lo, hi, step, false); }
    // Exactly a value, or one step of single precision either side of it.
    float near(float x)
    {
        switch (range(0, 3)) {
        case 0: return std::nextafter(x, INFINITY);
        case 1: return std::nextafter(x, -INFINITY);
        default: return x;
        }
    }
    // A derivative gain: zero (every loop's default, either sign) or a typed value.
    float gain_kd() { return chance(0.4) ? (chance(0.2) ? -0.0f : 0.0f) : value(0.0f, 10000.0f, 1.0f); }
    float angle() { return chance(0.2) ? near(one_of({0.0f, FOC_TWO_PI, 1.5707964f, 3.1415927f})) : tame(-1.0f, 7.5f); }
    int32_t odd_int() { return one_of({-1, 21, 1000, 100000, INT32_MIN, INT32_MAX}); }   // not 0: dt infinite

    void settings(int mode)
    {
        foc_mode = chance(0.05) && mode == 0 ? one_of({-1, 6, 100}) : mode;
        foc_rate = chance(0.03) ? odd_int() : chance(0.3) ? one_of({1, 4, 20}) : range(1, 20);
        pole_pairs = chance(0.05) ? one_of({0, 1, -6, 7, 100}) : 6;
        ramp_rate = chance(0.03) ? odd_int() : chance(0.3) ? one_of({0, 100, 1000}) : range(0, 1000);
        foc_vq = chance(0.2) ? near(one_of({0.1f, 0.08f, 0.05f, 0.0f})) : value(0.0f, chance(0.1) ? 5.0f : 1.0f, 0.001f);
        hold_vq = value(0.0f, 0.999f, 0.001f);
        foc_speed = tame(0.0f, 9999.0f, 0.1f);
        speed_set = tame(0.0f, 9999.0f, chance(0.5) ? 1.0f : 0.0f);
        pid_spd_kp = value(0.0f, 10000.0f, 1.0f);
        pid_spd_ki = value(0.0f, 10000.0f, 1.0f);
        pid_spd_kd = gain_kd();
        pos_ref_deg = tame(0.0f, 3600.0f, 1.0f);
        pos_err_max = value(1.0f, 180.0f, 1.0f);
        pid_pos_kp = value(0.0f, 100.0f);
        pid_pos_ki = value(0.0f, 10000.0f, 1.0f);
        pid_pos_kd = gain_kd();
        cur_tgt_mA = value(0.0f, 5000.0f, 1.0f);
        pid_cur_kp = value(0.0f, 10000.0f, 1.0f);
        pid_cur_ki = value(0.0f, 10000.0f, 1.0f);
        pid_cur_kd = gain_kd();
        mcs1805_sens_factor = value(1.0f, 10.0f, 0.001f);
    }

    void runtime()
    {
        motor_running = 1;
        ramp_vq = chance(0.3) ? near(chance(0.5) ? foc_vq : hold_vq) : value(-1.0f, 1.0f);
        foc_angle = angle();
        ma_angle = angle();
        speed_cl_ref = chance(0.3) ? near(speed_set) : tame(-100.0f, 10000.0f);
        pid_spd_sum = chance(0.1) ? one_of({0.0f, -0.0f}) : value(-600.0f, 600.0f);
        pid_spd_last_err = value(-10000.0f, 10000.0f);
        actual_rpm = chance(0.1) ? near(speed_cl_ref) : value(-5000.0f, 5000.0f);   // no speed error
        ma_sync_count = chance(0.03) ? odd_int() : range(0, 12);
        pos_hold = chance(0.03) ? 7 : range(0, 1);
        posopen_virt_deg = value(-10.0f, 10.0f);
        cur_cl_started = chance(0.03) ? -1 : range(0, 1);
        cur_cl_phase = chance(0.03) ? one_of({3, -1}) : range(0, 2);
        cur_cl_open_v = chance(0.3) ? near(chance(0.5) ? 0.05f : foc_vq) : value(0.0f, 0.2f);
        cur_cl_integral = chance(0.1) ? one_of({0.0f, -0.0f}) : value(-10000.0f, 10000.0f);
        cur_cl_pid_out = value(0.0f, 1.0f);
        cur_cl_last_err = value(-10000.0f, 10000.0f);
        ma_raw = static_cast<uint16_t>(range(0, 65535));
        ma600_mech_deg = value(0.0f, 360.0f);
        // The position error on and around its thresholds, the smoothed angle at exactly 0.
        const float offsets[] = {0.0f, 2.0f, -2.0f, 5.0f, -5.0f, 10.0f, -10.0f, 180.0f, -180.0f, 540.0f};
        ma600_ema_deg = chance(0.1) ? 0.0f
                        : chance(0.3) ? near(pos_ref_deg - (chance(0.3) && std::fabs(pos_err_max) <= 180.0f
                                                                ? pos_err_max : one_of(offsets)))
                                      : tame(0.0f, 360.0f);
        last_isr_angle = static_cast<uint16_t>(range(0, 65535));
        angle_accum = chance(0.1) ? one_of({65536, -65536, 65535, 174762, 174763, INT32_MIN}) : range(-200000, 200000);
        total_turns = range(-1000, 1000);
        iv2_cache = static_cast<uint16_t>(chance(0.05) ? one_of({0, 4095, 65535}) : range(1800, 2300));
        adc_zero_iv2 = static_cast<int16_t>(chance(0.05) ? one_of({0, -32768, 32767}) : range(1900, 2200));
        fault_flag = range(0, 1);
    }

    // One setting changed as the foreground would between two ticks: a new
    // value or the same one a bit of precision off.
    void nudge_one_setting()
    {
        volatile float *fs[] = {&foc_vq, &hold_vq, &foc_speed, &speed_set, &pid_spd_kp, &pid_spd_ki, &pid_spd_kd,
                                &pos_err_max, &pid_pos_kp, &pid_pos_ki, &pid_pos_kd, &cur_tgt_mA, &pid_cur_kp,
                                &pid_cur_ki, &pid_cur_kd, &mcs1805_sens_factor};
        volatile int32_t *is[] = {&foc_rate, &ramp_rate, &pole_pairs};
        if (chance(0.3)) {
            volatile int32_t *p = is[range(0, 2)];
            const int32_t v = chance(0.5) ? static_cast<int32_t>(static_cast<uint32_t>(*p) + (chance(0.5) ? 1u : ~0u))   // wraps
                                          : range(0, 20);
            *p = p == &foc_rate && v == 0 ? 1 : v;   // a rate of 0 makes dt infinite
        } else {
            volatile float *p = fs[range(0, sizeof fs / sizeof fs[0] - 1)];
            *p = chance(0.5) ? near(*p) : static_cast<float>(range(0, 2000)) / 1000.0f;
        }
    }
};

constexpr uint32_t kSentinel = 4242;   // compare value no step writes: tells "not written" apart

// One running step of both from the same state and samples.
struct StepPair {
    sim::Board &b;
    Snapshot run(const Snapshot &before, uint16_t raw, bool reference)
    {
        restore(before);
        pwm_write(kSentinel, kSentinel, kSentinel);
        if (reference) ref::control(raw);
        else foc_control(raw);
        return take(b);
    }
};

}  // namespace

// Faults caught: the sine lookup's index or fraction taken wrongly from the bits for any angle the output stage can
// see (the table's differences included), the modulation's offset or conversion differing from the reference.
// A sweep of every bit pattern step over [-1, 8) rad with random low bits, then random phase voltages.
TEST(Differential, SineAndModulationMatchReference)
{
    sim::Board b;
    std::mt19937 rng(3);
    Gen g(4);
    const uint32_t lo = std::bit_cast<uint32_t>(0.0f), hi = std::bit_cast<uint32_t>(8.0f);
    for (uint32_t u = lo; u < hi; u += 199) {
        for (float a : {std::bit_cast<float>(static_cast<uint32_t>(u + rng() % 199)), -std::bit_cast<float>(u) * 0.125f}) {
            const float want = ref::lut_sin(a), got = lut_sin(a);
            ASSERT_EQ(std::bit_cast<uint32_t>(got), std::bit_cast<uint32_t>(want)) << a;
        }
    }
    for (int n = 0; n < 300000; ++n) {
        const float v[3] = {g.value(-1.5f, 1.5f), g.value(-1.5f, 1.5f), g.value(-1.5f, 1.5f)};
        uint16_t want[3], got[3];
        ref::svpwm(v[0], v[1], v[2], &want[0], &want[1], &want[2]);
        svpwm(v[0], v[1], v[2], &got[0], &got[1], &got[2]);
        ASSERT_TRUE(std::equal(want, want + 3, got)) << v[0] << " " << v[1] << " " << v[2];
    }
}

// Faults caught: the PID sum's derivative term skipped where it is not a zero (an infinite or NaN derivative), or
// the zero it adds given the wrong sign (-0 - +0, zeros of kd and dt of either sign). Every combination of edge values.
TEST(Differential, DerivativeTermAsWritten)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float pis[] = {0.0f, -0.0f, 1.5f, -2.25e-3f, 1e-40f, INFINITY, -INFINITY, nan};
    const float kds[] = {0.0f, -0.0f, 1e-45f, 0.5f, INFINITY, nan};
    const float es[] = {0.0f, -0.0f, 1.0f, -1.0f, 3.5f, 1e-40f, -1e-40f, 1e30f, -1e30f, FLT_MAX, -FLT_MAX, 0x1p126f,
                        INFINITY, nan};
    const float dts[] = {0.00025f, 5e-5f, 0.001f, -0.001f, 0.0f, -0.0f, 1e-40f, FLT_MIN, 1e-30f, 4.6e-13f, 1e30f,
                         INFINITY, nan};
    for (float pi : pis)
        for (float kd : kds)
            for (float e : es)
                for (float last : es)
                    for (float dt : dts) {
                        const float want = pi + kd * ((e - last) / dt);
                        const float got = foc_plus_derivative(pi, kd, e, last, dt);
                        ASSERT_TRUE(std::bit_cast<uint32_t>(got) == std::bit_cast<uint32_t>(want) || (want != want && got != got))
                            << pi << " + " << kd << " * ((" << e << " - " << last << ") / " << dt << "): " << got << " for " << want;
                    }
}

// Faults caught: any arithmetic reordered or re-rounded, a comparison answering differently (NaN and signed zero
// included), a setting-derived value reused after its inputs changed, a branch or a store lost or added.
// Each mode: random states, about half of them continuing from the state the step before left, with one setting
// changed between steps in a third of those.
TEST(Differential, RunningStepMatchesReferenceBitForBit)
{
    constexpr int kStates = 20000;
    sim::Board b;   // firmware state as at power-on: both speed-window counters at 0
    ref::reset();
    StepPair pair{b};
    for (int mode = 0; mode <= 5; ++mode) {
        Gen g(1000u + static_cast<uint32_t>(mode));
        Snapshot state{};
        int continued = 0;
        for (int n = 0; n < kStates; ++n) {
            if (n == 0 || g.chance(0.5)) {
                g.settings(mode);
                g.runtime();
            } else {
                restore(state);
                ++continued;
                if (g.chance(0.3)) g.nudge_one_setting();
            }
            iv2_cache = static_cast<uint16_t>(g.chance(0.05) ? g.one_of({0, 4095}) : g.range(1800, 2300));
            const uint16_t raw = g.chance(0.5) ? MA600A_NO_SAMPLE : static_cast<uint16_t>(g.range(0, 65534));
            const Snapshot before = take(b);
            const Snapshot want = pair.run(before, raw, true);
            const Snapshot got = pair.run(before, raw, false);
            const std::string diff = differences(want, got);
            ASSERT_TRUE(diff.empty()) << "mode " << mode << ", state " << n << ", raw " << raw << ":\n" << diff;
            state = got;
        }
        EXPECT_GT(continued, kStates / 3) << mode;
    }
}

// Faults caught: the stopped tick, the fault watch or the samples handled differently from the reference, on the
// board's converter and sensor. Each mode: two boards from power-on, one ticked by the firmware's handler and one by
// the reference, with the same starts and stops, fault line, rotor moves, converter hangs and state changes.
TEST(Differential, WholeTicksOnTheBoardMatchReference)
{
    constexpr int kTicks = 1500;
    for (int mode = 0; mode <= 5; ++mode) {
        std::vector<Snapshot> runs[2];
        for (int reference = 0; reference <= 1; ++reference) {
            Bench t(Bench::kTickHeld);
            ref::reset();
            Gen g(77u + static_cast<uint32_t>(mode));
            g.settings(mode);
            foc_rate = 4;
            motor_running = 1;
            for (int n = 0; n < kTicks; ++n) {
                if (g.chance(0.01)) motor_running = !motor_running;
                if (g.chance(0.02)) t.b.set_fault(g.chance(0.5));
                if (g.chance(0.01)) t.b.mcu.adc1.never_finishes = !t.b.mcu.adc1.never_finishes;
                if (g.chance(0.2)) t.set_raw(static_cast<uint16_t>(g.range(0, 65535)));
                if (g.chance(0.05)) g.nudge_one_setting();
                if (g.chance(0.01)) g.runtime();
                if (reference) ref::tim2_irq();
                else TIM2_IRQHandler();
                runs[reference].push_back(take(t.b));
            }
        }
        for (int n = 0; n < kTicks; ++n) {
            const std::string diff = differences(runs[1][n], runs[0][n]);
            ASSERT_TRUE(diff.empty()) << "mode " << mode << ", tick " << n << ":\n" << diff;
        }
    }
}
