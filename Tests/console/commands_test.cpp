// The command interpreter: dispatch order and its traps, replies byte for
// byte, clamping, the gain syntaxes and the effect of each command on the
// control state and the hardware.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "console_bench.h"
#include "main.h"

namespace {

struct Row {
    std::vector<const char *> before;   // lines run first, replies dropped
    const char *line;
    const char *reply;
    std::function<void()> check;
    std::function<void()> setup = nullptr;
};

void run_rows(const std::vector<Row> &rows)
{
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string("line: \"") + row.line + "\"");
        ConsoleBench c;
        if (row.setup) row.setup();
        for (const char *l : row.before) c.cmd(l);
        EXPECT_EQ(c.cmd(row.line), row.reply);
        if (row.check) row.check();
    }
}

}  // namespace

// Fault caught: a start that resets the ramp when already running, a stop or
// mode change that leaves the motor running, a mode number used unclamped,
// or settings of the mode change missing.
TEST(Commands, MotorStartStopAndMode)
{
    run_rows({
        {{}, "ON", "STARTED\r\n", [] { EXPECT_EQ(motor_running, 1); }},
        {{}, "start", "STARTED\r\n", [] { EXPECT_EQ(motor_running, 1); }},
        {{"ON"}, "on", "RUNNING\r\n", [] { EXPECT_EQ(motor_running, 1); }},
        {{"start"}, "stop", "STOPPED\r\n", [] { EXPECT_EQ(motor_running, 0); }},
        {{}, "stop", "STOPPED\r\n", [] { EXPECT_EQ(motor_running, 0); }},
        {{}, "mode", "Mode:0=SPEED OPEN\r\n", nullptr},
        {{"mode 2"}, "mode", "Mode:2=CUR OPEN\r\n", nullptr},
        {{"ON", "vq 500"}, "mode 3", "Mode:3=SPEED CL\r\n",
         [] {
             EXPECT_EQ(foc_mode, 3);
             EXPECT_EQ(motor_running, 0);
             EXPECT_EQ(foc_vq, 0.1f);
             EXPECT_EQ(pid_spd_sum, 0.0f);
             EXPECT_EQ(pid_spd_last_err, 0.0f);
             EXPECT_EQ(actual_rpm, 0.0f);
             EXPECT_EQ(total_turns, 0);
             EXPECT_EQ(pos_hold, 0);
         },
         [] {
             pid_spd_sum = 3.0f;
             pid_spd_last_err = 2.0f;
             actual_rpm = 50.0f;
             total_turns = 4;
             pos_hold = 1;
         }},
        {{}, "mode 7", "Mode:5=CUR CL\r\n", [] { EXPECT_EQ(foc_mode, 5); }},
        {{"mode 3"}, "mode -1", "Mode:0=SPEED OPEN\r\n", [] { EXPECT_EQ(foc_mode, 0); }},
        {{"mode 3"}, "mode x", "Mode:0=SPEED OPEN\r\n", [] { EXPECT_EQ(foc_mode, 0); }},
        {{"pidpos 9,9,9", "pos 45"}, "mode   4", "Mode:4=POS CL\r\n",
         [] {
             EXPECT_EQ(foc_mode, 4);
             EXPECT_EQ(foc_vq, 0.08f);
             EXPECT_EQ(pid_pos_kp, 0.5f);
             EXPECT_EQ(pid_pos_ki, 100.0f);
             EXPECT_EQ(pid_pos_kd, 0.0f);
             EXPECT_EQ(pos_ref_deg, 45.0f);   // the target stays
         }},
        {{}, "mode 1", "Mode:1=POS OPEN\r\n", [] { EXPECT_EQ(posopen_virt_deg, 0.0f); }},
    });
}

