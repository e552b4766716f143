// Comparisons of single-precision floats done on their bit patterns, with the
// answers of the C++ operators for every pair of values: the chip has no
// floating-point unit, and a comparison through the run-time library costs
// a call of some 70 cycles, these a handful of instructions.
//
// Sign and magnitude turned into one signed integer orders every value that
// is not a NaN, and both zeros meet at 0 (+0 == -0). Every comparison with a
// NaN is false, except that a NaN is unequal to everything (f_ne), itself
// included.
#pragma once
#include <stdint.h>

#include <bit>

static inline uint32_t f_bits(float x)
{
    return std::bit_cast<uint32_t>(x);
}

static inline bool f_nan(float x)
{
    return (f_bits(x) & 0x7FFFFFFFu) > 0x7F800000u;
}

// The magnitude with the value's sign: increases with the value, -0 gives 0.
static inline int32_t f_key(float x)
{
    const uint32_t b = f_bits(x);
    const int32_t m = static_cast<int32_t>(b & 0x7FFFFFFFu);
    return static_cast<int32_t>(b) < 0 ? -m : m;
}

static inline bool f_lt(float a, float b) { return !f_nan(a) && !f_nan(b) && f_key(a) < f_key(b); }
static inline bool f_le(float a, float b) { return !f_nan(a) && !f_nan(b) && f_key(a) <= f_key(b); }
static inline bool f_gt(float a, float b) { return f_lt(b, a); }
static inline bool f_ge(float a, float b) { return f_le(b, a); }
static inline bool f_eq(float a, float b) { return !f_nan(a) && !f_nan(b) && f_key(a) == f_key(b); }
static inline bool f_ne(float a, float b) { return !f_eq(a, b); }
