// Command interpreter of the console: one completed line in, the first
// matching command carried out, one reply out on both ports.
#include "board.h"
#include "cmd_args.h"
#include "console.h"
#include "foc.h"
#include "ma600a.h"
#include "main.h"
#include "numconv.h"

// Long mode names for the replies of the mode command.
static const char *const names[6] = {
    "SPEED OPEN", "POS OPEN", "CUR OPEN", "SPEED CL", "POS CL", "CUR CL",
};

// ---------------------------------------------------------------------------
// Small helpers

static void reply_i(const char *label, int32_t value, const char *tail)
{
    uart_puts(label);
    uart_puti(value);
    uart_puts(tail);
}

// A stored setting, scaled back to the unit it was typed in, shown as the
// nearest integer: a typed value reads back as typed, although 0.251f times
// 1000 is a hair below 251. (Measured values are shown truncated.)
static void reply_setting(const char *label, float value, const char *tail)
{
    reply_i(label, f2i_round_sat(value), tail);
}

static int is_digit(char c) { return c >= '0' && c <= '9'; }

static int hex_value(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

static const char *skip_spaces(const char *p)
{
    while (*p == ' ') ++p;
    return p;
}

static const char *skip_digits(const char *p)
{
    while (is_digit(*p)) ++p;
    return p;
}

static const char *skip_separators(const char *p)
{
    while (*p == ' ' || *p == ',') ++p;
    return p;
}

static const char *skip_hex_prefix(const char *p)
{
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) p += 2;
    return p;
}

uint8_t read_hex_byte(const char **pp)
{
    const char *p = skip_hex_prefix(skip_spaces(*pp));
    uint32_t v = 0;
    for (;;) {
        const int d = hex_value(*p);
        if (d < 0) {
            if (*p != '\0') ++p;
            break;
        }
        v = ((v << 4) | static_cast<uint32_t>(d)) & 0xFFu;
        ++p;
    }
    *pp = p;
    return static_cast<uint8_t>(v);
}

static int clamp_i(int n, int lo, int hi)
{
    if (n < lo) n = lo;
    if (n > hi) n = hi;
    return n;
}

// ---------------------------------------------------------------------------
// Motor commands

static void cmd_start(const char *)
{
    if (motor_running) {
        uart_puts("RUNNING\r\n");
        return;
    }
    motor_running = 1;
    ramp_vq = 0.0f;
    uart_puts("STARTED\r\n");
}

static void cmd_off(const char *)
{
    motor_running = 0;
    iv2_zero_calibrate(5);
    reply_i("STOPPED IV20=", adc_zero_iv2, "\r\n");
}

static void cmd_stop(const char *)
{
    motor_running = 0;
    uart_puts("STOPPED\r\n");
}

static void mode_reply(int32_t m)
{
    uart_puts("Mode:");
    uart_puti(m);
    uart_puts("=");
    uart_puts(names[m]);
    uart_puts("\r\n");
}

static void cmd_mode_show(const char *) { mode_reply(foc_mode); }

static void cmd_mode(const char *arg)
{
    const int n = clamp_i(myatoi(skip_spaces(arg)), 0, 5);
    foc_mode = n;
    motor_running = 0;
    ramp_vq = 0.0f;
    posopen_virt_deg = 0.0f;
    pos_hold = 0;
    foc_vq = 0.1f;
    pid_spd_sum = 0.0f;
    pid_spd_last_err = 0.0f;
    actual_rpm = 0.0f;
    speed_cl_ref = 0.0f;
    total_turns = 0;
    if (n == 4) {
        foc_vq = 0.08f;
        pid_pos_kp = 0.5f;
        pid_pos_ki = 100.0f;
        pid_pos_kd = 0.0f;
    }
    mode_reply(n);
}

// The settings below read their number right after the keyword's space: a
// second space makes it 0.
static void cmd_pos(const char *arg)
{
    const int n = clamp_i(myatoi(arg), 0, 3600);
    pos_ref_deg = static_cast<float>(n);
    reply_i("pos=", n, "deg\r\n");
}

