// foc-sim end to end in batch mode: the boot transcript, the console, the
// main loop's reactions to the board, and the batch contract tools rely on.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "app/sim_run.hpp"

namespace {

const std::string kHelp = std::string("\r\n") +
    "=== FOC 命令 ===\r\n"
    "ON              - 启动电机\r\n"
    "OFF             - 停止电机\r\n"
    "mode <0~5>      - 切换运行模式\r\n"
    "                   0=速度开环  1=位置开环(虚拟角度)\r\n"
    "                   2=电流开环(单相IV)  3=速度闭环(PID+MA600A)\r\n"
    "                   4=位置闭环(PID+MA600A)  5=电流闭环\r\n"
    "vq <0~999>      - 电压限幅 (实际=值/1000, 默认80=0.08, mode切换后=100=0.1)\r\n"
    "I <0~2000>      - 电流目标 (mA, 默认500)\r\n"
    "ramp <0~1000>   - 电压斜坡速率 (0=瞬时, 默认100)\r\n"
    "hold <0~999>    - 到位保持电压 (实际=值/1000, 0=不保持, 默认0)\r\n"
    "sp <1~9999>     - 开环速度 (实际=值/10 rad/s, 默认100=10.0)\r\n"
    "rpm <-9999~9999>- 速度闭环目标 RPM (默认100)\r\n"
    "pos <0~3600>    - 目标角度 (实际=值/10 度, 默认0)\r\n"
    "posemax <1~180> - 位置误差限幅 (度, 默认30)\r\n"
    "pidspd Kp,Ki,Kd - 速度闭环 PID (Kp x1000, Ki x10000, Kd x10000)\r\n"
    "                 默认: Kp=10(0.01) Ki=1000(0.1) Kd=0\r\n"
    "pidpos Kp,Ki,Kd - 位置闭环 PID (Kp x10, Ki 直接使用, Kd x10000)\r\n"
    "                 默认: Kp=5(0.5)    Ki=100(0.1)  Kd=0\r\n"
    "pidcur Kp,Ki,Kd - 电流闭环 PID (Kp x1000, Ki x10000, Kd x10000)\r\n"
    "                 默认: Kp=10(0.01) Ki=50(0.005) Kd=0\r\n"
    "pid             - 显示所有 PID 当前值\r\n"
    "rate <1~7>      - FOC 频率 kHz (默认4)\r\n"
    "stat            - 显示运行状态 (SET/ACT 双行)\r\n"
    "actrpm          - 显示实际转速 RPM\r\n"
    "angle           - 读取 MA600A 当前角度\r\n"
    "turn            - 读取当前角度 + 累计圈数\r\n"
    "adc             - 读取四通道 ADC及电流 IU(xxxmA) IV(xxxmA) IW(xxxmA) IV2(xxxmA)\r\n"
    "iu/iv/iw/iv2    - 读取单路 ADC 值及电流 (PA0~PA3)\r\n"
    "calibrate       - 电流零点校准 (电机停止时执行)\r\n"
    "sens <1~9999>   - MCS1805灵敏度系数 (默认1000=0.264V/A)\r\n"
    "spi 0xXXXX          - 单帧 SPI 读写\r\n"
    "spi 0xXXXX 0xYYYY   - 多帧连续 SPI 读写 (CS 保持低)\r\n"
    "reg 0xXX        - 读 MA600A 寄存器 (例: reg 0x20)\r\n"
    "wri 0xXX val    - 写 MA600A 寄存器 (例: wri 0x1C 80)\r\n"
    "diag            - SPI 状态诊断\r\n"
    "cs on/off       - 手动控制 CS 引脚\r\n"
    "pins            - 显示 ENA/ENB/ENC/nSleep/nFault\r\n"
    "echo on         - 开启自动打印 stat\r\n"
    "echo off        - 关闭自动打印\r\n"
    "help            - 显示此帮助\r\n"
    "=================\r\n"
    "\r\n";
}  // namespace

