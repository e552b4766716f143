// The bounded poll of a status flag, on the converter's end of conversion.
#include "bench.hpp"
#include "main.h"

#include <ostream>
#include <random>

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

namespace {

// What a flag poll leaves behind: its result, and everything that tells when
// it ended and what ran meanwhile.
struct PollOutcome {
    bool seen;
    uint64_t accesses, interrupts, ticks, conversions, frames;
    sim::Cycles end;
    bool operator==(const PollOutcome &) const = default;
};

std::ostream &operator<<(std::ostream &o, const PollOutcome &p)
{
    return o << "seen " << p.seen << ", " << p.accesses << " accesses, " << p.interrupts << " interrupts, "
             << p.ticks << " ms, " << p.conversions << " conversions, " << p.frames << " frames, ends at "
             << p.end;
}

}  // namespace

// Faults caught: a poll that jumps over a read at which the flag had changed,
// over an interrupt (the control tick's own conversion or sensor read under a
// foreground wait, SysTick, a received byte), or to another time or read
// count than the read-by-read loop.
TEST(PollFlag, JumpsExactlyLikeTheReadByReadLoop)
{
    struct Kind { bool spi; uint32_t mask, want; };
    static constexpr Kind kinds[] = {
        {false, ADC_SR_EOC, ADC_SR_EOC},               // end of conversion
        {false, ADC_SR_EOC | (1u << 4), ADC_SR_EOC},   // STRT stays set: never
        {true, SPI_SR_RXNE, SPI_SR_RXNE},              // the frame's word received
        {true, SPI_SR_BSY, 0u},                        // the frame shifted out
    };
    sim::Board b;
    std::mt19937 rng(20240611);
    const auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    for (int trial = 0; trial < 60; ++trial) {
        // A random board: the motor running or not, at a random tick rate
        // and SysTick period, bytes arriving or not; then a random flag with
        // a random limit. A running tick converts and reads the sensor itself
        // and may eat the flag under the foreground's wait, which then would
        // never end without its limit.
        const Kind kind = kinds[pick(4)];
        const bool running = pick(2), typing = pick(2);
        const int32_t khz = 1 + static_cast<int32_t>(pick(20));
        const uint32_t systick = 200 + pick(4000), smp = pick(8), offset = pick(300000);
        const bool ends = kind.mask != kinds[1].mask && !running;
        const uint32_t limit = pick(3) == 0 && ends ? POLL_UNBOUNDED : pick(3000);
        SCOPED_TRACE(testing::Message() << "trial " << trial << ": running " << running << ", " << khz
                                        << " kHz, SysTick " << systick << ", typing " << typing << ", mask "
                                        << kind.mask << (kind.spi ? " of SPI1" : " of ADC1") << " want "
                                        << kind.want << ", limit " << limit);
        PollOutcome outcome[2];
        for (bool plain_loop : {true, false}) {
            b.power_on();
            board_init();
            motor_running = running;
            control_timer_set_rate(khz);
            SYST_RVR = systick;
            if (typing) b.type(1, "stat\r");
            b.native().idle_until(b.mcu.now() + offset);
            A1_SMPR2 = smp << 3;   // channel 1's sample time
            if (kind.spi) {
                SPI1->DR = 0;
            } else {
                A1_SQR3 = 1;
                read_and_drop(A1_DR);
                A1_CR2 |= ADC_CR2_SWSTART;
            }
            const uint64_t a0 = b.mcu.accesses, i0 = b.mcu.nvic.taken, t0 = tick_count;
            const uint64_t c0 = b.mcu.adc1.conversions, f0 = b.mcu.spi1.sent.size();
            const hw_reg &reg = kind.spi ? SPI1->SR : A1_SR;
            bool seen = false;
            if (plain_loop) {
                for (uint32_t n = 0; (limit == POLL_UNBOUNDED || n < limit) && !seen; ++n)
                    seen = (reg & kind.mask) == kind.want;
            } else {
                seen = poll_flag(reg, kind.mask, kind.want, limit);
            }
            outcome[plain_loop ? 0 : 1] = {seen, b.mcu.accesses - a0, b.mcu.nvic.taken - i0, tick_count - t0,
                                           b.mcu.adc1.conversions - c0, b.mcu.spi1.sent.size() - f0, b.mcu.now()};
        }
        EXPECT_EQ(outcome[1], outcome[0]);
    }
}
