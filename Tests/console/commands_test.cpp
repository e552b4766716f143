// The command interpreter: replies across the dispatch order, clamping, gains, rate, current channel, status, help.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "bench.hpp"

namespace {

// One line on a fresh board after an optional earlier one; optionally the stored value it must leave.
struct Row {
    const char *before, *line, *reply;
    std::function<float()> stored = nullptr;
    float want = 0.0f;
};
#define V(var) [] { return static_cast<float>(var); }

void run_rows(const std::vector<Row> &rows)
{
    for (const auto &r : rows) {
        Bench c;
        if (r.before) c.cmd(r.before);
        EXPECT_EQ(c.cmd(r.line), r.reply);
        if (r.stored) { EXPECT_EQ(r.stored(), r.want) << r.line; }
    }
}

}  // namespace

// Fault caught: exact keywords taken as prefixes ("pid" before "pidspd 5"), a match out of the dispatch order or in
// the wrong case direction ('@' matches a keyword's space, but "I" reads its number only after a real space), spaces
// skipped where they must not be, a clamp missing or in the wrong order, a reply showing the typed value instead of
// the stored one, an unknown line that changes anything, the help text cut short or naming another rate limit than
// the rate command's, or a rate command that leaves the control timer at the old period (1 kHz needs a prescaler).
TEST(Commands, RepliesAcrossTheDispatchOrder)
{
    run_rows({
        {nullptr, "vq", "vq=80\r\n"}, {nullptr, "ramp", "ramp=100\r\n"}, {nullptr, "rpm", "rpm=100\r\n"},
        {nullptr, "sp", "sp=100\r\n"}, {nullptr, "I", "I=500mA\r\n"}, {nullptr, "rate", "rate=4k\r\n"},
        {nullptr, "actrpm", "actrpm=0\r\n"}, {nullptr, "turn", "angle=0x0 turn=0\r\n"}, {"ON", "on", "RUNNING\r\n"},
        {nullptr, "iu", "IU channel PA0 disabled\r\n"}, {nullptr, "iw", "IW channel PA2 disabled\r\n"},
        {nullptr, "sens", "sens=2200/1000\r\n"}, {"mode 2", "mode", "Mode:2=CUR OPEN\r\n"},
        {nullptr, "pidspd 5", "pidspd kp=5 ki=1000 kd=0\r\n"}, {nullptr, "ON", "STARTED\r\n", V(motor_running), 1},
        {nullptr, "start", "STARTED\r\n", V(motor_running), 1}, {"start", "stop", "STOPPED\r\n", V(motor_running), 0},
        {nullptr, "mode 7", "Mode:5=CUR CL\r\n", V(foc_mode), 5},
        {"mode 3", "mode -1", "Mode:0=SPEED OPEN\r\n", V(foc_mode), 0},
        {nullptr, "pos 4000", "pos=3600deg\r\n", V(pos_ref_deg), 3600},
        {"pos 90", "pos  90", "pos=0deg\r\n", V(pos_ref_deg), 0},
        {nullptr, "posemax 0", "posemax=1deg\r\n", V(pos_err_max), 1},
        {nullptr, "posemax 999", "posemax=180deg\r\n", V(pos_err_max), 180},
        {nullptr, "vq 5000", "vq=5000\r\n", V(foc_vq), 5.0f}, {nullptr, "vq 4294967295", "vq=2147483647\r\n", V(foc_vq), 2147483.647f},
        {nullptr, "ramp 5000", "ramp=1000\r\n", V(ramp_rate), 1000}, {"hold 250", "hold", "hold=250\r\n"},
        {nullptr, "hold 1000", "hold=999\r\n", V(hold_vq), 0.999f}, {nullptr, "rpm -100", "rpm=0\r\n", V(speed_set), 0},
        {nullptr, "rpm 4294967096", "rpm=2147483647\r\n", V(speed_set), 2147483648.0f},
        {nullptr, "sp 0", "sp=1\r\n", V(foc_speed), 0.1f}, {nullptr, "sp 10000", "sp=9999\r\n", V(foc_speed), 999.9f},
        {nullptr, "i   42", "I=42mA\r\n", V(cur_tgt_mA), 42}, {nullptr, "i@42", "I=500mA\r\n", V(cur_tgt_mA), 500},
        {nullptr, "pos@90", "pos=90deg\r\n", V(pos_ref_deg), 90}, {nullptr, "I ", "I=0mA\r\n", V(cur_tgt_mA), 0}, {nullptr, "rate 0", "rate=1k\r\n", V(foc_rate), 1},
        {nullptr, "rate 50", "rate=7k\r\n", V(foc_rate), 7},
        {nullptr, "rate 8", "rate=7k\r\n", V(foc_rate), 7}, {nullptr, "rate 7", "rate=7k\r\n", V(foc_rate), 7}, {nullptr, "echo on", "echo ON\r\n", V(echo_on), 1},
        {"echo on", "echo off", "echo OFF\r\n", V(echo_on), 0},
        {"sens   1000", "sens 0", "sens=1000/1000\r\n", V(mcs1805_sens_factor), 1.0f},
    });
    for (const char *line : {"HELP", "Mode 3", "ON ", "pos", "posemax", "reg", "wri", "spi", "I300", "pid ", "iv2x",
                             "echo", "cs", "pidspd5", "sens5", "Off!", "\xE6\x88\x91"}) {
        Bench c;
        EXPECT_EQ(c.cmd(line), std::string("? ") + line + "\r\n");
        EXPECT_TRUE(motor_running == 0 && cur_tgt_mA == 500.0f) << line;
    }
    Bench c;
    const std::string help = c.cmd("help");
    EXPECT_EQ(help.size(), 2263u);
    EXPECT_EQ(c.cmd("h"), help);
    EXPECT_NE(help.find("rate <1~" + std::to_string(FOC_RATE_MAX_KHZ) + ">  "), std::string::npos);
    for (int n : {1, FOC_RATE_MAX_KHZ}) {
        c.cmd("rate " + std::to_string(n));
        c.run_ms(2.0);   // a preloaded prescaler takes effect at the next update
        EXPECT_EQ(c.b.mcu.tim2.update_period(), static_cast<sim::Cycles>(72000 / n)) << n;
        EXPECT_TRUE(c.b.mcu.tim2.cr1() & 1u) << n;
    }
}