static void cmd_posemax(const char *arg)
{
    const int n = clamp_i(myatoi(arg), 1, 180);
    pos_err_max = static_cast<float>(n);
    reply_i("posemax=", n, "deg\r\n");
}

static void cmd_vq_show(const char *) { reply_setting("vq=", foc_vq * 1000.0f, "\r\n"); }

static void cmd_vq(const char *arg)
{
    int n = myatoi(arg);
    if (n < 0) n = 0;
    foc_vq = static_cast<float>(n) / 1000.0f;
    reply_i("vq=", n, "\r\n");
}

static void cmd_ramp_show(const char *) { reply_i("ramp=", ramp_rate, "\r\n"); }

static void cmd_ramp(const char *arg)
{
    const int n = clamp_i(myatoi(arg), 0, 1000);
    ramp_rate = n;
    reply_i("ramp=", n, "\r\n");
}

static void cmd_hold_show(const char *) { reply_setting("hold=", hold_vq * 1000.0f, "\r\n"); }

static void cmd_hold(const char *arg)
{
    int n = myatoi(arg);
    if (n < 0) n = 0;
    if (n >= 1000) n = 999;
    hold_vq = static_cast<float>(n) / 1000.0f;
    reply_i("hold=", n, "\r\n");
}

static void cmd_rpm_show(const char *) { reply_setting("rpm=", speed_set, "\r\n"); }

static void cmd_rpm(const char *arg)
{
    const int n = myatoi(arg);
    speed_set = static_cast<float>(n);
    reply_i("rpm=", n, "\r\n");
}

static void cmd_sp_show(const char *) { reply_setting("sp=", foc_speed * 10.0f, "\r\n"); }

static void cmd_sp(const char *arg)
{
    const int n = clamp_i(myatoi(arg), 1, 9999);
    foc_speed = static_cast<float>(n) / 10.0f;
    reply_i("sp=", n, "\r\n");
}

// "I" shows the current target, "I n" sets it first (skipping spaces). Only
// a real space before the number sets it: "I@5" reaches here through the
// prefix row too (an '@' matches the keyword's space) and only shows.
static void cmd_current(const char *arg)
{
    if (arg[-1] == ' ') {
        int n = myatoi(skip_spaces(arg));
        if (n < 0) n = 0;
        cur_tgt_mA = static_cast<float>(n);
    }
    reply_setting("I=", cur_tgt_mA, "mA\r\n");
}

static void cmd_rate_show(const char *) { reply_i("rate=", foc_rate, "k\r\n"); }

static void cmd_rate(const char *arg)
{
    const int n = clamp_i(myatoi(arg), 1, FOC_RATE_MAX_KHZ);
    foc_rate = n;
    control_timer_set_rate(n);
    reply_i("rate=", n, "k\r\n");
}

// The three gain families share one argument syntax; they differ in how a
// typed number becomes the stored gain and in the lower bounds.
struct gain_family {
    volatile float *kp, *ki, *kd;
    float kp_div, ki_div, kd_div;   // stored = typed / div
    float kp_min, ki_min;
    float kp_show, kd_show;         // shown = stored * show
    const char *label;
};

static constexpr gain_family gains_spd = {&pid_spd_kp, &pid_spd_ki, &pid_spd_kd,
                                      1.0f, 1.0f, 1.0f, 0.1f, 0.1f, 1.0f, 1.0f, "pidspd kp="};
static constexpr gain_family gains_pos = {&pid_pos_kp, &pid_pos_ki, &pid_pos_kd,
                                      10.0f, 1.0f, 10000.0f, 0.1f, 0.00001f, 10.0f, 10000.0f, "pidpos kp="};
static constexpr gain_family gains_cur = {&pid_cur_kp, &pid_cur_ki, &pid_cur_kd,
                                      1.0f, 1.0f, 1.0f, 0.1f, 0.1f, 1.0f, 1.0f, "pidcur kp="};

