// The chip image on the virtual board through the emulated CPU: virtual
// time from the core's cycles, power-on, the firmware's memory by symbol,
// exceptions as the NVIC decides, the SCB's vector table, faults, the
// profile by caller, and the idle skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "board.hpp"
#include "cpu/emulated_cpu.hpp"
#include "cpu/exception_meter.hpp"
#include "foc.h"

namespace {

using sim::EmulatedCpu;
using Reg = sim::cpu::ArmCore::Reg;
constexpr int kTim2 = 16 + 28, kUsart1 = 16 + 37, kSysTick = 15;

struct EmulatedBoard : ::testing::Test {
    void SetUp() override
    {
        std::string why;
        image = sim::load_image(FIRMWARE_ELF, why);
        if (!image) GTEST_SKIP() << why;
    }
    std::unique_ptr<sim::Board> board() { return std::make_unique<sim::Board>(sim::PlantParams{}, 1, sim::emulated_cpu(image)); }
    static EmulatedCpu &cpu(sim::Board &b) { return dynamic_cast<EmulatedCpu &>(b.cpu()); }
    uint32_t sym(const char *name) const { return image->symbol(name)->value & ~1u; }
    bool in_function(uint32_t pc, const char *name) const
    {
        const sim::elf::Symbol *s = image->symbol(name);
        return pc - (s->value & ~1u) < std::max<uint32_t>(s->size, 2);
    }
    // Default_Handler, or the endless wait it ends in, called from it.
    bool in_default_handler(EmulatedCpu &c) const
    {
        const uint32_t pc = c.core().reg(Reg::PC);
        return in_function(pc, "Default_Handler") ||
               (in_function(pc, "_Z12wait_foreverv") && in_function(c.core().reg(Reg::LR) & ~1u, "Default_Handler"));
    }
    // Types a line on port 1 and runs on until `ms` after its last byte.
    static void command(sim::Board &b, const std::string &line, double ms = 50)
    {
        b.type(1, line + "\r");
        while (b.typing(1)) b.run_ms(0.1);
        b.run_ms(ms);
    }
    std::shared_ptr<const sim::elf::Image> image;
};

}  // namespace

// Faults caught: the core's cycles mapped to MCU time at the wrong scale
// (the core starts on the 8 MHz oscillator: nine MCU cycles per core cycle
// until the PLL is selected), a run that stops far from its time, symbols
// read or written at the wrong place or size, a power-on that does not put
// back every variable's load value.
TEST_F(EmulatedBoard, TimeMemoryAndPowerOn)
{
    auto b = board();
    EmulatedCpu &c = cpu(*b);
    EXPECT_STREQ(c.name(), "emulated");
    EXPECT_EQ(c.symbol<int32_t>("foc_rate"), 4) << "initialised data before the reset path has run";
    EXPECT_EQ(c.symbol<float>("foc_vq"), 0.08f);
    EXPECT_EQ(c.symbol<uint32_t>("tick_count"), 0u);

    const uint64_t start = c.core().cycles();
    b->run_until(900);   // the reset path's copy loops: still on the 8 MHz clock
    EXPECT_EQ(b->mcu.now(), 900u);
    EXPECT_GE(c.core().cycles() - start, 100u);
    EXPECT_LT(c.core().cycles() - start, 120u);
    b->run_ms(1000);
    const uint64_t at_1s = c.core().cycles();
    const uint32_t ticks = *c.symbol<uint32_t>("tick_count");
    b->run_ms(100);
    EXPECT_NEAR(static_cast<double>(c.core().cycles() - at_1s), 7.2e6, 100) << "one core cycle per MCU cycle at 72 MHz";
    EXPECT_NEAR(*c.symbol<uint32_t>("tick_count") - ticks, 100u, 1u);
    EXPECT_NEAR(b->now_ms(), 1100.0125, 1e-9);

    ASSERT_TRUE(c.set_symbol("foc_vq", 0.5f));
    EXPECT_EQ(c.symbol<float>("foc_vq"), 0.5f);
    uint32_t word = 0;
    ASSERT_TRUE(c.core().read(sym("foc_vq"), &word, 4));
    EXPECT_EQ(word, 0x3F000000u) << "the write reached the firmware's SRAM";
    EXPECT_FALSE(c.symbol<uint16_t>("foc_mode")) << "4 bytes, not 2";
    EXPECT_FALSE(c.set_symbol<int64_t>("foc_mode", 0));
    EXPECT_FALSE(c.symbol<int32_t>("no_such_variable"));
    EXPECT_FALSE(c.symbol<uint32_t>("main")) << "code is not a variable";

    b->power_on();
    EXPECT_EQ(c.symbol<float>("foc_vq"), 0.08f);
    EXPECT_EQ(c.symbol<uint32_t>("tick_count"), 0u);
    EXPECT_EQ(b->now_ms(), 0.0);
    b->run_ms(2);
    EXPECT_GT(c.symbol<uint32_t>("tick_count"), 0u) << "booted again from the reset vector";
}

