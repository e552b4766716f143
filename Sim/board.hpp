// A virtual board: the virtual MCU, the plant around it (bridge, motor, angle
// and current sensors, button) and the CPU that runs the firmware on it (the
// native build unless the board is given another CPU).
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "cpu/native_cpu.hpp"
#include "mcu/board_io.hpp"
#include "mcu/mcu.hpp"
#include "plant/plant.hpp"

namespace sim {

// Builds the CPU of a board around its MCU.
using CpuFactory = std::function<std::unique_ptr<Cpu>(Mcu &)>;

// What is soldered to which pin of the chip: the one place that says it.
struct Wiring {
    Pin sensor_cs{0, 4};                        // MA600A chip select (PA4), active low; pulled up on the sensor
    int sensor_spi = 1;                         // MA600A on SPI1
    Pin bridge_in[3]{{1, 6}, {1, 7}, {1, 8}};   // MP6540 IN_A..C from PB6..8; a released line is pulled down
    Pin bridge_en[3]{{1, 12}, {1, 13}, {1, 14}};
    Pin bridge_nsleep{1, 15};
    Pin bridge_nfault{1, 0};                    // MP6540 fault output, open drain, low = fault
    Pin button{2, 8};                           // to ground when pressed
    Pin led{0, 8};
    Pin current_sense{0, 1};                    // MCS1805 output, ADC channel 1
    int console_usart[2]{1, 2};                 // serial ports 1 and 2 of the console
};

// One character at 115200 baud, 8N1 (start, 8 data, stop bits), in core
// cycles: the pace at which the board's typist delivers bytes.
constexpr Cycles kTypedCharCycles = Cycles{kCoreHz} / 115200 * 10;

class Board : private BoardIo {
public:
    explicit Board(const PlantParams &params = PlantParams{}, uint64_t seed = 1,
                   const CpuFactory &make_cpu = make_native_cpu);
    ~Board() override;
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Power-on reset: every firmware variable back to its load value, every
    // model reset, time 0. The firmware starts at its reset vector on the
    // next run. The constructor does this.
    void power_on();

    // Everything of the board at one instant between runs: the firmware's
    // memory and where it stands, the MCU, the plant, what is still being
    // typed and what the ports have sent. restore() puts the board back
    // there, and from there it runs on as it did the first time, byte for
    // byte. Native CPU only; a snapshot goes back onto the board that took it.
    struct Snapshot {
        std::shared_ptr<const NativeCpu::State> cpu;
        StateArchive::Bytes models;
    };
    Snapshot save();
    void restore(const Snapshot &s);

    // Runs the firmware (from reset on the first call) until virtual time t.
    void run_until(Cycles t) { cpu_->run_until(t); }
    void run_ms(double ms) { run_until(mcu.now() + ms_to_cycles(ms)); }
    double now_ms() const { return cycles_to_ms(mcu.now()); }

    Cpu &cpu() { return *cpu_; }
    // The native CPU, for tests that call firmware functions themselves;
    // fails on a board with another CPU.
    NativeCpu &native();

    // Types bytes into a serial port of the console (1 or 2), one per
    // character time, after whatever is still queued on that port.
    void type(int port, std::string_view bytes);
    bool typing(int port) const;
    // Everything the port has sent so far; take_ clears it.
    const std::string &output(int port = 1) const { return out_[port - 1]; }
    std::string take_output(int port = 1);

    void set_button(bool pressed);
    void set_fault(bool low);
    bool led_lit();

    const Wiring wiring;
    Mcu mcu;
    Plant plant;

private:
    // BoardIo: the chip's pins and buses, routed as wired.
    void pin_changed(Pin pin, PinDrive drive) override;
    float pin_volts(Pin pin) override;
    void spi_frame_begins(int spi) override;
    uint16_t spi_frame(int spi, uint16_t mosi, uint32_t cr1) override;
    void serial_out(int usart, uint8_t byte) override;

    void feed(int port);
    void archive(StateArchive &a);
    uint64_t seed_;
    std::unique_ptr<Cpu> cpu_;
    std::deque<uint8_t> in_[2];
    Event feed_[2];
    std::string out_[2];
};

}  // namespace sim
