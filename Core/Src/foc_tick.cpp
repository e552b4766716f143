// The control tick: the TIM2 update interrupt. While the motor is stopped it
// keeps the bridge off and clears the control memories; while it runs it
// samples current and angle, tracks speed and turns, watches the driver's
// fault line and runs the selected mode's control law.
#include "board.h"
#include "foc.h"
#include "ma600a.h"
#include "main.h"

namespace {

constinit int32_t rpm_calc_cnt = 0;   // ticks in the current speed window, 0..127
constinit int32_t fc = 0;             // consecutive running ticks with nFault low

constexpr uint16_t NO_SAMPLE = 0xFFFF;

void track_angle(uint16_t raw)
{
    ma_raw = raw;
    // Step since the previous sample, signed across the 65535/0 seam.
    int16_t delta = static_cast<int16_t>(static_cast<uint16_t>(raw - last_isr_angle));
    angle_accum = static_cast<int32_t>(static_cast<uint32_t>(angle_accum) + static_cast<uint32_t>(delta));
    last_isr_angle = raw;
    foc_angles_from_raw(raw);
}

// Every 128th running tick: speed over the window and whole turns made in it.
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

// Mode 0: the vector turns at the open-loop speed whatever the rotor does.
void mode_speed_open()
{
    foc_ramp_rising();
    float dt = foc_dt();
    float angle = foc_angle + foc_elec_speed(foc_speed) * dt;
    while (angle >= 6.2831855f) angle -= 6.2831855f;
    foc_angle = angle;
}

float ramp_step(float vq)
{
    return vq / static_cast<float>(foc_mul_wrap(foc_rate, ramp_rate));
}

}  // namespace

// Mechanical, electrical and smoothed angle from one raw sensor word; the
// control tick runs it on each new sample and the main loop every pass.
// ma_angle is stored once, already wrapped, so no reader sees 2 pi or more.
void foc_angles_from_raw(uint16_t raw)
{
    float mech = static_cast<float>(raw) * 360.0f / 65536.0f;
    ma600_mech_deg = mech;

    float elec = static_cast<float>(pole_pairs) * mech * 0.0174533f;
    while (elec >= 6.2831855f) elec -= 6.2831855f;
    ma_angle = elec;

    float ema = ma600_ema_deg;
    ma600_ema_deg = (ema == 0.0f) ? mech : mech * 0.1f + ema * 0.9f;
}

int32_t foc_mul_wrap(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

float foc_dt(void)
{
    return 1.0f / (static_cast<float>(foc_rate) * 1000.0f);
}

float foc_elec_speed(float mech_rpm)
{
    float p = static_cast<float>(pole_pairs) * mech_rpm;
    return (p + p) * 3.1415925f / 60.0f;
}

// The applied amplitude moves toward foc_vq by foc_vq per ramp_rate ms; the
// rising form leaves an amplitude above foc_vq where it is.
static void ramp_toward_vq(bool both_ways)
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

void foc_ramp_rising(void)
{
    ramp_toward_vq(false);
}

void foc_ramp_two_way(void)
{
    ramp_toward_vq(true);
}

void foc_write_compares(uint16_t u, uint16_t v, uint16_t w)
{
    if (u >= PWM_MAX) u = PWM_MAX - 1;
    if (v >= PWM_MAX) v = PWM_MAX - 1;
    if (w >= PWM_MAX) w = PWM_MAX - 1;
    pwm_write(u, v, w);
}

// Inverse Park and Clarke transform of a vector with d = 0 and q = amplitude
// at electrical angle theta (phase U on the alpha axis), then modulation.
void foc_output_vector(float theta, float amplitude)
{
    float s = lut_sin(theta);
    float c = lut_cos(theta);
    float va = s * (-amplitude);
    float vb = amplitude * c * 0.8660254f - va * 0.5f;
    float vc = -va - vb;
    uint16_t u, v, w;
    svpwm(va, vb, vc, &u, &v, &w);
    foc_write_compares(u, v, w);
}

void foc_run(void)
{
    iv2_cache = ADC_Read(1);

    uint16_t raw = MA600A_ReadRawNB();
    if (raw != NO_SAMPLE) track_angle(raw);

    speed_window();

    switch (foc_mode) {
    case 4: foc_mode_pos_cl(); break;
    case 1: foc_mode_pos_open(); break;
    case 2: foc_mode_cur_open(); return;   // writes its own compares
    case 5: foc_mode_cur_cl(); return;     // writes its own compares
    case 3: foc_mode_speed_cl(); break;
    default: mode_speed_open(); break;
    }

    foc_output_vector(foc_angle, ramp_vq);
}

extern "C" void TIM2_IRQHandler(void)
{
    T2_SR = ~1u;   // acknowledge the update (UIF is write-0-to-clear)

    if (motor_running != 0) {
        if (nfault_high()) {
            fc = 0;
        } else if (++fc >= foc_mul_wrap(foc_rate, 3000)) {
            // 3 s of uninterrupted fault; reported again after every further 3 s.
            fault_flag = 1;
            fc = 0;
        }
        bridge_on();
        foc_run();
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
