// Motor control: build constants, the shared control state, and the control
// functions. Every field shared between the control tick and the foreground is
// volatile, so each access really reaches memory.
#pragma once
#include <stdint.h>

#include "fbits.h"

#define FOC_POLE_PAIRS  6
#define FOC_MAX_CURRENT 1.0f
#define FOC_MAX_VOLTAGE 12.0f

#define SIN_N   256    // intervals of the sine table over one turn
#define PWM_MAX 1600   // timer counts per PWM period

#define FOC_TWO_PI 6.2831855f   // one electrical turn, rad, as the control takes it

// Highest control rate the rate command accepts, kHz. The chip's cost report
// (foc-sim --image firmware.elf --cost) measured the longest running tick at
// 7,373 cycles (mode 4; mode 5's mean of 6,857 the highest mean): at 7 kHz
// that is 72 % of the 10,286-cycle period and leaves 28 % to the main loop,
// at 8 kHz only 18 %, under the 20 % the console and the button keep.
#define FOC_RATE_MAX_KHZ 7

// Run control and common settings
extern volatile int32_t motor_running;
extern volatile int32_t foc_mode;
extern volatile int32_t foc_rate;
extern volatile int32_t pole_pairs;
extern volatile float   foc_vq;
extern volatile int32_t ramp_rate;
extern volatile float   ramp_vq;
extern volatile float   hold_vq;
extern volatile float   foc_angle;
extern volatile float   foc_speed;
// Speed loop
extern volatile float   speed_set;
extern volatile float   speed_cl_ref;
extern volatile float   pid_spd_kp, pid_spd_ki, pid_spd_kd;
extern volatile float   pid_spd_sum;
extern volatile float   pid_spd_last_err;
extern volatile int32_t ma_sync_count;
// Position loops
extern volatile float   pos_ref_deg;
extern volatile float   pos_err_max;
extern volatile float   pid_pos_kp, pid_pos_ki, pid_pos_kd;
extern volatile int32_t pos_hold;
extern volatile float   posopen_virt_deg;
// Current loops
extern volatile float   cur_tgt_mA;
extern volatile float   pid_cur_kp, pid_cur_ki, pid_cur_kd;
extern volatile int32_t cur_cl_started;
extern volatile int32_t cur_cl_phase;
extern volatile float   cur_cl_open_v;
extern volatile float   cur_cl_integral;
extern volatile float   cur_cl_pid_out;
extern volatile float   cur_cl_last_err;
// Angle tracking and measurement
extern volatile uint16_t ma_raw;
extern volatile float    ma600_mech_deg;
extern volatile float    ma600_ema_deg;
extern volatile float    ma_angle;
extern volatile uint16_t last_isr_angle;
extern volatile int32_t  angle_accum;
extern volatile float    actual_rpm;
extern volatile int32_t  total_turns;
extern volatile uint16_t iv2_cache;
extern volatile int16_t  adc_zero_iv2;
extern volatile float    mcs1805_sens_factor;
extern volatile int32_t  fault_flag;

// Sine table and modulation
extern const float sin_t[SIN_N + 1];
float lut_sin(float angle);
float lut_cos(float angle);
void svpwm(float va, float vb, float vc, uint16_t *a, uint16_t *b, uint16_t *c);

// Control tick
extern "C" void TIM2_IRQHandler(void);
void foc_run(void);                 // samples current and angle, then foc_control
void foc_control(uint16_t raw);     // the rest of a running tick on this tick's angle word

// Pieces of the control step shared by the tick and the modes.
// The settings-derived ones (foc_dt, foc_angle_step, the ramps' steps) are
// kept between ticks and computed again when an input changes (memo.h):
// control tick only.
float foc_dt(void);                        // control period, s
float foc_elec_speed(float mech_rpm);      // electrical rad/s of a mechanical speed
float foc_angle_step(float mech_rpm);      // foc_elec_speed(mech_rpm) * foc_dt(): electrical rad per tick
float foc_plus_derivative(float pi, float kd, float e, float last, float dt);   // pi + kd * ((e - last) / dt)
void foc_ramp_rising(void);                // ramp_vq up toward foc_vq (modes 0, 1)
void foc_ramp_two_way(void);               // ramp_vq toward foc_vq either way (mode 4)
void foc_output_vector(float theta, float amplitude);   // inverse transform, modulation, compares
void foc_write_compares(uint16_t u, uint16_t v, uint16_t w);   // caps each at PWM_MAX - 1
void foc_angles_from_raw(uint16_t raw);       // ma600_mech_deg, ma_angle, ma600_ema_deg from a sensor word
float foc_position_error_deg(void);           // pos_ref_deg less ma600_ema_deg, wrapped into [-180, 180]

// 32-bit product with the chip's wrap-around.
static inline int32_t foc_mul_wrap(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

// Whole turns taken off an angle of 2 pi or more; a negative angle stays.
static inline float foc_wrap_down(float a)
{
    while (f_ge(a, FOC_TWO_PI)) a -= FOC_TWO_PI;
    return a;
}

// Whole turns added to a negative angle; an angle of 2 pi or more stays.
static inline float foc_wrap_up(float a)
{
    while (f_lt(a, 0.0f)) a += FOC_TWO_PI;
    return a;
}

// Any angle within a few turns of [0, 2 pi) into it. (Turns added last
// instead could leave exactly 2 pi: the sum of a tiny negative angle and
// 2 pi rounds to 2 pi.)
static inline float foc_wrap_angle(float a)
{
    return foc_wrap_down(foc_wrap_up(a));
}

// The control modes; each runs inside the control step.
void foc_mode_speed_open(void);   // 0: sets foc_angle and ramp_vq
void foc_mode_pos_open(void);     // 1: sets foc_angle and ramp_vq
void foc_mode_cur_open(void);     // 2: writes the compares itself
void foc_mode_speed_cl(void);     // 3: sets foc_angle and ramp_vq
void foc_mode_pos_cl(void);       // 4: sets foc_angle and ramp_vq
void foc_mode_cur_cl(void);       // 5: writes the compares itself

// Phase current measurement
uint16_t ADC_Read(uint8_t channel);
uint16_t ADC_Read_Avg(uint8_t channel, int32_t samples);
void iv2_zero_calibrate(int shift);   // adc_zero_iv2 = mean of 2^shift reads of channel 1
int32_t MCS1805_I_mA(uint16_t raw, int16_t zero);
int32_t MP6540_I_mA(uint16_t raw, int16_t zero);
