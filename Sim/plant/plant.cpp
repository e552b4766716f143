#include "plant/plant.hpp"

#include <cmath>

namespace sim {

Plant::Plant(Mcu &mcu, const PlantParams &p, uint64_t seed) : params(p), mcu_(mcu) { reset(seed); }

void Plant::reset(uint64_t)
{
    time_ = 0;
    theta_mech_ = 0.0;
    sensor.reset();
}

void Plant::advance_to(Cycles t)
{
    if (t > time_) time_ = t;
}

void Plant::outputs_changing() { advance_to(mcu_.now()); }

void Plant::odr_changed(int port, uint32_t old_odr, uint32_t new_odr)
{
    if (port == 0 && ((old_odr ^ new_odr) & (1u << 4))) sensor.chip_select((new_odr & (1u << 4)) == 0, mcu_.now());
}

float Plant::adc_input_volts(int channel)
{
    advance_to(mcu_.now());
    return channel == 1 ? static_cast<float>(params.current_zero_v) : 0.0f;
}

uint16_t Plant::spi_frame(uint16_t mosi, uint32_t cr1)
{
    advance_to(mcu_.now());
    double deg = std::fmod(params.sensor_direction * rotor_deg() - params.sensor_offset_deg + 720.0, 360.0);
    auto word = static_cast<uint16_t>(static_cast<uint32_t>(deg / 360.0 * 65536.0) & 0xFFFF);
    return sensor.frame(mosi, cr1, word, 0, mcu_.now());
}

void Plant::set_rotor_deg(double mech_deg) { theta_mech_ = mech_deg * M_PI / 180.0; }

double Plant::rotor_deg() const
{
    double d = std::fmod(theta_mech_ * 180.0 / M_PI, 360.0);
    return d < 0 ? d + 360.0 : d;
}

bool Plant::bridge_enabled() const { return (mcu_.gpiob.odr() & 0xF000) == 0xF000; }

}  // namespace sim
