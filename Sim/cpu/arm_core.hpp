// An emulated Cortex-M3 (the STM32F103RC's core) that runs the chip image:
// the Unicorn engine executes Thumb-2 code; this class adds what the engine
// does not do for an M-profile core (the memory map, reset from the vector
// table, exception entry and return, the cycle count) and hands every
// access to the peripheral and system windows to a port, with the cycle at
// which it happens.
//
// Time is counted in core cycles since construction (`cycles()`). Code
// runs only inside `run()`; exceptions are entered only between runs
// (`enter_exception`), returns are reported from inside `run()`.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cpu/cycle_model.hpp"
#include "elf/elf32.hpp"

struct uc_struct;

namespace sim::cpu {

// Memory map of the STM32F103RC as the core sees it.
inline constexpr uint32_t kFlashBase = 0x08000000, kFlashSize = 256 * 1024;  // boot alias at 0
inline constexpr uint32_t kSramBase = 0x20000000, kSramSize = 48 * 1024;
inline constexpr uint32_t kPeriphBase = 0x40000000, kPeriphSize = 0x30000;   // APB1, APB2, AHB
inline constexpr uint32_t kSystemBase = 0xE000E000, kSystemSize = 0x1000;    // SysTick, NVIC, SCB

// Exception entry, return and tail-chain costs (Cortex-M3 TRM, zero-wait
// memory). The handler's, or the resumed code's, first fetch from flash
// pays the flash wait states on top, like every redirected fetch.
inline constexpr uint32_t kEntryCycles = 12, kReturnCycles = 10, kTailChainCycles = 6;

// Extra cycles of one access through the AHB-to-APB bridges on top of the
// core's own load/store cost: an APB transfer takes a setup and an access
// cycle of the bus clock (AMBA APB) plus one core cycle to cross the
// bridge. APB2 runs at 72 MHz (2 + 1), APB1 at 36 MHz (2 x 2 + 1). The AHB
// peripherals (RCC, flash interface) and the system window are zero-wait.
// Peripheral accesses never pipeline with a neighbouring load or store.
inline constexpr uint32_t kApb1Extra = 5, kApb2Extra = 3;

enum class FaultKind : uint8_t {
    Undefined,    // undefined or unsupported instruction (UDF, coprocessor, v8-M only)
    Bus,          // access outside every region, or a write to flash
    Breakpoint,   // BKPT without a debugger
    InvalidReturn,// EXC_RETURN outside handler mode or with an unsupported value
    InvalidState, // a vector or a return into ARM state (Thumb bit clear)
    Stacking,     // the exception frame does not fit the SRAM
};

struct Fault {
    FaultKind kind;
    uint32_t pc;          // the faulting instruction
    uint32_t address;     // the data address of a bus fault
    int exception;        // what the core enters next: 3 (HardFault), or -1: lock-up
    uint64_t cycle;
};

// What the emulated core needs from the rest of the board.
class ArmPort {
public:
    virtual ~ArmPort() = default;
    // A load or store of 1, 2 or 4 bytes in the peripheral or system
    // window at core cycle `cycle`. No time passes inside; the port may call
    // ArmCore::request_stop() to end the run after the current block.
    virtual uint32_t bus_read(uint32_t addr, unsigned size, uint64_t cycle) = 0;
    virtual void bus_write(uint32_t addr, uint32_t value, unsigned size, uint64_t cycle) = 0;
    // The handler of exception n has returned (EXC_RETURN). The answer is
    // the exception to tail-chain into (entered without unstacking), or 0
    // to unstack and resume the interrupted context.
    virtual int exception_return(int n, uint64_t cycle) = 0;
    // The core faulted; right after this call it enters f.exception
    // (HardFault, which the NVIC must count as active) or locks up.
    virtual void fault(const Fault &f) = 0;
};

struct FunctionCycles {
    std::string name;
    uint64_t cycles;
};

class ArmCore {
public:
    // Opens the engine as a Cortex-M3 and checks that it is one (throws
    // std::runtime_error if not); maps flash, SRAM and the two windows.
    explicit ArmCore(ArmPort &port);
    ~ArmCore();
    ArmCore(const ArmCore &) = delete;
    ArmCore &operator=(const ArmCore &) = delete;

