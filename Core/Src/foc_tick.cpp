// The control tick: the TIM2 update interrupt. While the motor is stopped it
// keeps the bridge off and clears the control memories; while it runs it
// samples current and angle, tracks speed and turns, watches the driver's
// fault line and runs the selected mode's control law.
#include "board.h"
#include "foc.h"
#include "ma600a.h"
#include "main.h"
#include "numconv.h"

// Mechanical, electrical and smoothed angle from one raw sensor word; the
// control tick runs it on each new sample and the main loop every pass.
// ma_angle is stored once, already wrapped, so no reader sees 2 pi or more.
void foc_angles_from_raw(uint16_t raw)
{
    float mech = f_mul_pow2<-16>(f_from_i32(raw) * 360.0f);   // * 360 / 65536
    ma600_mech_deg = mech;

    float elec = f_from_i32(pole_pairs) * mech * 0.0174533f;
    ma_angle = foc_wrap_down(elec);   // from a sensor word: not negative

    float ema = ma600_ema_deg;
    ma600_ema_deg = f_eq(ema, 0.0f) ? mech : mech * 0.1f + ema * 0.9f;
}

namespace {

constinit int32_t rpm_calc_cnt = 0;   // ticks in the current speed window, 0..127
constinit int32_t fc = 0;             // consecutive running ticks with nFault low

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
    // * 60000 / 65536 / 128 * rate, the two divisions as exact multiplications
    float rpm = f_mul_pow2<-7>(f_mul_pow2<-16>(f_from_i32(accum) * 60000.0f)) * f_from_i32(foc_rate);
    if (f_gt(rpm, -5000.0f) && f_lt(rpm, 5000.0f)) actual_rpm = rpm * 0.3f + actual_rpm * 0.7f;

    total_turns = static_cast<int32_t>(static_cast<uint32_t>(total_turns) + static_cast<uint32_t>(accum / 65536));
    angle_accum = 0;
}

}  // namespace

void foc_run(void)
{
    iv2_cache = ADC_Read(1);
    foc_control(MA600A_ReadRawNB());
}

void foc_control(uint16_t raw)
{
    if (raw != MA600A_NO_SAMPLE) track_angle(raw);

    speed_window();

    switch (foc_mode) {
    case 4: foc_mode_pos_cl(); break;
    case 1: foc_mode_pos_open(); break;
    case 2: foc_mode_cur_open(); return;   // writes its own compares
    case 5: foc_mode_cur_cl(); return;     // writes its own compares
    case 3: foc_mode_speed_cl(); break;
    default: foc_mode_speed_open(); break;
    }

    foc_output_vector(foc_angle, ramp_vq);
}

extern "C" void TIM2_IRQHandler(void)
{
    T2_SR = ~TIM_SR_UIF;   // acknowledge the update (status flags clear by writing 0)

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
