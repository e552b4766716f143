// The status line and the help text.
#include <gtest/gtest.h>

#include <string>

#include "console_bench.h"
#include "main.h"

namespace {

// The status line with the control tick held off, so that the values set by
// the test are the ones printed.
std::string status(ConsoleBench &c)
{
    cmd_stat();
    c.wait_ms(1.0);
    return c.b.take_output(1);
}

uint64_t fnv1a(const std::string &s)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char ch : s) {
        h ^= ch;
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

// Fault caught: a piece missing, in the wrong order or with the wrong scale,
// the position error not wrapped, rounding instead of truncation, or the two
// halves split over two lines.
TEST(Status, PositionLoopLineByteForByte)
{
    ConsoleBench c;
    control_timer_pause();
    motor_running = 1;
    foc_mode = 4;
    pos_ref_deg = 90.0f;
    pid_pos_kp = 0.5f;
    pos_err_max = 30.0f;
    foc_vq = 0.1f;
    foc_speed = 10.0f;
    foc_rate = 4;
    ramp_rate = 100;
    cur_tgt_mA = 500.0f;
    ramp_vq = 0.1f;
    actual_rpm = -3.7f;
    total_turns = 2;
    ma600_ema_deg = 275.5f;
    mcs1805_sens_factor = 2.0f;   // two counts below the zero read as 12 mA
    adc_zero_iv2 = 2048;
    iv2_cache = 2046;
    ma600_mech_deg = 275.9f;
    T4_CCR1 = 812;
    T4_CCR2 = 790;
    T4_CCR3 = 798;
    EXPECT_EQ(status(c),
              "【SET】:RUN M=4 POS_CL pos=90deg kp=5 emax=30deg vq=100 sp=100 r=4kHz ramp=100 ref_deg=90 "
              "Iref=500mA【ACT】: vq=100 rpm=-3 REV=2 pos=275deg err=174deg IV2=12mA MA=275 PWM=812,790,798\r\n");
}

// Fault caught: mode-dependent pieces shown in the wrong modes, a wrap
// applied in mode 1, or a sign printed for a fraction that truncates to 0.
TEST(Status, ModeDependentPieces)
{
    ConsoleBench c;
    control_timer_pause();
    EXPECT_EQ(status(c),
              "【SET】:STOP M=0 SPD_OPEN vq=80 sp=100 r=4kHz ramp=100 Iref=500mA"
              "【ACT】: vq=0 rpm=0 REV=0 IV2=13750mA MA=0 PWM=0,0,0\r\n");

    foc_mode = 4;
    pos_ref_deg = 10.0f;
    ma600_ema_deg = 350.0f;
    EXPECT_NE(status(c).find(" pos=350deg err=20deg IV2="), std::string::npos);
    pos_ref_deg = 350.0f;
    ma600_ema_deg = 10.0f;
    EXPECT_NE(status(c).find(" err=-20deg"), std::string::npos);
    pos_ref_deg = 190.0f;
    ma600_ema_deg = 10.0f;
    EXPECT_NE(status(c).find(" err=180deg"), std::string::npos);

    foc_mode = 1;
    pos_ref_deg = 10.0f;
    posopen_virt_deg = 350.0f;
    const std::string m1 = status(c);
    EXPECT_NE(m1.find(":STOP M=1 POS_OPEN pos=10deg vq=80 "), std::string::npos) << m1;
    EXPECT_NE(m1.find(" REV=0 pos=350deg err=-340deg IV2="), std::string::npos) << m1;
    EXPECT_EQ(m1.find("ref_"), std::string::npos);

    foc_mode = 3;
    speed_cl_ref = 123.9f;
    ramp_vq = -0.0007f;
    const std::string m3 = status(c);
    EXPECT_NE(m3.find("ramp=100 ref_rpm=123 Iref=500mA"), std::string::npos) << m3;
    EXPECT_NE(m3.find("【ACT】: vq=0 rpm="), std::string::npos) << m3;
    EXPECT_EQ(m3.find("pos="), std::string::npos);

    for (int mode : {0, 2, 5}) {
        foc_mode = mode;
        const std::string s = status(c);
        EXPECT_EQ(s.find("pos="), std::string::npos) << s;
        EXPECT_EQ(s.find("ref_"), std::string::npos) << s;
    }
    foc_mode = 2;
    EXPECT_EQ(status(c).rfind("【SET】:STOP M=2 CUR_OPEN vq=", 0), 0u);
    foc_mode = 5;
    EXPECT_EQ(status(c).rfind("【SET】:STOP M=5 CUR_CL vq=", 0), 0u);
}

// Fault caught: any byte of the help text changed, lost or added, or the
// text cut short.
TEST(Status, HelpTextIsExact)
{
    ConsoleBench c;
    cmd_help();
    c.wait_ms(400.0);
    const std::string help = c.b.take_output(1);
    EXPECT_EQ(help.size(), 2263u);
    EXPECT_EQ(help.rfind("\r\n=== FOC 命令 ===\r\nON              - 启动电机\r\n", 0), 0u);
    EXPECT_EQ(help.substr(help.size() - 21), "=================\r\n\r\n");
    size_t lines = 0;
    for (size_t p = 0; (p = help.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
    EXPECT_EQ(lines, 44u);
    EXPECT_NE(help.find("\r\nrpm <-9999~9999>- 速度闭环目标 RPM (默认100)\r\n"), std::string::npos);
    EXPECT_NE(help.find("\r\n                 默认: Kp=5(0.5)    Ki=100(0.1)  Kd=0\r\n"), std::string::npos);
    EXPECT_NE(help.find("\r\nspi 0xXXXX 0xYYYY   - 多帧连续 SPI 读写 (CS 保持低)\r\n"), std::string::npos);
    EXPECT_EQ(fnv1a(help), 0xde4c44a1eb33a7d9ull) << std::hex << fnv1a(help);
    EXPECT_EQ(c.b.output(2), help);
}