// Fault caught: a mode change that leaves the motor running or a loop memory charged, or misses the position-loop
// presets (the target stays).
TEST(Commands, ModeChangeResetsTheLoops)
{
    Bench c;
    for (const char *line : {"ON", "pidpos 9,9,9", "pos 45"}) c.cmd(line);
    control_timer_pause();   // the values set here are the ones the command sees
    pid_spd_sum = 3.0f; pid_spd_last_err = 2.0f; actual_rpm = 50.0f; posopen_virt_deg = 7.0f;
    total_turns = 4; pos_hold = 1;
    EXPECT_EQ(c.cmd("mode   4"), "Mode:4=POS CL\r\n");
    const float after[][2] = {{float(motor_running), 0}, {float(total_turns), 0}, {float(pos_hold), 0},
        {pid_spd_sum, 0}, {pid_spd_last_err, 0}, {actual_rpm, 0}, {posopen_virt_deg, 0}, {foc_vq, 0.08f},
        {pid_pos_kp, 0.5f}, {pid_pos_ki, 100.0f}, {pid_pos_kd, 0.0f}, {pos_ref_deg, 45.0f}};
    for (size_t i = 0; i < sizeof after / sizeof after[0]; ++i) EXPECT_EQ(after[i][0], after[i][1]) << "row " << i;
    c.cmd("mode 3");
    EXPECT_EQ(foc_vq, 0.1f);
}

// Fault caught: the named and positional forms disagreeing, names taken out of order or in upper case, a bound
// applied to kd, the position gains' scaling lost, or a gain change that leaves the speed integrator charged (or
// clears the current loop's own).
TEST(Commands, GainSyntaxes)
{
    const char *spd = "pidspd kp=20 ki=500 kd=3\r\n", *spd2 = "pidspd kp=30 ki=40 kd=50\r\n";
    run_rows({
        {nullptr, "pidspd kp=20 ki=500 kd=3", spd, V(pid_spd_kd), 3},
        {nullptr, "pidspd 20,500,3", spd, V(pid_spd_ki), 500}, {nullptr, "pidspd  20 500 3", spd},
        {"pidspd 1,2,7", "pidspd 0,0", "pidspd kp=0 ki=0 kd=7\r\n", V(pid_spd_kp), 0.1f},
        {nullptr, "pidspd kp=30 40 50", spd2}, {nullptr, "pidspd kp=30 ki=40 50", spd2},
        {nullptr, "pidspd kp=30,,ki=40,kd=50", spd2}, {nullptr, "pidspd KP=30", "pidspd kp=0 ki=1000 kd=0\r\n"},
        {"pidpos 9", "pidpos 5,100,0", "pidpos kp=5 ki=100 kd=0\r\n", V(pid_pos_kp), 0.5f},
        {nullptr, "pidpos 0,0,5", "pidpos kp=1 ki=0 kd=5\r\n", V(pid_pos_ki), 0.00001f},
        {nullptr, "pidpos 1,1,5", "pidpos kp=1 ki=1 kd=5\r\n", V(pid_pos_kd), 0.0005f},
        {nullptr, "pidcur kp=10 kd=5", "pidcur kp=10 ki=50 kd=0\r\n"},
        {nullptr, "pidcur x", "pidcur kp=0 ki=50 kd=0\r\n", V(pid_cur_kp), 0.1f},
        {nullptr, "pidcur 4294967296,99999999999,4294967295", "pidcur kp=2147483647 ki=2147483647 kd=2147483647\r\n",
         V(pid_cur_kd), 2147483648.0f},
        {nullptr, "pid", "pidspd kp=10 ki=1000 kd=0 pidpos kp=5 ki=100 kd=0 pidcur kp=10 ki=50 kd=0\r\n"},
    });
    Bench c;
    control_timer_pause();   // the stopped tick would clear both integrators
    pid_spd_sum = 1.0f; cur_cl_integral = 4.0f;
    c.cmd("pidcur 15");
    EXPECT_EQ(pid_spd_sum, 0.0f);
    EXPECT_EQ(cur_cl_integral, 4.0f);
}

