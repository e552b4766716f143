// A powered board after bring-up with the control timer held, so that a test
// runs the tick itself; shared by the control and sensor-driver tests.
#pragma once
#include <gtest/gtest.h>

#include <array>

#include "board.h"
#include "board.hpp"
#include "foc.h"

using Ccr = std::array<uint32_t, 3>;

struct Bench {
    sim::Board b;
    Bench() { b.plant.params.angle_noise_lsb = 0.0; board_init(); control_timer_pause(); }   // exact words
    void tick(int n = 1) { while (n-- > 0) TIM2_IRQHandler(); }
    Ccr compares() const { return {b.mcu.tim4.ccr(1), b.mcu.tim4.ccr(2), b.mcu.tim4.ccr(3)}; }
    void set_raw(uint16_t raw) { b.plant.set_rotor_deg((raw + 0.5) * 360.0 / 65536.0); }   // sensor reads raw
};

struct ControlTest : ::testing::Test, Bench {};
