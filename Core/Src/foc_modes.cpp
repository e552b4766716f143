// The control modes, each run inside the control tick, and the pieces they
// share: the time step, the angle step, the voltage ramps, the position
// error. Modes 0, 1, 3 and 4 leave foc_angle and ramp_vq for the common
// output stage; modes 2 and 5 write the compares themselves.
#include "foc.h"
#include "memo.h"
#include "numconv.h"

namespace {

// The pieces below are written into the modes that use them (always_inline):
// they run on every tick, and a call costs more than the code it saves. The
// public functions after this namespace give the same to the rest.

float absf(float x) { return f_lt(x, 0.0f) ? -x : x; }

struct Gains {
    float kp, ki, kd;
};

constinit Memo<float, 1> dt_memo;
constinit Memo<float, 3> angle_step_memo;
constinit Memo<float, 3> ramp_step_memo;
constinit Memo<float, 3> hold_step_memo;
constinit Memo<float, 1> ref_step_memo;
constinit Memo<Gains, 3> speed_gains_memo;
constinit Memo<Gains, 2> position_gains_memo;
constinit Memo<Gains, 3> current_gains_memo;

// The speed and current loops' gains as the operator types them: kp in
// thousandths, ki and kd in ten-thousandths.
[[gnu::always_inline]] inline Gains per_thousand_and_ten_thousand(Memo<Gains, 3> &memo, float kp, float ki, float kd)
{
    return memo.get({memo_key(kp), memo_key(ki), memo_key(kd)},
                    [=] { return Gains{kp / 1000.0f, ki / 10000.0f, kd / 10000.0f}; });
}

[[gnu::always_inline]] inline float time_step()
{
    const int32_t rate = foc_rate;
    return dt_memo.get({memo_key(rate)}, [=] { return 1.0f / (static_cast<float>(rate) * 1000.0f); });
}

float elec_speed_of(int32_t pairs, float mech_rpm)
{
    float p = f_from_i32(pairs) * mech_rpm;
    return f_div_int<60>(f_mul_pow2<1>(p) * 3.1415925f);   // (p + p) * 3.1415925 / 60
}

[[gnu::always_inline]] inline float angle_step(float mech_rpm)
{
    const int32_t pairs = pole_pairs;
    const int32_t rate = foc_rate;
    return angle_step_memo.get({memo_key(pairs), memo_key(mech_rpm), memo_key(rate)},
                               [=] { return elec_speed_of(pairs, mech_rpm) * time_step(); });
}

// pi + kd * ((e - last) / dt): the PID sum, its derivative term last. With
// kd zero (each loop's default) that term is a zero whenever the derivative
// is finite, which the exponents of e, last and dt guarantee when small
// enough; the sum is then pi itself, or for pi zero the sum of two zeros,
// with the signs the subtraction, division and product would give, and those
// three are skipped. Otherwise all of it is computed as written.
[[gnu::always_inline]] inline float plus_derivative(float pi, float kd, float e, float last, float dt)
{
    const uint32_t be = f_bits(e), bl = f_bits(last), bt = f_bits(dt), bk = f_bits(kd);
    const uint32_t ee = (be >> 23) & 0xFFu, el = (bl >> 23) & 0xFFu, et = (bt >> 23) & 0xFFu;
    const uint32_t emax = ee > el ? ee : el;
    // |e - last| < 2^(emax - 125) stays finite below emax 254, and the
    // derivative is below 2^126 for a normal dt with emax <= et + 124.
    if ((bk << 1) != 0u || emax > 253u || et - 1u > 253u || emax > et + 124u) return pi + kd * f_div(e - last, dt);
    bool diff_negative;   // the sign of e - last
    if (((be | bl) << 1) == 0u) diff_negative = (be >> 31) != 0u && (bl >> 31) == 0u;   // -0 - +0 alone is -0
    else diff_negative = f_lt(e, last);   // equal values give +0
    const uint32_t zero = (bk ^ bt ^ (diff_negative ? 0x80000000u : 0u)) & 0x80000000u;   // kd * d, a signed zero
    const uint32_t bp = f_bits(pi);
    if ((bp << 1) != 0u) return pi;                 // pi + a zero (a NaN stays a NaN)
    return f_from_bits(bp & zero);         // two zeros: -0 only if both are
}

[[gnu::always_inline]] inline float position_error_deg()
{
    float e = pos_ref_deg - ma600_ema_deg;
    while (f_gt(e, 180.0f)) e -= 360.0f;
    while (f_lt(e, -180.0f)) e += 360.0f;
    return e;
}

float ramp_step(float vq)
{
    const int32_t rate = foc_rate;
    const int32_t ms = ramp_rate;
    return ramp_step_memo.get({memo_key(vq), memo_key(rate), memo_key(ms)},
                              [=] { return vq / static_cast<float>(foc_mul_wrap(rate, ms)); });
}

// The applied amplitude moves toward foc_vq by foc_vq per ramp_rate ms; the
// rising form leaves an amplitude above foc_vq where it is.
[[gnu::always_inline]] inline void ramp_toward_vq(bool both_ways)
{
    float vq = foc_vq;
    if (ramp_rate == 0) {
        ramp_vq = vq;
        return;
    }
    float r = ramp_vq;
    if (f_lt(r, vq)) {
        r = r + ramp_step(vq);
        if (f_gt(r, vq)) r = vq;
        ramp_vq = r;
    } else if (both_ways && f_gt(r, vq)) {
        r = r - ramp_step(vq);
        if (f_lt(r, vq)) r = vq;
        ramp_vq = r;
    }
}

// Lowers ramp_vq toward hold_vq by foc_vq per `ms_per_fall` milliseconds;
// an amplitude below hold_vq jumps up to it.
void hold_ramp_down(int32_t ms_per_fall)
{
    float hold = hold_vq;
    float r = ramp_vq;
    if (f_gt(r, hold)) {
        const float vq = foc_vq;
        const int32_t rate = foc_rate;
        r = r - hold_step_memo.get({memo_key(vq), memo_key(rate), memo_key(ms_per_fall)},
                                   [=] { return vq / static_cast<float>(foc_mul_wrap(rate, ms_per_fall)); });
        if (f_lt(r, hold)) r = hold;
        ramp_vq = r;
    } else if (f_lt(r, hold)) {
        ramp_vq = hold;
    }
}

}  // namespace

