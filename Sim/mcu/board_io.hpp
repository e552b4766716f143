// What the chip's pins and buses see of the board around it. The chip's
// models know nothing of what is soldered where: they report what their
// pins and buses do, and the board (Sim/board.hpp) says which pin is which
// signal. The default is an empty board.
#pragma once
#include <cstdint>

namespace sim {

// A pin of the chip: port 0 = A, 1 = B, 2 = C; index 0..15.
struct Pin {
    uint8_t port = 0, index = 0;
    friend bool operator==(Pin, Pin) = default;
};

// What a pin does to its line.
struct PinDrive {
    bool driven = false;   // false: an input; the line is the board's
    float level = 0.0f;    // driven: 0 low, 1 high; a timer's PWM output gives its duty
    friend bool operator==(PinDrive, PinDrive) = default;
};

struct BoardIo {
    virtual ~BoardIo() = default;
    // A pin's drive has changed, at the present instant; the new one.
    virtual void pin_changed(Pin, PinDrive) {}
    // Voltage on an analog input pin at the end of the converter's sampling.
    virtual float pin_volts(Pin) { return 0.0f; }
    // SPI `spi` starts clocking a frame out; at its end the board answers it
    // on MISO (a line nobody drives idles high). cr1 tells the slave the
    // master's clock mode and frame format.
    virtual void spi_frame_begins(int /*spi*/) {}
    virtual uint16_t spi_frame(int /*spi*/, uint16_t /*mosi*/, uint32_t /*cr1*/) { return 0xFFFF; }
    // A byte has left the transmitter of USART `usart`.
    virtual void serial_out(int /*usart*/, uint8_t /*byte*/) {}
};

}  // namespace sim
