// Table trigonometry, modulation, the output stage and the current readings.
#include <cmath>
#include <limits>

#include "bench.hpp"
#include "numconv.h"

// Faults caught: an entry off the rule sin(2 pi k / 256) rounded to six decimals, no turn reduction, an index off
// by one at 2 pi.
TEST(SineTable, EntriesByTheRuleAndLookupEdges)
{
    sim::Board b;
    for (int k = 0; k <= SIN_N; ++k)
        EXPECT_EQ(sin_t[k], static_cast<float>(std::round(std::sin(2.0 * M_PI * k / SIN_N) * 1e6) / 1e6)) << k;
    EXPECT_EQ((std::array{lut_sin(1.5707964f), lut_cos(0.0f)}), (std::array{1.0f, 1.0f}));
    EXPECT_NEAR(lut_sin(3.1415927f), 0.0f, 1e-6f);
    EXPECT_NEAR(lut_sin(-0.1f), -0.09983f, 2e-5f);
    EXPECT_EQ(lut_sin(6.7831855f), lut_sin(6.7831855f - 6.2831855f));
    const float s = lut_sin(std::nextafter(6.2831855f, 0.0f));
    EXPECT_TRUE(s < 0.0f && s > -1e-6f) << s;
}

// Faults caught: a wrong offset, centre, span, sign or axis, no saturation, compares >= 1600 let through.
TEST_F(ControlTest, ModulationCompares)
{
    struct { float va, vb, vc; Ccr ccr; } rows[] = {
        {0, 0, 0, {800, 800, 800}},  {0, 0.08f, 0, {736, 864, 736}}, {0, 0.1f, 0, {720, 880, 720}},
        {0, 1.2f, 0, {0, 1760, 0}}, {0, 100, 0, {0, 65535, 0}},     {-3, 0, 0, {0, 3200, 3200}},
    };
    for (const auto &r : rows) {
        uint16_t u, v, w;
        svpwm(r.va, r.vb, r.vc, &u, &v, &w);
        EXPECT_EQ((Ccr{u, v, w}), r.ccr) << r.va << " " << r.vb;
    }
    struct { float amplitude; Ccr ccr; } stage[] = {
        {0.08f, {800, 910, 689}}, {0.5f, {800, 1492, 107}}, {0.999f, {800, 1599, 0}}};
    for (const auto &r : stage) {
        foc_output_vector(0.0f, r.amplitude);   // at angle 0
        EXPECT_EQ(compares(), r.ccr) << r.amplitude;
    }
}

// Faults caught: a wrong coefficient or sign in the inverse Park and Clarke transform at any angle: the three
// compares must put a vector of the amplitude on the q axis, a quarter turn ahead of the angle (the zero sequence
// drops out of the line voltages; truncation costs each component under a count).
TEST_F(ControlTest, OutputStagePutsTheVectorOnTheQAxis)
{
    for (float amplitude : {0.08f, 0.3f, 0.55f}) {
        for (int k = 0; k < 40; ++k) {
            const float theta = 0.157f * static_cast<float>(k) + 0.01f;
            foc_output_vector(theta, amplitude);
            const auto [alpha, beta] = alpha_beta(compares());
            EXPECT_NEAR(alpha, -amplitude * std::sin(theta), 1.0 / PWM_MAX) << theta << " at " << amplitude;
            EXPECT_NEAR(beta, amplitude * std::cos(theta), 1.0 / PWM_MAX) << theta << " at " << amplitude;
        }
    }
}

// Faults caught: the sign inversion lost, the factor inverted, rounding instead of truncation, no saturation.
TEST(CurrentConversion, CountsToMilliamperes)
{
    sim::Board b;
    struct { float factor; uint16_t raw; int32_t mcs, mp; } rows[] = {
        {2.2f, 2048, 0, 0},      {2.2f, 2049, -6, 1},     {2.2f, 2148, -671, 145},  {2.2f, 1948, 671, -145},
        {2.2f, 0, 13750, -2976}, {2.2f, 4095, -13743, 2975}, {1.0f, 2148, -305, 145}, {1e9f, 0, INT32_MAX, -2976},
    };
    for (const auto &r : rows) {
        mcs1805_sens_factor = r.factor;
        EXPECT_EQ(MCS1805_I_mA(r.raw, 2048), r.mcs) << r.raw << " at " << r.factor;
        EXPECT_EQ(MP6540_I_mA(r.raw, 2048), r.mp) << r.raw;
    }
}

// Faults caught: the discarded first conversion kept, skipped or not waited for, a wait unbounded or off its 5000 polls, reads for
// no samples.
TEST_F(ControlTest, ConverterReads)
{
    const uint32_t n0 = b.mcu.adc1.conversions;
    auto n = [&] { return b.mcu.adc1.conversions - n0; };
    const sim::Cycles t0 = b.mcu.now();
    EXPECT_NEAR(ADC_Read(1), 2048, 20);   // about mid-supply: no current
    EXPECT_EQ(n(), 2u);
    EXPECT_GE(b.mcu.now() - t0, 2 * b.mcu.adc1.conversion_cycles(1)) << "waits for both conversions";
    EXPECT_EQ(ADC_Read_Avg(1, 0) + ADC_Read_Avg(1, -3), 0);
    EXPECT_NEAR(ADC_Read_Avg(1, 4), 2048, 20);
    EXPECT_EQ(n(), 10u);
    b.mcu.adc1.never_finishes = true;
    const uint64_t accesses = b.mcu.accesses;
    EXPECT_EQ(ADC_Read(1), 0);
    EXPECT_EQ(n(), 11u) << "gave up after the first wait";
    EXPECT_EQ(b.mcu.accesses - accesses, 3u + 5000u) << "channel, start (read and write), 5000 polls";
}

// Faults caught: a rounding by adding 0.5 (0.49999997 + 0.5 rounds up to 1 in single precision), halves rounded to
// even or toward zero, a sign lost, or a conversion that is undefined or wraps beyond the int range or for NaN.
TEST(FloatToInt, RoundedSettingsSaturate)
{
    const float inf = std::numeric_limits<float>::infinity();
    const struct { float x; int32_t want; } rows[] = {
        {250.99998f, 251}, {0.49999997f, 0}, {0.5f, 1}, {2.5f, 3}, {-0.5f, -1}, {-2.5f, -3}, {-2.4999998f, -2},
        {8388609.0f, 8388609}, {2147483520.0f, 2147483520}, {2147483648.0f, INT32_MAX}, {inf, INT32_MAX},
        {-2147483648.0f, INT32_MIN}, {-inf, INT32_MIN}, {std::nanf(""), 0}, {1e-45f, 0},
    };
    for (const auto &r : rows) EXPECT_EQ(f2i_round_sat(r.x), r.want) << r.x;
}
