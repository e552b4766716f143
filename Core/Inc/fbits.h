// Single-precision operations done on the bit patterns, each with exactly the
// result of the float operation it replaces: the chip has no floating-point
// unit, and a call into the run-time library costs some 40 to 70 cycles
// where these take a handful of instructions (a division some 130, where
// f_div takes about half with the core's integer divider).
//
// Comparisons: sign and magnitude turned into one signed integer order every
// value that is not a NaN, and both zeros meet at 0 (+0 == -0). Every
// comparison with a NaN is false, except that a NaN is unequal to everything
// (f_ne), itself included.
#pragma once
#include <stdint.h>

// The bit pattern of a float and back (the compiler's bit cast: the chip
// build's analysis has no C++ library headers).
static inline uint32_t f_bits(float x)
{
    return __builtin_bit_cast(uint32_t, x);
}

static inline float f_from_bits(uint32_t b)
{
    return __builtin_bit_cast(float, b);
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

// 2^k, exactly, for the exponents of normal floats.
static constexpr float f_pow2(int k)
{
    float f = 1.0f;
    for (; k > 0; --k) f *= 2.0f;
    for (; k < 0; ++k) f *= 0.5f;
    return f;
}

// x times a power of two 2^K (negated when Negate): the product of a normal x
// that stays normal is x with its exponent moved, exact; a zero, a subnormal
// (which may need rounding), an infinity, a NaN or a product that would leave
// the normal range take the multiplication itself.
template <int K, bool Negate = false>
static inline float f_mul_pow2(float x)
{
    static_assert(K >= -62 && K <= 62);
    constexpr float factor = (Negate ? -1.0f : 1.0f) * f_pow2(K);
    constexpr uint32_t lo = K < 0 ? 1 - K : 1, hi = K > 0 ? 254 - K : 254;   // exponent fields that stay normal
    // K added to the exponent field, modulo 2^32 for a negative K.
    constexpr uint32_t shift = K >= 0 ? static_cast<uint32_t>(K) << 23 : 0u - (static_cast<uint32_t>(-K) << 23);
    const uint32_t b = f_bits(x);
    const uint32_t e = (b >> 23) & 0xFFu;
    if (e - lo > hi - lo) return x * factor;
    return f_from_bits(b + shift + (Negate ? 0x80000000u : 0u));
}

// a / b rounded to nearest even, as the division gives it. For normal
// operands and a normal quotient the significands are divided by long
// division, eight quotient bits per step of the integer divider: 32 bits and
// the remainder decide the rounding exactly. Everything else (zeros,
// subnormals, infinities, NaNs, a quotient outside the normal range) takes
// the division itself.
static inline float f_div(float a, float b)
{
    const uint32_t ia = f_bits(a), ib = f_bits(b);
    const uint32_t ea = (ia >> 23) & 0xFFu, eb = (ib >> 23) & 0xFFu;
    if (ea - 1u > 253u || eb - 1u > 253u) return a / b;
    uint32_t ma = (ia & 0x7FFFFFu) | 0x800000u;
    const uint32_t mb = (ib & 0x7FFFFFu) | 0x800000u;
    int32_t e = static_cast<int32_t>(ea) - static_cast<int32_t>(eb) + 127;   // exponent field of ma / mb in [1, 2)
    if (ma < mb) {
        ma <<= 1;
        --e;
    }
    if (e < 1 || e > 253) return a / b;
    uint32_t r = ma << 7;   // below 2^32: ma < 2 * mb < 2^25
    uint32_t q = r / mb;    // 128..255: the leading 1 and seven bits
    r -= q * mb;
#pragma GCC unroll 3
    for (int step = 0; step < 3; ++step) {   // eight more bits each: r < mb < 2^24
        r <<= 8;
        const uint32_t digit = r / mb;
        r -= digit * mb;
        q = (q << 8) | digit;
    }
    // q: 24 significand bits over 8 more; a remainder counts as a bit below them.
    const uint32_t low = (q & 0xFFu) | (r != 0u ? 1u : 0u);
    uint32_t m = q >> 8;
    if (low > 0x80u || (low == 0x80u && (m & 1u) != 0u)) ++m;   // a carry to 2^24 moves into the exponent
    return f_from_bits(((ia ^ ib) & 0x80000000u) + (static_cast<uint32_t>(e - 1) << 23) + m);
}

// x / D for a constant integer D = odd * 2^k with odd below 32, as the
// division gives it: one step of the integer divider yields at least 26
// quotient bits, and its remainder decides the rounding exactly. Zeros,
// subnormals, infinities, NaNs and quotients outside the normal range take
// the division itself.
template <uint32_t D>
static inline float f_div_int(float x)
{
    constexpr int k = __builtin_ctz(D);
    constexpr uint32_t odd = D >> k;
    static_assert(D != 0u && odd < 32u);
    const uint32_t ix = f_bits(x);
    const uint32_t ex = (ix >> 23) & 0xFFu;
    if (ex - 1u > 253u) return x / static_cast<float>(D);
    const uint32_t m = ((ix & 0x7FFFFFu) | 0x800000u) << 8;   // x = m * 2^(ex - 158)
    uint32_t q = m / odd;                                     // above 2^26
    const uint32_t r = m - q * odd;
    const uint32_t lz = static_cast<uint32_t>(__builtin_clz(q));   // at most 5
    q <<= lz;   // leading 1 at bit 31; the bits shifted in stand for r / odd
    const int32_t e = static_cast<int32_t>(ex) - k - static_cast<int32_t>(lz);   // exponent field of the quotient
    if (e < 1 || e > 253) return x / static_cast<float>(D);
    const uint32_t low = (q & 0xFFu) | (r != 0u ? 1u : 0u);
    uint32_t mant = q >> 8;
    if (low > 0x80u || (low == 0x80u && (mant & 1u) != 0u)) ++mant;
    return f_from_bits((ix & 0x80000000u) + (static_cast<uint32_t>(e - 1) << 23) + mant);
}

// a + b rounded to nearest even, as the addition gives it. For normal
// operands within 25 binary orders of each other and a normal sum, the
// significands are aligned over seven guard bits, the bits shifted out kept
// as one sticky bit (which, below the two top guard bits, rounds exactly as
// the whole would), added or subtracted, normalised and rounded, without a
// branch on the way. Everything else takes the addition itself. An exact
// cancellation gives +0, as the addition does.
static inline float f_add(float a, float b)
{
    uint32_t ia = f_bits(a), ib = f_bits(b);
    if ((ia << 1) < (ib << 1)) {   // larger magnitude first: its sign is the sum's
        const uint32_t t = ia;
        ia = ib;
        ib = t;
    }
    const uint32_t ea = (ia >> 23) & 0xFFu, eb = (ib >> 23) & 0xFFu;
    const uint32_t shift = ea - eb;
    if (eb == 0u || ea == 255u || shift > 25u) return a + b;
    const uint32_t ma = ((ia << 9) >> 3) | (1u << 29);   // significand, leading 1 at bit 29
    const uint32_t mb = ((ib << 9) >> 3) | (1u << 29);
    uint32_t mb_aligned = (mb >> shift) | ((mb >> shift) << shift != mb ? 1u : 0u);
    if (((ia ^ ib) >> 31) != 0u) mb_aligned = 0u - mb_aligned;
    uint32_t m = ma + mb_aligned;   // below 2^31
    if (m == 0u) return 0.0f;
    // Leading 1 to bit 30: a carry stays, anything else moves left (more than
    // one place only when nothing was shifted out).
    const uint32_t lz = static_cast<uint32_t>(__builtin_clz(m));
    m <<= lz - 1u;
    const int32_t e = static_cast<int32_t>(ea) + 2 - static_cast<int32_t>(lz);   // exponent field of the sum
    if (e < 1 || e > 253) return a + b;
    m = (m + 0x3Fu + ((m >> 7) & 1u)) >> 7;   // to nearest even; a carry to 2^24 moves into the exponent
    return f_from_bits((ia & 0x80000000u) + (static_cast<uint32_t>(e - 1) << 23) + m);
}

// a - b: the addition of -b, which is what the subtraction is.
static inline float f_sub(float a, float b)
{
    return f_add(a, f_from_bits(f_bits(b) ^ 0x80000000u));
}