// Boot lines in another order, a wrong register value, a calibration far from
// the sensor's zero, or anything else sent before the first command.
TEST(FocSimBoot, TranscriptByteForByte)
{
    SimRun r = run_sim("");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("^IV20=0x([0-9A-F]+)\r\n"))) << r.out.substr(0, 40);
    EXPECT_NEAR(std::stol(m[1].str(), nullptr, 16), 2048, 64) << "mid-supply zero of the current sensor";
    EXPECT_EQ(r.out.substr(m.length()), "\r\nF103 FOC v2\r\nDIAG: CCR1=0x0 CR1=0x1 SPI=0xB6F PB=0 PB0=1\r\n" + kHelp);
}

// The dispatch order's traps: prefixes that shadow longer words, exact words
// with trailing spaces, the case rule, clamping, numbers ended by a space.
TEST(FocSimConsole, RepliesAcrossTheDispatchOrder)
{
    struct Row { const char *line, *reply; } rows[] = {   // reply as a regular expression
        {"on", "STARTED"}, {"ON", "RUNNING"}, {"Off", "STOPPED IV20=[0-9]+"},
        {"posemax 20", "posemax=20deg"}, {"pos 4000", "pos=3600deg"}, {"pidspd 5", "pidspd kp=5 ki=1000 kd=0"},
        {"pid", "pidspd kp=5 ki=1000 kd=0 pidpos kp=5 ki=100 kd=0 pidcur kp=10 ki=50 kd=0"},
        {"STAT", "\\? STAT"}, {"stat ", "\\? stat "}, {"Mode 3", "\\? Mode 3"}, {"mode 7", "Mode:5=CUR CL"},
        {"rate 4k", "rate=4k"}, {"vq  50", "vq=0"}, {"I", "I=500mA"}, {"i 300", "I=300mA"}, {"I300", "\\? I300"},
        {"iv2", "IV2=[0-9]+\\(z=[0-9]+,d=-?[0-9]+,-?[0-9]+mA\\)"},
    };
    std::string in;
    for (const Row &row : rows) in += std::string(row.line) + "\n";
    std::istringstream got(after_boot(run_sim(in).out));
    std::string line;
    for (const Row &row : rows) {
        ASSERT_TRUE(std::getline(got, line)) << "no reply to '" << row.line << "'";
        EXPECT_TRUE(std::regex_match(line, std::regex(std::string(row.reply) + "\r"))) << row.line << " -> " << line;
    }
    EXPECT_FALSE(std::getline(got, line)) << line;
}

// A receive ring that holds 64 bytes, not 63, or drops the wrong one; a
// pending slot that queues lines or keeps the first of two completed in one
// pass; an over-long line that overruns the buffer or leaves its tail behind.
TEST(FocSimConsole, BurstsAndOverlongLines)
{
    // Both bursts arrive while the help text (0.2 s) holds the foreground. Of
    // the second (64 bytes) the final CR is lost: "stat" waits for the next line.
    const std::string junk(58, 'x'), abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZ", over = abc + abc + abc.substr(0, 18);
    EXPECT_EQ(after_boot(run_sim("help\nvq 100\rvq 200\nvq\nhelp\n" + junk + "\rstat\nX\n" + over + "\nmode\n").out),
              kHelp + "vq=200\r\nvq=200\r\n" + kHelp + "? " + junk + "\r\n? statX\r\n? " + over.substr(0, 63) +
                  "\r\nMode:0=SPEED OPEN\r\n");
}

