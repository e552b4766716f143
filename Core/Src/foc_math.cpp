// Table trigonometry and space-vector modulation of the control step.
// The chip has no floating-point unit: sine and cosine come from a 257-entry
// table with linear interpolation, and the modulation needs only comparisons,
// additions and three multiplications.
#include "board.h"
#include "foc.h"
#include "numconv.h"

// sin(2*pi*k/256) for k = 0..256, rounded to six decimals. The last entry
// repeats the first so that the last interval interpolates without wrapping.
constexpr float sin_t[SIN_N + 1] = {
     0.000000f,  0.024541f,  0.049068f,  0.073565f,  0.098017f,  0.122411f,  0.146730f,  0.170962f,
     0.195090f,  0.219101f,  0.242980f,  0.266713f,  0.290285f,  0.313682f,  0.336890f,  0.359895f,
     0.382683f,  0.405241f,  0.427555f,  0.449611f,  0.471397f,  0.492898f,  0.514103f,  0.534998f,
     0.555570f,  0.575808f,  0.595699f,  0.615232f,  0.634393f,  0.653173f,  0.671559f,  0.689541f,
     0.707107f,  0.724247f,  0.740951f,  0.757209f,  0.773010f,  0.788346f,  0.803208f,  0.817585f,
     0.831470f,  0.844854f,  0.857729f,  0.870087f,  0.881921f,  0.893224f,  0.903989f,  0.914210f,
     0.923880f,  0.932993f,  0.941544f,  0.949528f,  0.956940f,  0.963776f,  0.970031f,  0.975702f,
     0.980785f,  0.985278f,  0.989177f,  0.992480f,  0.995185f,  0.997290f,  0.998795f,  0.999699f,
     1.000000f,  0.999699f,  0.998795f,  0.997290f,  0.995185f,  0.992480f,  0.989177f,  0.985278f,
     0.980785f,  0.975702f,  0.970031f,  0.963776f,  0.956940f,  0.949528f,  0.941544f,  0.932993f,
     0.923880f,  0.914210f,  0.903989f,  0.893224f,  0.881921f,  0.870087f,  0.857729f,  0.844854f,
     0.831470f,  0.817585f,  0.803208f,  0.788346f,  0.773010f,  0.757209f,  0.740951f,  0.724247f,
     0.707107f,  0.689541f,  0.671559f,  0.653173f,  0.634393f,  0.615232f,  0.595699f,  0.575808f,
     0.555570f,  0.534998f,  0.514103f,  0.492898f,  0.471397f,  0.449611f,  0.427555f,  0.405241f,
     0.382683f,  0.359895f,  0.336890f,  0.313682f,  0.290285f,  0.266713f,  0.242980f,  0.219101f,
     0.195090f,  0.170962f,  0.146730f,  0.122411f,  0.098017f,  0.073565f,  0.049068f,  0.024541f,
     0.000000f, -0.024541f, -0.049068f, -0.073565f, -0.098017f, -0.122411f, -0.146730f, -0.170962f,
    -0.195090f, -0.219101f, -0.242980f, -0.266713f, -0.290285f, -0.313682f, -0.336890f, -0.359895f,
    -0.382683f, -0.405241f, -0.427555f, -0.449611f, -0.471397f, -0.492898f, -0.514103f, -0.534998f,
    -0.555570f, -0.575808f, -0.595699f, -0.615232f, -0.634393f, -0.653173f, -0.671559f, -0.689541f,
    -0.707107f, -0.724247f, -0.740951f, -0.757209f, -0.773010f, -0.788346f, -0.803208f, -0.817585f,
    -0.831470f, -0.844854f, -0.857729f, -0.870087f, -0.881921f, -0.893224f, -0.903989f, -0.914210f,
    -0.923880f, -0.932993f, -0.941544f, -0.949528f, -0.956940f, -0.963776f, -0.970031f, -0.975702f,
    -0.980785f, -0.985278f, -0.989177f, -0.992480f, -0.995185f, -0.997290f, -0.998795f, -0.999699f,
    -1.000000f, -0.999699f, -0.998795f, -0.997290f, -0.995185f, -0.992480f, -0.989177f, -0.985278f,
    -0.980785f, -0.975702f, -0.970031f, -0.963776f, -0.956940f, -0.949528f, -0.941544f, -0.932993f,
    -0.923880f, -0.914210f, -0.903989f, -0.893224f, -0.881921f, -0.870087f, -0.857729f, -0.844854f,
    -0.831470f, -0.817585f, -0.803208f, -0.788346f, -0.773010f, -0.757209f, -0.740951f, -0.724247f,
    -0.707107f, -0.689541f, -0.671559f, -0.653173f, -0.634393f, -0.615232f, -0.595699f, -0.575808f,
    -0.555570f, -0.534998f, -0.514103f, -0.492898f, -0.471397f, -0.449611f, -0.427555f, -0.405241f,
    -0.382683f, -0.359895f, -0.336890f, -0.313682f, -0.290285f, -0.266713f, -0.242980f, -0.219101f,
    -0.195090f, -0.170962f, -0.146730f, -0.122411f, -0.098017f, -0.073565f, -0.049068f, -0.024541f,
     0.000000f,
};

