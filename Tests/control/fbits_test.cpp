// The float operations done on bit patterns against the operations they
// replace: comparisons, power-of-two scalings and the conversions.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "control/reference_control.hpp"
#include "fbits.h"
#include "numconv.h"

namespace {

float from_bits(uint32_t u) { return std::bit_cast<float>(u); }

// Equal bits, or both NaN (a NaN's payload is the compiler's choice).
bool same(float a, float b) { return std::bit_cast<uint32_t>(a) == std::bit_cast<uint32_t>(b) || (a != a && b != b); }

// Every exponent field with both signs and a spread of significands.
std::vector<uint32_t> patterns_by_exponent(std::mt19937 &rng)
{
    std::vector<uint32_t> out;
    for (uint32_t e = 0; e < 256; ++e)
        for (uint32_t m : {0u, 1u, 2u, 0x400000u, 0x400001u, 0x7FFFFEu, 0x7FFFFFu, static_cast<uint32_t>(rng() & 0x7FFFFFu), static_cast<uint32_t>(rng() & 0x7FFFFFu)})
            for (uint32_t sign : {0u, 0x80000000u}) out.push_back(sign | e << 23 | m);
    return out;
}

// The six answers for one pair; empty when all agree with the operators.
std::string disagreements(float a, float b)
{
    const bool want[] = {a < b, a <= b, a > b, a >= b, a == b, a != b};
    const bool got[] = {f_lt(a, b), f_le(a, b), f_gt(a, b), f_ge(a, b), f_eq(a, b), f_ne(a, b)};
    const char *names[] = {"<", "<=", ">", ">=", "==", "!="};
    std::string out;
    for (int i = 0; i < 6; ++i)
        if (want[i] != got[i]) out += std::string(" ") + names[i];
    return out;
}

}  // namespace

// Faults caught: a NaN of either sign or any payload answering true (or unequal answering false), -0 and +0 told
// apart, negative values ordered by their raw bits, an off-by-one at the infinities or between neighbours.
// Every pair of the edge values and their neighbours, then random pairs of bit patterns and of close values.
TEST(FloatCompare, SameAnswersAsTheOperators)
{
    std::vector<uint32_t> edges = {0x00000000, 0x80000000, 0x00000001, 0x80000001, 0x007FFFFF, 0x807FFFFF,
                                   0x00800000, 0x80800000, 0x3F800000, 0xBF800000, 0x7F7FFFFF, 0xFF7FFFFF,
                                   0x7F800000, 0xFF800000, 0x7F800001, 0xFF800001, 0x7FC00000, 0xFFC00000,
                                   0x7FFFFFFF, 0xFFFFFFFF, 0x40C90FDB, 0xC3340000, 0x4F000000, 0xCF000000};
    const size_t n = edges.size();
    for (size_t i = 0; i < n; ++i) edges.push_back(edges[i] + 1), edges.push_back(edges[i] - 1);
    for (uint32_t a : edges)
        for (uint32_t b : edges) {
            const float fa = from_bits(a), fb = from_bits(b);
            ASSERT_EQ(disagreements(fa, fb), "") << std::hex << a << " vs " << b;
        }

    std::mt19937 rng(5);
    for (int i = 0; i < 2'000'000; ++i) {
        const uint32_t a = rng();
        const uint32_t b = i % 2 ? rng() : a + (rng() % 5) - 2;   // neighbours: same or a few steps apart
        const float fa = from_bits(a), fb = from_bits(i % 4 == 3 ? a ^ 0x80000000u : b);
        ASSERT_EQ(disagreements(fa, fb), "") << std::hex << a << " vs " << std::bit_cast<uint32_t>(fb);
    }
}

