// Any bytes through both receive handlers into the line assembly and the interpreter of a board whose motor runs;
// afterwards every setting lies in the range its command promises.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>

#include "board.h"
#include "board.hpp"
#include "console.h"
#include "foc.h"
#include "targets.hpp"

namespace {

constexpr int kModes = 6;
constexpr double kSettleMs = 5.0;   // after the last byte: the line's pass, its command and the start of its reply

// One board, booted once, and a snapshot of it running in each mode: every input starts from one of them.
struct Bench {
    sim::Board board;
    sim::Board::Snapshot running[kModes];

    Bench()
    {
        // Each mode with a target that makes it move.
        static const char *const setup[kModes] = {"", "pos 90\r", "I 60\r", "vq 200\r", "pos 90\r", "I 50\r"};
        board.run_ms(1500);
        const sim::Board::Snapshot booted = board.save();
        for (int m = 0; m < kModes; ++m) {
            board.restore(booted);
            for (std::string line : {"mode " + std::to_string(m) + "\r", std::string(setup[m]), std::string("ON\r")}) {
                board.type(1, line);
                board.run_ms(20);
            }
            board.run_ms(300);
            board.mcu.spi1.sent.clear();   // logs for tests: nothing to carry into every run
            board.plant.sensor.log.clear();
            board.take_output(1);
            board.take_output(2);
            running[m] = board.save();
        }
    }
};

// The largest typed number and the settings it can make (the readers saturate there).
constexpr float kTyped = 2147483648.0f;

struct FloatRange {
    const char *name;
    const volatile float &value;
    float lo, hi;
};
struct IntRange {
    const char *name;
    const volatile int32_t &value;
    int32_t lo, hi;
};

void check_settings()
{
    const FloatRange floats[] = {
        {"foc_vq", foc_vq, 0.0f, kTyped / 1000.0f},
        {"hold_vq", hold_vq, 0.0f, 999.0f / 1000.0f},
        {"foc_speed", foc_speed, 1.0f / 10.0f, 9999.0f / 10.0f},
        {"speed_set", speed_set, 0.0f, kTyped},
        {"pos_ref_deg", pos_ref_deg, 0.0f, 3600.0f},
        {"pos_err_max", pos_err_max, 1.0f, 180.0f},
        {"cur_tgt_mA", cur_tgt_mA, 0.0f, kTyped},
        {"pid_spd_kp", pid_spd_kp, 0.1f, kTyped},
        {"pid_spd_ki", pid_spd_ki, 0.1f, kTyped},
        {"pid_spd_kd", pid_spd_kd, 0.0f, kTyped},
        {"pid_pos_kp", pid_pos_kp, 0.1f, kTyped / 10.0f},
        {"pid_pos_ki", pid_pos_ki, 0.00001f, kTyped},
        {"pid_pos_kd", pid_pos_kd, 0.0f, kTyped / 10000.0f},
        {"pid_cur_kp", pid_cur_kp, 0.1f, kTyped},
        {"pid_cur_ki", pid_cur_ki, 0.1f, kTyped},
        {"pid_cur_kd", pid_cur_kd, 0.0f, kTyped},
        {"mcs1805_sens_factor", mcs1805_sens_factor, 1.0f / 1000.0f, kTyped / 1000.0f},
    };
    for (const FloatRange &r : floats) {
        const float v = r.value;
        if (!(v >= r.lo && v <= r.hi)) fuzz_finding(r.name, v);
    }
    const IntRange ints[] = {
        {"foc_mode", foc_mode, 0, 5},     {"motor_running", motor_running, 0, 1}, {"foc_rate", foc_rate, 1, 20},
        {"ramp_rate", ramp_rate, 0, 1000}, {"echo_on", echo_on, 0, 1},            {"cmd_pending", cmd_pending, 0, 1},
        {"cmd_idx", cmd_idx, 0, LINE_SIZE - 1}, {"r_w", r_w, 0, RING_SIZE - 1},   {"r_r", r_r, 0, RING_SIZE - 1},
    };
    for (const IntRange &r : ints) {
        const int32_t v = r.value;
        if (v < r.lo || v > r.hi) fuzz_finding(r.name, v);
    }
    if (!std::memchr(cmd_buf_pending, 0, LINE_SIZE)) fuzz_finding("the pending line has no NUL");
    // What the control laws make of any settings stays a number.
    const FloatRange running[] = {
        {"ramp_vq", ramp_vq, 0, 0},          {"speed_cl_ref", speed_cl_ref, 0, 0}, {"pid_spd_sum", pid_spd_sum, 0, 0},
        {"actual_rpm", actual_rpm, 0, 0},    {"foc_angle", foc_angle, 0, 0},       {"cur_cl_integral", cur_cl_integral, 0, 0},
        {"cur_cl_pid_out", cur_cl_pid_out, 0, 0}, {"posopen_virt_deg", posopen_virt_deg, 0, 0},
    };
    for (const FloatRange &r : running) {
        const float v = r.value;
        if (!std::isfinite(v)) fuzz_finding(r.name, v);
    }
}

}  // namespace

int fuzz_console(const uint8_t *data, size_t size)
{
    static Bench &bench = *new Bench;   // lives as long as the program
    sim::Board &b = bench.board;
    const int mode = size > 0 ? data[0] % kModes : 0;
    const size_t split = size > 1 ? data[1] : 0, head = std::min<size_t>(size, 2), n = size - head;
    const size_t first = n * split / 255;   // bytes for port 1; the rest go to port 2
    const char *text = reinterpret_cast<const char *>(data + head);

    b.restore(bench.running[mode]);
    const uint32_t ticks = tick_count;
    b.type(1, std::string_view(text, first));
    b.type(2, std::string_view(text + first, n - first));
    const double ms = static_cast<double>(std::max(first, n - first) * sim::kTypedCharCycles) / sim::kCyclesPerMs;
    b.run_ms(ms + kSettleMs);

    check_settings();
    if (tick_count - ticks + 1 < static_cast<uint32_t>(ms + kSettleMs))
        fuzz_finding("the millisecond tick stopped", tick_count - ticks);
    return 0;
}