// Fault caught: a missing clamp or one applied in the wrong order, spaces
// skipped where they must not be, or a reply showing the typed instead of
// the stored value.
TEST(Commands, SettingsClampAndReply)
{
    run_rows({
        {{}, "pos 4000", "pos=3600deg\r\n", [] { EXPECT_EQ(pos_ref_deg, 3600.0f); }},
        {{"pos 90"}, "pos  90", "pos=0deg\r\n", [] { EXPECT_EQ(pos_ref_deg, 0.0f); }},
        {{}, "posemax 0", "posemax=1deg\r\n", [] { EXPECT_EQ(pos_err_max, 1.0f); }},
        {{}, "posemax 20", "posemax=20deg\r\n",
         [] {
             EXPECT_EQ(pos_err_max, 20.0f);
             EXPECT_EQ(pos_ref_deg, 0.0f);
         }},
        {{}, "posemax 999", "posemax=180deg\r\n", nullptr},
        {{}, "vq", "vq=80\r\n", nullptr},
        {{}, "vq 5000", "vq=5000\r\n", [] { EXPECT_EQ(foc_vq, 5.0f); }},
        {{}, "vq ", "vq=0\r\n", [] { EXPECT_EQ(foc_vq, 0.0f); }},
        {{}, "vq 4294967295", "vq=0\r\n", [] { EXPECT_EQ(foc_vq, 0.0f); }},   // wraps to -1
        {{}, "vq 120", "vq=120\r\n", [] { EXPECT_EQ(foc_vq, 0.12f); }},
        {{}, "ramp", "ramp=100\r\n", nullptr},
        {{}, "ramp 5000", "ramp=1000\r\n", [] { EXPECT_EQ(ramp_rate, 1000); }},
        {{}, "ramp 0", "ramp=0\r\n", [] { EXPECT_EQ(ramp_rate, 0); }},
        {{}, "hold", "hold=0\r\n", nullptr},
        {{}, "hold 1000", "hold=999\r\n", [] { EXPECT_EQ(hold_vq, 0.999f); }},
        {{"hold 250"}, "hold", "hold=250\r\n", nullptr},
        {{}, "rpm", "rpm=100\r\n", nullptr},
        {{}, "rpm -100", "rpm=0\r\n", [] { EXPECT_EQ(speed_set, 0.0f); }},
        {{}, "rpm 300", "rpm=300\r\n", [] { EXPECT_EQ(speed_set, 300.0f); }},
        {{}, "sp", "sp=100\r\n", nullptr},
        {{}, "sp 0", "sp=1\r\n", [] { EXPECT_EQ(foc_speed, 0.1f); }},
        {{}, "sp 10000", "sp=9999\r\n", [] { EXPECT_EQ(foc_speed, 999.9f); }},
        {{}, "I", "I=500mA\r\n", nullptr},
        {{}, "i 300", "I=300mA\r\n", [] { EXPECT_EQ(cur_tgt_mA, 300.0f); }},
        {{}, "I   42", "I=42mA\r\n", [] { EXPECT_EQ(cur_tgt_mA, 42.0f); }},
        {{}, "I -5", "I=0mA\r\n", [] { EXPECT_EQ(cur_tgt_mA, 0.0f); }},
        {{}, "rate", "rate=4k\r\n", nullptr},
        {{}, "rate 4k", "rate=4k\r\n", [] { EXPECT_EQ(foc_rate, 4); }},
        {{}, "rate 0", "rate=1k\r\n", [] { EXPECT_EQ(foc_rate, 1); }},
        {{}, "rate ", "rate=1k\r\n", [] { EXPECT_EQ(foc_rate, 1); }},
        {{}, "rate 50", "rate=20k\r\n", [] { EXPECT_EQ(foc_rate, 20); }},
    });
}

// Fault caught: exact keywords taken as prefixes, keywords matched in the
// wrong case direction, or a match found out of the dispatch order; an
// unknown line must change nothing and be echoed as received.
TEST(Commands, UnrecognisedLinesAndOrderTraps)
{
    const char *const unknown[] = {
        "HELP", "Mode 3", "STAT", "stat ", "ON ", "pos", "posemax", "reg", "wri", "spi",
        "I300", "pid ", "iv2x", "echo", "cs", "xyz", "pidspd5", "sens5", "Off!", "\xE6\x88\x91",
    };
    for (const char *line : unknown) {
        SCOPED_TRACE(line);
        ConsoleBench c;
        EXPECT_EQ(c.cmd(line), std::string("? ") + line + "\r\n");
        EXPECT_EQ(motor_running, 0);
        EXPECT_EQ(cur_tgt_mA, 500.0f);
    }
    run_rows({
        // "pid" is exact only: "pidspd 5" reaches the speed gains.
        {{}, "pidspd 5", "pidspd kp=5 ki=1000 kd=0\r\n", nullptr},
        // "iv2" is not "iv"; "Off" is "OFF"; "h" is help.
        {{}, "iu", "IU channel PA0 disabled\r\n", nullptr},
        {{}, "iw", "IW channel PA2 disabled\r\n", nullptr},
        {{}, "actrpm", "actrpm=0\r\n", nullptr},
        {{}, "turn", "angle=0x0 turn=0\r\n", nullptr},
        {{}, "echo on", "echo ON\r\n", [] { EXPECT_EQ(echo_on, 1); }},
        {{"echo on"}, "echo off", "echo OFF\r\n", [] { EXPECT_EQ(echo_on, 0); }},
        {{}, "sens", "sens=2200/1000\r\n", nullptr},
        {{}, "sens 0", "sens=2200/1000\r\n", [] { EXPECT_EQ(mcs1805_sens_factor, 2.2f); }},
        {{}, "sens   1000", "sens=1000/1000\r\n", [] { EXPECT_EQ(mcs1805_sens_factor, 1.0f); }},
        {{"sens 1000"}, "sens 2200", "sens=2200/1000\r\n", [] { EXPECT_EQ(mcs1805_sens_factor, 2.2f); }},
        {{}, "actrpm", "actrpm=-3\r\n", nullptr, [] { actual_rpm = -3.7f; }},
        {{}, "turn", "angle=0x0 turn=-2\r\n", nullptr, [] { total_turns = -2; }},
    });
}