// Faults caught: an interrupt taken at the wrong priority (a serial receive
// interrupt at level 0 must pre-empt the level-4 control tick; the tick
// never pre-empts itself), a return that leaves the NVIC's active list wrong, a tick whose
// entry drifts (latency beyond one translated block), the profile's caller
// split charging the converter's wait to the wrong caller, a meter that
// counts a nested handler's cycles (its return included) twice or in the tick's own.
TEST_F(EmulatedBoard, ExceptionsTimingAndProfileByCaller)
{
    auto b = board();
    EmulatedCpu &c = cpu(*b);
    b->run_ms(1500);
    for (const sim::elf::Symbol &s : image->symbols())
        if (s.name.find("poll_flag") != std::string::npos && s.type == sim::elf::kSttFunc) c.core().profile_by_caller(s.name);
    c.core().set_profiling(true);
    for (const char *line : {"mode 3", "vq 200", "rpm 300", "ON"}) command(*b, line);
    c.core().clear_profile();   // the console's waits for the transmitter are not the tick's
    sim::ExceptionMeter meter(c, kTim2, 0x2000C000);
    b->run_ms(1);
    while (!b->mcu.nvic.active().empty()) b->run_ms(0.01);   // whole activations from here on
    meter.clear();

    std::vector<sim::Cycles> tick_entries;
    int received_in_tick = 0, depth = 0, max_depth = 0, chained_from_tick = 0;
    uint64_t tick_return = 0;
    std::vector<int> active;
    const auto metered = c.on_exception;
    const uint64_t handlers = meter.handler_cycles();
    c.on_exception = [&](int n, EmulatedCpu::Exception what, uint64_t cycle) {
        metered(n, what, cycle);
        if (what == EmulatedCpu::Exception::Return) {
            ASSERT_FALSE(active.empty());
            EXPECT_EQ(active.back(), n);
            active.pop_back();
            --depth;
            if (n == kTim2) tick_return = cycle;
            return;
        }
        if (what == EmulatedCpu::Exception::TailChain && cycle == tick_return) ++chained_from_tick;
        if (n == kTim2) {
            EXPECT_EQ(std::count(active.begin(), active.end(), kTim2), 0);
            tick_entries.push_back(c.time_of(cycle));
        }
        if (n == kUsart1 && !active.empty() && active.back() == kTim2) ++received_in_tick;
        active.push_back(n);
        max_depth = std::max(max_depth, ++depth);
    };
    b->type(1, std::string(40, 'z'));   // bytes come every 6250 cycles, whatever the tick's phase
    b->run_ms(200);
    while (depth > 0) b->run_ms(0.01);   // to the end of the last activation
    c.on_exception = metered;

    ASSERT_GE(tick_entries.size(), 799u);
    EXPECT_GT(received_in_tick, 10) << "the tick takes 60 % of the time: most bytes arrive in it";
    EXPECT_EQ(max_depth, 2);
    // Each tick is due 18000 cycles after the one before; it is entered at
    // the end of the translated block in which it came due.
    std::vector<int64_t> late;
    for (size_t k = 0; k < tick_entries.size(); ++k)
        late.push_back(static_cast<int64_t>(tick_entries[k] - tick_entries[0]) - static_cast<int64_t>(k * 18000));
    const auto [lo, hi] = std::minmax_element(late.begin(), late.end());
    EXPECT_LE(*hi - *lo, 60) << "jitter of the tick's entry";

    // Two conversions of 252 ADC cycles (6 core cycles each) per tick: the
    // wait for them is the flag poll called from the converter's read.
    const auto &cycles = c.core().profile_cycles();
    uint64_t converter = 0, other = 0;
    for (size_t i = 0; i < cycles.size(); ++i) {
        const std::string name = c.core().profile_name(i);
        if (name.find("poll_flag") != 0 && name.find("_Z9poll_flag") != 0) continue;
        (name.find("<_Z8ADC_Read") != std::string::npos ? converter : other) += cycles[i];
    }
    EXPECT_NEAR(static_cast<double>(converter) / tick_entries.size(), 2 * 252 * 6, 100);
    EXPECT_EQ(other, 0u) << "nothing else polls a flag while the motor runs and the console is quiet";

    // The meter: every cycle the handlers took is some activation's own, once.
    uint64_t own = 0;
    for (const auto &[n, v] : meter.own)
        for (uint64_t x : v) own += x;
    EXPECT_EQ(own, meter.handler_cycles() - handlers);
    ASSERT_EQ(meter.own[kTim2].size(), tick_entries.size());
    ASSERT_EQ(meter.own[kUsart1].size(), 40u);
    const auto [fastest, slowest] = std::minmax_element(meter.own[kTim2].begin(), meter.own[kTim2].end());
    EXPECT_GT(*fastest, 2 * 252 * 6u) << "a running tick waits for its two conversions";
    EXPECT_LT(*slowest - *fastest, 2500u) << "the tick's own cycles, without the receive interrupts in it";
    uint64_t profiled = 0;
    for (uint64_t x : meter.profiled_cycles) profiled += x;
    uint64_t ticks = 0;
    for (uint64_t x : meter.own[kTim2]) ticks += x;
    // The nested handlers' returns are theirs, not the tick's; a tick that
    // tail-chains ends where the chain begins, without a return.
    EXPECT_EQ(ticks - profiled, (meter.own[kTim2].size() - static_cast<size_t>(chained_from_tick)) * sim::cpu::kReturnCycles)
        << "the profile has all but the returns";
    EXPECT_GE(meter.depth[kTim2], 32u + 8) << "the frame and the handler's own pushes";
    EXPECT_GE(meter.depth[kUsart1], 32u);
    EXPECT_LT(meter.lowest, 0x2000C000u - meter.depth[kTim2]);
}

