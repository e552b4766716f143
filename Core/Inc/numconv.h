// Float-to-integer conversions with the chip's results: truncation toward
// zero, saturation at the ends of the target range, and 0 for NaN. A plain
// C++ cast of an out-of-range float is undefined; the Cortex-M3 run-time
// conversion saturates, and the host build must give the same answers. The
// integer part is taken from the bit pattern (exact, like any truncation),
// which spares the chip a library call.
#pragma once
#include <stdint.h>

#include "fbits.h"

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
