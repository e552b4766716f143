// The CPU of a virtual board, a part of its own: it runs the firmware against
// the virtual MCU (Sim/mcu) and is the only part that knows how the firmware
// is built. Two implementations: the native one (the firmware compiled for
// the host, NativeCpu) and the emulated one (the chip image on an emulated
// Cortex-M3).
//
// What a CPU does with the MCU (the MCU's side is documented in mcu.hpp):
// - It reaches registers only through Mcu::bus_read / bus_write, and lets
//   virtual time pass only through Mcu::advance_to / fire_next, taking
//   interrupts after each event and each register access with
//   Nvic::dispatch, which calls take_exception.
// - Exception entry and return are the CPU's: on take_exception(n) the NVIC
//   has already entered n (pending cleared, active); the CPU calls
//   Nvic::leave(n) at its exception return.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "mcu/mcu.hpp"

namespace sim {

class Cpu {
public:
    virtual ~Cpu() = default;

    // "native" or "emulated", for reports.
    virtual const char *name() const = 0;

    // Power-on reset of the core and of the firmware's memory: every variable
    // back to its load value; the next run starts at the reset vector. The
    // MCU is reset separately.
    virtual void reset() = 0;

    // Runs the firmware until virtual time t (from the reset vector on the
    // first run after a reset), taking interrupts as the NVIC decides. Time
    // stands at t afterwards.
    virtual void run_until(Cycles t) = 0;

    // The NVIC has entered exception n to pre-empt what runs now. The native
    // CPU runs the handler to completion, its entry and return costs
    // included, and calls Nvic::leave(n) before returning; the emulated CPU
    // stacks the frame and branches to the vector, and calls Nvic::leave(n)
    // at the exception return (EXC_RETURN), which may tail-chain.
    virtual void take_exception(int n) = 0;

    // Firmware memory by symbol name: a global or file-local variable of the
    // firmware, named as in its source (`foc_mode`, `ring`; names in an
    // anonymous namespace without the namespace). False for an unknown or
    // ambiguous name or when size is not the variable's size.
    virtual bool read_symbol(std::string_view name, void *out, size_t size) = 0;
    virtual bool write_symbol(std::string_view name, const void *in, size_t size) = 0;

    template <typename T>
    std::optional<T> symbol(std::string_view name)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        T v;
        if (!read_symbol(name, &v, sizeof v)) return std::nullopt;
        return v;
    }
    // The same for a caller that cannot go on without it: a firmware without
    // the variable is not the firmware it was written for.
    template <typename T>
    T expect_symbol(std::string_view name)
    {
        std::optional<T> v = symbol<T>(name);
        if (!v) fail("the firmware has no variable " + std::string(name) + " of " + std::to_string(sizeof(T)) + " bytes");
        return *v;
    }
    template <typename T>
    bool set_symbol(std::string_view name, const T &v)
    {
        static_assert(std::is_trivially_copyable_v<T>);
        return write_symbol(name, &v, sizeof v);
    }
};

// The name under which a CPU finds a firmware symbol: the demangled name,
// without "(anonymous namespace)::". Both CPUs index their symbols by it.
std::string firmware_symbol_name(const char *linker_name);

}  // namespace sim
