// What the boot and the main loop do that the console transcript does not show: their timing, the angle refresh,
// the button's debounce and its place in a pass, the heartbeat.
#include <regex>
#include <vector>

#include "bench.hpp"

namespace {

using MainLoop = BenchTest<Bench::kBooted>;

// The virtual time at which port 1 has sent n bytes in all, running 0.01 ms at a time.
double ms_when_sent(Bench &t, size_t n, double limit_ms)
{
    while (t.b.output(1).size() < n && t.b.now_ms() < limit_ms) t.run_ms(0.01);
    return t.b.now_ms();
}

}  // namespace

// Fault caught: a settling wait far from one second, a zero calibrated from other than 64 samples (two conversions
// each, after the power-up conversion), or a byte received during the settling wait not kept for the main loop.
TEST(Boot, SettlingWaitZeroFrom64SamplesAndBytesTypedMeanwhile)
{
    Bench t(Bench::kPoweredOn);
    t.run_ms(50.0);
    t.b.type(2, "vq 123\r");
    // One second of counting, stretched by the interrupts taken meanwhile, then 128 conversions of 21 us.
    const double first = ms_when_sent(t, 1, 2000.0);
    EXPECT_GT(first, 1000.0 + 128 * 1512 / 72000.0);
    EXPECT_LT(first, 1020.0);
    EXPECT_EQ(t.b.mcu.adc1.conversions, 1u + 2u * 64u);
    t.run_ms(Bench::kBootMs - t.b.now_ms());
    EXPECT_EQ(t.get<int>("r_w"), 7) << "kept in the ring until the main loop runs";
    t.run_ms(10.0);
    const std::string out = t.b.take_output(1), end = "=================\r\n\r\nvq=123\r\n";
    EXPECT_TRUE(out.ends_with(end)) << out.substr(out.size() - end.size());
}

// Fault caught: the stopped board's angles not following the last sample, an electrical angle left unwrapped, or
// the filtered angle not restarting from the sample or jumping across the 0/360 seam.
TEST_F(MainLoop, AngleRefreshWhileStopped)
{
    const auto deg = [&](const char *name) { return get<float>(name); };
    set<uint16_t>("ma_raw", 0x4000);   // 90 degrees, as the tick would have left it
    run_ms(3);
    EXPECT_EQ(deg("ma600_mech_deg"), 90.0f);
    EXPECT_EQ(deg("ma600_ema_deg"), 90.0f);   // restarted from the sample, not blended with 0
    EXPECT_NEAR(deg("ma_angle"), 3.14159f, 1e-3f);   // six pole pairs: 540 degrees wrapped to 180
    set<uint16_t>("ma_raw", 65354);   // 359 degrees
    run_ms(300);
    EXPECT_NEAR(deg("ma600_ema_deg"), 359.0f, 0.01f);
    set<uint16_t>("ma_raw", 182);   // 1 degree
    run_ms(5);
    const float mid = deg("ma600_ema_deg");
    EXPECT_TRUE(mid > 100.0f && mid < 350.0f) << mid;   // back through the middle
    run_ms(300);
    EXPECT_NEAR(deg("ma600_ema_deg"), 1.0f, 0.01f);
}

// Fault caught: a heartbeat period other than 200 passes, or a heartbeat that moves the chip select.
TEST_F(MainLoop, HeartbeatEvery200Passes)
{
    std::vector<double> toggles;
    bool led = b.led_lit();
    for (int ms = 0; ms < 1000; ++ms) {
        run_ms(1);
        if (b.led_lit() != led) { led = !led; toggles.push_back(b.now_ms()); }
        EXPECT_FALSE(b.plant.sensor.selected());
    }
    ASSERT_EQ(toggles.size(), 5u);
    for (size_t i = 1; i < toggles.size(); ++i) EXPECT_NEAR(toggles[i] - toggles[i - 1], 200.0, 0.01) << i;
}

// Fault caught: periodic reports on other passes than those whose tick count is a multiple of 200, or reports that
// go on after "echo off".
TEST_F(MainLoop, EchoReportsOnPassesAtMultiplesOf200)
{
    say("echo on");
    std::vector<uint32_t> began;   // tick counts of the passes that began a report
    for (int ms = 0; ms < 1000; ++ms) {
        const uint32_t before = get<uint32_t>("tick_count");
        run_ms(1);
        if (b.take_output(1).rfind("【SET】", 0) == 0) began.push_back(before + 1);
    }
    ASSERT_EQ(began.size(), 5u);
    for (uint32_t t : began) EXPECT_EQ(t % 200, 0u) << t;
    say("echo off");
    run_ms(500);
    EXPECT_EQ(b.take_output(1), "");
}

// Fault caught: a debounce that accepts a state seen on 50 passes or needs more than 51, is not restarted by one
// pass of the old state, or toggles more than once per press or on a release. Edges fall half way between passes,
// so a state held for n ms is seen on n passes.
TEST_F(MainLoop, ButtonAcceptedOnThe51stPassOncePerPress)
{
    std::vector<double> chatter(98, 0.3);   // 30 ms of bounces shorter than a pass, then held
    chatter.insert(chatter.end(), {100, 300});
    struct Row { const char *name; std::vector<double> edges; const char *events; } rows[] = {   // ms down, up, ...
        {"50 passes", {50, 300}, ""},
        {"51 passes", {51, 300}, "BTN:START"},
        {"50, one pass up, 50", {50, 1, 50, 300}, ""},
        {"held 2 s, bouncing on release", {2000, 30, 30, 30, 30, 300}, "BTN:STOP"},
        {"chatter, then held", chatter, "BTN:START"},
    };
    const std::regex btn("BTN:[A-Z]+");
    run_ms(0.5);
    for (const Row &r : rows) {
        bool down = false;
        for (double ms : r.edges) {
            b.set_button(down = !down);
            run_ms(ms);
        }
        const std::string out = b.take_output(1);
        std::string events;
        for (auto it = std::sregex_iterator(out.begin(), out.end(), btn); it != std::sregex_iterator(); ++it)
            events += (events.empty() ? "" : " ") + it->str();
        EXPECT_EQ(events, r.events) << r.name;
    }
}

// Fault caught: a button held through reset taken as a press, or a start by button that leaves the speed loop's
// memory charged.
TEST(Button, HeldThroughResetActsOnlyAfterARelease)
{
    Bench t(Bench::kPoweredOn);
    t.b.set_button(true);
    t.run_ms(Bench::kBootMs + 100);
    t.b.set_button(false);
    t.run_ms(100);
    EXPECT_EQ(t.b.take_output(1).find("BTN:"), std::string::npos);
    t.set("pid_spd_last_err", 5.0f);
    t.b.set_button(true);
    t.run_ms(100);
    EXPECT_EQ(t.b.take_output(1).rfind("BTN:START\r\n", 0), 0u);
    EXPECT_EQ(t.get<float>("pid_spd_last_err"), 0.0f);
}

// Fault caught: a command run before the button in a pass, or in a later pass than the one that completed its line.
// The press is accepted on the pass at which "ON" is completed: the button starts the motor, then "ON" finds it
// running.
TEST_F(MainLoop, ButtonBeforeTheCommandOfTheSamePass)
{
    run_ms(0.5);
    b.set_button(true);
    run_ms(50.0 - 0.3);
    b.type(1, "ON\r");   // the CR arrives 0.26 ms later, before the 51st pass
    run_ms(30.0);
    const std::string out = b.take_output(1);
    EXPECT_TRUE(std::regex_match(out, std::regex("BTN:START\r\n【SET】:RUN [^\r]*\r\nRUNNING\r\n"))) << out;
}
