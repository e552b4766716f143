// The shared control state: operator settings with their boot defaults and
// the runtime values of the control step. Constant-initialised, so the reset
// path's copy of the initialised data is all that sets them up.
#include "foc.h"

// Run control and common settings
constinit volatile int32_t motor_running = 0;
constinit volatile int32_t foc_mode = 0;
constinit volatile int32_t foc_rate = 4;          // kHz
constinit volatile int32_t pole_pairs = FOC_POLE_PAIRS;
constinit volatile float   foc_vq = 0.08f;        // fraction of the full PWM span
constinit volatile int32_t ramp_rate = 100;       // ms for a ramp from 0 to foc_vq
constinit volatile float   ramp_vq = 0.0f;
constinit volatile float   hold_vq = 0.0f;
constinit volatile float   foc_angle = 0.0f;      // electrical rad
constinit volatile float   foc_speed = 10.0f;     // mechanical RPM

// Speed loop
constinit volatile float   speed_set = 100.0f;    // RPM
constinit volatile float   speed_cl_ref = 0.0f;
constinit volatile float   pid_spd_kp = 10.0f;    // thousandths
constinit volatile float   pid_spd_ki = 1000.0f;  // ten-thousandths
constinit volatile float   pid_spd_kd = 0.0f;     // ten-thousandths
constinit volatile float   pid_spd_sum = 0.0f;
constinit volatile float   pid_spd_last_err = 0.0f;
constinit volatile int32_t ma_sync_count = 0;

// Position loops
constinit volatile float   pos_ref_deg = 0.0f;
constinit volatile float   pos_err_max = 30.0f;   // degrees
constinit volatile float   pid_pos_kp = 0.5f;     // RPM per degree
constinit volatile float   pid_pos_ki = 100.0f;   // thousandths
constinit volatile float   pid_pos_kd = 0.0f;     // thousandths
constinit volatile int32_t pos_hold = 0;
constinit volatile float   posopen_virt_deg = 0.0f;

// Current loops
constinit volatile float   cur_tgt_mA = 500.0f;
constinit volatile float   pid_cur_kp = 10.0f;    // thousandths
constinit volatile float   pid_cur_ki = 50.0f;    // ten-thousandths
constinit volatile float   pid_cur_kd = 0.0f;     // ten-thousandths
constinit volatile int32_t cur_cl_started = 0;
constinit volatile int32_t cur_cl_phase = 0;
constinit volatile float   cur_cl_open_v = 0.0f;
constinit volatile float   cur_cl_integral = 0.0f;
constinit volatile float   cur_cl_pid_out = 0.0f;
constinit volatile float   cur_cl_last_err = 0.0f;

// Angle tracking and measurement
constinit volatile uint16_t ma_raw = 0;
constinit volatile float    ma600_mech_deg = 0.0f;
constinit volatile float    ma600_ema_deg = 0.0f;
constinit volatile float    ma_angle = 0.0f;
constinit volatile uint16_t last_isr_angle = 0;
constinit volatile int32_t  angle_accum = 0;
constinit volatile float    actual_rpm = 0.0f;
constinit volatile int32_t  total_turns = 0;
constinit volatile uint16_t iv2_cache = 0;
constinit volatile int16_t  adc_zero_iv2 = 2048;
constinit volatile float    mcs1805_sens_factor = 2.2f;
constinit volatile int32_t  fault_flag = 0;
