// foc-sim's batch contract, which scenario files and tools rely on:
// directives, their errors, the gap and the end of a run, the trace, and
// reproducibility.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "app/foc_sim_run.hpp"

using namespace foc_sim_test;

namespace {
const std::string kHelpEnd = "=================\r\n\r\n";   // the last lines of the boot transcript
}

// A directive error that is ignored, reported as success, or that loses the
// output produced before it; a run that goes on reading after the error.
TEST(FocSimBatch, DirectiveErrorsExitWithStatus2)
{
    const char *bad[] = {"#bogus", "#wait", "#wait -5", "#wait abc", "#wait 10 20", "#wait 1e10",
                         "#button sideways", "#fault maybe", "#port 3", "#load", "#load 1e999", "#rotor"};
    for (const char *line : bad) {
        SimRun r = run_sim(script({"mode", line, "stat"}));
        EXPECT_EQ(r.status, 2) << line;
        EXPECT_NE(r.err.find("line 2"), std::string::npos) << line << ": " << r.err;
        EXPECT_NE(r.out.find(kHelpEnd + "Mode:0=SPEED OPEN\r\n"), std::string::npos) << line;
        EXPECT_EQ(r.out.find("\xE3\x80\x90SET"), std::string::npos) << line << ": nothing after the error runs";
    }
    // The rotor may only be placed while the bridge is off.
    SimRun running = run_sim(script({"ON", "#wait 20", "#rotor 90"}));
    EXPECT_EQ(running.status, 2);
    EXPECT_NE(running.err.find("line 3"), std::string::npos) << running.err;

    SimRun bad_param = run_sim("", {"--set", "no_such_parameter=1"});
    EXPECT_EQ(bad_param.status, 2);
    EXPECT_EQ(bad_param.out, "");
}

// Directives or --set that do not reach the plant or the other serial port;
// a CR before the LF that is kept as part of a directive.
TEST(FocSimBatch, DirectivesActOnTheBoard)
{
    SimRun r = run_sim("#rotor 90\r\nangle\r\n#port 2\nmode 4\n#port 1\nmode\n");
    ASSERT_EQ(r.status, 0) << r.err;
    size_t p = r.out.find(kHelpEnd);
    ASSERT_NE(p, std::string::npos);
    std::string rest = r.out.substr(p + kHelpEnd.size());
    EXPECT_TRUE(std::regex_match(rest, std::regex("raw=0x[0-9A-F]+ deg=(89|90)\r\nMode:4=POS CL\r\nMode:4=POS CL\r\n")))
        << rest;

    // A plant parameter set on the command line survives the power-on.
    SimRun offset = run_sim("#rotor 0\nangle\n", {"--set", "sensor_offset_deg=90"});
    ASSERT_EQ(offset.status, 0) << offset.err;
    EXPECT_TRUE(std::regex_search(offset.out, std::regex("\r\nraw=0x[0-9A-F]+ deg=(269|270)\r\n$"))) << offset.out;

    SimRun port2 = run_sim("mode 2\n", {"--port", "2"});
    ASSERT_EQ(port2.status, 0) << port2.err;
    EXPECT_NE(port2.out.find(kHelpEnd + "Mode:2=CUR OPEN\r\n"), std::string::npos);
}

// A gap counted from the start of typing instead of from the received CR,
// or a gap that is not applied at all.
TEST(FocSimBatch, GapRunsFromTheEndOfTyping)
{
    // 62 characters take 5.4 ms to type; the reply "? " + line + CR LF is
    // 66 bytes, 5.7 ms on the wire, and starts within a millisecond.
    const std::string line(62, 'q');
    const std::string reply = "? " + line + "\r\n";
    struct Row {
        const char *gap_ms;
        bool complete;
    } rows[] = {{"8", true}, {"3", false}};
    for (const Row &row : rows) {
        SimRun r = run_sim(line + "\n", {"--gap-ms", row.gap_ms, "--linger-ms", "0"});
        ASSERT_EQ(r.status, 0) << r.err;
        std::string rest = r.out.substr(r.out.find(kHelpEnd) + kHelpEnd.size());
        if (row.complete) {
            EXPECT_EQ(rest, reply) << "gap " << row.gap_ms;
        } else {
            EXPECT_FALSE(rest.empty());
            EXPECT_LT(rest.size(), reply.size()) << "gap " << row.gap_ms;
            EXPECT_EQ(reply.substr(0, rest.size()), rest);
        }
    }
}