// Fault caught: a stored setting shown truncated instead of rounded (vq 251 read back as 250, 0.251f times 1000 being
// 250.99998), by its command or in the status line, anywhere in the range the command takes (after its clamp).
TEST(Commands, SettingsReadBackAsTyped)
{
    Bench c;
    control_timer_pause();   // nothing but the commands runs
    U1_BRR = 16;             // replies at 4.5 Mbaud, and none on port 2
    U2_CR1 = 0;
    auto say = [&](const std::string &line) {
        char buf[LINE_SIZE] = {};
        std::strncpy(buf, line.c_str(), LINE_SIZE - 1);
        cmd_parse(buf);
        c.run_ms(0.01);
        return c.b.take_output(1);
    };
    // "sens 0" changes nothing, so its range starts at 1.
    const struct { const char *set, *show, *head, *tail; int from, lo, hi; } rows[] = {
        {"vq ", "vq", "vq=", "", 0, 0, 9999}, {"hold ", "hold", "hold=", "", 0, 0, 999},
        {"sp ", "sp", "sp=", "", 0, 1, 9999}, {"sens ", "sens", "sens=", "/1000", 1, 1, 9999},
        {"pidpos ", "pidpos", "pidpos kp=", " ki=100 kd=0", 0, 1, 9999},
        {"pidpos 5,100,", "pidpos", "pidpos kp=5 ki=100 kd=", "", 0, 0, 9999},
    };
    for (const auto &r : rows) {
        for (int n = r.from; n <= 9999; ++n) {
            const std::string set = say(r.set + std::to_string(n)), show = say(r.show);
            const std::string want = r.head + std::to_string(std::clamp(n, r.lo, r.hi)) + r.tail + "\r\n";
            if (show != want || set != want) {
                ADD_FAILURE() << r.set << n << ": set " << set << " shown " << show;
                break;
            }
        }
    }
    // The status line shows vq, sp and (in mode 4) the position gain kp; checked where the stored value times its
    // scale is not the typed number itself.
    say("mode 4");
    for (int n = 1; n <= 9999; ++n) {
        const float back = static_cast<float>(n) / 1000.0f * 1000.0f, back10 = static_cast<float>(n) / 10.0f * 10.0f;
        if (back == static_cast<float>(n) && back10 == static_cast<float>(n) && n != 9999) continue;
        const std::string v = std::to_string(n);
        say("vq " + v);
        say("sp " + v);
        say("pidpos " + v);
        const std::string stat = say("stat");
        EXPECT_NE(stat.find(" kp=" + v + " emax=30deg vq=" + v + " sp=" + v + " r="), std::string::npos) << stat;
    }
}