// A debounce that accepts a state seen for fewer than 51 passes or is not
// restarted by a bounce, more than one toggle per press, or none of its status.
TEST(FocSimButton, DebounceAndOneTogglePerPress)
{
    const std::string bounce = "#button down\n#wait 40\n#button up\n#wait 2\n";
    const std::string start = "BTN:START\r\n【SET】:RUN M=0 ", stop = "BTN:STOP\r\n【SET】:STOP M=0 ";
    struct Row { std::string in; std::vector<std::string> events; } rows[] = {
        {"#button down\n#wait 49\n#button up\n#wait 200\n", {}},
        {bounce + bounce + bounce + "#wait 200\n", {}},
        {"#button down\n#wait 53\n#button up\n#wait 200\n", {start}},
        {"#button down\n#wait 1000\n#button up\n#wait 200\n", {start}},
        {"#button press\n#wait 100\n#button press\n#wait 100\n", {start, stop}},
    };
    for (const Row &row : rows) {
        SimRun r = run_sim(row.in);
        EXPECT_EQ(count(r.out, "BTN:"), row.events.size()) << row.in;
        size_t p = 0;
        for (const std::string &e : row.events) EXPECT_NE(p = r.out.find(e, p), std::string::npos) << row.in << e;
    }
}

// Reports off the multiples of 200 ms, not stopped by "echo off", or a run
// that ends with its input instead of at --until-ms. "echo on" is typed at
// 1500 ms; a report has begun 1.5 ms after a multiple of 200, not 0.2 before.
TEST(FocSimStatus, EchoReportsAtMultiplesOf200ms)
{
    struct Row { const char *in, *until; size_t reports; } rows[] = {
        {"echo on\n", "1599.8", 0}, {"echo on\n", "1601.5", 1}, {"echo on\n", "1799.8", 1},
        {"echo on\n", "1801.5", 2}, {"echo on\n", "2599.8", 5}, {"echo on\n", "2601.5", 6},
        {"echo on\n#wait 300\necho off\n", "3000", 2},
    };
    for (const Row &row : rows)
        EXPECT_EQ(count(run_sim(row.in, {"--until-ms", row.until}).out, "【SET】"), row.reports) << row.in << row.until;
}

// A fault timer that fires early or counts while the motor is stopped, or a
// warning that is not latched (stops with the motor or the fault).
TEST(FocSimFault, WarningAfterThreeSecondsOfFaultWhileRunning)
{
    for (const char *in : {"ON\n#fault on\n#wait 2900\n", "#fault on\n#wait 5000\n"})
        EXPECT_EQ(count(run_sim(in, {"--linger-ms", "0"}).out, "WARN:nFault"), 0u) << in;
    SimRun r = run_sim("ON\n#fault on\n#wait 3100\nstop\n#fault off\n#wait 300\n", {"--linger-ms", "0"});
    const size_t stopped = r.out.find("STOPPED\r\n");
    ASSERT_NE(stopped, std::string::npos);
    EXPECT_GT(count(r.out.substr(0, stopped), "WARN:nFault\r\n"), 10u) << "one warning per pass once latched";
    EXPECT_GT(count(r.out.substr(stopped), "WARN:nFault\r\n"), 10u) << "latched until reset";
}

// A directive error ignored, reported as success or on the wrong line, that
// loses the output before it, or after which the run goes on.
TEST(FocSimBatch, DirectiveErrorsExitWithStatus2)
{
    for (const std::string d : {"#bogus", "#wait", "#wait -5", "#wait abc", "#wait 10 20", "#wait 1e10",
                                "#button sideways", "#fault maybe", "#port 3", "#load", "#load 1e999", "#rotor",
                                "ON\n#wait 20\n#rotor 90"}) {   // the rotor is placed only while the bridge is off
        SimRun r = run_sim("mode\n" + d + "\nstat\n", {}, 2);
        EXPECT_NE(r.err.find("line " + std::to_string(count(d, "\n") + 2)), std::string::npos) << d << ": " << r.err;
        EXPECT_EQ(after_boot(r.out).rfind("Mode:0=SPEED OPEN\r\n", 0), 0u) << d;
        EXPECT_EQ(r.out.find("【SET】"), std::string::npos) << d << ": nothing after the error runs";
    }
    EXPECT_EQ(run_sim("mode\n", {"--set", "no_such_parameter=1"}, 2).out, "");
}