// --until-ms that lets the run go past its time or stops reading too early.
TEST(FocSimBatch, UntilEndsTheRunWhateverRemains)
{
    SimRun r = run_sim(script({"#wait 100", "#wait 100", "#wait 100", "stat"}), {"--until-ms", "1650"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(r.out.size() >= kHelpEnd.size() && r.out.compare(r.out.size() - kHelpEnd.size(), kHelpEnd.size(), kHelpEnd) == 0)
        << "nothing after the boot transcript";

    SimRun before_boot = run_sim("stat\n", {"--until-ms", "900"});
    EXPECT_EQ(before_boot.status, 0);
    EXPECT_EQ(before_boot.out, "") << "the board is still in its settling wait";
}

// Output that depends on anything but the input and the options: wall
// clock, unseeded noise, addresses, or a trace that perturbs the run.
TEST(FocSimBatch, SameInputSameBytes)
{
    ScratchDir dir;
    const std::string in = script({"mode 3", "rpm 300", "ON", "echo on", "#wait 700", "#load 2", "#wait 300",
                                   "actrpm", "stat"});
    SimRun a = run_sim(in, {"--trace", dir.file("a.csv"), "--seed", "7"});
    SimRun b = run_sim(in, {"--trace", dir.file("b.csv"), "--seed", "7"});
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    EXPECT_EQ(a.out, b.out);
    SimRun untraced = run_sim(in, {"--seed", "7"});
    EXPECT_EQ(a.out, untraced.out);
    EXPECT_GT(count(a.out, "\xE3\x80\x90SET"), 3u);
    const std::string ta = read_file(dir.file("a.csv")), tb = read_file(dir.file("b.csv"));
    EXPECT_GT(ta.size(), 1000u);
    EXPECT_TRUE(ta == tb) << "traces differ";
}

// Trace rows that drift from their instants, are missing or doubled, or
// columns that do not follow the firmware's state.
TEST(FocSimTrace, RowsAtExactInstants)
{
    ScratchDir dir;
    const std::string path = dir.file("t.csv");
    SimRun r = run_sim(script({"ON", "#wait 400"}), {"--trace", path, "--trace-every", "5", "--linger-ms", "0"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream csv(read_file(path));
    std::string header, row;
    std::getline(csv, header);
    EXPECT_EQ(header.rfind("t_ms,mode,running,duty_u,duty_v,duty_w,bridge,i_u_A,i_v_A,i_w_A,theta_elec_rad,"
                           "theta_mech_deg,speed_rpm,torque_Nm,sensor_word",
                           0),
              0u)
        << header;
    const size_t columns = count(header, ",") + 1;
    int n = 0, running_rows = 0, bridge_rows = 0;
    while (std::getline(csv, row)) {
        ASSERT_EQ(count(row, ",") + 1, columns) << row;
        char want[32];
        std::snprintf(want, sizeof want, "%d.000,", n * 5);
        ASSERT_EQ(row.rfind(want, 0), 0u) << "row " << n << ": " << row;
        std::vector<std::string> f;
        std::stringstream ss(row);
        for (std::string c; std::getline(ss, c, ',');) f.push_back(c);
        running_rows += f[2] == "1";
        bridge_rows += f[6] == "1";
        ++n;
    }
    // Boot to 1500 ms, "ON" typed (0.3 ms), the 100 ms gap and 400 ms: rows
    // 0 to 2000 ms; the motor runs from the pass after the CR, about 1501 ms.
    EXPECT_EQ(n, 2000 / 5 + 1);
    EXPECT_NEAR(running_rows, 100, 1);
    EXPECT_NEAR(bridge_rows, 100, 1) << "bridge enabled by the next control tick";
}