// Fault caught: the named and positional gain forms disagreeing, a bound
// applied to kd, names recognised out of order, scaling of the position
// gains lost, or the speed integrator left charged after a gain change.
TEST(Commands, GainSyntaxes)
{
    run_rows({
        {{}, "pidspd", "pidspd kp=10 ki=1000 kd=0\r\n", nullptr},
        {{}, "pidspd kp=20 ki=500 kd=3", "pidspd kp=20 ki=500 kd=3\r\n",
         [] {
             EXPECT_EQ(pid_spd_kp, 20.0f);
             EXPECT_EQ(pid_spd_ki, 500.0f);
             EXPECT_EQ(pid_spd_kd, 3.0f);
             EXPECT_EQ(pid_spd_sum, 0.0f);
         },
         [] { pid_spd_sum = 12.0f; }},
        {{}, "pidspd 20,500,3", "pidspd kp=20 ki=500 kd=3\r\n", nullptr},
        {{}, "pidspd  20 500 3", "pidspd kp=20 ki=500 kd=3\r\n", nullptr},
        {{"pidspd 1,2,3"}, "pidspd 10, 1000 ,0", "pidspd kp=10 ki=1000 kd=0\r\n", nullptr},
        {{}, "pidspd 0,0", "pidspd kp=0 ki=0 kd=7\r\n",
         [] {
             EXPECT_EQ(pid_spd_kp, 0.1f);
             EXPECT_EQ(pid_spd_ki, 0.1f);
             EXPECT_EQ(pid_spd_kd, 7.0f);
         },
         [] { pid_spd_kd = 7.0f; }},
        {{}, "pidspd kp=30 40 50", "pidspd kp=30 ki=40 kd=50\r\n", nullptr},
        {{}, "pidspd kp=30 ki=40 50", "pidspd kp=30 ki=40 kd=50\r\n", nullptr},
        {{}, "pidspd kp=30,,ki=40,kd=50", "pidspd kp=30 ki=40 kd=50\r\n", nullptr},
        {{}, "pidspd KP=30", "pidspd kp=0 ki=1000 kd=0\r\n", nullptr},   // names are lowercase only
        {{}, "pidpos", "pidpos kp=5 ki=100 kd=0\r\n", nullptr},
        {{}, "pidpos 5,100,0", "pidpos kp=5 ki=100 kd=0\r\n",
         [] {
             EXPECT_EQ(pid_pos_kp, 0.5f);
             EXPECT_EQ(pid_pos_ki, 100.0f);
             EXPECT_EQ(pid_pos_kd, 0.0f);
         },
         [] { pid_pos_kp = 2.0f; }},
        {{}, "pidpos 0,0,5", "pidpos kp=1 ki=0 kd=5\r\n",
         [] {
             EXPECT_EQ(pid_pos_kp, 0.1f);
             EXPECT_EQ(pid_pos_ki, 0.00001f);
             EXPECT_EQ(pid_pos_kd, 0.0005f);
         }},
        {{}, "pidcur kp=10 kd=5", "pidcur kp=10 ki=50 kd=0\r\n", [] { EXPECT_EQ(pid_cur_kd, 0.0f); }},
        {{}, "pidcur x", "pidcur kp=0 ki=50 kd=0\r\n", [] { EXPECT_EQ(pid_cur_kp, 0.1f); }},
        {{}, "pidcur 15", "pidcur kp=15 ki=50 kd=0\r\n",
         [] {
             EXPECT_EQ(pid_spd_sum, 0.0f);
             EXPECT_EQ(cur_cl_integral, 4.0f);   // the current loop's own integrator stays
         },
         [] {
             control_timer_pause();   // the stopped tick would clear the integrators
             pid_spd_sum = 1.0f;
             cur_cl_integral = 4.0f;
         }},
        {{}, "pid", "pidspd kp=10 ki=1000 kd=0 pidpos kp=5 ki=100 kd=0 pidcur kp=10 ki=50 kd=0\r\n", nullptr},
    });
}