float foc_dt(void)
{
    return time_step();
}

float foc_elec_speed(float mech_rpm)
{
    return elec_speed_of(pole_pairs, mech_rpm);
}

float foc_plus_derivative(float pi, float kd, float e, float last, float dt)
{
    return plus_derivative(pi, kd, e, last, dt);
}

float foc_angle_step(float mech_rpm)
{
    return angle_step(mech_rpm);
}

// Target less smoothed sensor angle, wrapped into [-180, 180] degrees.
float foc_position_error_deg(void)
{
    return position_error_deg();
}

void foc_ramp_rising(void)
{
    ramp_toward_vq(false);
}

void foc_ramp_two_way(void)
{
    ramp_toward_vq(true);
}

// Mode 0: the vector turns at the open-loop speed whatever the rotor does.
void foc_mode_speed_open(void)
{
    ramp_toward_vq(false);
    float angle = foc_angle + angle_step(foc_speed);
    foc_angle = foc_wrap_down(angle);   // the open-loop speed is positive: the angle only grows
}

// Mode 1: turn the vector at the open-loop speed toward the target; stop it
// within 5 degrees. The sensor only picks the direction and the stop.
void foc_mode_pos_open(void)
{
    float e = position_error_deg();

    if (f_lt(absf(e), 5.0f)) {
        hold_ramp_down(50);
        return;
    }

    ramp_toward_vq(false);
    // Backwards, the step of the negated speed: (-w) * dt is -(w * dt) exactly.
    float step = angle_step(foc_speed);
    if (f_lt(e, 0.0f)) step = -step;
    float angle = foc_angle + step;
    foc_angle = foc_wrap_up(foc_wrap_down(angle));   // in this order: a hair below 0 gives 2 pi
}

// Mode 2: a fixed voltage that drives a direct current into phase V and out
// of phases U and W, in proportion to the current target.
void foc_mode_cur_open(void)
{
    float vq = foc_vq;
    float v = 0.0012f * cur_tgt_mA;
    if (f_gt(v, vq)) v = vq;
    if (f_lt(v, 0.0f)) v = 0.0f;
    uint16_t u, vv, w;
    svpwm(0.0f, v, 0.0f, &u, &vv, &w);
    foc_write_compares(u, vv, w);
}

// Mode 3: PID from speed error to the signed amplitude; the vector is aligned
// with the sensor for the first 10 ticks, then turned at the reference speed.
void foc_mode_speed_cl(void)
{
    const Gains g = per_thousand_and_ten_thousand(speed_gains_memo, pid_spd_kp, pid_spd_ki, pid_spd_kd);
    const float kp = g.kp, ki = g.ki, kd = g.kd;
    float vq = foc_vq;
    float dt = time_step();
    const int32_t rate = foc_rate;
    float step = ref_step_memo.get({memo_key(rate)}, [=] { return 200.0f * dt; });

    float set = speed_set;
    float ref = speed_cl_ref;
    if (f_lt(ref, set)) {
        ref = ref + step;
        if (f_gt(ref, set)) ref = set;
    } else if (f_gt(ref, set)) {
        ref = ref - step;
        if (f_lt(ref, set)) ref = set;
    }
    speed_cl_ref = ref;

    float e = ref - actual_rpm;
    const float last = pid_spd_last_err;

    float lim = 20.0f * vq;
    float sum = e * dt + pid_spd_sum;
    if (f_gt(sum, lim)) sum = lim;
    else if (f_lt(sum, -lim)) sum = -lim;

    float u = plus_derivative(kp * e + sum * ki, kd, e, last, dt);   // + kd * ((e - last) / dt)
    if (f_gt(u, vq)) u = vq;
    else if (f_lt(u, -vq)) u = -vq;

    // Saturated and still pushing the same way: take this tick's integration back.
    if ((f_ge(u, vq) && f_gt(e, 0.0f)) || (f_le(u, -vq) && f_lt(e, 0.0f))) sum = sum - e * dt;
    pid_spd_sum = sum;

    ramp_vq = u;
    pid_spd_last_err = e;

    if (ma_sync_count <= 9) {
        foc_angle = ma_angle;
        ma_sync_count = ma_sync_count + 1;
    } else {
        float angle = foc_angle + angle_step(ref);
        foc_angle = foc_wrap_angle(angle);
    }
}