// Faults caught: an idle skip that changes anything observable: the console's
// bytes, the cycle at which any exception is entered or returns, the profile.
TEST_F(EmulatedBoard, IdleSkipChangesNothingObservable)
{
    using Event = std::tuple<int, EmulatedCpu::Exception, uint64_t>;
    std::vector<Event> events[2];
    std::string out[2];
    std::vector<uint64_t> profile[2];
    uint64_t skipped[2] = {};
    for (int skip = 0; skip < 2; ++skip) {
        auto b = board();
        EmulatedCpu &c = cpu(*b);
        c.core().set_idle_skip(skip == 1);
        c.core().set_profiling(true);
        c.on_exception = [&](int n, EmulatedCpu::Exception what, uint64_t cycle) { events[skip].emplace_back(n, what, cycle); };
        b->run_ms(1500);
        for (const char *line : {"mode 3", "vq 200", "rpm 300", "ON", "echo on"}) command(*b, line);
        b->set_button(true);
        b->run_ms(300);
        b->set_button(false);
        b->run_ms(100);
        out[skip] = b->output();
        profile[skip] = c.core().profile_cycles();
        skipped[skip] = c.core().idle_cycles_skipped();
    }
    EXPECT_EQ(skipped[0], 0u);
    EXPECT_GT(skipped[1], 10'000'000u) << "the idle main loop between boot and the first command";
    EXPECT_NE(out[1].find("BTN:STOP"), std::string::npos);
    EXPECT_EQ(out[1], out[0]);
    EXPECT_GT(events[1].size(), 1000u);
    EXPECT_TRUE(events[1] == events[0]) << "exception entries and returns at the same cycles";
    EXPECT_TRUE(profile[1] == profile[0]);
}

// Faults caught: a vector table offset written to the SCB that does not
// reach the core, a fault that does not enter HardFault (or that the NVIC
// does not count as active, so that SysTick would pre-empt it), a fault
// not reported.
TEST_F(EmulatedBoard, VectorTableOffsetAndFaults)
{
    auto b = board();
    EmulatedCpu &c = cpu(*b);
    b->run_ms(1300);

    // A copy of the vector table in SRAM with SysTick sent to Default_Handler.
    std::vector<uint32_t> table(16 + 43);
    ASSERT_TRUE(c.core().read(0x08000000, table.data(), static_cast<uint32_t>(table.size() * 4)));
    table[kSysTick] = sym("Default_Handler") | 1;
    const uint32_t copy = 0x20008000;
    ASSERT_TRUE(c.core().write(copy, table.data(), static_cast<uint32_t>(table.size() * 4)));
    b->mcu.bus_write(0xE000ED08, copy, 4);   // SCB VTOR
    b->run_ms(3);
    const uint32_t ticks = *c.symbol<uint32_t>("tick_count");
    b->run_ms(3);
    EXPECT_EQ(c.symbol<uint32_t>("tick_count"), ticks) << "SysTick's handler is no longer reached";
    EXPECT_TRUE(in_default_handler(c));
    EXPECT_EQ(c.core().reg(Reg::IPSR), static_cast<uint32_t>(kSysTick));

    // A fetch from nowhere, in SysTick's stead: HardFault, which stays.
    EXPECT_TRUE(c.faults().empty());
    c.core().set_reg(Reg::PC, 0x1FFF0000);
    b->run_ms(2);
    ASSERT_EQ(c.faults().size(), 1u);
    EXPECT_EQ(c.faults()[0].kind, sim::cpu::FaultKind::Bus);
    EXPECT_EQ(c.faults()[0].exception, 3);
    EXPECT_EQ(b->mcu.nvic.active(), (std::vector<int>{kSysTick, 3}));
    EXPECT_EQ(c.core().reg(Reg::IPSR), 3u);
    EXPECT_TRUE(in_default_handler(c));
    EXPECT_FALSE(c.core().locked_up());
}