static float typed_gain(const char *p, float div)
{
    return static_cast<float>(myatoi(p)) / div;
}

static void gains_show(const gain_family &g)
{
    uart_puts(g.label);
    uart_puti(f2i_round_sat(*g.kp * g.kp_show));
    uart_puts(" ki=");
    uart_puti(f2i_round_sat(*g.ki));
    uart_puts(" kd=");
    uart_puti(f2i_round_sat(*g.kd * g.kd_show));
}

// Gain list: "kp=A ki=B kd=C" (each name only after the one before it) or
// positional "A,B,C"; spaces and commas separate; a value not given keeps
// its present setting.
static void gains_set(const gain_family &g, const char *p)
{
    float kp;   // read in both forms (no digit there reads 0); ki and kd may be left out
    float ki = *g.ki, kd = *g.kd;
    p = skip_spaces(p);
    if (p[0] == 'k' && p[1] == 'p' && p[2] == '=') {
        p += 3;
        kp = typed_gain(p, g.kp_div);
        p = skip_separators(skip_digits(p));
        if (p[0] == 'k' && p[1] == 'i' && p[2] == '=') {
            p += 3;
            ki = typed_gain(p, g.ki_div);
            p = skip_separators(skip_digits(p));
            if (p[0] == 'k' && p[1] == 'd' && p[2] == '=') {
                kd = typed_gain(p + 3, g.kd_div);
            } else if (is_digit(*p)) {
                kd = typed_gain(p, g.kd_div);
            }
        } else if (is_digit(*p)) {
            ki = typed_gain(p, g.ki_div);
            p = skip_separators(skip_digits(p));
            if (is_digit(*p)) kd = typed_gain(p, g.kd_div);
        }
    } else {
        kp = typed_gain(p, g.kp_div);
        p = skip_separators(skip_digits(p));
        if (is_digit(*p)) {
            ki = typed_gain(p, g.ki_div);
            p = skip_separators(skip_digits(p));
            if (is_digit(*p)) kd = typed_gain(p, g.kd_div);
        }
    }
    if (kp < g.kp_min) kp = g.kp_min;
    if (ki < g.ki_min) ki = g.ki_min;
    *g.kp = kp;
    *g.ki = ki;
    *g.kd = kd;
    pid_spd_sum = 0.0f;
}

// "pidspd" shows the gains of its family, "pidspd <list>" sets them first;
// likewise "pidpos" and "pidcur".
template <const gain_family &g>
static void cmd_gains_show(const char *)
{
    gains_show(g);
    uart_puts("\r\n");
}

template <const gain_family &g>
static void cmd_gains(const char *arg)
{
    gains_set(g, arg);
    cmd_gains_show<g>(arg);
}

static void cmd_pid(const char *)
{
    gains_show(gains_spd);
    uart_puts(" ");
    gains_show(gains_pos);
    uart_puts(" ");
    gains_show(gains_cur);
    uart_puts("\r\n");
}

// ---------------------------------------------------------------------------
// Measurement and diagnostic commands

// The foreground's sensor transactions and conversions share SPI1 and the
// ADC with the control tick. Pausing the control timer keeps the tick out
// for their duration; PWM output goes on with the last compare values.
// After a sensor transaction the tick's reader may have lost a frame it had
// open, so it is told to start afresh, before the tick can run again: a tick
// falling inside that reset would have its frame cut and then read the
// sensor's second word of the selection (its speed) as an angle.
static void sensor_release(void)
{
    MA600A_ResetNB();
    control_timer_resume();
}

static uint16_t adc_guarded(void)
{
    control_timer_pause();
    const uint16_t v = ADC_Read(1);
    control_timer_resume();
    return v;
}