// Fault caught: the rate command leaving the timer at the old period, or
// 1 kHz programmed as a reload that does not fit the 16-bit register.
TEST(Commands, RateProgramsTheControlTimer)
{
    for (int n : {1, 2, 4, 7, 20}) {
        SCOPED_TRACE(n);
        ConsoleBench c;
        c.cmd("rate " + std::to_string(n));
        c.wait_ms(2.0);   // a preloaded prescaler takes effect at the next update
        EXPECT_EQ(c.b.mcu.tim2.update_period(), static_cast<sim::Cycles>(72000 / n));
        EXPECT_TRUE(c.b.mcu.tim2.cr1() & 1u);
    }
}

// Fault caught: the help command not sending the whole text, or sending it
// for a near miss.
TEST(Commands, HelpAndStatusAreSentWhole)
{
    ConsoleBench c;
    cmd_help();
    c.wait_ms(400.0);
    const std::string help = c.b.take_output(1);
    EXPECT_EQ(help.size(), 2263u);
    EXPECT_EQ(c.cmd("help"), help);
    EXPECT_EQ(c.cmd("h"), help);
    cmd_stat();
    c.wait_ms(30.0);
    const std::string stat = c.b.take_output(1);
    EXPECT_EQ(c.cmd("stat"), stat);
}

// Fault caught: zero calibrations with the wrong sample count or shift, the
// current line with a wrong difference or sign, or "adc" converting while the
// motor runs instead of taking the tick's sample.
TEST(Commands, CurrentChannelCommands)
{
    ConsoleBench c;
    adc_zero_iv2 = 100;
    uint32_t before = c.b.mcu.adc1.conversions;
    const std::string off = c.cmd("Off");
    EXPECT_EQ(off, "STOPPED IV20=" + std::to_string(adc_zero_iv2) + "\r\n");
    EXPECT_EQ(c.b.mcu.adc1.conversions - before, 64u);   // 32 reads, two conversions each
    EXPECT_NEAR(adc_zero_iv2, c.zero_counts(), 3.0);

    adc_zero_iv2 = 100;
    before = c.b.mcu.adc1.conversions;
    const std::string cal = c.cmd("calibrate");
    EXPECT_EQ(cal, "Calibrated: IV20=" + std::to_string(adc_zero_iv2) + "\r\n");
    EXPECT_EQ(c.b.mcu.adc1.conversions - before, 128u);
    EXPECT_NEAR(adc_zero_iv2, c.zero_counts(), 3.0);

    // No current flows: the difference after a calibration is near 0.
    const std::string iv2 = c.cmd("iv2");
    int v = 0, z = 0, d = 0, ma = 0;
    ASSERT_EQ(std::sscanf(iv2.c_str(), "IV2=%d(z=%d,d=%d,%dmA)", &v, &z, &d, &ma), 4) << iv2;
    EXPECT_EQ(z, adc_zero_iv2);
    EXPECT_EQ(d, v - z);
    EXPECT_LE(std::abs(d), 4);
    EXPECT_EQ(ma, MCS1805_I_mA(static_cast<uint16_t>(v), static_cast<int16_t>(z)));
    EXPECT_EQ(iv2, "IV2=" + std::to_string(v) + "(z=" + std::to_string(z) + ",d=" + std::to_string(d) + "," +
                       std::to_string(ma) + "mA)\r\n");

    const std::string iv = c.cmd("iv");
    ASSERT_EQ(std::sscanf(iv.c_str(), "IV=%d", &v), 1) << iv;
    EXPECT_EQ(iv, "IV=" + std::to_string(v) + "(MP6540 unused, MCS1805 on iv2 command)\r\n");

    // Stopped: eight fresh samples. Running: the tick's last sample.
    before = c.b.mcu.adc1.conversions;
    const std::string head = "I_U,I_V,I_W channels disabled (only IV2 active on PA1)\r\n";
    std::string adc = c.cmd("adc");
    EXPECT_EQ(adc.substr(0, head.size()), head);
    EXPECT_EQ(c.b.mcu.adc1.conversions - before, 16u);

    // Reported as if running, with the tick held off so that the sample stays.
    adc_zero_iv2 = 2048;
    control_timer_pause();
    motor_running = 1;
    iv2_cache = 2148;
    before = c.b.mcu.adc1.conversions;
    adc = c.cmd("adc");
    control_timer_resume();
    motor_running = 0;
    EXPECT_EQ(c.b.mcu.adc1.conversions, before);
    EXPECT_EQ(adc, head + "IV2=2148(z=2048,d=100,-671mA)\r\n");
}

// Fault caught: a signed 16-bit difference computed in a wider type.
TEST(Commands, CurrentLineDifferenceIsSigned16)
{
    ConsoleBench c;
    motor_running = 1;
    control_timer_pause();
    iv2_cache = 40000;
    adc_zero_iv2 = -30000;
    const std::string adc = c.cmd("adc");
    EXPECT_NE(adc.find("IV2=40000(z=-30000,d=4464,"), std::string::npos) << adc;
}
