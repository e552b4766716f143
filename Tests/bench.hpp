// The virtual board of the tests, powered on and brought as far as a test
// needs, with the helpers the suites share.
//
// How far it is brought (Bench::Start):
// - kPoweredOn: nothing has run; the test writes registers or calls firmware
//   functions from scratch, or breaks a model before the firmware starts.
// - kBroughtUp: the test itself has run the firmware's bring-up (board_init,
//   MA600A_Init, the converter's calibration); the control tick and the
//   receive interrupts are live, the main loop does not run, and the test
//   calls firmware functions (cmd, type, tick).
// - kTickHeld: brought up with the control timer paused, so that the control
//   tick runs only when the test calls it (tick), and the angle sensor's noise
//   off, so that it reads the words the test places (set_raw).
// - kBooted: the firmware has run from its reset vector through the boot
//   (settling wait, calibration, banner, help) into its main loop; the test
//   types on the console (say) and lets time run (run_ms).
#pragma once
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <string>

#include "board.h"
#include "board.hpp"
#include "console.h"
#include "foc.h"
#include "ma600a.h"
#include "main.h"

using Ccr = std::array<uint32_t, 3>;

struct Bench {
    enum Start { kPoweredOn, kBroughtUp, kTickHeld, kBooted };
    static constexpr double kBootMs = 1500.0;   // settling wait, calibration and the help text

    sim::Board b;
    const Start start;

    explicit Bench(Start s = kBroughtUp, uint64_t seed = 1) : b(sim::PlantParams{}, seed), start(s)
    {
        if (s == kBooted) {
            b.run_ms(kBootMs);
        } else if (s != kPoweredOn) {
            if (s == kTickHeld) b.plant.params.angle_noise_lsb = 0.0;   // exact angle words
            board_init();
            MA600A_Init();
            board_adc_calibrate();
            if (s == kTickHeld) control_timer_pause();
            run_ms(1.0);
        }
        b.take_output(1);
        b.take_output(2);
    }

    // Time passes: the firmware runs on a booted board (or on one powered on
    // to boot); otherwise only interrupts and the models run.
    void run_ms(double ms)
    {
        if (start == kBooted || start == kPoweredOn) b.run_ms(ms);
        else b.native().idle_until(b.mcu.now() + sim::ms_to_cycles(ms));
    }

    // Runs the control tick n times, as the control timer would.
    void tick(int n = 1) { while (n-- > 0) TIM2_IRQHandler(); }

    Ccr compares() const { return {b.mcu.tim4.ccr(1), b.mcu.tim4.ccr(2), b.mcu.tim4.ccr(3)}; }

    // Places the rotor where the sensor reads raw (exactly, without its noise).
    void set_raw(uint16_t raw) { b.plant.set_rotor_deg((raw + 0.5) * 360.0 / 65536.0); }

    // Interprets one line directly (board not booted); returns what USART1
    // sent (the last bytes leave within two character times).
    std::string cmd(const std::string &line)
    {
        char buf[LINE_SIZE] = {};
        std::strncpy(buf, line.c_str(), LINE_SIZE - 1);
        cmd_parse(buf);
        run_ms(0.5);
        return b.take_output(1);
    }

    // Bytes arrive on a port, one per character time; returns once they have.
    void type(int port, const std::string &bytes)
    {
        b.type(port, bytes);
        run_ms(0.1 * static_cast<double>(bytes.size()) + 0.2);
    }

    // Types a line and CR on a console port of a booted board and runs until the reply has come back on port 1:
    // a line end, then 2 ms without a byte (at most 500 ms). Returns all that port 1 sent meanwhile.
    std::string say(const std::string &line, int port = 1)
    {
        b.take_output(1);
        b.type(port, line + "\r");
        for (int ms = 0; ms < 500; ms += 2) {
            const size_t sent = b.output(1).size();
            run_ms(2.0);
            if (!b.typing(port) && b.output(1).size() == sent && b.output(1).ends_with("\r\n")) break;
        }
        return b.take_output(1);
    }

    // A firmware variable by name, through the board's CPU.
    template <typename T>
    T get(const char *name) { return b.cpu().expect_symbol<T>(name); }
    template <typename T>
    void set(const char *name, T value) { EXPECT_TRUE(b.cpu().set_symbol(name, value)) << name; }
};

// The voltage vector (alpha, beta) that three compares put across the windings, as fractions of the supply: the
// line voltages alone count, so the zero sequence drops out.
inline std::array<double, 2> alpha_beta(const Ccr &c)
{
    return {(2.0 * c[0] - c[1] - c[2]) / 3.0 / PWM_MAX, (1.0 * c[1] - c[2]) / std::sqrt(3.0) / PWM_MAX};
}

// A test fixture of a bench brought to `S`.
template <Bench::Start S>
struct BenchTest : ::testing::Test, Bench {
    BenchTest() : Bench(S) {}
};
using ControlTest = BenchTest<Bench::kTickHeld>;