static void current_line(uint16_t v)
{
    const int16_t z = adc_zero_iv2;
    const int16_t d = static_cast<int16_t>(static_cast<int32_t>(v) - z);
    uart_puts("IV2=");
    uart_puti(v);
    uart_puts("(z=");
    uart_puti(z);
    uart_puts(",d=");
    uart_puti(d);
    uart_puts(",");
    uart_puti(MCS1805_I_mA(v, z));
    uart_puts("mA)\r\n");
}

static void cmd_angle(const char *)
{
    control_timer_pause();
    const uint16_t raw = MA600A_ReadRaw();
    sensor_release();
    uart_puts("raw=");
    uart_putx(raw);
    reply_i(" deg=", static_cast<int32_t>(static_cast<uint32_t>(raw) * 360u / 65536u), "\r\n");
}

static void cmd_reg(const char *p)
{
    const uint8_t addr = read_hex_byte(&p);
    control_timer_pause();
    const uint16_t value = MA600A_ReadReg(addr);
    sensor_release();
    uart_puts("reg ");
    uart_putx(addr);
    uart_puts(" = ");
    uart_putx(value);
    uart_puts("\r\n");
}

static void cmd_wri(const char *p)
{
    const uint8_t addr = read_hex_byte(&p);
    const uint8_t value = read_hex_byte(&p);
    control_timer_pause();
    MA600A_WriteReg(addr, value);
    sensor_release();
    uart_puts("WRITE reg ");
    uart_putx(addr);
    reply_i(" = ", value, "\r\n");
}

int read_spi_frames(const char *p, uint16_t frames[SPI_MAX_FRAMES])
{
    int count = 0;
    p = skip_spaces(p);
    while (*p != '\0' && count < SPI_MAX_FRAMES) {
        const char *q = skip_hex_prefix(p);
        if (q == p && hex_value(*q) < 0) break;
        uint32_t frame = 0;
        for (int digits = 0; digits < 4 && hex_value(*q) >= 0; ++digits, ++q) {
            frame = (frame << 4) | static_cast<uint32_t>(hex_value(*q));
        }
        frames[count++] = static_cast<uint16_t>(frame);
        while (*q == ' ' || *q == '\t') ++q;
        p = q;
    }
    return count;
}

// Raw frames: the words of the list (read_spi_frames) are sent, the rest of
// the line after a character that cannot start a word is ignored.
static void cmd_spi(const char *p)
{
    uint16_t tx[SPI_MAX_FRAMES];
    uint16_t rx[SPI_MAX_FRAMES] = {};
    const int count = read_spi_frames(p, tx);

    if (count == 0) {
        uart_puts("spi: no args\r\n");
        return;
    }
    if (count == 1) {
        control_timer_pause();
        const uint16_t r = MA600A_SPI_Exchange(tx[0]);
        sensor_release();
        const uint32_t sr = SPI1->SR;
        uart_puts("spi tx=");
        uart_putx(tx[0]);
        uart_puts(" rx=");
        uart_putx(r);
        uart_puts(" SR=");
        uart_putx(sr);
        uart_puts("\r\n");
        return;
    }
    control_timer_pause();
    MA600A_SPI_TransferFrames(tx, rx, static_cast<uint8_t>(count));
    control_timer_resume();
    uart_puts("spi rx=");
    for (int i = 0; i < count; ++i) {
        uart_putx(rx[i]);
    }
    uart_puts("\r\n");
}

static void run_stat(const char *) { cmd_stat(); }

static void cmd_actrpm(const char *) { reply_i("actrpm=", f2i_sat(actual_rpm), "\r\n"); }

static void cmd_echo_on(const char *)
{
    echo_on = 1;
    uart_puts("echo ON\r\n");
}

static void cmd_echo_off(const char *)
{
    echo_on = 0;
    uart_puts("echo OFF\r\n");
}

static void cmd_diag(const char *)
{
    const uint32_t sr = SPI1->SR;
    const uint32_t cr1 = SPI1->CR1;
    uart_puts("SPI SR=");
    uart_putx(sr);
    uart_puts(" CR1=");
    uart_putx(cr1);
    reply_i(" CS=", cs_level(), "\r\n");
}

