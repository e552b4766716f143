// Float-to-integer conversions with the chip's results: truncation toward
// zero (or rounding, below), saturation at the ends of the target range, and
// 0 for NaN. A plain
// C++ cast of an out-of-range float is undefined; the Cortex-M3 run-time
// conversion saturates, and the host build must give the same answers.
#pragma once
#include <stdint.h>

static inline int32_t f2i_sat(float x)
{
    if (!(x == x)) return 0;
    if (x >= 2147483648.0f) return INT32_MAX;
    if (x <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(x);
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
    if (!(x > 0.0f)) return 0;   // negative and NaN
    if (x >= 4294967296.0f) return UINT32_MAX;
    return static_cast<uint32_t>(x);
}

static inline uint16_t f2u16_sat(float x)
{
    uint32_t u = f2u_sat(x);
    return u > 65535u ? 65535u : static_cast<uint16_t>(u);
}