// Fault caught: zero calibrations with the wrong sample count or shift, a current line with a wrong or wider than
// 16-bit difference, or "adc" converting while the motor runs instead of taking the tick's sample.
TEST(Commands, CurrentChannelCommands)
{
    Bench c;
    const auto &p = c.b.plant.params;
    const double zero = (p.current_zero_v + p.current_offset_mv * 1e-3) / 3.3 * 4096.0;
    const struct { const char *line, *reply; uint32_t conversions; } cals[] = {
        {"Off", "STOPPED IV20=", 64u}, {"calibrate", "Calibrated: IV20=", 128u}};   // two per read
    for (const auto &r : cals) {
        adc_zero_iv2 = 100;
        const uint32_t before = c.b.mcu.adc1.conversions;
        const std::string reply = c.cmd(r.line);   // sets the zero it shows
        EXPECT_EQ(reply, r.reply + std::to_string(adc_zero_iv2) + "\r\n");
        EXPECT_EQ(c.b.mcu.adc1.conversions - before, r.conversions);
        EXPECT_NEAR(adc_zero_iv2, zero, 3.0);
    }
    const std::string head = "I_U,I_V,I_W channels disabled (only IV2 active on PA1)\r\n";
    uint32_t before = c.b.mcu.adc1.conversions;
    EXPECT_EQ(c.cmd("adc").rfind(head + "IV2=", 0), 0u);
    EXPECT_EQ(c.b.mcu.adc1.conversions - before, 16u);   // eight fresh samples
    control_timer_pause(); motor_running = 1; iv2_cache = 2148; adc_zero_iv2 = 2048;   // running: the tick's sample
    before = c.b.mcu.adc1.conversions;
    EXPECT_EQ(c.cmd("adc"), head + "IV2=2148(z=2048,d=100,-671mA)\r\n");
    EXPECT_EQ(c.b.mcu.adc1.conversions, before);
    iv2_cache = 40000; adc_zero_iv2 = -30000;   // the difference wraps at 16 bits
    EXPECT_NE(c.cmd("adc").find("IV2=40000(z=-30000,d=4464,"), std::string::npos);
}

// Fault caught: a piece missing, out of order or at the wrong scale, or shown in the wrong modes or under the wrong
// name; rounding instead of truncation, a sign printed for a fraction that truncates to 0; the position error not
// wrapped to +-180 in mode 4 or wrapped in mode 1; or the two halves split over two lines.
TEST(Commands, StatusLine)
{
    Bench c;
    control_timer_pause();   // the values set here are the ones printed
    motor_running = 1; foc_mode = 4; pos_ref_deg = 90.0f; pid_pos_kp = 0.5f; pos_err_max = 30.0f;
    foc_vq = 0.1f; foc_speed = 10.0f; ramp_vq = 0.1f; actual_rpm = -3.7f; total_turns = 2;
    ma600_ema_deg = 275.5f; ma600_mech_deg = 275.9f; T4_CCR1 = 812; T4_CCR2 = 790; T4_CCR3 = 798;
    mcs1805_sens_factor = 2.0f; adc_zero_iv2 = 2048; iv2_cache = 2046;   // two counts below zero: 12 mA
    EXPECT_EQ(c.cmd("stat"),
              "【SET】:RUN M=4 POS_CL pos=90deg kp=5 emax=30deg vq=100 sp=100 r=4kHz ramp=100 ref_deg=90 "
              "Iref=500mA【ACT】: vq=100 rpm=-3 REV=2 pos=275deg err=174deg IV2=12mA MA=275 PWM=812,790,798\r\n");

    motor_running = 0; speed_cl_ref = 123.9f; ramp_vq = -0.0007f;   // the rest stays as above
    const struct { int mode; float ref, ema, virt; const char *piece; } rows[] = {
        {4, 350, 10, 0, " pos=10deg err=-20deg IV2="}, {4, 190, 10, 0, " err=180deg IV2="},
        {1, 10, 0, 350, ":STOP M=1 POS_OPEN pos=10deg vq=100 "}, {1, 10, 0, 350, " REV=2 pos=350deg err=-340deg IV2="},
        {3, 0, 0, 0, "ramp=100 ref_rpm=123 Iref=500mA"}, {0, 0, 0, 0, ":STOP M=0 SPD_OPEN vq=100 "},
        {2, 0, 0, 0, ":STOP M=2 CUR_OPEN vq=100 "}, {5, 0, 0, 0, ":STOP M=5 CUR_CL vq=100 "},
        {5, 0, 0, 0, "【ACT】: vq=0 rpm=-3 "},
    };
    for (const auto &r : rows) {
        foc_mode = r.mode; pos_ref_deg = r.ref; ma600_ema_deg = r.ema; posopen_virt_deg = r.virt;
        const std::string s = c.cmd("stat");
        EXPECT_NE(s.find(r.piece), std::string::npos) << s;
        EXPECT_EQ(s.find("pos=") != std::string::npos, r.mode == 1 || r.mode == 4) << s;
        EXPECT_EQ(s.find("ref_") != std::string::npos, r.mode == 3 || r.mode == 4) << s;
    }
}