// Faults caught: an exponent moved where the product is subnormal, overflows or needs rounding, a sign not flipped,
// zero, infinity or NaN not handed to the multiplication. Every exponent field for each scaling the control uses.
TEST(PowerOfTwoScaling, SameBitsAsTheMultiplication)
{
    std::mt19937 rng(7);
    for (uint32_t b : patterns_by_exponent(rng)) {
        const float x = from_bits(b);
        const std::pair<float, float> rows[] = {
            {f_mul_pow2<8>(x), x * 256.0f},          {f_mul_pow2<1>(x), x * 2.0f},
            {f_mul_pow2<-1>(x), x * 0.5f},           {f_mul_pow2<-1, true>(x), x * -0.5f},
            {f_mul_pow2<-7>(x), x / 128.0f},         {f_mul_pow2<-12>(x), x / 4096.0f},
            {f_mul_pow2<-16>(x), x / 65536.0f},
        };
        for (const auto &[got, want] : rows)
            ASSERT_TRUE(same(got, want)) << std::hex << b << ": " << std::bit_cast<uint32_t>(got) << " for "
                                         << std::bit_cast<uint32_t>(want);
    }
}

// Faults caught: truncation off by one at a power of two, the sign of a negative value lost, saturation or NaN
// answered differently from the frozen conversions; an integer to float conversion that rounds, or not as the
// cast does, above 2^24.
TEST(Conversions, SameAsTheFrozenOnesAndTheCast)
{
    std::mt19937 rng(11);
    std::vector<uint32_t> floats = patterns_by_exponent(rng);
    for (int i = 0; i < 200000; ++i) floats.push_back(static_cast<uint32_t>(rng()));
    for (uint32_t b : floats) {
        const float x = from_bits(b);
        ASSERT_EQ(f2i_sat(x), ref::f2i_sat(x)) << std::hex << b;
        ASSERT_EQ(f2u_sat(x), ref::f2u_sat(x)) << std::hex << b;
    }
    std::vector<int32_t> ints = {0, 1, -1, 2, 1 << 23, (1 << 24) - 1, 1 << 24, (1 << 24) + 1, (1 << 24) + 3,
                                 -(1 << 24) - 1, INT32_MAX, INT32_MIN, INT32_MIN + 1};
    for (int i = 0; i < 200000; ++i) ints.push_back(static_cast<int32_t>(rng()) >> (rng() % 32));
    for (int32_t v : ints) ASSERT_TRUE(same(f_from_i32(v), static_cast<float>(v))) << v;
}

// Faults caught: a rounding off by one (ties, sticky bits lost in the alignment or the remainder), a carry not moved
// into the exponent, a cancellation with the wrong sign or normalised wrongly, the larger operand's sign not taken,
// and specials (zeros, subnormals, infinities, NaNs, results outside the normal range) not handed to the operator.
// Every pair of the exponent patterns, then random pairs of bit patterns, of close magnitudes and of equal exponents.
TEST(ArithmeticOnBits, SameBitsAsTheOperators)
{
    std::mt19937 rng(13);
    const std::vector<uint32_t> patterns = patterns_by_exponent(rng);
    auto check = [](uint32_t a, uint32_t b) {
        const float fa = from_bits(a), fb = from_bits(b);
        const std::pair<float, float> rows[] = {
            {f_add(fa, fb), fa + fb}, {f_sub(fa, fb), fa - fb}, {f_div(fa, fb), fa / fb}, {f_div_int<60>(fa), fa / 60.0f}};
        for (const auto &[got, want] : rows)
            if (!same(got, want)) return false;
        return true;
    };
    for (uint32_t a : patterns)
        for (uint32_t b : patterns) ASSERT_TRUE(check(a, b)) << std::hex << a << " with " << b;
    for (int i = 0; i < 3'000'000; ++i) {
        const uint32_t a = rng();
        uint32_t b = rng();
        if (i % 3 == 1) b = (a & 0xFF800000u) | (b & 0x807FFFFFu);                  // equal exponents, either sign
        if (i % 3 == 2) b = (a & 0x7FFFFFFFu) + (b % 64u * 0x800000u) - 32u * 0x800000u + (b >> 31 << 31);   // near
        ASSERT_TRUE(check(a, b)) << std::hex << a << " with " << b;
    }
}
