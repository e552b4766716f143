// The emulated CPU: the chip image (firmware.elf, as it would be flashed)
// runs on the emulated Cortex-M3 (ArmCore) against the virtual MCU.
//
// Time. The core counts cycles of its own clock; the MCU counts 72 MHz
// cycles. The core's cycle c is MCU time anchor_time + (c - anchor_cycle) x
// clock_scale (9 while the core still runs from the 8 MHz oscillator, 1 at
// 72 MHz); the anchor moves whenever a register write changes the scale.
//
// Bus accesses reach the MCU at the cycle they happen: time advances to the
// access's cycle first (due events fire in order), then the model runs.
// Exceptions are taken between runs of the core, which end at block
// boundaries; each run ends at the next MCU event or the time limit, and an
// access after which an exception may pre-empt, or that schedules an event
// before the run's end, ends the run after its block. An interrupt that
// comes due inside a translated block is therefore taken at the block's end:
// its latency grows by at most the rest of that block. In this image the
// longest block after bring-up costs 59 cycles (one in the command
// interpreter; 49 in the control tick), plus 3 or 5 bus cycles for each
// peripheral access in it; bring-up has one of 187.
//
// Exception returns are reported by the core: the NVIC leaves the exception
// and names what tail-chains. PRIMASK and FAULTMASK hold back every
// exception the NVIC would take (the firmware never sets them; BASEPRI is
// not consulted). CCR.STKALIGN and VTOR, as last written to the SCB model,
// apply from the next exception entry on.
//
// Power-on SRAM: every firmware variable at its load value (.data from the
// image, .bss zero) and every other byte zero. The reset path copies and
// clears the same bytes again, as on the chip.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "cpu/arm_core.hpp"
#include "cpu/cpu.hpp"
#include "elf/elf32.hpp"

namespace sim {

class EmulatedCpu final : public Cpu, private cpu::ArmPort {
public:
    // The image must be an ARM executable whose segments fit the flash
    // (fails otherwise; see load_image for a checked load).
    EmulatedCpu(Mcu &mcu, const elf::Image &image);

    const char *name() const override { return "emulated"; }
    void reset() override;
    void run_until(Cycles t) override;
    void take_exception(int n) override;
    bool read_symbol(std::string_view name, void *out, size_t size) override;
    bool write_symbol(std::string_view name, const void *in, size_t size) override;

    cpu::ArmCore &core() { return core_; }
    const elf::Image &image() const { return image_; }
    // MCU time of the core's cycle c.
    Cycles time_of(uint64_t cycle) const { return anchor_time_ + (cycle - anchor_cycle_) * scale_; }

    // Faults the core has taken since power-on (a HardFault entry or a
    // lock-up each).
    const std::vector<cpu::Fault> &faults() const { return faults_; }

    // Observer, for reports: exception n is entered (the core's cycle before
    // the entry), tail-chained into after a return, or returns (the cycle
    // before the return; a tail-chain follows its return at once).
    enum class Exception { Enter, TailChain, Return };
    std::function<void(int n, Exception what, uint64_t cycle)> on_exception;

private:
    // ArmPort.
    uint32_t bus_read(uint32_t addr, unsigned size, uint64_t cycle) override;
    void bus_write(uint32_t addr, uint32_t value, unsigned size, uint64_t cycle) override;
    int exception_return(int n, uint64_t cycle) override;
    void fault(const cpu::Fault &f) override;

    Cycles core_time() const { return time_of(core_.cycles()); }
    bool interrupts_masked() const;
    bool may_preempt();
    void after_access();
    void rescale(uint64_t cycle);
    void apply_scb();
    struct Location { uint32_t addr, size; };   // addr 0: two variables go by this name
    const Location *find(std::string_view name, size_t size) const;

    Mcu &mcu_;
    elf::Image image_;
    cpu::ArmCore core_;
    std::vector<uint8_t> power_on_sram_;
    std::unordered_map<std::string, Location> symbols_;
    std::vector<cpu::Fault> faults_;
    uint64_t anchor_cycle_ = 0;
    Cycles anchor_time_ = 0, scale_ = 0;   // 0: not known yet
    Cycles run_end_ = kNever;   // MCU time at which the present run is to end
};

// Reads and checks a chip image for the emulated CPU: an ARM executable
// whose loadable segments fit the flash. Empty, with the reason, if not.
std::shared_ptr<const elf::Image> load_image(const std::string &path, std::string &why);

// A CPU factory for sim::Board that runs the image on the emulated CPU.
std::function<std::unique_ptr<Cpu>(Mcu &)> emulated_cpu(const std::shared_ptr<const elf::Image> &image);

}  // namespace sim
