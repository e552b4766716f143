// The virtual board's power-on and firmware runner.
#include <gtest/gtest.h>

#include "board.h"
#include "board.hpp"
#include "foc.h"

// Faults caught: a second board inheriting the first one's firmware state, or a
// board whose variables do not start from their load values.
TEST(BoardRunner, PowerOnRestoresEveryFirmwareVariable)
{
    {
        sim::Board b;
        b.run_ms(1600);
        EXPECT_GT(tick_count, 1500u);
        foc_rate = 17;
        foc_vq = 0.5f;
    }
    sim::Board b;
    EXPECT_EQ(tick_count, 0u);     // zero-initialised
    EXPECT_EQ(foc_rate, 4);        // initialised data
    EXPECT_FLOAT_EQ(foc_vq, 0.08f);
    EXPECT_EQ(b.now_ms(), 0.0);
}

// Faults caught: a run that overshoots its end, or that loses time in between.
TEST(BoardRunner, StopsAtTheRequestedVirtualTime)
{
    sim::Board b;
    for (double t : {0.5, 3.0, 1500.0, 1500.25, 1700.0}) {
        b.run_until(sim::ms_to_cycles(t));
        EXPECT_NEAR(b.now_ms(), t, 0.001) << t;
    }
    // SysTick has counted the milliseconds since it was started in bring-up.
    EXPECT_NEAR(tick_count, 1700.0, 2.0);
}