// --set, #rotor or #port that do not reach the plant or the other serial
// port, or a CR before the LF kept as part of a directive.
TEST(FocSimBatch, OptionsAndDirectivesReachTheBoard)
{
    SimRun r = run_sim("#rotor 180\r\nangle\r\n#port 2\nmode 4\n#port 1\nmode\n", {"--set", "sensor_offset_deg=90"});
    EXPECT_TRUE(std::regex_match(after_boot(r.out),
                                 std::regex("raw=0x[0-9A-F]+ deg=(89|90)\r\nMode:4=POS CL\r\nMode:4=POS CL\r\n")))
        << r.out << r.err;
}

// A gap counted from the start of typing instead of from the received CR, or
// none. Typing 62 characters takes 5.4 ms; the 66-byte reply takes 5.7 ms.
TEST(FocSimBatch, GapRunsFromTheEndOfTyping)
{
    const std::string line(62, 'q'), reply = "? " + line + "\r\n";
    EXPECT_EQ(after_boot(run_sim(line + "\n", {"--gap-ms", "8", "--linger-ms", "0"}).out), reply);
    const std::string cut = after_boot(run_sim(line + "\n", {"--gap-ms", "3", "--linger-ms", "0"}).out);
    EXPECT_FALSE(cut.empty());
    EXPECT_EQ(reply.rfind(cut, 0), 0u) << "a strict prefix of the reply: " << cut;
    EXPECT_LT(cut.size(), reply.size());
}

// Output that depends on anything but the input and the options (wall clock,
// unseeded noise, addresses), or a trace that perturbs the run.
TEST(FocSimBatch, SameInputSameBytes)
{
    const std::string in = "mode 3\nrpm 300\nON\necho on\n#wait 700\n#load 2\n#wait 300\nactrpm\nstat\n";
    SimRun a = run_sim(in, {"--trace", "t.csv", "--seed", "7"}), b = run_sim(in, {"--trace", "t.csv", "--seed", "7"});
    EXPECT_EQ(a.out, b.out);
    EXPECT_EQ(a.out, run_sim(in, {"--seed", "7"}).out);
    EXPECT_GT(count(a.out, "【SET】"), 3u);
    EXPECT_GT(a.trace.size(), 1000u);
    EXPECT_TRUE(a.trace == b.trace) << "traces differ";
}

// Trace rows that drift from their instants, are missing or doubled, or
// columns that do not follow the firmware's state.
TEST(FocSimTrace, RowsAtExactInstants)
{
    SimRun r = run_sim("ON\n#wait 400\n", {"--trace", "t.csv", "--trace-every", "5", "--linger-ms", "0"});
    std::istringstream csv(r.trace);
    std::string header, row;
    std::getline(csv, header);
    EXPECT_EQ(header.rfind("t_ms,mode,running,duty_u,duty_v,duty_w,bridge,i_u_A,i_v_A,i_w_A,theta_elec_rad,"
                           "theta_mech_deg,speed_rpm,torque_Nm,sensor_word", 0), 0u) << header;
    int n = 0, running = 0, bridge = 0;
    for (; std::getline(csv, row); ++n) {
        ASSERT_EQ(count(row, ","), count(header, ",")) << row;
        ASSERT_EQ(row.rfind(std::to_string(n * 5) + ".000,", 0), 0u) << "row " << n << ": " << row;
        running += std::regex_search(row, std::regex("^([^,]*,){2}1,"));
        bridge += std::regex_search(row, std::regex("^([^,]*,){6}1,"));
    }
    // Rows from 0 to 2000 ms: boot to 1500, "ON" typed (0.3 ms), the 100 ms
    // gap and 400 ms. Motor and bridge on from the next control tick, ~1501 ms.
    EXPECT_EQ(n, 2000 / 5 + 1);
    EXPECT_NEAR(running, 100, 1);
    EXPECT_NEAR(bridge, 100, 1);
}

