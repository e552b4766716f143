// A freshly powered virtual board with its peripherals up and the control
// timer held, so a test runs the control tick itself through TIM2_IRQHandler().
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "board.h"
#include "board.hpp"
#include "foc.h"

using Ccr = std::array<uint32_t, 3>;

struct Bench {
    sim::Board b;
    Bench()
    {
        b.plant.params.angle_noise_lsb = 0.0;   // exact angle words
        board_init();
        control_timer_pause();
    }
    void tick(int n = 1) { while (n-- > 0) TIM2_IRQHandler(); }
    Ccr compares() const { return {b.mcu.tim4.ccr(1), b.mcu.tim4.ccr(2), b.mcu.tim4.ccr(3)}; }
    // Places the rotor by hand so that the sensor reads `raw`.
    void set_raw(uint16_t raw) { b.plant.set_rotor_deg((raw + 0.5) * 360.0 / 65536.0); }
};

struct ControlTest : ::testing::Test, Bench {};
