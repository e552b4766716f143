// The bit-pattern float comparisons against the C++ operators.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "fbits.h"

namespace {

float from_bits(uint32_t u) { return std::bit_cast<float>(u); }

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
