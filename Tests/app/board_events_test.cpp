// The main loop's reactions to the board, end to end through foc-sim: the
// push button, the periodic status report and the bridge-fault warning.
#include <gtest/gtest.h>

#include "app/foc_sim_run.hpp"

using namespace foc_sim_test;

namespace {
const std::string kStatStart = "\xE3\x80\x90SET";   // "【SET", the start of a status line
}

// A debounce that accepts a state seen for fewer than 51 passes, toggles
// more than once while the button is held, or acts on the release.
TEST(FocSimButton, HoldTimeDecidesOneToggle)
{
    struct Row {
        int hold_ms, starts;
    } rows[] = {{10, 0}, {49, 0}, {53, 1}, {1000, 1}};
    for (const Row &row : rows) {
        SimRun r = run_sim(script({"#button down", "#wait " + std::to_string(row.hold_ms), "#button up", "#wait 200",
                                   "stat"}));
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(count(r.out, "BTN:START\r\n" + kStatStart + "\xE3\x80\x91:RUN "), size_t(row.starts))
            << "held " << row.hold_ms << " ms";
        EXPECT_EQ(count(r.out, "BTN:"), size_t(row.starts)) << "held " << row.hold_ms << " ms";
        EXPECT_EQ(count(r.out, "\xE3\x80\x91:RUN "), size_t(row.starts) * 2) << "the last stat shows the motor state";
    }
}

// A debounce count that is not restarted by a single pass of the old state.
TEST(FocSimButton, BounceShorterThan51PassesDoesNothing)
{
    SimRun r = run_sim(script({"#button down", "#wait 40", "#button up", "#wait 2", "#button down", "#wait 40",
                               "#button up", "#wait 2", "#button down", "#wait 40", "#button up", "#wait 200"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count(r.out, "BTN:"), 0u);
}

// A press that does not toggle (start, then stop), or a toggle without its
// status report.
TEST(FocSimButton, EachPressTogglesWithStatus)
{
    SimRun r = run_sim(script({"#button press", "#wait 100", "#button press", "#wait 100"}));
    ASSERT_EQ(r.status, 0) << r.err;
    size_t start = r.out.find("BTN:START\r\n" + kStatStart + "\xE3\x80\x91:RUN M=0 ");
    size_t stop = r.out.find("BTN:STOP\r\n" + kStatStart + "\xE3\x80\x91:STOP M=0 ");
    ASSERT_NE(start, std::string::npos) << r.out;
    ASSERT_NE(stop, std::string::npos) << r.out;
    EXPECT_LT(start, stop);
}

// Reports not tied to the millisecond counter's multiples of 200, reports
// that do not stop with "echo off", or a batch run that stops at the end of
// input instead of running on to --until-ms.
TEST(FocSimStatus, EchoReportsAtMultiplesOf200ms)
{
    // "echo on" is typed at 1500 ms; the reports begin at tick 1600. Just
    // before a multiple of 200 ms no new report has begun; 1.5 ms after it
    // its first bytes are out.
    struct Row {
        double until_ms;
        size_t reports;
    } rows[] = {{1599.8, 0}, {1601.5, 1}, {1799.8, 1}, {1801.5, 2}, {2599.8, 5}, {2601.5, 6}};
    for (const Row &row : rows) {
        char until[32];
        std::snprintf(until, sizeof until, "%.1f", row.until_ms);
        SimRun r = run_sim("echo on\n", {"--until-ms", until});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(count(r.out, kStatStart), row.reports) << "until " << until << " ms";
    }
    SimRun r = run_sim(script({"echo on", "#wait 500", "echo off", "#wait 1000"}));
    ASSERT_EQ(r.status, 0) << r.err;
    size_t off = r.out.find("echo OFF\r\n");
    ASSERT_NE(off, std::string::npos);
    EXPECT_EQ(count(r.out.substr(off), kStatStart), 0u);
    EXPECT_GE(count(r.out, kStatStart), 2u);
}

// A fault timer that fires early, counts while the motor is stopped, or a
// warning that stops when the motor does.
TEST(FocSimFault, WarningAfterThreeSecondsOfFaultWhileRunning)
{
    SimRun early = run_sim(script({"ON", "#fault on", "#wait 2900"}), {"--linger-ms", "0"});
    ASSERT_EQ(early.status, 0) << early.err;
    EXPECT_EQ(count(early.out, "WARN:nFault"), 0u);

    SimRun stopped = run_sim(script({"#fault on", "#wait 5000"}), {"--linger-ms", "0"});
    ASSERT_EQ(stopped.status, 0) << stopped.err;
    EXPECT_EQ(count(stopped.out, "WARN:nFault"), 0u);

    SimRun late = run_sim(script({"ON", "#fault on", "#wait 3100", "stop", "#fault off", "#wait 300"}),
                          {"--linger-ms", "0"});
    ASSERT_EQ(late.status, 0) << late.err;
    size_t first = late.out.find("WARN:nFault\r\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_GT(count(late.out.substr(0, late.out.find("STOPPED")), "WARN:nFault\r\n"), 10u)
        << "a warning on every pass once the fault is latched";
    size_t stopped_at = late.out.find("STOPPED\r\n");
    ASSERT_NE(stopped_at, std::string::npos);
    EXPECT_GT(count(late.out.substr(stopped_at), "WARN:nFault\r\n"), 10u) << "latched until reset";
}