    // Programs the image's loadable segments into flash at their load
    // addresses, as a flasher does (SRAM is left alone), and keeps its
    // symbols. False if a segment's load address is outside the flash.
    bool load(const elf::Image &image);

    // Power-on or system reset of the core: SP and PC from the vector
    // table, thread mode, privileged, main stack, no mask set. SRAM keeps
    // its contents, as on the chip.
    void reset();

    // Runs for at least `budget` cycles, or until the port asks to stop.
    // Returns the cycles that passed (an exception return or fault inside
    // the run included). Stops only at block boundaries: it may overshoot
    // by the cost of one block.
    uint64_t run(uint64_t budget);
    void request_stop();

    // Takes exception n (2 = NMI ... 15 = SysTick, 16 + IRQ) now, between
    // runs: stacks the frame, sets IPSR, LR and PC from the vector.
    void enter_exception(int n);

    uint64_t cycles() const { return cycles_; }
    bool locked_up() const { return locked_up_; }

    // Stack alignment on exception entry: CCR.STKALIGN, clear at reset on
    // the r1p1 core of the STM32F103 (4-byte alignment); the SCB model sets
    // it if the firmware does.
    void set_stack_align8(bool on) { align8_ = on; }
    // VTOR (0 at reset: the flash alias).
    void set_vector_table(uint32_t addr) { vtor_ = addr; }

    enum Reg { R0 = 0, R12 = 12, SP = 13, LR = 14, PC = 15, XPSR, IPSR, PRIMASK, BASEPRI, FAULTMASK, CONTROL };
    uint32_t reg(Reg r) const;
    void set_reg(Reg r, uint32_t v);

    // Memory by address: SRAM read and write, flash read only. False if
    // the range is not entirely inside one of them (or is flash, to write).
    bool read(uint32_t addr, void *out, uint32_t n) const;
    bool write(uint32_t addr, const void *in, uint32_t n);
    const elf::Symbol *symbol(const std::string &name) const;
    // The name under which the profile counts the function at addr (of
    // several names for it, the soft-float helper's __aeabi_ one); "" if
    // no function symbol holds addr.
    std::string function_name(uint32_t addr) const;

    // Profile: cycles per function (the function that holds each block,
    // exception entry and return under "(exception)", code outside every
    // function symbol under "(unknown)") and the lowest SP seen at block
    // starts and exception entries. Costs a little per block when on.
    void set_profiling(bool on);
    std::vector<FunctionCycles> profile() const;
    uint32_t lowest_sp() const { return lowest_sp_; }
    void clear_profile();
    // The profile as counters by bucket (cheap to copy and compare): cycles,
    // and entries at the function's first instruction (calls); the name of a
    // bucket.
    const std::vector<uint64_t> &profile_cycles() const { return function_cycles_; }
    const std::vector<uint64_t> &profile_calls() const { return function_calls_; }
    std::string profile_name(size_t bucket) const;
    // Cycles of `function` (its symbol name), a leaf that calls nothing,
    // counted by caller from now on: under "function<caller", caller being
    // the function that holds the return address at its entry. False for
    // an unknown name.
    bool profile_by_caller(const std::string &function);
    // Sets the lowest SP seen and returns the one it replaces: a report
    // takes the depth of each context apart this way.
    uint32_t exchange_lowest_sp(uint32_t sp)
    {
        const uint32_t old = lowest_sp_;
        lowest_sp_ = sp;
        return old;
    }

    // Idle loops. Code that comes back to a block with every register as it
    // was there before, having stored nothing, touched no peripheral and
    // taken no exception on the way, repeats itself exactly until an
    // exception or the end of the run: it reads only memory that nothing
    // else changes meanwhile (the main loop polling the millisecond count).
    // Once such a repetition has been seen, the core adds whole repetitions
    // at once up to the end of the run and emulates the rest, so that the
    // run ends at the same block and the same cycle as without the skip, with
    // the profile counted as if they had run. Candidates are the targets of
    // backward branches within a function whose block stores nothing. On by
    // default.
    void set_idle_skip(bool on);
    uint64_t idle_cycles_skipped() const { return idle_skipped_; }
    struct IdleLoop {
        uint32_t head;     // the block it comes back to
        uint32_t exit;     // where the block that branches back falls through: where it ends
        uint64_t period;   // cycles of one repetition
    };
    std::optional<IdleLoop> idle_loop() const { return idle_loop_; }   // the last one seen

