// Frozen copy of the control tick, its modes, the table trigonometry, the
// modulation and the current conversion as they were before the speed work
// (functions renamed into this namespace, the sine table shared). Do not
// improve it: its worth is that it does not change.
#include "control/reference_control.hpp"

#include "board.h"
#include "foc.h"
#include "ma600a.h"
#include "main.h"

namespace ref {

int32_t f2i_sat(float x)
{
    if (!(x == x)) return 0;
    if (x >= 2147483648.0f) return INT32_MAX;
    if (x <= -2147483648.0f) return INT32_MIN;
    return static_cast<int32_t>(x);
}

uint32_t f2u_sat(float x)
{
    if (!(x > 0.0f)) return 0;
    if (x >= 4294967296.0f) return UINT32_MAX;
    return static_cast<uint32_t>(x);
}

namespace {

int32_t rpm_calc_cnt = 0;
int32_t fc = 0;

uint16_t f2u16_sat(float x)
{
    uint32_t u = f2u_sat(x);
    return u > 65535u ? 65535u : static_cast<uint16_t>(u);
}

float wrap_down(float a)
{
    while (a >= FOC_TWO_PI) a -= FOC_TWO_PI;
    return a;
}

float wrap_up(float a)
{
    while (a < 0.0f) a += FOC_TWO_PI;
    return a;
}

float wrap_angle(float a) { return wrap_down(wrap_up(a)); }

}  // namespace

float lut_sin(float angle)
{
    angle = wrap_angle(angle);
    float f = (angle * static_cast<float>(SIN_N)) * 0.15915494f;
    uint32_t i = f2u_sat(f);
    if (i > SIN_N - 1) i = SIN_N - 1;
    float frac = f - static_cast<float>(i);
    return sin_t[i] + (sin_t[i + 1] - sin_t[i]) * frac;
}

void svpwm(float va, float vb, float vc, uint16_t *a, uint16_t *b, uint16_t *c)
{
    float vmax = va, vmin = va;
    if (vb > vmax) vmax = vb;
    if (vc > vmax) vmax = vc;
    if (vb < vmin) vmin = vb;
    if (vc < vmin) vmin = vc;
    float vo = (vmax + vmin) * -0.5f;
    const float span = static_cast<float>(PWM_MAX);
    *a = f2u16_sat(((va + vo) + 0.5f) * span);
    *b = f2u16_sat(((vb + vo) + 0.5f) * span);
    *c = f2u16_sat(((vc + vo) + 0.5f) * span);
}

namespace {

float lut_cos(float angle) { return lut_sin(angle + 1.5707964f); }

int32_t MCS1805_I_mA(uint16_t raw, int16_t zero)
{
    int32_t diff = static_cast<int32_t>(raw) - static_cast<int32_t>(zero);
    float volts = static_cast<float>(diff) * 3.3f / 4096.0f;
    float current = -(volts / (0.264f / mcs1805_sens_factor) * 1000.0f);
    return f2i_sat(current);
}

void angles_from_raw(uint16_t raw)
{
    float mech = static_cast<float>(raw) * 360.0f / 65536.0f;
    ma600_mech_deg = mech;
    float elec = static_cast<float>(pole_pairs) * mech * 0.0174533f;
    ma_angle = wrap_down(elec);
    float ema = ma600_ema_deg;
    ma600_ema_deg = (ema == 0.0f) ? mech : mech * 0.1f + ema * 0.9f;
}

float position_error_deg()
{
    float e = pos_ref_deg - ma600_ema_deg;
    while (e > 180.0f) e -= 360.0f;
    while (e < -180.0f) e += 360.0f;
    return e;
}

int32_t mul_wrap(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

float dt() { return 1.0f / (static_cast<float>(foc_rate) * 1000.0f); }

float elec_speed(float mech_rpm)
{
    float p = static_cast<float>(pole_pairs) * mech_rpm;
    return (p + p) * 3.1415925f / 60.0f;
}

float ramp_step(float vq) { return vq / static_cast<float>(mul_wrap(foc_rate, ramp_rate)); }

void ramp_toward_vq(bool both_ways)
{
    float vq = foc_vq;
    if (ramp_rate == 0) {
        ramp_vq = vq;
        return;
    }
    float r = ramp_vq;
    if (r < vq) {
        r = r + ramp_step(vq);
        if (r > vq) r = vq;
        ramp_vq = r;
    } else if (both_ways && r > vq) {
        r = r - ramp_step(vq);
        if (r < vq) r = vq;
        ramp_vq = r;
    }
}

void write_compares(uint16_t u, uint16_t v, uint16_t w)
{
    if (u >= PWM_MAX) u = PWM_MAX - 1;
    if (v >= PWM_MAX) v = PWM_MAX - 1;
    if (w >= PWM_MAX) w = PWM_MAX - 1;
    pwm_write(u, v, w);
}

void output_vector(float theta, float amplitude)
{
    float s = lut_sin(theta);
    float c = lut_cos(theta);
    float va = s * (-amplitude);
    float vb = amplitude * c * 0.8660254f - va * 0.5f;
    float vc = -va - vb;
    uint16_t u, v, w;
    svpwm(va, vb, vc, &u, &v, &w);
    write_compares(u, v, w);
}

float absf(float x) { return x < 0.0f ? -x : x; }

void hold_ramp_down(int32_t ms_per_fall)
{
    float hold = hold_vq;
    float r = ramp_vq;
    if (r > hold) {
        r = r - foc_vq / static_cast<float>(mul_wrap(foc_rate, ms_per_fall));
        if (r < hold) r = hold;
        ramp_vq = r;
    } else if (r < hold) {
        ramp_vq = hold;
    }
}

void mode_speed_open()
{
    ramp_toward_vq(false);
    float d = dt();
    float angle = foc_angle + elec_speed(foc_speed) * d;
    foc_angle = wrap_down(angle);
}

void mode_pos_open()
{
    float e = position_error_deg();
    float d = dt();
    if (absf(e) < 5.0f) {
        hold_ramp_down(50);
        return;
    }
    ramp_toward_vq(false);
    float w = elec_speed(foc_speed);
    if (e < 0.0f) w = -w;
    float angle = foc_angle + w * d;
    foc_angle = wrap_up(wrap_down(angle));
}

void mode_cur_open()
{
    float vq = foc_vq;
    float v = 0.0012f * cur_tgt_mA;
    if (v > vq) v = vq;
    if (v < 0.0f) v = 0.0f;
    uint16_t u, vv, w;
    svpwm(0.0f, v, 0.0f, &u, &vv, &w);
    write_compares(u, vv, w);
}

void mode_speed_cl()
{
    float kp = pid_spd_kp / 1000.0f;
    float ki = pid_spd_ki / 10000.0f;
    float kd = pid_spd_kd / 10000.0f;
    float vq = foc_vq;
    float d_t = dt();
    float step = 200.0f * d_t;

    float set = speed_set;
    float ref = speed_cl_ref;
    if (ref < set) {
        ref = ref + step;
        if (ref > set) ref = set;
    } else if (ref > set) {
        ref = ref - step;
        if (ref < set) ref = set;
    }
    speed_cl_ref = ref;

    float e = ref - actual_rpm;
    float d = (e - pid_spd_last_err) / d_t;

    float lim = 20.0f * vq;
    float sum = e * d_t + pid_spd_sum;
    if (sum > lim) sum = lim;
    else if (sum < -lim) sum = -lim;

    float u = (kp * e + sum * ki) + kd * d;
    if (u > vq) u = vq;
    else if (u < -vq) u = -vq;

    if ((u >= vq && e > 0.0f) || (u <= -vq && e < 0.0f)) sum = sum - e * d_t;
    pid_spd_sum = sum;

    ramp_vq = u;
    pid_spd_last_err = e;

    if (ma_sync_count <= 9) {
        foc_angle = ma_angle;
        ma_sync_count = ma_sync_count + 1;
    } else {
        float angle = foc_angle + elec_speed(ref) * d_t;
        foc_angle = wrap_angle(angle);
    }
}

void mode_pos_cl()
{
    float e = position_error_deg();
    float emax = pos_err_max;
    if (e > emax) e = emax;
    if (e < -emax) e = -emax;
    float d_t = dt();

    if (pos_hold == 0 && absf(e) < 2.0f) pos_hold = 1;
    else if (pos_hold != 0 && absf(e) > 5.0f) pos_hold = 0;

    if (pos_hold != 0) {
        hold_ramp_down(20);
        pid_spd_sum = 0.0f;
        pid_spd_last_err = 0.0f;
        return;
    }

    float kp = pid_pos_kp;
    float ki = pid_pos_ki * 0.001f;
    float kd = pid_pos_kd * 0.001f;
    float d = (e - pid_spd_last_err) / d_t;

    float sum = e * d_t + pid_spd_sum;
    if (sum > 500.0f) sum = 500.0f;
    else if (sum < -500.0f) sum = -500.0f;
    pid_spd_sum = sum;

    float s = (kp * e + sum * ki) + kd * d;
    if (s > 500.0f) s = 500.0f;
    else if (s < -500.0f) s = -500.0f;
    if (absf(e) < 10.0f) s = s * 0.2f;

    float angle = foc_angle + elec_speed(s) * d_t;
    foc_angle = wrap_angle(angle);

    ramp_toward_vq(true);
    pid_spd_last_err = e;
}

void mode_cur_cl()
{
    float theta = ma_angle + 1.5708f;

    if (cur_cl_started == 0) {
        cur_cl_started = 1;
        cur_cl_phase = 0;
        cur_cl_open_v = 0.0f;
        write_compares(0, 0, 0);
        return;
    }

    if (cur_cl_phase == 0) {
        if (cur_cl_open_v < 0.05f) cur_cl_open_v = cur_cl_open_v + 0.0004f;
        else cur_cl_phase = 1;
        output_vector(theta, cur_cl_open_v);
        return;
    }

    float vq = foc_vq;
    if (cur_cl_open_v < vq) cur_cl_open_v = cur_cl_open_v + 0.0005f;
    else cur_cl_phase = 2;
    if (cur_cl_phase == 1) {
        output_vector(theta, cur_cl_open_v);
        return;
    }

    int32_t measured = MCS1805_I_mA(iv2_cache, adc_zero_iv2);
    float e = static_cast<float>(measured) + cur_tgt_mA;
    float kp = pid_cur_kp / 1000.0f;
    float ki = pid_cur_ki / 10000.0f;
    float kd = pid_cur_kd / 10000.0f;
    float d_t = dt();
    float d = (e - cur_cl_last_err) / d_t;

    float u = (kp * e + cur_cl_integral * ki) + kd * d;
    if (u > vq) u = vq;
    else if (u < 0.0f) u = 0.0f;
    else cur_cl_integral = e * d_t + cur_cl_integral;

    cur_cl_pid_out = u;
    cur_cl_last_err = e;
    output_vector(theta, u);
}

void track_angle(uint16_t raw)
{
    ma_raw = raw;
    int16_t delta = static_cast<int16_t>(static_cast<uint16_t>(raw - last_isr_angle));
    angle_accum = static_cast<int32_t>(static_cast<uint32_t>(angle_accum) + static_cast<uint32_t>(delta));
    last_isr_angle = raw;
    angles_from_raw(raw);
}

void speed_window()
{
    if (++rpm_calc_cnt <= 127) return;
    rpm_calc_cnt = 0;

    int32_t accum = angle_accum;
    float rpm = static_cast<float>(accum) * 60000.0f / 65536.0f / 128.0f * static_cast<float>(foc_rate);
    if (rpm > -5000.0f && rpm < 5000.0f) actual_rpm = rpm * 0.3f + actual_rpm * 0.7f;

    total_turns = static_cast<int32_t>(static_cast<uint32_t>(total_turns) + static_cast<uint32_t>(accum / 65536));
    angle_accum = 0;
}

}  // namespace

void reset()
{
    rpm_calc_cnt = 0;
    fc = 0;
}

void control(uint16_t raw)
{
    if (raw != MA600A_NO_SAMPLE) track_angle(raw);

    speed_window();

    switch (foc_mode) {
    case 4: mode_pos_cl(); break;
    case 1: mode_pos_open(); break;
    case 2: mode_cur_open(); return;
    case 5: mode_cur_cl(); return;
    case 3: mode_speed_cl(); break;
    default: mode_speed_open(); break;
    }

    output_vector(foc_angle, ramp_vq);
}

void tim2_irq()
{
    T2_SR = ~TIM_SR_UIF;

    if (motor_running != 0) {
        if (nfault_high()) {
            fc = 0;
        } else if (++fc >= mul_wrap(foc_rate, 3000)) {
            fault_flag = 1;
            fc = 0;
        }
        bridge_on();
        iv2_cache = ADC_Read(1);
        control(MA600A_ReadRawNB());
    } else {
        bridge_off();
        pwm_write(0, 0, 0);
        ramp_vq = 0.0f;
        ma_sync_count = 0;
        speed_cl_ref = 0.0f;
        pid_spd_sum = 0.0f;
        cur_cl_integral = 0.0f;
        cur_cl_pid_out = 0.0f;
        cur_cl_last_err = 0.0f;
        cur_cl_started = 0;
        cur_cl_phase = 0;
        cur_cl_open_v = 0.0f;
    }
}

}  // namespace ref
