// The bounded poll of a status flag, on the converter's end of conversion.
#include "bench.hpp"
#include "main.h"

// Faults caught: a poll that reads once too often or too seldom, gives up before its limit or
// never, compares the flag the wrong way (any bit of the mask instead of the wanted value), or
// returns at another virtual time than its reads take.
TEST_F(ControlTest, PollFlagReadsUpToItsLimit)
{
    SYST_CSR = 0;   // no tick inside the measured spans
    struct Poll { bool seen; uint64_t reads; sim::Cycles took; };
    constexpr uint32_t STRT = 1u << 4;   // conversion started: stays set
    // Starts a conversion (EOC rises 1512 cycles later) and polls for it.
    const auto poll = [&](uint32_t mask, uint32_t want, uint32_t limit, bool plain_loop) {
        read_and_drop(A1_DR);   // clears EOC
        A1_CR2 |= ADC_CR2_SWSTART;
        const uint64_t a0 = b.mcu.accesses;
        const sim::Cycles t0 = b.mcu.now();
        bool seen = false;
        if (plain_loop) {
            for (uint32_t n = 0; n < limit && !seen; ++n) seen = (A1_SR & mask) == want;
        } else {
            seen = poll_flag(A1_SR, mask, want, limit);
        }
        const Poll p{seen, b.mcu.accesses - a0, b.mcu.now() - t0};
        b.mcu.advance_to(b.mcu.now() + 2 * b.mcu.adc1.conversion_cycles(1));
        return p;
    };
    const Poll first = poll(ADC_SR_EOC, ADC_SR_EOC, 5000, true);
    const uint32_t k = static_cast<uint32_t>(first.reads);   // the read that sees the flag
    ASSERT_TRUE(first.seen);
    ASSERT_NEAR(k, 1512 / sim::kAccessCycles, 2);

    const struct { uint32_t mask, want, limit; bool seen; uint32_t reads; } rows[] = {
        {ADC_SR_EOC, ADC_SR_EOC, 5000, true, k},
        {ADC_SR_EOC, ADC_SR_EOC, POLL_UNBOUNDED, true, k},
        {ADC_SR_EOC, ADC_SR_EOC, k, true, k},
        {ADC_SR_EOC, ADC_SR_EOC, k - 1, false, k - 1},
        {ADC_SR_EOC, ADC_SR_EOC, 0, false, 0},
        {ADC_SR_EOC, 0, 5000, true, 1},   // clear at the first read
        {ADC_SR_EOC | STRT, ADC_SR_EOC | STRT, 5000, true, k},
        {ADC_SR_EOC | STRT, ADC_SR_EOC, 300, false, 300},   // STRT is set: never equal
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(testing::Message() << "mask " << r.mask << " want " << r.want << " limit " << r.limit);
        const Poll p = poll(r.mask, r.want, r.limit, false);
        EXPECT_EQ(p.seen, r.seen);
        EXPECT_EQ(p.reads, r.reads);
        EXPECT_EQ(p.took, r.reads * sim::kAccessCycles) << "time as if every read was made";
    }
}
