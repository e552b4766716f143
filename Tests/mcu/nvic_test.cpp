// The NVIC's choice of what pre-empts, seen through a CPU that records the
// exceptions it is given.
#include "chip.hpp"

namespace {
constexpr int kSysTick = 15, kTim2 = 16 + 28, kUsart1 = 16 + 37, kUsart2 = 16 + 38, kUnused = 16 + 39;
}

// Faults caught: a more urgent exception that waits for a less urgent one, an
// equal level that pre-empts, ties not taken lowest number first, a disabled
// interrupt taken, a line still high at return that is not taken again.
TEST(Nvic, PreemptionNestingAndTailChaining)
{
    Chip c;
    RecordingCpu cpu(c.m);
    sim::Nvic &n = c.m.nvic;
    c.wr(REG(NVIC, NVIC_Type, IPR[7]), 0x40);          // TIM2 at level 4
    c.wr(REG(NVIC, NVIC_Type, IPR[9]), 0x40404000);    // USART1, USART2 and IRQ 39 at level 4 too
    c.wr(REG(NVIC, NVIC_Type, ISER[0]), 1u << 28);
    c.wr(REG(NVIC, NVIC_Type, ISER[1]), 3u << 5);      // IRQ 39 stays disabled
    int usart1_runs = 0;
    cpu.body = [&](int e) {
        if (e == kTim2) {
            n.pend_exception(kSysTick);   // level 0: pre-empts at once
            n.set_line(39, true);
            n.set_line(38, true);         // level 4, like the running tick: wait
            n.set_line(37, true);
            EXPECT_EQ(n.next_exception(), kSysTick);
            n.dispatch(cpu);
            EXPECT_EQ(n.next_exception(), 0);
        }
        if (e == kUsart1 && ++usart1_runs == 2) n.set_line(37, false);   // the second run reads the data
        if (e == kUsart2) n.set_line(38, false);
    };
    n.set_line(28, true);
    n.set_line(28, false);
    EXPECT_EQ(n.active_priority(), sim::Nvic::kThreadPriority);
    n.dispatch(cpu);
    EXPECT_EQ(cpu.taken, (std::vector<int>{kTim2, kSysTick, -kSysTick, -kTim2, kUsart1, -kUsart1, kUsart1, -kUsart1,
                                           kUsart2, -kUsart2}));
    EXPECT_TRUE(n.pending(kUnused)) << "disabled: stays pending";
    EXPECT_EQ(n.taken, 5u);
}