static void cmd_cs_on(const char *)
{
    CS_LOW();
    uart_puts("CS=0\r\n");
}

static void cmd_cs_off(const char *)
{
    CS_HIGH();
    uart_puts("CS=1\r\n");
}

static void cmd_turn(const char *)
{
    uart_puts("angle=");
    uart_putx(0);
    reply_i(" turn=", total_turns, "\r\n");
}

static void cmd_iu(const char *) { uart_puts("IU channel PA0 disabled\r\n"); }

static void cmd_iv(const char *) { reply_i("IV=", adc_guarded(), "(MP6540 unused, MCS1805 on iv2 command)\r\n"); }

static void cmd_iw(const char *) { uart_puts("IW channel PA2 disabled\r\n"); }

static void cmd_iv2(const char *) { current_line(adc_guarded()); }

static void cmd_adc(const char *)
{
    const uint16_t v = motor_running ? static_cast<uint16_t>(iv2_cache) : ADC_Read_Avg(1, 8);
    uart_puts("I_U,I_V,I_W channels disabled (only IV2 active on PA1)\r\n");
    current_line(v);
}

static void cmd_calibrate(const char *)
{
    control_timer_pause();
    iv2_zero_calibrate(6);
    control_timer_resume();
    reply_i("Calibrated: IV20=", adc_zero_iv2, "\r\n");
}

static void cmd_sens_show(const char *) { reply_setting("sens=", mcs1805_sens_factor * 1000.0f, "/1000\r\n"); }

// A factor below 1 (0 or no number) is not taken; the reply shows the one in use.
static void cmd_sens(const char *arg)
{
    const int n = myatoi(skip_spaces(arg));
    if (n >= 1) {
        mcs1805_sens_factor = static_cast<float>(n) / 1000.0f;
        reply_i("sens=", n, "/1000\r\n");
    } else {
        cmd_sens_show(arg);
    }
}

static void cmd_pins(const char *)
{
    const uint32_t lines = bridge_lines();
    const int fault_in = nfault_high();
    reply_i("ENA=", static_cast<int32_t>(lines & 1u), "");
    reply_i(" ENB=", static_cast<int32_t>((lines >> 1) & 1u), "");
    reply_i(" ENC=", static_cast<int32_t>((lines >> 2) & 1u), "");
    reply_i(" nSleep=", static_cast<int32_t>((lines >> 3) & 1u), "");
    reply_i(" nFault=", fault_in ? 1 : 0, "\r\n");
}

static void run_help(const char *) { cmd_help(); }

// ---------------------------------------------------------------------------
// The dispatch order

enum match : uint8_t { EXACT, PREFIX };

struct command {
    const char *keyword;
    uint8_t length;   // of the keyword; a prefix keyword's argument follows it
    match how;
    void (*run)(const char *arg);   // arg: the line after the keyword, empty for an exact row

    template <size_t N>
    consteval command(const char (&kw)[N], match m, void (*h)(const char *))
        : keyword(kw), length(static_cast<uint8_t>(N - 1)), how(m), run(h)
    {
    }
};