// A failed write of the console's output or of the trace that exits 0, says
// nothing, or lets the run go on; a trace that fails only once it has grown
// (a file size limit) is a failure too.
TEST(FocSimBatch, FailedWritesExitWithStatus1)
{
    struct Row { std::string cmd, err; } rows[] = {
        {"'" FOC_SIM "' <in >/dev/full", "writing the console's output: No space left on device"},
        {"'" FOC_SIM "' --trace /dev/full <in >/dev/null", "cannot write trace /dev/full: No space left on device"},
        {"trap '' XFSZ; ulimit -f 64; '" FOC_SIM "' --trace t.csv <in >/dev/null", "writing trace t.csv: File too large"},
        {"'" FOC_SIM "' --help >/dev/full", "writing stdout: No space left on device"},
    };
    for (const Row &row : rows) {
        char dir[] = "/tmp/foc-sim-test-XXXXXX";
        ASSERT_TRUE(mkdtemp(dir));
        std::ofstream(std::string(dir) + "/in") << "echo on\n#wait 5000\n";
        const int ws = std::system(("cd " + std::string(dir) + " && (" + row.cmd + ") 2>err").c_str());
        std::ostringstream err;
        err << std::ifstream(std::string(dir) + "/err").rdbuf();
        EXPECT_EQ(WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, 1) << row.cmd;
        // AddressSanitizer's own notes ("==pid==...") are not foc-sim's.
        const std::string said = std::regex_replace(err.str(), std::regex("^==[0-9]+==.*\n"), "");
        EXPECT_EQ(said, "foc-sim: " + row.err + "\n") << row.cmd;
        std::filesystem::remove_all(dir);
    }
}

// A combination that makes foc-sim drop an option silently (or pick one of
// two ways of running) instead of refusing it with a message naming it.
TEST(FocSimOptions, OptionsThatDoNotGoTogetherAreRefused)
{
    // The option the message must name first; a run that is not refused
    // ends soon all the same (--until-ms, --bench-s).
    struct Row { std::vector<std::string> args; const char *named; } rows[] = {
        {{"--batch", "--pty"}, "--batch and --pty"}, {{"--bench", "--batch"}, "--batch and --bench"},
        {{"--pty", "--bench", "--bench-s", "0.01"}, "--pty and --bench"}, {{"--raw-keys"}, "--raw-keys"},
        {{"--pty", "--raw-keys", "--until-ms", "1"}, "--raw-keys"}, {{"--pace-lines"}, "--pace-lines"},
        {{"--pty", "--gap-ms", "5", "--until-ms", "1"}, "--gap-ms"}, {{"--pty", "--linger-ms", "5", "--until-ms", "1"}, "--linger-ms"},
        {{"--bench", "--gap-ms", "5", "--bench-s", "0.01"}, "--gap-ms"}, {{"--bench-s", "3"}, "--bench-s"},
        {{"--bench", "--port", "2", "--bench-s", "0.01"}, "--port"}, {{"--bench", "--until-ms", "9", "--bench-s", "0.01"}, "--until-ms"},
        {{"--trace-every", "5"}, "--trace-every"},
    };
    for (const Row &row : rows) {
        SimRun r = run_sim("", row.args, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(std::string("foc-sim: ") + row.named, 0), 0u) << r.err;
    }
}

// A #reset that does not restart the firmware (settings kept, no second boot
// transcript), that restarts the run's clock or the trace, or that lets the
// next line in before the console is up again; comment lines typed.
TEST(FocSimBatch, ResetRebootsWhileTimeGoesOnAndCommentsAreSkipped)
{
    SimRun r = run_sim("# set a mode\nmode 3\n#\n#reset\n#\tthen ask for it\nmode\n", {"--trace", "t.csv"});
    const std::string boot = r.out.substr(0, r.out.find(kHelp) + kHelp.size());
    EXPECT_EQ(r.out, boot + "Mode:3=SPEED CL\r\n" + boot + "Mode:0=SPEED OPEN\r\n");
    // Rows every ms without a gap, to 3301 ms: the boot, "mode 3" (0.6 ms)
    // and its gap, the boot again, "mode" (0.4 ms), its gap and the linger.
    std::istringstream csv(r.trace);
    std::string row;
    std::getline(csv, row);
    int n = 0;
    for (; std::getline(csv, row); ++n) ASSERT_EQ(row.rfind(std::to_string(n) + ".000,", 0), 0u) << row;
    EXPECT_EQ(n, 3302);
}

