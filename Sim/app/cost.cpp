// The cost report of the chip image on the emulated CPU: what each context
// of the firmware costs in core cycles, from the emulated core's profile
// (Sim/cpu/cycle_model.hpp documents the cycle model), on the virtual board
// with its plant.
//
// - The control tick of each mode while the motor runs (4000 ticks at
//   4 kHz), from its exception entry to its return, handlers that pre-empt
//   it left out: min, median, max, and the mean split into the converter's
//   wait (the flag poll called from the converter's read), the sensor's
//   settling delay (the delay loop called from the sensor driver), the
//   soft-float helpers by name, and the rest (computation).
// - The stopped tick, the millisecond tick, the main loop's idle pass.
// - The share of the control period at every rate the console accepts.
// - The deepest stack of each context and of all of them nested.
// - Flash and RAM by section and the largest symbols, from the image.
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "cpu/emulated_cpu.hpp"
#include "cpu/exception_meter.hpp"
#include "modes.hpp"

namespace app {

namespace {

constexpr int kTim2 = 16 + 28, kSysTick = 15;
constexpr int kTicks = 4000;
constexpr uint32_t kShfAlloc = 0x2;

// An outside estimate of the mode-3 tick (an independent cycle model), to
// compare with: total, converter wait, averaged settling delay, soft-float.
constexpr double kOutside[4] = {11600, 3000, 550, 6600};

// A symbol's name as written in the source, without its parameter list.
std::string short_name(const std::string &symbol)
{
    std::string n = sim::firmware_symbol_name(symbol.c_str());
    const size_t p = n.find('(');
    return p == std::string::npos ? n : n.substr(0, p);
}

enum Part { kConverter, kSettling, kSoftFloat, kComputation, kParts };

// Where a profile bucket's cycles go ("function" or "function<caller").
struct Bucket {
    std::string name;   // short names
    Part part;
};

Bucket classify(const std::string &profile_name)
{
    const size_t lt = profile_name.find('<');
    const std::string fn = short_name(profile_name.substr(0, lt));
    const std::string caller = lt == std::string::npos ? "" : short_name(profile_name.substr(lt + 1));
    Bucket b{caller.empty() ? fn : fn + " from " + caller, kComputation};
    if (fn == "poll_flag" && caller.starts_with("ADC_")) b.part = kConverter;
    else if (fn == "spin_delay" && caller.starts_with("MA600A_")) b.part = kSettling;
    else if (fn.starts_with("__")) b.part = kSoftFloat;   // the library's helpers: this image's are all soft-float
    return b;
}

struct Stats {
    uint64_t min = 0, median = 0, max = 0;
    double mean = 0;
};

Stats stats(std::vector<uint64_t> v)
{
    Stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.min = v.front();
    s.median = v[v.size() / 2];
    s.max = v.back();
    for (uint64_t x : v) s.mean += static_cast<double>(x);
    s.mean /= static_cast<double>(v.size());
    return s;
}

// Types a line on the console, lets the queue's gap after it pass, then
// runs the board on for `ms`.
void command(Session &s, const std::string &line, double ms = 0.0)
{
    s.type_line(line);
    s.run_queue();
    s.run_for_ms(ms);
}

struct ModeRun {
    int mode;
    const char *what;                    // the operating point
    std::vector<std::string> settings;   // typed after `mode N`
    double settle_ms;                    // running before the measurement
};

const ModeRun kModes[] = {
    {0, "open-loop speed, sp 100, vq 100", {}, 500},
    {1, "open-loop position to pos 300, vq 100", {"pos 300"}, 500},
    {2, "open-loop current, I 50, vq 100", {"I 50"}, 500},
    {3, "speed loop, vq 200, rpm 300", {"vq 200", "rpm 300"}, 2500},
    {4, "position loop to pos 90, vq 80", {"pos 90"}, 1500},
    {5, "current loop, I 100, vq 100", {"I 100"}, 500},
};

struct ModeCost {
    Stats tick;
    double part[kParts] = {};                 // mean cycles per tick
    std::vector<std::pair<std::string, std::pair<double, double>>> helpers;   // name: mean cycles, calls per tick
};

double pct(double part, double whole) { return whole > 0 ? 100.0 * part / whole : 0.0; }

}  // namespace

int run_cost(const Options &opt)
{
    Session s(opt);
    sim::Board &board = s.board();
    auto &cpu = dynamic_cast<sim::EmulatedCpu &>(board.cpu());
    sim::cpu::ArmCore &core = cpu.core();
    const sim::elf::Image &image = cpu.image();
    for (const sim::elf::Symbol &sym : image.symbols())
        if (sym.type == sim::elf::kSttFunc && (short_name(sym.name) == "poll_flag" || short_name(sym.name) == "spin_delay"))
            core.profile_by_caller(sym.name);
    core.set_profiling(true);
    const sim::elf::Symbol *estack = image.symbol("_estack");
    if (!estack) {
        std::fprintf(stderr, "foc-sim: the image has no _estack\n");
        return 1;
    }
    sim::ExceptionMeter meter(cpu, kTim2, estack->value);

    std::printf("Cost report of %s on the emulated Cortex-M3 (72 MHz, flash with 2 wait states)\n",
                opt.image_path.c_str());
    std::printf("Cycles are core cycles; a tick counts from its exception entry to its return, without the handlers\n"
                "that pre-empt it.\n\n");

    s.run_for_ms(1500.0);   // boot: the help text is out

    // Stopped: the control tick, SysTick and the main loop's idle pass.
    std::vector<uint64_t> passes;
    // The watch reads and writes these while the board runs on below.
    uint64_t pass_start = 0, pass_handlers = 0;   // cppcheck-suppress variableScope
    bool in_pass = false;                          // cppcheck-suppress variableScope
    const auto idle = core.idle_loop();
    if (idle) {
        core.watch_blocks({idle->head, idle->exit}, [&](uint32_t addr) {
            if (addr == idle->exit) {
                in_pass = true;
                pass_start = core.cycles();
                pass_handlers = meter.handler_cycles();
            } else if (in_pass) {
                in_pass = false;
                passes.push_back(core.cycles() - pass_start - (meter.handler_cycles() - pass_handlers));
            }
        });
    }
    meter.clear();
    s.run_for_ms(1000.0);
    core.watch_blocks({}, nullptr);
    const Stats stopped = stats(meter.own[kTim2]), systick = stats(meter.own[kSysTick]), pass = stats(passes);

    ModeCost costs[6];
    for (const ModeRun &m : kModes) {
        command(s, "mode " + std::to_string(m.mode));
        for (const std::string &line : m.settings) command(s, line);
        command(s, "ON", m.settle_ms);
        command(s, "stat");
        meter.clear();
        s.run_for_ms(kTicks / 4.0);
        ModeCost &c = costs[m.mode];
        c.tick = stats(meter.own[kTim2]);
        const double ticks = static_cast<double>(meter.own[kTim2].size());
        std::map<std::string, std::pair<double, double>> helpers;
        double attributed = 0;
        for (size_t i = 0; i < meter.profiled_cycles.size(); ++i) {
            if (!meter.profiled_cycles[i]) continue;
            const Bucket b = classify(core.profile_name(i));
            if (b.part == kComputation) continue;
            const double cycles = static_cast<double>(meter.profiled_cycles[i]) / ticks;
            c.part[b.part] += cycles;
            attributed += cycles;
            if (b.part == kSoftFloat) {
                helpers[b.name].first += cycles;
                helpers[b.name].second += static_cast<double>(meter.profiled_calls[i]) / ticks;
            }
        }
        c.part[kComputation] = c.tick.mean - attributed;
        c.helpers.assign(helpers.begin(), helpers.end());
        std::sort(c.helpers.begin(), c.helpers.end(), [](const auto &a, const auto &b) { return a.second.first > b.second.first; });
        command(s, "OFF");
    }

    // ---------------------------------------------------------------- the tables
    std::printf("Control tick, motor running (%d ticks per mode at 4 kHz; mean split)\n", kTicks);
    std::printf("  mode  operating point                           min  median     max     mean |"
                "  converter  settling  soft-float  computation\n");
    for (const ModeRun &m : kModes) {
        const ModeCost &c = costs[m.mode];
        std::printf("  %d     %-38s %7llu %7llu %7llu %8.0f | %9.0f %9.0f %11.0f %12.0f\n", m.mode, m.what,
                    static_cast<unsigned long long>(c.tick.min), static_cast<unsigned long long>(c.tick.median),
                    static_cast<unsigned long long>(c.tick.max), c.tick.mean, c.part[kConverter], c.part[kSettling],
                    c.part[kSoftFloat], c.part[kComputation]);
    }
    std::printf("  stopped                                        %7llu %7llu %7llu %8.0f\n",
                static_cast<unsigned long long>(stopped.min), static_cast<unsigned long long>(stopped.median),
                static_cast<unsigned long long>(stopped.max), stopped.mean);
    std::printf("  SysTick (millisecond tick)                     %7llu %7llu %7llu %8.0f\n",
                static_cast<unsigned long long>(systick.min), static_cast<unsigned long long>(systick.median),
                static_cast<unsigned long long>(systick.max), systick.mean);
    std::printf("  main loop, idle pass (motor stopped)           %7llu %7llu %7llu %8.0f   (%zu passes)\n",
                static_cast<unsigned long long>(pass.min), static_cast<unsigned long long>(pass.median),
                static_cast<unsigned long long>(pass.max), pass.mean, passes.size());
    if (idle)
        std::printf("  main loop, poll of the millisecond count: %llu cycles a turn\n",
                    static_cast<unsigned long long>(idle->period));

    std::printf("\nSoft-float helpers in the running tick (mean cycles and calls per tick). Cycles count where the\n"
                "code lies: __aeabi_fsub runs on into __aeabi_fadd, the integer conversions into __aeabi_l2f's\n"
                "normalisation, the comparisons into __cmpsf2; calls count entries at a helper's first instruction.\n");
    std::printf("  %-22s", "helper");
    for (const ModeRun &m : kModes) std::printf("        mode %d", m.mode);
    std::printf("\n");
    std::map<std::string, int> order;
    for (const ModeRun &m : kModes)
        for (const auto &[name, v] : costs[m.mode].helpers) order.emplace(name, 0);
    for (const auto &entry : order) {
        const std::string &name = entry.first;
        std::printf("  %-22s", name.c_str());
        for (const ModeRun &m : kModes) {
            const auto &h = costs[m.mode].helpers;
            const auto it = std::find_if(h.begin(), h.end(), [&](const auto &e) { return e.first == name; });
            if (it == h.end()) std::printf("  %12s", "-");
            else std::printf("  %6.0f %5.1fx", it->second.first, it->second.second);
        }
        std::printf("\n");
    }

    // Share of the period: the slowest mode's worst tick decides.
    int slowest = 0;
    for (const ModeRun &m : kModes)
        if (costs[m.mode].tick.max > costs[slowest].tick.max) slowest = m.mode;
    const double systick_per_s = systick.mean * 1000.0;
    // The share of the CPU the console and the button must keep at the
    // highest rate the rate command accepts.
    constexpr double kMainLoopShare = 20.0;
    int sustainable = 0;
    std::printf("\nShare of the control period at each rate (ticks as measured at 4 kHz: median / worst, %%)\n");
    std::printf("  rate  period |");
    for (const ModeRun &m : kModes) std::printf("    mode %d   ", m.mode);
    std::printf("| left for the main loop (mode %d, worst tick, SysTick taken off)\n", slowest);
    for (int rate = 1; rate <= 20; ++rate) {
        const double period = 72000.0 / rate;
        std::printf("  %2d kHz %6.0f |", rate, period);
        for (const ModeRun &m : kModes)
            std::printf(" %5.1f/%5.1f ", pct(static_cast<double>(costs[m.mode].tick.median), period),
                        pct(static_cast<double>(costs[m.mode].tick.max), period));
        const double left = 100.0 - pct(static_cast<double>(costs[slowest].tick.max), period) - pct(systick_per_s, 72e6);
        if (left > 0) std::printf("| %5.1f %% = %6.0f cycles per period\n", left, left * period / 100.0);
        else std::printf("| none: the tick overruns its period\n");
        if (left >= kMainLoopShare) sustainable = rate;
    }
    std::printf("  highest rate that leaves the main loop at least %.0f %%: %d kHz\n", kMainLoopShare, sustainable);

    std::printf("\nMode 3 against the outside estimate (cycles per tick)\n");
    const ModeCost &m3 = costs[3];
    const double ours[4] = {m3.tick.mean, m3.part[kConverter], m3.part[kSettling], m3.part[kSoftFloat]};
    const char *const what[4] = {"whole tick (mean)", "converter wait", "settling delay (averaged)", "soft-float helpers"};
    for (int i = 0; i < 4; ++i)
        std::printf("  %-28s %8.0f  outside %6.0f  %+6.1f %%\n", what[i], ours[i], kOutside[i],
                    pct(ours[i] - kOutside[i], kOutside[i]));

    // Stack.
    meter.look_at_thread();
    std::printf("\nStack (bytes below the top of SRAM, 0x%08X)\n", estack->value);
    std::printf("  deepest seen, contexts nested as they came:   %u\n", estack->value - meter.lowest);
    uint32_t worst_level0 = 0;
    for (const auto &[context, bytes] : meter.depth) {
        const char *name = context < 0 ? "main loop (thread)" : context == kTim2 ? "control tick (TIM2, with its frame)"
                           : context == kSysTick ? "SysTick (with its frame)"
                           : context == 16 + 37 ? "USART1 receive (with its frame)"
                           : context == 16 + 38 ? "USART2 receive (with its frame)" : "other exception";
        std::printf("  %-45s %u\n", name, bytes);
        if (context >= 0 && context != kTim2) worst_level0 = std::max(worst_level0, bytes);
    }
    const uint32_t bound = meter.depth[-1] + meter.depth[kTim2] + worst_level0;
    std::printf("  all three levels at their deepest at once:    %u\n", bound);

    // Memory, from the image.
    std::printf("\nMemory by section\n");
    uint32_t flash = 0, ram = 0;
    for (const sim::elf::Section &sec : image.sections()) {
        if (!(sec.flags & kShfAlloc) || !sec.size) continue;
        const bool in_ram = sec.addr >= sim::cpu::kSramBase;
        const bool loaded = sec.type != sim::elf::kShtNobits;
        if (!in_ram || loaded) flash += sec.size;   // .data's load image sits in flash too
        if (in_ram) ram += sec.size;
        std::printf("  %-14s 0x%08X %7u bytes  %s%s\n", sec.name.c_str(), sec.addr, sec.size, in_ram ? "RAM" : "flash",
                    in_ram && loaded ? " (and its load image in flash)" : "");
    }
    const sim::elf::Symbol *min_stack = image.symbol("_min_stack_size");
    std::printf("  flash %u of %u bytes; RAM %u of %u bytes for data, %u reserved for the stack\n", flash,
                sim::cpu::kFlashSize, ram, sim::cpu::kSramSize, min_stack ? min_stack->value : 0u);
    std::map<uint32_t, const sim::elf::Symbol *> at;   // one name per address: the profile's
    for (const sim::elf::Symbol &sym : image.symbols())
        if (sym.size && (sym.type == sim::elf::kSttFunc || sym.type == sim::elf::kSttObject)) at.emplace(sym.value, &sym);
    std::vector<const sim::elf::Symbol *> largest;
    largest.reserve(at.size());
    for (const auto &[addr, sym] : at) largest.push_back(sym);
    std::sort(largest.begin(), largest.end(), [](const auto *a, const auto *b) { return a->size > b->size; });
    std::printf("\nLargest symbols\n");
    for (size_t i = 0; i < largest.size() && i < 15; ++i) {
        const bool code = largest[i]->type == sim::elf::kSttFunc;
        std::printf("  %6u  %s %s\n", largest[i]->size, code ? "code" : "data",
                    short_name(code ? core.function_name(largest[i]->value) : largest[i]->name).c_str());
    }
    return cpu.faults().empty() ? 0 : 1;
}

}  // namespace app