// Mode 4: PID from position error to a speed command that turns the vector,
// with a 2/5-degree hysteresis into a hold where the vector stands still.
void foc_mode_pos_cl(void)
{
    float e = position_error_deg();
    float emax = pos_err_max;
    if (f_gt(e, emax)) e = emax;
    if (f_lt(e, -emax)) e = -emax;
    float dt = time_step();

    if (pos_hold == 0 && f_lt(absf(e), 2.0f)) pos_hold = 1;
    else if (pos_hold != 0 && f_gt(absf(e), 5.0f)) pos_hold = 0;

    if (pos_hold != 0) {
        hold_ramp_down(20);
        pid_spd_sum = 0.0f;
        pid_spd_last_err = 0.0f;
        return;
    }

    float kp = pid_pos_kp;
    const float pos_ki = pid_pos_ki, pos_kd = pid_pos_kd;
    const Gains g = position_gains_memo.get({memo_key(pos_ki), memo_key(pos_kd)},
                                            [=] { return Gains{0.0f, pos_ki * 0.001f, pos_kd * 0.001f}; });
    const float ki = g.ki, kd = g.kd;
    const float last = pid_spd_last_err;

    float sum = e * dt + pid_spd_sum;
    if (f_gt(sum, 500.0f)) sum = 500.0f;
    else if (f_lt(sum, -500.0f)) sum = -500.0f;
    pid_spd_sum = sum;

    float s = plus_derivative(kp * e + sum * ki, kd, e, last, dt);   // + kd * ((e - last) / dt)
    if (f_gt(s, 500.0f)) s = 500.0f;
    else if (f_lt(s, -500.0f)) s = -500.0f;
    if (f_lt(absf(e), 10.0f)) s = s * 0.2f;   // fine zone near the target

    float angle = foc_angle + angle_step(s);
    foc_angle = foc_wrap_angle(angle);

    ramp_toward_vq(true);
    pid_spd_last_err = e;
}

// Mode 5: open-loop start-up in two ramps, then PID on the phase-V current.
// The vector sits a quarter turn ahead of the sensor's electrical angle.
void foc_mode_cur_cl(void)
{
    float theta = ma_angle + 1.5708f;

    if (cur_cl_started == 0) {
        cur_cl_started = 1;
        cur_cl_phase = 0;
        cur_cl_open_v = 0.0f;
        foc_write_compares(0, 0, 0);
        return;
    }

    if (cur_cl_phase == 0) {
        if (f_lt(cur_cl_open_v, 0.05f)) cur_cl_open_v = cur_cl_open_v + 0.0004f;
        else cur_cl_phase = 1;
        foc_output_vector(theta, cur_cl_open_v);
        return;
    }

    float vq = foc_vq;
    if (f_lt(cur_cl_open_v, vq)) cur_cl_open_v = cur_cl_open_v + 0.0005f;
    else cur_cl_phase = 2;
    if (cur_cl_phase == 1) {
        foc_output_vector(theta, cur_cl_open_v);
        return;
    }

    int32_t measured = MCS1805_I_mA(iv2_cache, adc_zero_iv2);
    float e = f_from_i32(measured) + cur_tgt_mA;   // the sensor reads inverted
    const Gains g = per_thousand_and_ten_thousand(current_gains_memo, pid_cur_kp, pid_cur_ki, pid_cur_kd);
    const float kp = g.kp, ki = g.ki, kd = g.kd;
    float dt = time_step();
    const float last = cur_cl_last_err;

    float u = plus_derivative(kp * e + cur_cl_integral * ki, kd, e, last, dt);   // + kd * ((e - last) / dt)
    if (f_gt(u, vq)) u = vq;
    else if (f_lt(u, 0.0f)) u = 0.0f;
    else cur_cl_integral = e * dt + cur_cl_integral;   // integrate only when not limited

    cur_cl_pid_out = u;
    cur_cl_last_err = e;
    foc_output_vector(theta, u);
}
