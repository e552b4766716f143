// Single-precision operations done on the bit patterns, each with exactly the
// result of the float operation it replaces: the chip has no floating-point
// unit, and a call into the run-time library costs some 40 to 70 cycles
// where these take a handful of instructions.
//
// Comparisons: sign and magnitude turned into one signed integer order every
// value that is not a NaN, and both zeros meet at 0 (+0 == -0). Every
// comparison with a NaN is false, except that a NaN is unequal to everything
// (f_ne), itself included.
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

// x times a power of two 2^K (negated when Negate): the product of a normal x
// that stays normal is x with its exponent moved, exact; a zero, a subnormal
// (which may need rounding), an infinity, a NaN or a product that would leave
// the normal range take the multiplication itself.
template <int K, bool Negate = false>
static inline float f_mul_pow2(float x)
{
    static_assert(K >= -62 && K <= 62);
    constexpr float factor = (Negate ? -1.0f : 1.0f) * (K >= 0 ? static_cast<float>(1ull << K) : 1.0f / static_cast<float>(1ull << -K));
    constexpr uint32_t lo = K < 0 ? 1 - K : 1, hi = K > 0 ? 254 - K : 254;   // exponent fields that stay normal
    const uint32_t b = f_bits(x);
    const uint32_t e = (b >> 23) & 0xFFu;
    if (e - lo > hi - lo) return x * factor;
    return std::bit_cast<float>(b + static_cast<uint32_t>(K * (1 << 23)) + (Negate ? 0x80000000u : 0u));
}