    // Calls fn(addr) at the start of every block that begins at one of
    // `addrs` (none: no calls), with cycles() standing at the block's start.
    void watch_blocks(std::vector<uint32_t> addrs, std::function<void(uint32_t)> fn);

private:
    struct Block;
    friend struct EngineHooks;

    bool self_check();
    void block(uint32_t addr, uint32_t size);
    size_t bucket_of(const Block &b, uint32_t addr);
    void idle_check(const Block &b, uint32_t addr);
    void idle_dirty() { idle_.clean = false; }
    const Block &lookup(uint32_t addr, uint32_t size);
    uint64_t access_cycle(uint32_t addr, bool write, unsigned size);
    void interrupt(uint32_t intno);
    void add(uint64_t n, size_t bucket);
    void resolve_last_branch();
    void stopped_by_error(int err);
    void raise(FaultKind kind, uint32_t pc, uint32_t address);
    void exception_return();
    bool stack_frame(uint32_t return_pc);
    bool branch_to_vector(int n);
    int function_index(uint32_t addr) const;

    ArmPort &port_;
    uc_struct *uc_ = nullptr;
    std::vector<uint8_t> flash_, sram_;
    std::vector<elf::Symbol> symbols_;
    std::vector<elf::Symbol> functions_;        // sorted by address
    std::vector<std::unique_ptr<Block>> flash_blocks_;  // by halfword offset in flash
    std::unique_ptr<Block> scratch_;            // a block outside flash, decoded each time

    uint64_t cycles_ = 0;
    uint64_t end_ = 0;
    bool stop_ = false;
    bool locked_up_ = false;
    bool align8_ = false;
    uint32_t vtor_ = 0;

    // The block that runs now and what follows from its end.
    const Block *current_ = nullptr;
    uint64_t block_start_ = 0;
    uint32_t block_extra_ = 0;
    size_t access_cursor_ = 0;     // next candidate instruction for a peripheral access
    unsigned access_repeat_ = 0;   // accesses left of the multiple at the cursor
    std::vector<size_t> fit_scratch_;
    size_t match_access(const std::vector<uint16_t> &list, size_t from, uint32_t addr, bool write, unsigned size);
    uint32_t expect_next_ = 0;     // fall-through address of the last block
    uint32_t taken_extra_ = 0;     // what the last block adds if its final branch was taken
    bool must_redirect_ = true;    // the last block ended in a redirecting transfer

    // Why the engine stopped, noted by the hooks.
    bool exc_return_ = false;
    int interrupt_ = -1;           // engine exception other than a return
    uint32_t bad_address_ = 0;     // the failed data access
    unsigned bad_size_ = 0;
    bool bad_write_ = false;

    bool profiling_ = false;
    // functions_, then unknown, then exception, then the by-caller buckets
    std::vector<uint64_t> function_cycles_, function_calls_;
    uint32_t lowest_sp_ = 0xFFFFFFFF;
    size_t bucket_ = 0;                         // where the running block's cycles go
    std::vector<bool> by_caller_;               // per function
    std::vector<std::pair<size_t, size_t>> caller_buckets_;   // (function, caller) of each by-caller bucket
    std::vector<size_t> caller_bucket_at_;      // per exception nesting level: the by-caller bucket in use
    unsigned depth_ = 0;                        // exception nesting level

    // The idle-loop watch (see set_idle_skip).
    static constexpr int kIdleRegs = 16;        // R0-R12, SP, LR, xPSR
    static constexpr unsigned kIdleMaxBlocks = 32, kIdleMaxMisses = 8;
    struct IdleWatch {
        uint32_t head = 0;                      // 0: none
        bool clean = false;
        unsigned blocks = 0;
        uint64_t start = 0;
        uint32_t regs[kIdleRegs]{};
        uint32_t expect_next = 0, taken_extra = 0;
        bool must_redirect = false;
        std::vector<uint64_t> cycles, calls;   // the profile at the head, when profiling
    };
    bool idle_skip_ = true;
    IdleWatch idle_;
    uint64_t idle_skipped_ = 0;
    std::optional<IdleLoop> idle_loop_;
    void idle_snapshot(uint32_t *regs) const;

    std::vector<uint32_t> watched_;             // sorted
    std::function<void(uint32_t)> on_watched_;
};

}  // namespace sim::cpu
