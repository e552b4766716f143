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
#include "mcu/mcu.hpp"
#include "plant/plant.hpp"

namespace sim {

// Builds the CPU of a board around its MCU.
using CpuFactory = std::function<std::unique_ptr<Cpu>(Mcu &)>;

class Board {
public:
    explicit Board(const PlantParams &params = PlantParams{}, uint64_t seed = 1,
                   const CpuFactory &make_cpu = make_native_cpu);
    ~Board();
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;

    // Power-on reset: every firmware variable back to its load value, every
    // model reset, time 0. The firmware starts at its reset vector on the
    // next run. The constructor does this.
    void power_on();

    // Runs the firmware (from reset on the first call) until virtual time t.
    void run_until(Cycles t) { cpu_->run_until(t); }
    void run_ms(double ms) { run_until(mcu.now() + ms_to_cycles(ms)); }
    double now_ms() const { return cycles_to_ms(mcu.now()); }

    Cpu &cpu() { return *cpu_; }
    // The native CPU, for tests that call firmware functions themselves;
    // fails on a board with another CPU.
    NativeCpu &native();

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
    std::unique_ptr<Cpu> cpu_;
    std::deque<uint8_t> in_[2];
    Event feed_[2];
    std::string out_[2];
};

}  // namespace sim
