// The boot transcript and the console end to end: the built foc-sim program
// fed through stdin, its stdout compared byte for byte.
#include <gtest/gtest.h>

#include <regex>

#include "app/foc_sim_run.hpp"

using namespace foc_sim_test;

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
    "rate <1~20>     - FOC 频率 kHz (默认4)\r\n"
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

const std::string kBanner = "\r\nF103 FOC v2\r\nDIAG: CCR1=0x0 CR1=0x1 SPI=0xB6F PB=0 PB0=1\r\n";

// Everything the console sent after the boot transcript.
std::string after_boot(const std::string &out)
{
    size_t p = out.find(kHelp);
    return p == std::string::npos ? std::string() : out.substr(p + kHelp.size());
}

// The same, split into lines.
std::vector<std::string> replies(const std::string &out)
{
    std::vector<std::string> lines;
    size_t p = out.find(kHelp);
    if (p == std::string::npos) return lines;
    p += kHelp.size();
    for (size_t e; (e = out.find("\r\n", p)) != std::string::npos; p = e + 2) lines.push_back(out.substr(p, e - p));
    if (p < out.size()) lines.push_back(out.substr(p));   // an unfinished last line
    return lines;
}

}  // namespace

// A firmware that prints the boot lines in another order, with a wrong
// register value or a calibration far from the sensor's zero, or that sends
// anything else before the first command.
TEST(FocSimBoot, TranscriptByteForByte)
{
    SimRun r = run_sim("");
    ASSERT_EQ(r.status, 0) << r.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("^IV20=0x([0-9A-F]+)\r\n"))) << r.out.substr(0, 40);
    const long zero = std::stol(m[1].str(), nullptr, 16);
    EXPECT_NEAR(zero, 2048, 64) << "mid-supply zero of the current sensor";
    EXPECT_EQ(kHelp.size(), 2263u);
    EXPECT_EQ(r.out.substr(m.length()), kBanner + kHelp);
}

// Keyword order and tests of the interpreter as an operator meets them:
// prefix words that shadow others, exact words with trailing spaces, case
// rule, clamping, the pending slot keeping only the last of two lines.
TEST(FocSimConsole, RepliesAcrossTheDispatchOrder)
{
    struct Row {
        const char *line, *reply;   // reply as a regular expression
    } rows[] = {
        {"on", "STARTED"},
        {"ON", "RUNNING"},
        {"Off", "STOPPED IV20=[0-9]+"},
        {"posemax 20", "posemax=20deg"},   // not "pos "
        {"pos 4000", "pos=3600deg"},
        {"pidspd 5", "pidspd kp=5 ki=1000 kd=0"},   // not "pid"
        {"pid", "pidspd kp=5 ki=1000 kd=0 pidpos kp=5 ki=100 kd=0 pidcur kp=10 ki=50 kd=0"},
        {"STAT", "\\? STAT"},
        {"stat ", "\\? stat "},
        {"Mode 3", "\\? Mode 3"},
        {"mode 7", "Mode:5=CUR CL"},
        {"rate 4k", "rate=4k"},
        {"vq  50", "vq=0"},   // the second space ends the number
        {"I", "I=500mA"},
        {"i 300", "I=300mA"},
        {"I300", "\\? I300"},
        {"iv2", "IV2=[0-9]+\\(z=[0-9]+,d=-?[0-9]+,-?[0-9]+mA\\)"},
    };
    std::string in;
    for (const Row &row : rows) in += std::string(row.line) + "\n";
    SimRun r = run_sim(in);
    ASSERT_EQ(r.status, 0) << r.err;
    auto got = replies(r.out);
    ASSERT_EQ(got.size(), std::size(rows)) << r.out;
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(std::regex_match(got[i], std::regex(rows[i].reply))) << "line '" << rows[i].line << "' got '" << got[i] << "'";
}

// A receive ring that holds 64 bytes instead of 63, drops the wrong byte or
// loses order when 64 bytes arrive while the foreground is busy sending.
TEST(FocSimConsole, BurstDuringHelpKeeps63Bytes)
{
    const std::string junk(58, 'x');
    // The burst is 58 x, CR, "stat", CR: 64 bytes typed while the help text
    // (about 0.2 s of output) holds the foreground. The final CR is lost, so
    // "stat" waits in the line buffer and the next line continues it.
    SimRun r = run_sim(script({"help", junk + "\rstat", "X"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(after_boot(r.out), kHelp + "? " + junk + "\r\n? statX\r\n");
}

// A pending slot that queues lines, or keeps the first of two that were
// completed in the same pass.
TEST(FocSimConsole, TwoLinesInOnePassOnlyTheLastRuns)
{
    // Both lines arrive while the help text holds the foreground.
    SimRun r = run_sim(script({"help", "vq 100\rvq 200", "vq"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(after_boot(r.out), kHelp + "vq=200\r\nvq=200\r\n");
}

// An over-long line that overruns the line buffer, is rejected whole, or
// leaves its tail to be read as the next line.
TEST(FocSimConsole, OverlongLineKeepsFirst63)
{
    std::string line;
    for (int i = 0; i < 70; ++i) line.push_back(static_cast<char>('A' + i % 26));
    SimRun r = run_sim(script({line, "mode"}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto got = replies(r.out);
    ASSERT_EQ(got.size(), 2u) << r.out;
    EXPECT_EQ(got[0], "? " + line.substr(0, 63));
    EXPECT_EQ(got[1], "Mode:0=SPEED OPEN");
}
