// Float-to-integer conversions with the chip's results: truncation toward
// zero (or rounding, below), saturation at the ends of the target range, and
// 0 for NaN. A plain
// C++ cast of an out-of-range float is undefined; the Cortex-M3 run-time
// conversion saturates, and the host build must give the same answers. The
// integer part is taken from the bit pattern (exact, like any truncation),
// which spares the chip a library call.
#pragma once
#include <stdint.h>

#include "fbits.h"

// An integer as a float, as the conversion gives it: below 2^24 in magnitude
// it is exact and built from the bits; larger values, which round, take the
// conversion itself.
static inline float f_from_i32(int32_t x)
{
    const uint32_t m = x < 0 ? 0u - static_cast<uint32_t>(x) : static_cast<uint32_t>(x);
    if (m == 0u) return 0.0f;
    if (m >= (1u << 24)) return static_cast<float>(x);
    const uint32_t lz = static_cast<uint32_t>(__builtin_clz(m));   // 8..31: m = 1.f * 2^(31 - lz)
    const uint32_t sign = x < 0 ? 0x80000000u : 0u;
    return f_from_bits(sign | ((127u + 31u - lz) << 23) | ((m << (lz - 8u)) & 0x7FFFFFu));
}

// The integer part of |x| for |x| < 2^32.
static inline uint32_t f_trunc_magnitude(float x)
{
    const uint32_t b = f_bits(x);
    const uint32_t e = (b >> 23) & 0xFFu;
    if (e < 127) return 0;
    const uint32_t m = (b & 0x7FFFFFu) | 0x800000u;
    return e <= 150 ? m >> (150 - e) : m << (e - 150);
}

static inline int32_t f2i_sat(float x)
{
    if (f_nan(x)) return 0;
    if (f_ge(x, 2147483648.0f)) return INT32_MAX;
    if (f_le(x, -2147483648.0f)) return INT32_MIN;
    const uint32_t m = f_trunc_magnitude(x);
    return static_cast<int32_t>(f_bits(x) >> 31 ? 0u - m : m);
}

// The nearest integer, halves away from zero, saturated like f2i_sat: for
// showing a stored setting in the unit it was typed in. A typed 251 is stored
// as 0.251f, which times 1000 gives 250.99998; truncation would show 250.
static inline int32_t f2i_round_sat(float x)
{
    if (!(x == x)) return 0;
    if (x >= 2147483648.0f) return INT32_MAX;
    if (x <= -2147483648.0f) return INT32_MIN;
    const int32_t t = static_cast<int32_t>(x);
    const float rest = x - static_cast<float>(t);   // exact: the fraction x drops
    if (rest >= 0.5f) return t + 1;
    if (rest <= -0.5f) return t - 1;
    return t;
}

static inline uint32_t f2u_sat(float x)
{
    if (!f_gt(x, 0.0f)) return 0;   // negative and NaN
    if (f_ge(x, 4294967296.0f)) return UINT32_MAX;
    return f_trunc_magnitude(x);
}

static inline uint16_t f2u16_sat(float x)
{
    uint32_t u = f2u_sat(x);
    return u > 65535u ? 65535u : static_cast<uint16_t>(u);
}