// The line is tested against the rows from the top and only the first match
// runs. An exact row takes the whole line, a prefix row its start; every
// prefix keyword ends in a space. With these keywords no line matches two
// rows, so the order decides nothing yet; it will for a new keyword that
// overlaps an old one (a prefix row "echo " above "echo on" would take it).
// Letters compare as strequal and strprefix do: a typed byte matches the
// keyword's byte or the byte 32 above it. So "ON", "OFF" and "I" may be typed
// in either case while a lowercase keyword matches lowercase only ("HELP" and
// "Mode 3" are unknown), and the same rule lets '@' stand for a keyword's
// space ("echo@on", "pos@90").
// A bare word followed by a space misses its exact row. Where the word also
// has a prefix row, that row takes the line and reads the missing number as
// 0: "mode " selects mode 0, "vq " and "I " set 0, "rate " selects 1 kHz,
// "sp " stores 0.1, "pidspd " lowers kp to its floor, "wri " writes 0 to
// sensor register 0. Other words followed by a space ("ON ", "pid ",
// "stat ") are unknown lines.
static constexpr command commands[] = {
    {"help", EXACT, run_help},
    {"h", EXACT, run_help},
    {"ON", EXACT, cmd_start},
    {"OFF", EXACT, cmd_off},   // stops and recalibrates the current zero
    {"start", EXACT, cmd_start},
    {"stop", EXACT, cmd_stop},
    {"mode", EXACT, cmd_mode_show},
    {"mode ", PREFIX, cmd_mode},
    {"pos ", PREFIX, cmd_pos},   // "pos" alone has no row, nor has "posemax"
    // Not shadowed by "pos ": "posemax 5" has an 'e' where "pos " needs a space.
    {"posemax ", PREFIX, cmd_posemax},
    {"vq", EXACT, cmd_vq_show},
    {"vq ", PREFIX, cmd_vq},
    {"ramp", EXACT, cmd_ramp_show},
    {"ramp ", PREFIX, cmd_ramp},
    {"hold", EXACT, cmd_hold_show},
    {"hold ", PREFIX, cmd_hold},
    {"rpm", EXACT, cmd_rpm_show},
    {"rpm ", PREFIX, cmd_rpm},   // no sign is read: "rpm -100" sets 0
    {"sp", EXACT, cmd_sp_show},
    {"sp ", PREFIX, cmd_sp},
    {"I", EXACT, cmd_current},
    {"I ", PREFIX, cmd_current},   // "I300" matches neither row
    {"pidspd", EXACT, cmd_gains_show<gains_spd>},
    {"pidspd ", PREFIX, cmd_gains<gains_spd>},
    {"pidpos", EXACT, cmd_gains_show<gains_pos>},
    {"pidpos ", PREFIX, cmd_gains<gains_pos>},
    {"pidcur", EXACT, cmd_gains_show<gains_cur>},
    {"pidcur ", PREFIX, cmd_gains<gains_cur>},
    {"pid", EXACT, cmd_pid},   // exact: "pidspd5" and "pid 5" are unknown
    {"rate", EXACT, cmd_rate_show},
    {"rate ", PREFIX, cmd_rate},
    {"stat", EXACT, run_stat},
    {"actrpm", EXACT, cmd_actrpm},
    {"echo on", EXACT, cmd_echo_on},   // "echo" alone is unknown
    {"echo off", EXACT, cmd_echo_off},
    {"diag", EXACT, cmd_diag},
    {"cs on", EXACT, cmd_cs_on},
    {"cs off", EXACT, cmd_cs_off},
    {"angle", EXACT, cmd_angle},
    {"turn", EXACT, cmd_turn},
    {"iu", EXACT, cmd_iu},
    {"iv", EXACT, cmd_iv},   // exact: "iv2" goes on to its own row
    {"iw", EXACT, cmd_iw},
    {"iv2", EXACT, cmd_iv2},
    {"adc", EXACT, cmd_adc},
    {"calibrate", EXACT, cmd_calibrate},
    {"sens", EXACT, cmd_sens_show},
    {"sens ", PREFIX, cmd_sens},
    {"reg ", PREFIX, cmd_reg},   // reg, wri and spi have no exact row: alone they are unknown
    {"wri ", PREFIX, cmd_wri},
    {"spi ", PREFIX, cmd_spi},   // "spi " without a word answers "spi: no args"
    {"pins", EXACT, cmd_pins},
};

void cmd_parse(char *cmd)
{
    for (const command &c : commands) {
        const bool hit = c.how == EXACT ? strequal(cmd, c.keyword) : strprefix(cmd, c.keyword, c.length);
        if (hit) {
            c.run(cmd + c.length);
            return;
        }
    }
    uart_puts("? ");
    uart_puts(cmd);
    uart_puts("\r\n");
}