// A fault in the running image leaves the motor unpowered: the fault taken
// as HardFault, the core parked in Default_Handler with the control tick and
// SysTick held off, the four bridge lines (EN_A..C, nSLEEP on PB12..15) low
// and the PWM compares zero. Faults caught: a fault that goes unreported or
// lets the control tick run on, a crash that leaves the bridge driven.
TEST_F(EmulatedBoard, FaultWhileRunningLeavesTheBridgeOff)
{
    auto b = board();
    EmulatedCpu &c = cpu(*b);
    b->run_ms(1500);
    for (const char *line : {"mode 3", "vq 200", "rpm 300", "ON"}) command(*b, line);
    b->run_ms(20);
    auto bridge_lines = [&] {
        int high = 0;
        for (const sim::Pin &p : b->wiring.bridge_en) high += b->mcu.port(p.port).output_level(p.index);
        return high + b->mcu.port(b->wiring.bridge_nsleep.port).output_level(b->wiring.bridge_nsleep.index);
    };
    ASSERT_EQ(bridge_lines(), 4) << "the motor runs";
    ASSERT_NE(b->mcu.tim4.ccr(1) | b->mcu.tim4.ccr(2) | b->mcu.tim4.ccr(3), 0u);

    c.core().set_reg(Reg::PC, 0x1FFF0000);   // a fetch from nowhere, wherever the core was
    b->run_ms(1);
    const uint32_t ticks = *c.symbol<uint32_t>("tick_count");
    b->run_ms(20);
    ASSERT_EQ(c.faults().size(), 1u);
    EXPECT_EQ(c.faults()[0].exception, 3);
    EXPECT_EQ(c.core().reg(Reg::IPSR), 3u);
    EXPECT_TRUE(in_default_handler(c));
    EXPECT_EQ(b->mcu.nvic.active().back(), 3);
    EXPECT_EQ(c.symbol<uint32_t>("tick_count"), ticks) << "nothing pre-empts HardFault";

    // Default_Handler drives the four bridge lines low and the compares to
    // zero before it waits for good.
    EXPECT_EQ(bridge_lines(), 0);
    for (int ch = 1; ch <= 3; ++ch) EXPECT_EQ(b->mcu.tim4.ccr(ch), 0u) << "channel " << ch;
}

// The highest rate the rate command accepts still leaves the main loop its
// share on the chip: in the modes with the longest ticks, `stat` is answered
// within 3 ms of its CR, and mode 3's speed loop holds its target. A larger
// number is answered with the limit. Faults caught: a limit above what the
// tick leaves room for (the main loop starves and nothing answers), a rate
// command that accepts more than the limit or replies with what was typed.
TEST_F(EmulatedBoard, HighestAcceptedRateLeavesTheConsoleAnswering)
{
    auto b = board();
    EmulatedCpu &c = cpu(*b);
    b->run_ms(1500);
    b->take_output(1);
    command(*b, "rate 20", 20);
    const std::string limit = std::to_string(FOC_RATE_MAX_KHZ);
    ASSERT_EQ(b->take_output(1), "rate=" + limit + "k\r\n");

    const struct { int mode; std::vector<std::string> settings; double settle_ms; } rows[] = {
        {3, {"vq 400", "rpm 300"}, 3000}, {4, {"vq 80", "pos 90"}, 500}, {5, {"I 100"}, 500}};
    for (const auto &r : rows) {
        command(*b, "mode " + std::to_string(r.mode));
        for (const std::string &line : r.settings) command(*b, line);
        command(*b, "ON", r.settle_ms);
        if (r.mode == 3) {
            for (int look = 0; look < 3; ++look, b->run_ms(250))
                EXPECT_NEAR(*c.symbol<float>("actual_rpm"), 300.0f, 10.0f) << "look " << look;
        }
        b->take_output(1);
        b->type(1, "stat\r");
        while (b->typing(1)) b->run_ms(0.05);
        const double cr = b->now_ms();
        while (b->output(1).empty() && b->now_ms() - cr < 50) b->run_ms(0.05);
        EXPECT_LT(b->now_ms() - cr, 3.0) << "mode " << r.mode;
        b->run_ms(20);
        const std::string status = b->take_output(1);
        EXPECT_NE(status.find("RUN M=" + std::to_string(r.mode) + " "), std::string::npos) << status;
        EXPECT_NE(status.find(" r=" + limit + "kHz "), std::string::npos) << status;
    }
}
