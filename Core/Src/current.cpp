// Phase-V current: ADC1 reads and the conversion of raw counts to mA for the
// MCS1805 hall sensor (and for the MP6540's own sense outputs).
#include "board.h"
#include "foc.h"
#include "numconv.h"

namespace {

constexpr uint32_t ADC_POLL_LIMIT = 5000;

// One software-started conversion; false if end of conversion never came.
bool convert()
{
    A1_CR2 |= ADC_CR2_SWSTART;
    return poll_flag(A1_SR, ADC_SR_EOC, ADC_SR_EOC, ADC_POLL_LIMIT);
}

float counts_to_volts(uint16_t raw, int16_t zero)
{
    int32_t diff = static_cast<int32_t>(raw) - static_cast<int32_t>(zero);
    return f_mul_pow2<-12>(f_from_i32(diff) * 3.3f);   // * 3.3 / 4096
}

}  // namespace

uint16_t ADC_Read(uint8_t channel)
{
    A1_SQR3 = channel & ADC_SQR3_SQ1;
    // The first conversion after selecting the channel is thrown away.
    if (!convert()) return 0;
    read_and_drop(A1_DR);
    if (!convert()) return 0;
    return static_cast<uint16_t>(A1_DR & ADC_DR_DATA);
}

void iv2_zero_calibrate(int shift)
{
    uint32_t sum = 0;
    for (int i = 0; i < (1 << shift); ++i) {
        sum += ADC_Read(1);
    }
    adc_zero_iv2 = static_cast<int16_t>(sum >> shift);
}

uint16_t ADC_Read_Avg(uint8_t channel, int32_t samples)
{
    if (samples <= 0) return 0;
    uint32_t total = 0;
    for (int32_t i = 0; i < samples; ++i) total += ADC_Read(channel);
    return static_cast<uint16_t>(total / static_cast<uint32_t>(samples));
}

// Sign inverted: a count above the zero is a negative current.
int32_t MCS1805_I_mA(uint16_t raw, int16_t zero)
{
    float volts = counts_to_volts(raw, zero);
    float current = -(f_div(volts, f_div(0.264f, mcs1805_sens_factor)) * 1000.0f);   // volts / (0.264 / factor) * 1000
    return f2i_sat(current);
}

int32_t MP6540_I_mA(uint16_t raw, int16_t zero)
{
    float volts = counts_to_volts(raw, zero);
    return f2i_sat(volts * 9200.0f / 5100.0f * 1000.0f);
}
