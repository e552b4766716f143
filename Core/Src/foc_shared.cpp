// Pieces of the control step that the tick and the modes share: the time
// step, electrical speed, the voltage ramps, the output stage, the angle
// fields from a sensor word and the position error.
#include "board.h"
#include "foc.h"
#include "memo.h"

namespace {

float elec_speed_of(int32_t pairs, float mech_rpm)
{
    float p = static_cast<float>(pairs) * mech_rpm;
    return f_mul_pow2<1>(p) * 3.1415925f / 60.0f;   // (p + p): the same sum
}

constinit Memo<float, 1> dt_memo;
constinit Memo<float, 3> angle_step_memo;
constinit Memo<float, 3> ramp_step_memo;

}  // namespace

// Mechanical, electrical and smoothed angle from one raw sensor word; the
// control tick runs it on each new sample and the main loop every pass.
// ma_angle is stored once, already wrapped, so no reader sees 2 pi or more.
void foc_angles_from_raw(uint16_t raw)
{
    float mech = f_mul_pow2<-16>(static_cast<float>(raw) * 360.0f);   // * 360 / 65536
    ma600_mech_deg = mech;

    float elec = static_cast<float>(pole_pairs) * mech * 0.0174533f;
    ma_angle = foc_wrap_down(elec);   // from a sensor word: not negative

    float ema = ma600_ema_deg;
    ma600_ema_deg = f_eq(ema, 0.0f) ? mech : mech * 0.1f + ema * 0.9f;
}

// Target less smoothed sensor angle, wrapped into [-180, 180] degrees.
float foc_position_error_deg(void)
{
    float e = pos_ref_deg - ma600_ema_deg;
    while (f_gt(e, 180.0f)) e -= 360.0f;
    while (f_lt(e, -180.0f)) e += 360.0f;
    return e;
}

int32_t foc_mul_wrap(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}

float foc_dt(void)
{
    const int32_t rate = foc_rate;
    return dt_memo.get({memo_key(rate)}, [=] { return 1.0f / (static_cast<float>(rate) * 1000.0f); });
}

float foc_elec_speed(float mech_rpm)
{
    return elec_speed_of(pole_pairs, mech_rpm);
}

float foc_angle_step(float mech_rpm)
{
    const int32_t pairs = pole_pairs;
    const int32_t rate = foc_rate;
    return angle_step_memo.get({memo_key(pairs), memo_key(mech_rpm), memo_key(rate)},
                               [=] { return elec_speed_of(pairs, mech_rpm) * foc_dt(); });
}

static float ramp_step(float vq)
{
    const int32_t rate = foc_rate;
    const int32_t ms = ramp_rate;
    return ramp_step_memo.get({memo_key(vq), memo_key(rate), memo_key(ms)},
                              [=] { return vq / static_cast<float>(foc_mul_wrap(rate, ms)); });
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
    float vb = amplitude * c * 0.8660254f - f_mul_pow2<-1>(va);   // va * 0.5
    float vc = -va - vb;
    uint16_t u, v, w;
    svpwm(va, vb, vc, &u, &v, &w);
    foc_write_compares(u, v, w);
}
