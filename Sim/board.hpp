// A virtual board: the virtual MCU, the plant around it (bridge, motor, angle
// and current sensors, button) and the firmware running on it. The native
// firmware runs as a coroutine on its own stack; the board hands it control
// until a point of virtual time and gets it back there.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "mcu/mcu.hpp"
#include "plant/plant.hpp"

namespace sim {

class FirmwareRunner;

class Board {
public:
    explicit Board(const PlantParams &params = PlantParams{}, uint64_t seed = 1);
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Power-on reset: every firmware variable back to its load value, every
    // model reset, time 0. The firmware starts at its reset vector on the
    // next run. The constructor does this.
    void power_on();

    // Runs the firmware (from reset on the first call) until virtual time t.
    void run_until(Cycles t);
    void run_ms(double ms) { run_until(mcu.now() + ms_to_cycles(ms)); }
    double now_ms() const { return cycles_to_ms(mcu.now()); }
    bool firmware_started() const;

    // Types bytes into a serial port (1 or 2), one per character time at
    // 115200 baud, after whatever is still queued on that port.
    void type(int port, std::string_view bytes);
    bool typing(int port) const;
    // Everything the port has sent so far; take_ clears it.
    const std::string &output(int port = 1) const { return out_[port - 1]; }
    std::string take_output(int port = 1);

    void set_button(bool pressed);
    void set_fault(bool low);

    // Called for every byte a port sends, as it leaves the transmitter.
    std::function<void(int port, uint8_t byte)> on_output;

    Mcu mcu;
    Plant plant;

private:
    void feed(int port);
    uint64_t seed_;
    std::unique_ptr<FirmwareRunner> runner_;
    std::deque<uint8_t> in_[2];
    Event feed_[2];
    std::string out_[2];
};

}  // namespace sim
