// Speed of the emulated core in simulated cycles per wall second, on the
// chip image with the stub port: the boot (mostly the one-second settling
// loop), the idle main loop, and control ticks in mode 3 with the motor
// running (profile off and on), with the tick's cost and where it goes.
// Not a test: `arm-core-bench [image.elf]`.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "stub_port.hpp"

namespace {

using Clock = std::chrono::steady_clock;

struct TickPort : StubPort {
    sim::cpu::ArmCore *core = nullptr;
    int returned = 0;
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

}  // namespace

int main(int argc, char **argv)
{
    const char *path = argc > 1 ? argv[1] : FIRMWARE_ELF;
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

    const auto set = [&](const char *name, int32_t v) { core.write(core.symbol(name)->value, &v, 4); };
    set("foc_mode", 3);
    set("motor_running", 1);
    const int tim2 = 16 + 28;
    for (bool profile : {false, true}) {
        core.set_profiling(profile);
        core.clear_profile();
        std::vector<uint64_t> ticks;
        t = Clock::now();
        c0 = core.cycles();
        for (int i = 0; i < 4000; ++i) {
            const uint64_t start = core.cycles();
            core.enter_exception(tim2);
            port.returned = 0;
            while (port.returned != tim2) core.run(100'000);
            ticks.push_back(core.cycles() - start);
            core.run(18'000 - std::min<uint64_t>(ticks.back(), 17'000));   // the rest of the period in the main loop
        }
        report(profile ? "4000 ticks of mode 3, profile on" : "4000 ticks of mode 3", core.cycles() - c0, seconds_since(t));
        if (!profile) continue;
        std::sort(ticks.begin(), ticks.end());
        std::printf("tick cycles (entry to return, stub peripherals: no converter or SPI wait): min %llu median %llu max %llu\n",
                    static_cast<unsigned long long>(ticks.front()), static_cast<unsigned long long>(ticks[ticks.size() / 2]),
                    static_cast<unsigned long long>(ticks.back()));
        std::printf("cycles per tick by function (main loop included), lowest SP 0x%08X:\n", core.lowest_sp());
        int shown = 0;
        for (const auto &f : core.profile())
            if (shown++ < 25) std::printf("  %-40s %10.1f\n", f.name.c_str(), static_cast<double>(f.cycles) / ticks.size());
    }
    return 0;
}
