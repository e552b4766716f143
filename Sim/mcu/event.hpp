// Virtual time of the virtual MCU and the events scheduled on it.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace sim {

using Cycles = uint64_t;   // core cycles at 72 MHz since power-on
constexpr Cycles kNever = ~Cycles{0};
constexpr uint32_t kCoreHz = 72'000'000;
constexpr Cycles kCyclesPerMs = kCoreHz / 1000;

// Rounded to the nearest cycle; no time is negative.
constexpr Cycles ms_to_cycles(double ms)
{
    return ms > 0.0 ? static_cast<Cycles>(ms * kCyclesPerMs + 0.5) : 0;   // NOLINT(bugprone-incorrect-roundings): exact for ms > 0
}
constexpr double cycles_to_ms(Cycles c) { return static_cast<double>(c) / kCyclesPerMs; }

// Ends the program with a message: the virtual board met something it does
// not model, or was used against its rules.
[[noreturn]] void fail(const std::string &what);

class Mcu;

// A point in virtual time at which a model or the board around the chip
// wants to act. An event belongs to the scheduler it is attached to until
// either goes: its destructor unregisters it, and a scheduler that goes
// first detaches its events, so that neither is left with a dangling link.
class Event {
public:
    Event() = default;
    Event(Mcu &mcu, std::function<void()> fire) { attach(mcu, std::move(fire)); }
    ~Event() { detach(); }
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void attach(Mcu &mcu, std::function<void()> fire);
    void detach();
    Cycles due() const { return due_; }

private:
    friend class Mcu;
    Mcu *owner_ = nullptr;
    Cycles due_ = kNever;
    std::function<void()> fire_;
};

}  // namespace sim
