// Speed of the emulated core in simulated cycles per wall second, on the
// chip image with the stub port: the boot (mostly the one-second settling
// loop), the idle main loop, and control ticks with the motor running in
// every mode, with each tick's cost and where it goes.
// Not a test: `arm-core-bench [image.elf] [--top N]`.
//
// The stub answers the converter and the SPI flags at once, so a tick here
// is its computation plus the sensor's settling delay (spin_delay, every
// second tick); the full board adds the two conversions' wait.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>

#include "stub_port.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// The stub with a rotor that turns: each angle word read is 10 counts on
// (about 18 RPM at 4 kHz), so the tracking, the windows and the loops see
// motion, and a position target half a turn away is not reached in a run.
struct TickPort : StubPort {
    sim::cpu::ArmCore *core = nullptr;
    int returned = 0;
    uint16_t angle = 0;
    uint32_t bus_read(uint32_t addr, unsigned size, uint64_t cycle) override
    {
        if (addr == 0x4001300C) return angle += 10;   // SPI1 DR
        return StubPort::bus_read(addr, size, cycle);
    }
    int exception_return(int n, uint64_t) override
    {
        returned = n;
        core->request_stop();
        return 0;
    }
};

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

void report(const char *what, uint64_t cycles, double wall)
{
    std::printf("%-36s %12llu cycles in %7.3f s: %7.1f M cycles/s, %5.2f simulated s per wall s\n", what,
                static_cast<unsigned long long>(cycles), wall, cycles / wall / 1e6, cycles / 72e6 / wall);
}

bool soft_float(const std::string &name) { return name.rfind("__", 0) == 0; }

struct ModeRun {
    int mode;
    const char *name;
    std::vector<uint64_t> ticks;
    std::vector<sim::cpu::FunctionCycles> profile;
};

}  // namespace

int main(int argc, char **argv)
{
    const char *path = FIRMWARE_ELF;
    int top = 12;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--top") && i + 1 < argc) top = std::atoi(argv[++i]);
        else path = argv[i];
    }
    const auto image = sim::elf::Image::load(path);
    if (!image) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return 1;
    }
    TickPort port;
    port.log_writes = false;
    sim::cpu::ArmCore core(port);
    port.core = &core;
    core.load(*image);
    core.reset();

    auto t = Clock::now();
    uint64_t c0 = core.cycles();
    while (port.usart1.find("help") == std::string::npos && core.cycles() - c0 < 400'000'000) core.run(1'000'000);
    report("boot to the help text", core.cycles() - c0, seconds_since(t));

    t = Clock::now();
    c0 = core.cycles();
    for (int i = 0; i < 100; ++i) core.run(1'000'000);
    report("idle main loop (runs of 1 ms)", core.cycles() - c0, seconds_since(t));

    const auto set_i = [&](const char *name, int32_t v) { core.write(core.symbol(name)->value, &v, 4); };
    const auto set_f = [&](const char *name, float v) { core.write(core.symbol(name)->value, &v, 4); };
    const int tim2 = 16 + 28;
    // One control tick from entry to return, then the rest of a 4 kHz period in the main loop.
    const auto tick = [&]() {
        const uint64_t start = core.cycles();
        core.enter_exception(tim2);
        port.returned = 0;
        while (port.returned != tim2) core.run(100'000);
        const uint64_t cost = core.cycles() - start;
        core.set_profiling(false);
        core.run(18'000 - std::min<uint64_t>(cost, 17'000));
        return cost;
    };

    // The mode as a start leaves it, targets away from the rotor: the loops work on every tick.
    const ModeRun modes[] = {{0, "speed open", {}, {}}, {1, "position open", {}, {}}, {2, "current open", {}, {}},
                             {3, "speed closed", {}, {}}, {4, "position closed", {}, {}}, {5, "current closed", {}, {}}};
    std::vector<ModeRun> runs;
    constexpr int kWarmUp = 512, kTicks = 4096;   // mode 5's start-up is 228 ticks
    t = Clock::now();
    c0 = core.cycles();
    for (const ModeRun &m : modes) {
        ModeRun run = m;
        set_i("motor_running", 0);
        tick();
        set_i("foc_mode", m.mode);
        set_f("foc_vq", m.mode == 4 ? 0.08f : 0.1f);
        set_f("pos_ref_deg", 180.0f + static_cast<float>(port.angle) * 360.0f / 65536.0f);
        set_i("motor_running", 1);
        for (int i = 0; i < kWarmUp; ++i) tick();
        core.clear_profile();
        for (int i = 0; i < kTicks; ++i) {
            core.set_profiling(true);
            run.ticks.push_back(tick());
        }
        run.profile = core.profile();
        runs.push_back(std::move(run));
    }
    report("ticks of every mode, profile on", core.cycles() - c0, seconds_since(t));

    std::printf("\nRunning ticks, %d per mode after %d: cycles from entry to return (stub peripherals: no converter\n"
                "or SPI wait). Settling = the sensor's chip-select delay, soft-float = the library helpers.\n",
                kTicks, kWarmUp);
    std::printf("%-20s %7s %7s %7s %7s %9s %10s %9s\n", "mode", "min", "median", "mean", "max", "settling",
                "soft-float", "the rest");
    for (ModeRun &r : runs) {
        std::vector<uint64_t> s = r.ticks;
        std::sort(s.begin(), s.end());
        const double n = static_cast<double>(s.size());
        const double mean = std::accumulate(s.begin(), s.end(), 0.0) / n;
        double settle = 0, fl = 0;
        for (const auto &f : r.profile) {
            if (f.name == "_Z10spin_delaym") settle += f.cycles / n;
            else if (soft_float(f.name)) fl += f.cycles / n;
        }
        char label[32];
        std::snprintf(label, sizeof label, "%d %s", r.mode, r.name);
        std::printf("%-20s %7llu %7llu %7.0f %7llu %9.0f %10.0f %9.0f\n", label, static_cast<unsigned long long>(s.front()),
                    static_cast<unsigned long long>(s[s.size() / 2]), mean, static_cast<unsigned long long>(s.back()),
                    settle, fl, mean - settle - fl);
    }
    for (const ModeRun &r : runs) {
        std::printf("\nmode %d, cycles per tick by function (the %d costliest):\n", r.mode, top);
        int shown = 0;
        for (const auto &f : r.profile)
            if (shown++ < top) std::printf("  %-40s %8.1f\n", f.name.c_str(), static_cast<double>(f.cycles) / r.ticks.size());
    }
    std::printf("\nlowest SP 0x%08X\n", core.lowest_sp());
    return 0;
}
