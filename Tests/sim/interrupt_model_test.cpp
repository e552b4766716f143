// The NVIC model: 4 implemented priority bits, nesting by priority, equal
// levels never pre-empting each other, handlers reached through the
// firmware's own vector table at the register access after which they pend.
#include <gtest/gtest.h>

#include <algorithm>

#include "board.h"
#include "board.hpp"
#include "console.h"
#include "foc.h"
#include "main.h"

namespace {

bool is_active(const sim::Mcu &m, int exception)
{
    const auto &a = m.nvic.active();
    return std::find(a.begin(), a.end(), exception) != a.end();
}

constexpr int kTim2 = 16 + 28, kUsart1 = 16 + 37;

}  // namespace

// Faults caught: a higher-priority interrupt that waits for a lower one to
// return, an equal-priority one that pre-empts, or a low nibble of the
// priority byte that counts.
TEST(InterruptModel, HigherPriorityNestsInsideLowerEqualWaits)
{
    sim::Board b;
    sim::Mcu &m = b.mcu;
    RCC->APB2ENR = 0x4000 | 0x200 | 0x1C;   // USART1, ADC1, GPIO clocks
    U1_BRR = 0x271;
    U1_CR1 = 0x202C;                          // receiver with its interrupt
    NVIC_IPR7 = 0x4F;                         // TIM2 at level 4 (low nibble ignored)
    NVIC_IPR9 = 0x4000;                       // USART1 at level 4 too: equal to TIM2
    EXPECT_EQ(NVIC_IPR7 & 0xFF, 0x40u);
    SYST_RVR = 1000;
    SYST_CVR = 0;
    NVIC_ISER0 = 1u << 28;
    NVIC_ISER1 = 1u << 5;
    A1_CR2 = 0x001E0001;                      // converter on, software trigger

    // The running control tick spends thousands of cycles converting; half
    // way in, a byte arrives on USART1 and SysTick (level 0) comes due.
    motor_running = 1;
    sim::Event mid(m, [&] {
        m.usart1.receive('x');
        m.bus_write(0xE000E010, 7, 4);   // SysTick on with its exception
    });

    bool systick_inside_tim2 = false, usart_inside_tim2 = false, tim2_done = false;
    uint32_t ticks = tick_count;
    b.native().on_time_passed = [&] {
        if (tick_count != ticks && is_active(m, kTim2)) systick_inside_tim2 = true;
        if (is_active(m, kUsart1) && is_active(m, kTim2)) usart_inside_tim2 = true;
    };
    m.schedule(mid, m.now() + 100);
    HW_REG(0xE000E200) = 1u << 28;            // pend TIM2 by software
    tim2_done = !is_active(m, kTim2);
    b.native().idle_until(m.now() + 20000);

    EXPECT_TRUE(tim2_done);
    EXPECT_TRUE(systick_inside_tim2) << "SysTick at level 0 must pre-empt the level-4 tick";
    EXPECT_FALSE(usart_inside_tim2) << "equal levels never pre-empt";
    EXPECT_EQ(r_w, 1) << "the USART1 handler ran once the tick had returned";
    EXPECT_GE(tick_count, 1u);
}

// Fault caught: an interrupt past the end of the firmware's vector table (43
// lines) taken through whatever follows the table.
TEST(InterruptModelDeathTest, InterruptWithoutAVectorFailsLoudly)
{
    sim::Board b;
    EXPECT_DEATH(
        {
            NVIC_ISER1 = 1u << 20;            // IRQ 52
            HW_REG(0xE000E204) = 1u << 20;    // pend it
        },
        "exception 68 has no handler");
}
