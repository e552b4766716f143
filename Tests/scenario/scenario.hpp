// A whole virtual board used as an operator uses the real one: boot, lines
// typed on the console, and the motor watched on the plant side (rotor angle
// and speed, phase currents, the voltage the bridge applies).
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "board.hpp"

namespace scenario {

constexpr double kPi = 3.141592653589793;

struct Sample {
    double t_ms;              // since the recording started
    double deg;               // rotor angle, unwrapped (continues past 360 and below 0)
    sim::PlantSnapshot s;
};

// The voltage vector the bridge applies, from the three duties: amplitude as a
// fraction of the supply and electrical angle (the zero sequence drops out).
struct Vector { double amp, angle; };
inline Vector applied_vector(const sim::PlantSnapshot &s)
{
    double a = (2.0 * s.duty[0] - s.duty[1] - s.duty[2]) / 3.0;
    double b = (s.duty[1] - s.duty[2]) / std::sqrt(3.0);
    return {std::hypot(a, b), std::atan2(b, a)};
}

// a - b folded into (-180, 180].
inline double angle_diff_deg(double a, double b) { return -std::remainder(b - a, 360.0); }

class Bench {
public:
    explicit Bench(uint64_t seed = 1) : b(sim::PlantParams{}, seed)
    {
        b.run_ms(1500);   // boot: calibration, banner, help
        b.take_output(1);
    }

    // Types a line and waits for the firmware's reply line.
    std::string say(const std::string &line)
    {
        b.take_output(1);
        b.type(1, line + "\r");
        for (int ms = 0; ms < 200 && b.output(1).find("\r\n") == std::string::npos; ++ms) b.run_ms(1);
        return b.take_output(1);
    }

    // Runs the board for ms, sampling the plant every every_ms.
    std::vector<Sample> record(double ms, double every_ms)
    {
        std::vector<Sample> v;
        const double t0 = b.now_ms();
        for (double t = every_ms; t <= ms + 1e-9; t += every_ms) {
            b.run_until(sim::ms_to_cycles(t0 + t));
            b.plant.advance_to(b.mcu.now());
            sim::PlantSnapshot s = b.plant.snapshot();
            deg_ += angle_diff_deg(s.theta_mech_deg, last_deg_);
            last_deg_ = s.theta_mech_deg;
            v.push_back({t, deg_, s});
        }
        return v;
    }

    // Mean mechanical speed (RPM) between two recording times, from the angle.
    static double mean_rpm(const std::vector<Sample> &v, double from_ms, double to_ms)
    {
        const Sample *a = nullptr, *z = nullptr;
        for (const Sample &s : v) {
            if (!a && s.t_ms >= from_ms) a = &s;
            if (s.t_ms <= to_ms) z = &s;
        }
        return (z->deg - a->deg) / (z->t_ms - a->t_ms) * 1000.0 / 6.0;
    }

    sim::Board b;

private:
    double deg_ = 0.0, last_deg_ = 0.0;   // the rotor starts at 0
};

}  // namespace scenario
