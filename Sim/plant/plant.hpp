// The plant around the chip: MP6540 bridge, motor, MA600A angle sensor,
// MCS1805 current sensor and the push button. It presents the signals the
// firmware sees through the pins and buses of the virtual MCU.
#pragma once
#include <cstdint>
#include <functional>

#include "mcu/mcu.hpp"
#include "plant/ma600a_model.hpp"

namespace sim {

struct PlantParams {
    double supply_v = 12.0;             // bridge supply, V
    double sensor_offset_deg = 0.0;     // MA600A zero relative to the rotor's d axis, mechanical degrees
    int sensor_direction = 1;           // +1: angle word grows with positive rotation
    double adc_vref = 3.3;              // converter reference, V
    double current_zero_v = 1.65;       // MCS1805 output at zero current, V
    double current_sens_v_per_a = 0.264 / 2.2;
};

class Plant : public BoardIo {
public:
    Plant(Mcu &mcu, const PlantParams &params, uint64_t seed);
    void reset(uint64_t seed);

    // BoardIo
    void outputs_changing() override;
    void odr_changed(int port, uint32_t old_odr, uint32_t new_odr) override;
    float adc_input_volts(int channel) override;
    uint16_t spi_frame(uint16_t mosi, uint32_t cr1) override;
    // Bytes sent by the firmware, forwarded to the board.
    std::function<void(int port, uint8_t byte)> on_uart_tx;
    void uart_tx(int port, uint8_t byte) override {
        if (on_uart_tx) on_uart_tx(port, byte);
    }

    // Brings the plant's state up to the present virtual time.
    void advance_to(Cycles t);

    // State the outside world sets or reads.
    void set_rotor_deg(double mech_deg);   // only while the bridge is off
    double rotor_deg() const;              // mechanical, [0, 360)
    double phase_v_current_a() const { return 0.0; }
    bool bridge_enabled() const;

    PlantParams params;
    Ma600aModel sensor;

private:
    Mcu &mcu_;
    Cycles time_ = 0;
    double theta_mech_ = 0.0;   // rad
};

}  // namespace sim