// Examples that no longer do what their comments say: each runs as the
// README shows, and its outcome is checked on the console (and on the trace
// for the currents).
TEST(FocSimExamples, EachReachesItsOutcome)
{
    struct Expect { const char *pattern; double lo = 0, hi = 0; };   // the first group, if any, within [lo, hi]
    struct Row { const char *file; std::vector<Expect> console; double iv_mA = 0; } rows[] = {
        {"mode0-speed-open-loop", {{"deg=([0-9]+)", 185, 215}, {"deg=([0-9]+)", 250, 280}}},   // 10 rpm: 60 deg/s
        {"mode1-position-open-loop", {{"deg=([0-9]+)", 85, 90}}},
        {"mode2-current-open-loop", {{"IV2="}}, 50.0},
        {"mode3-speed-loop", {{"(?:\\r\\n【SET】[^\\r]*){10}"}, {"actrpm=([0-9]+)", 290, 310}}},
        {"mode4-position-loop", {{"deg=([0-9]+)", 85, 95}, {"deg=([0-9]+)", 295, 305}}},
        {"mode5-current-loop", {{"IV2="}}, -100.0},
        {"fault-nfault-low", {{"(?:WARN:nFault\\r\\n){10}"}, {"F103 FOC v2\\r\\n(?:(?!WARN)[\\s\\S])*【SET】:STOP"}}},
        {"button", {{"BTN:START\\r\\n【SET】:RUN"}, {"BTN:STOP\\r\\n【SET】:STOP"}, {"【SET】:STOP[^\\r]*\\r\\n$"}}},
        {"load-step", {{"actrpm=([0-9]+)", 290, 310}, {"actrpm=([0-9]+)", 290, 310}}},
        {"sensor-commands", {{"raw=0x4000 deg=90\\r\\nangle=0x[0-9A-F]+ turn=0\\r\\nreg 0x20 = 0x[0-9A-F]+\\r\\n"},
                             {"spi rx=0x"}, {"SPI SR=0x[0-9A-F]+ CR1=0xB6F CS=1\\r\\nENA=0 ENB=0 ENC=0 nSleep=0 nFault=1\\r\\n"}}},
    };
    for (const Row &row : rows) {
        std::ostringstream in;
        in << std::ifstream(SOURCE_DIR "/examples/" + std::string(row.file) + ".txt").rdbuf();
        ASSERT_FALSE(in.str().empty()) << row.file;
        SimRun r = run_sim(in.str(), {"--trace", "t.csv"});
        std::string rest = after_boot(r.out);
        for (const Expect &e : row.console) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(rest, m, std::regex(e.pattern))) << row.file << ": " << e.pattern << "\n" << rest;
            if (m.size() > 1) {
                EXPECT_GE(std::stod(m[1]), e.lo) << row.file << ": " << m[0];
                EXPECT_LE(std::stod(m[1]), e.hi) << row.file << ": " << m[0];
            }
            rest = m.suffix();
        }
        if (row.iv_mA == 0) continue;
        // Phase V while the motor runs, after its first 0.5 s.
        std::istringstream csv(r.trace);
        std::string line;
        std::getline(csv, line);
        double sum = 0;
        int running = 0, n = 0;
        while (std::getline(csv, line)) {
            std::vector<std::string> f;
            std::stringstream ls(line);
            for (std::string x; std::getline(ls, x, ',');) f.push_back(x);
            if (f[2] != "1" || ++running <= 500) continue;
            sum += std::stod(f[8]) * 1000.0;
            ++n;
        }
        ASSERT_GT(n, 100) << row.file;
        EXPECT_NEAR(sum / n, row.iv_mA, 6.0) << row.file;
    }
}