namespace {

// sin_t[k + 1] - sin_t[k], subtracted once by the compiler in single
// precision: the differences the interpolation takes.
struct SinSteps {
    float d[SIN_N];
};
constexpr SinSteps sin_steps = [] {
    SinSteps s{};
    for (int k = 0; k < SIN_N; ++k) s.d[k] = sin_t[k + 1] - sin_t[k];
    return s;
}();

// For 0 <= f < 256: i = f truncated and frac = f - i, which is exact; taken
// from the bit pattern. False for any other f (negative, NaN, 256 or more).
[[gnu::always_inline]] inline bool split_index(float f, uint32_t &i, float &frac)
{
    const uint32_t b = f_bits(f);
    if (b < 0x3F800000u) {   // +0 up to just below 1
        i = 0;
        frac = f;
        return true;
    }
    if (b >= 0x43800000u) return false;   // 256 and more, negative values, NaN
    const uint32_t e = b >> 23;            // 127..134
    const uint32_t shift = 150u - e;       // fraction bits of the significand
    const uint32_t m = (b & 0x7FFFFFu) | 0x800000u;
    i = m >> shift;
    const uint32_t r = m & ((1u << shift) - 1u);   // frac = r * 2^(e - 150)
    if (r == 0u) {
        frac = 0.0f;   // f - i of equal values
        return true;
    }
    const uint32_t norm = static_cast<uint32_t>(__builtin_clz(r)) - 8u;   // r << norm has its top bit at 23
    frac = f_from_bits(((e - norm) << 23) | ((r << norm) & 0x7FFFFFu));
    return true;
}

// lut_sin and svpwm written into their callers in this file: the output
// stage runs on every tick, and a call costs more than the code it saves.
[[gnu::always_inline]] inline float sine(float angle)
{
    // Whole turns away: callers stay within a couple of turns of [0, 2*pi).
    angle = foc_wrap_angle(angle);

    static_assert(SIN_N == 256);
    float f = f_mul_pow2<8>(angle) * 0.15915494f;   // (angle * SIN_N) * 0.15915494
    uint32_t i;
    float frac;
    if (!split_index(f, i, frac)) {
        i = f2u_sat(f);
        if (i > SIN_N - 1) i = SIN_N - 1;   // never reached for a reduced angle; keeps i+1 in the table
        frac = f - static_cast<float>(i);
    }
    return f_add(sin_t[i], sin_steps.d[i] * frac);   // sin_t[i] + (sin_t[i + 1] - sin_t[i]) * frac
}

[[gnu::always_inline]] inline void modulate(float va, float vb, float vc, uint16_t *a, uint16_t *b, uint16_t *c)
{
    float vmax = va, vmin = va;
    if (f_gt(vb, vmax)) vmax = vb;
    if (f_gt(vc, vmax)) vmax = vc;
    if (f_lt(vb, vmin)) vmin = vb;
    if (f_lt(vc, vmin)) vmin = vc;
    float vo = f_mul_pow2<-1, true>(f_add(vmax, vmin));   // (vmax + vmin) * -0.5

    const float span = static_cast<float>(PWM_MAX);
    *a = f2u16_sat(f_add(f_add(va, vo), 0.5f) * span);   // ((va + vo) + 0.5) * span
    *b = f2u16_sat(f_add(f_add(vb, vo), 0.5f) * span);
    *c = f2u16_sat(f_add(f_add(vc, vo), 0.5f) * span);
}

}  // namespace

float lut_sin(float angle)
{
    return sine(angle);
}

float lut_cos(float angle)
{
    return sine(angle + 1.5707964f);
}

// Min/max zero-sequence modulation: the highest and the lowest phase are
// placed symmetrically about the centre count. No upper limit here; callers
// cap each compare at PWM_MAX - 1 before writing it.
void svpwm(float va, float vb, float vc, uint16_t *a, uint16_t *b, uint16_t *c)
{
    modulate(va, vb, vc, a, b, c);
}

void foc_write_compares(uint16_t u, uint16_t v, uint16_t w)
{
    if (u >= PWM_MAX) u = PWM_MAX - 1;
    if (v >= PWM_MAX) v = PWM_MAX - 1;
    if (w >= PWM_MAX) w = PWM_MAX - 1;
    pwm_write(u, v, w);
}

// Inverse Park and Clarke transform of a vector with d = 0 and q = amplitude
// at electrical angle theta (phase U on the alpha axis), then modulation.
void foc_output_vector(float theta, float amplitude)
{
    float s = sine(theta);                 // lut_sin
    float c = sine(f_add(theta, 1.5707964f));   // lut_cos
    float va = s * (-amplitude);
    float vb = f_sub(amplitude * c * 0.8660254f, f_mul_pow2<-1>(va));   // amplitude * c * 0.8660254 - va * 0.5
    float vc = f_sub(-va, vb);
    uint16_t u, v, w;
    modulate(va, vb, vc, &u, &v, &w);   // svpwm
    foc_write_compares(u, v, w);
}
