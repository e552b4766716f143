// Benchmark of the virtual board: how many simulated seconds of the
// motor under speed control one wall-clock second buys, and one second of
// this process's CPU time (the wall clock of a shared machine also counts
// the time other programs had the processor).
#include <chrono>
#include <cstdio>
#include <ctime>

#include "modes.hpp"
#include "process.hpp"

namespace app {

int run_bench(const Options &opt)
{
    using Clock = std::chrono::steady_clock;
    auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    auto cpu_seconds = [] {
        timespec ts{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
    };

    Session s(opt);
    sim::Board &b = s.board();

    auto t0 = Clock::now();
    double c0 = cpu_seconds();
    s.run_for_ms(kBootMs);
    const double boot_wall = seconds(Clock::now() - t0), boot_cpu = cpu_seconds() - c0;

    for (const char *line : {"mode 3", "vq 300", "rpm 300", "ON"}) s.type_line(line);
    s.run_queue();
    s.run_for_ms(2000.0);   // the reference ramps at 200 rpm/s: at the target by now

    const uint64_t acc0 = b.mcu.accesses, irq0 = b.mcu.nvic.taken;
    const double v0 = s.now_ms();
    t0 = Clock::now();
    c0 = cpu_seconds();
    s.run_for_ms(opt.bench_s * 1000.0);
    const double wall = seconds(Clock::now() - t0), cpu_s = cpu_seconds() - c0;
    const double virt = (s.now_ms() - v0) / 1000.0;
    b.plant.advance_to(b.mcu.now());
    const sim::PlantSnapshot snap = b.plant.snapshot();
    sim::Cpu &cpu = b.cpu();

    std::printf("foc-sim bench: %s firmware, mode %d, %d kHz control tick, vq 300, rpm 300\n", cpu.name(),
                cpu.expect_symbol<int32_t>("foc_mode"), cpu.expect_symbol<int32_t>("foc_rate"));
    std::printf("  boot to 1.5 s         %8.3f s wall  %7.2f simulated s per wall s  %7.2f per CPU s\n", boot_wall,
                1.5 / boot_wall, 1.5 / boot_cpu);
    std::printf("  running %-6.1f s      %8.3f s wall  %7.2f simulated s per wall s  %7.2f per CPU s\n", virt, wall,
                virt / wall, virt / cpu_s);
    std::printf("  per simulated second: %.0f register accesses, %.0f interrupts\n",
                static_cast<double>(b.mcu.accesses - acc0) / virt,
                static_cast<double>(b.mcu.nvic.taken - irq0) / virt);
    std::printf("  at the end: plant %.1f rpm, firmware measures %.1f rpm (reference %.1f)\n", snap.speed_rpm,
                static_cast<double>(cpu.expect_symbol<float>("actual_rpm")),
                static_cast<double>(cpu.expect_symbol<float>("speed_cl_ref")));
    return flush_stdout();
}

}  // namespace app
