#include "cpu/arm_core.hpp"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace sim::cpu {

// Facts of the engine (Unicorn 2.0.1) this binding relies on, checked on
// this machine:
// - UC_MODE_MCLASS alone gives a Cortex-M33 (v8-M: `tt` executes). The core
//   is opened in Thumb mode with the Cortex-M3 model set before the first
//   run; `tt` is then an invalid instruction and `udiv` works (self_check).
// - The engine does no M-profile exception handling of its own: a branch
//   to an EXC_RETURN value fails to fetch at 0xFFFFFFF8 (0xFFFFFFF0,
//   0xFFFFFFFC) and raises the interrupt hook (prefetch abort), whatever
//   IPSR says. UDF and undefined encodings end the run with
//   UC_ERR_INSN_INVALID and the PC on the instruction.
// - Inside a peripheral (MMIO) callback the PC reads as the start of the
//   translated block, not the accessing instruction; and stopping the
//   engine from there abandons the block half done (the block runs again
//   from its start). Stops are therefore made only from the block hook,
//   which stops before the block runs, for about 0.5 us per stop; a stop at
//   the `until` address costs some 20 us and is not used.
// - A store to memory mapped as RAM costs about 400 ns (2.0.1 takes every
//   one through its check for self-modifying code, which allocates), a
//   load about 2 ns; any access through callbacks about 70 ns. The stack,
//   which takes most stores (PUSH, locals), therefore lives in a page served
//   by callbacks; the rest of the SRAM is mapped directly.

namespace {
constexpr uint32_t kNever = 0xFFFFFFFE;  // `until` address no code reaches
constexpr uint32_t kExcReturnFloor = 0xFFFFFFF0;
constexpr int kHardFault = 3;
constexpr uint32_t kThumb = 1u << 24;
constexpr uint32_t kStackPad = 1u << 9;  // xPSR bit: the frame was realigned
// The top page of SRAM (the stack), served by callbacks: see above.
constexpr uint32_t kStackPage = 0x1000, kStackPageBase = kSramBase + kSramSize - kStackPage;

bool in_range(uint32_t addr, uint32_t n, uint32_t base, uint32_t size)
{
    return addr >= base && n <= size && addr - base <= size - n;
}

uint32_t bus_extra(uint32_t addr)
{
    if (addr - kPeriphBase < 0x10000) return kApb1Extra;
    if (addr - (kPeriphBase + 0x10000) < 0x8000) return kApb2Extra;
    return 0;
}

int uc_reg_id(ArmCore::Reg r)
{
    switch (r) {
    case ArmCore::SP: return UC_ARM_REG_SP;
    case ArmCore::LR: return UC_ARM_REG_LR;
    case ArmCore::PC: return UC_ARM_REG_PC;
    case ArmCore::XPSR: return UC_ARM_REG_XPSR;
    case ArmCore::IPSR: return UC_ARM_REG_IPSR;
    case ArmCore::PRIMASK: return UC_ARM_REG_PRIMASK;
    case ArmCore::BASEPRI: return UC_ARM_REG_BASEPRI;
    case ArmCore::FAULTMASK: return UC_ARM_REG_FAULTMASK;
    case ArmCore::CONTROL: return UC_ARM_REG_CONTROL;
    default: return static_cast<int>(UC_ARM_REG_R0) + static_cast<int>(r);
    }
}
}  // namespace

struct ArmCore::Block {
    uint32_t addr = 0, size = 0;
    bool in_flash = false;
    size_t function = 0;
    BlockCost cost;
    std::vector<uint16_t> data;         // instructions that load or store through a register
    std::vector<uint16_t> candidates;   // those that may reach a peripheral (not through SP)
    bool stores = false;                // it stores to memory
    // Learned while running, for the idle-loop watch: it has reached a
    // peripheral; it was found at a loop head with other registers than the
    // time before this many times in a row.
    mutable bool touched_bus = false;
    mutable uint8_t idle_misses = 0;
};

struct EngineHooks {
    static void block(uc_engine *, uint64_t addr, uint32_t size, void *self)
    {
        static_cast<ArmCore *>(self)->block(static_cast<uint32_t>(addr), size);
    }
    static void interrupt(uc_engine *, uint32_t intno, void *self) { static_cast<ArmCore *>(self)->interrupt(intno); }
    static bool bad_access(uc_engine *, uc_mem_type type, uint64_t addr, int size, int64_t, void *self)
    {
        ArmCore &c = *static_cast<ArmCore *>(self);
        c.bad_address_ = static_cast<uint32_t>(addr);
        c.bad_size_ = static_cast<unsigned>(size);
        c.bad_write_ = type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT;
        return false;
    }
    static uint64_t stack_read(uc_engine *, uint64_t off, unsigned size, void *self)
    {
        uint64_t v = 0;
        std::memcpy(&v, static_cast<ArmCore *>(self)->sram_.data() + (kStackPageBase - kSramBase) + off, size);
        return v;
    }
    static void stack_write(uc_engine *, uint64_t off, unsigned size, uint64_t value, void *self)
    {
        std::memcpy(static_cast<ArmCore *>(self)->sram_.data() + (kStackPageBase - kSramBase) + off, &value, size);
    }
    template <uint32_t Base>
    static uint64_t read(uc_engine *, uint64_t off, unsigned size, void *self)
    {
        ArmCore &c = *static_cast<ArmCore *>(self);
        const uint32_t addr = Base + static_cast<uint32_t>(off);
        return c.port_.bus_read(addr, size, c.access_cycle(addr, false, size));
    }
    template <uint32_t Base>
    static void write(uc_engine *, uint64_t off, unsigned size, uint64_t value, void *self)
    {
        ArmCore &c = *static_cast<ArmCore *>(self);
        const uint32_t addr = Base + static_cast<uint32_t>(off);
        c.port_.bus_write(addr, static_cast<uint32_t>(value), size, c.access_cycle(addr, true, size));
    }
};

ArmCore::ArmCore(ArmPort &port)
    : port_(port), flash_(kFlashSize, 0xFF), sram_(kSramSize, 0), flash_blocks_(kFlashSize / 2),
      scratch_(std::make_unique<Block>())
{
    if (uc_open(UC_ARCH_ARM, UC_MODE_THUMB, &uc_) != UC_ERR_OK)
        throw std::runtime_error("arm core: cannot open the engine");
    const auto fail = [this](const char *what) {
        uc_close(uc_);
        throw std::runtime_error(std::string("arm core: ") + what);
    };
    if (uc_ctl_set_cpu_model(uc_, UC_CPU_ARM_CORTEX_M3) != UC_ERR_OK) fail("cannot select the Cortex-M3 model");
    bool ok = uc_mem_map_ptr(uc_, 0, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()) == UC_ERR_OK &&
              uc_mem_map_ptr(uc_, kFlashBase, kFlashSize, UC_PROT_READ | UC_PROT_EXEC, flash_.data()) == UC_ERR_OK &&
              uc_mem_map_ptr(uc_, kSramBase, kSramSize - kStackPage, UC_PROT_ALL, sram_.data()) == UC_ERR_OK &&
              uc_mmio_map(uc_, kStackPageBase, kStackPage, EngineHooks::stack_read, this, EngineHooks::stack_write,
                          this) == UC_ERR_OK &&
              uc_mmio_map(uc_, kPeriphBase, kPeriphSize, EngineHooks::read<kPeriphBase>, this,
                          EngineHooks::write<kPeriphBase>, this) == UC_ERR_OK &&
              uc_mmio_map(uc_, kSystemBase, kSystemSize, EngineHooks::read<kSystemBase>, this,
                          EngineHooks::write<kSystemBase>, this) == UC_ERR_OK;
    if (!ok) fail("cannot map the memory");
    if (!self_check()) fail("the engine is not a Cortex-M3 (udiv must work, tt must be rejected)");
    uc_hook h;
    ok = uc_hook_add(uc_, &h, UC_HOOK_BLOCK, reinterpret_cast<void *>(EngineHooks::block), this, 1, 0) == UC_ERR_OK &&
         uc_hook_add(uc_, &h, UC_HOOK_INTR, reinterpret_cast<void *>(EngineHooks::interrupt), this, 1, 0) == UC_ERR_OK &&
         uc_hook_add(uc_, &h, UC_HOOK_MEM_UNMAPPED | UC_HOOK_MEM_PROT, reinterpret_cast<void *>(EngineHooks::bad_access),
                     this, 1, 0) == UC_ERR_OK;
    if (!ok) fail("cannot install the hooks");
    function_cycles_.assign(2, 0);
}

ArmCore::~ArmCore() { uc_close(uc_); }

// The engine must be a Cortex-M3: UDIV (v7-M) works, TT (v8-M) does not.
bool ArmCore::self_check()
{
    static const uint8_t code[] = {0xB0, 0xFB, 0xF1, 0xF2,   // udiv r2, r0, r1
                                   0x41, 0xE8, 0x00, 0xF0};  // tt r0, r1
    uc_mem_write(uc_, kSramBase, code, sizeof code);
    const uint32_t a = 100, b = 7;
    uint32_t q = 0;
    uc_reg_write(uc_, UC_ARM_REG_R0, &a);
    uc_reg_write(uc_, UC_ARM_REG_R1, &b);
    const bool udiv = uc_emu_start(uc_, kSramBase | 1, kSramBase + 4, 0, 0) == UC_ERR_OK &&
                      uc_reg_read(uc_, UC_ARM_REG_R2, &q) == UC_ERR_OK && q == 14;
    const bool tt_rejected = uc_emu_start(uc_, (kSramBase + 4) | 1, kSramBase + 8, 0, 0) == UC_ERR_INSN_INVALID;
    std::fill(sram_.begin(), sram_.end(), 0);
    uc_ctl_remove_cache(uc_, kSramBase, kSramBase + kSramSize);
    return udiv && tt_rejected;
}

bool ArmCore::load(const elf::Image &image)
{
    for (const elf::Segment &s : image.segments()) {
        if (!s.filesz) continue;
        if (!in_range(s.paddr, s.filesz, kFlashBase, kFlashSize)) return false;
        std::memcpy(flash_.data() + (s.paddr - kFlashBase), image.file().data() + s.offset, s.filesz);
    }
    uc_ctl_remove_cache(uc_, 0, kFlashSize);
    uc_ctl_remove_cache(uc_, kFlashBase, kFlashBase + kFlashSize);
    for (auto &b : flash_blocks_) b.reset();
    symbols_ = image.symbols();
    functions_.clear();
    for (const elf::Symbol &s : symbols_) {
        if (s.type != elf::kSttFunc) continue;
        functions_.push_back(s);
        functions_.back().value &= ~1u;
    }
    // Of several names for one address the library's __aeabi_ name is kept
    // (the name the compiler calls a soft-float helper by), else the first
    // in alphabetical order (__cmpsf2 of the comparisons' common body).
    const auto before = [](const elf::Symbol &a, const elf::Symbol &b) {
        const bool aa = a.name.starts_with("__aeabi_"), ba = b.name.starts_with("__aeabi_");
        if (a.value != b.value) return a.value < b.value;
        return aa != ba ? aa : a.name < b.name;
    };
    std::sort(functions_.begin(), functions_.end(), before);
    functions_.erase(std::unique(functions_.begin(), functions_.end(),
                                 [](const elf::Symbol &a, const elf::Symbol &b) { return a.value == b.value; }),
                     functions_.end());
    function_cycles_.assign(functions_.size() + 2, 0);
    function_calls_.assign(functions_.size() + 2, 0);
    by_caller_.assign(functions_.size(), false);
    caller_buckets_.clear();
    idle_ = IdleWatch{};
    return true;
}

void ArmCore::reset()
{
    for (int r = R0; r <= R12; ++r) set_reg(static_cast<Reg>(r), 0);
    set_reg(LR, 0xFFFFFFFF);
    set_reg(CONTROL, 0);
    set_reg(PRIMASK, 0);
    set_reg(BASEPRI, 0);
    set_reg(FAULTMASK, 0);
    set_reg(XPSR, kThumb);
    set_reg(IPSR, 0);
    uint32_t sp = 0, pc = 0;
    read(0, &sp, 4);
    read(4, &pc, 4);
    set_reg(SP, sp & ~3u);
    set_reg(PC, pc & ~1u);
    vtor_ = 0;
    align8_ = false;
    locked_up_ = false;
    depth_ = 0;
    idle_dirty();
    current_ = nullptr;
    taken_extra_ = 0;
    must_redirect_ = true;
    if (!(pc & 1)) raise(FaultKind::InvalidState, pc & ~1u, 0);
}

uint32_t ArmCore::reg(Reg r) const
{
    uint32_t v = 0;
    uc_reg_read(uc_, uc_reg_id(r), &v);
    return v;
}

// The engine takes bit 0 of a PC write as the Thumb state: always set it.
void ArmCore::set_reg(Reg r, uint32_t v)
{
    idle_dirty();
    if (r == PC) v |= 1;
    uc_reg_write(uc_, uc_reg_id(r), &v);
}

bool ArmCore::read(uint32_t addr, void *out, uint32_t n) const
{
    if (in_range(addr, n, kSramBase, kSramSize)) {
        std::memcpy(out, sram_.data() + (addr - kSramBase), n);
        return true;
    }
    for (uint32_t base : {0u, kFlashBase}) {
        if (in_range(addr, n, base, kFlashSize)) {
            std::memcpy(out, flash_.data() + (addr - base), n);
            return true;
        }
    }
    return false;
}

bool ArmCore::write(uint32_t addr, const void *in, uint32_t n)
{
    if (!in_range(addr, n, kSramBase, kSramSize)) return false;
    std::memcpy(sram_.data() + (addr - kSramBase), in, n);
    idle_dirty();
    // Code the engine translated from these bytes is dropped.
    if (addr < kStackPageBase) uc_ctl_remove_cache(uc_, addr, std::min(addr + n, kStackPageBase));
    return true;
}

const elf::Symbol *ArmCore::symbol(const std::string &name) const
{
    for (const elf::Symbol &s : symbols_)
        if (s.name == name) return &s;
    return nullptr;
}

std::string ArmCore::function_name(uint32_t addr) const
{
    const size_t i = static_cast<size_t>(function_index(addr & ~1u));
    return i < functions_.size() ? functions_[i].name : "";
}

int ArmCore::function_index(uint32_t addr) const
{
    auto it = std::upper_bound(functions_.begin(), functions_.end(), addr,
                               [](uint32_t a, const elf::Symbol &s) { return a < s.value; });
    if (it == functions_.begin()) return static_cast<int>(functions_.size());
    --it;
    if (it->size && addr - it->value >= it->size) return static_cast<int>(functions_.size());
    return static_cast<int>(it - functions_.begin());
}

void ArmCore::set_profiling(bool on)
{
    profiling_ = on;
    idle_dirty();   // the idle watch keeps the profile only while profiling
}

void ArmCore::clear_profile()
{
    std::fill(function_cycles_.begin(), function_cycles_.end(), 0);
    std::fill(function_calls_.begin(), function_calls_.end(), 0);
    lowest_sp_ = 0xFFFFFFFF;
    idle_dirty();   // its profile at the head is gone
}

std::string ArmCore::profile_name(size_t bucket) const
{
    const size_t n = functions_.size();
    if (bucket < n) return functions_[bucket].name;
    if (bucket == n) return "(unknown)";
    if (bucket == n + 1) return "(exception)";
    const auto [function, caller] = caller_buckets_.at(bucket - n - 2);
    return functions_[function].name + "<" + profile_name(caller);
}

std::vector<FunctionCycles> ArmCore::profile() const
{
    std::vector<FunctionCycles> out;
    for (size_t i = 0; i < function_cycles_.size(); ++i)
        if (function_cycles_[i]) out.push_back({profile_name(i), function_cycles_[i]});
    std::sort(out.begin(), out.end(), [](const FunctionCycles &a, const FunctionCycles &b) { return a.cycles > b.cycles; });
    return out;
}

bool ArmCore::profile_by_caller(const std::string &function)
{
    for (size_t i = 0; i < functions_.size(); ++i) {
        if (functions_[i].name != function) continue;
        by_caller_[i] = true;
        return true;
    }
    return false;
}

// The profile bucket of a block: its function's, or for a function counted
// by caller, the bucket chosen at its entry on this nesting level.
size_t ArmCore::bucket_of(const Block &b, uint32_t addr)
{
    if (!profiling_ || b.function >= by_caller_.size() || !by_caller_[b.function]) return b.function;
    const size_t base = functions_.size() + 2;
    if (caller_bucket_at_.size() <= depth_) caller_bucket_at_.resize(depth_ + 1, 0);
    size_t &at = caller_bucket_at_[depth_];
    if (addr == functions_[b.function].value) {
        const std::pair<size_t, size_t> key{b.function, static_cast<size_t>(function_index(reg(LR) & ~1u))};
        const auto it = std::find(caller_buckets_.begin(), caller_buckets_.end(), key);
        at = base + static_cast<size_t>(it - caller_buckets_.begin());
        if (it == caller_buckets_.end()) {
            caller_buckets_.push_back(key);
            function_cycles_.push_back(0);
            function_calls_.push_back(0);
        }
    }
    return at >= base && caller_buckets_[at - base].first == b.function ? at : b.function;
}

void ArmCore::watch_blocks(std::vector<uint32_t> addrs, std::function<void(uint32_t)> fn)
{
    std::sort(addrs.begin(), addrs.end());
    watched_ = std::move(addrs);
    on_watched_ = std::move(fn);
}

// Time passes: n cycles, counted for the profile in `bucket`.
void ArmCore::add(uint64_t n, size_t bucket)
{
    cycles_ += n;
    if (profiling_) function_cycles_[bucket] += n;
}

// Cost blocks are cached by flash offset: flash does not change while the
// image runs. A block outside flash (code copied to SRAM) is decoded again
// every time it runs, so that rewritten code is never charged stale costs.
const ArmCore::Block &ArmCore::lookup(uint32_t addr, uint32_t size)
{
    const uint32_t off = addr < kFlashSize ? addr : addr - kFlashBase;
    const bool in_flash = off < kFlashSize;
    std::unique_ptr<Block> *slot = in_flash ? &flash_blocks_[off / 2] : &scratch_;
    if (in_flash && *slot && (*slot)->addr == addr && (*slot)->size == size) return **slot;
    if (!*slot) *slot = std::make_unique<Block>();
    Block &b = **slot;
    uint8_t code[4096];
    size = std::min<uint32_t>(size, sizeof code);
    if (!read(addr, code, size)) size = 0;
    b.addr = addr;
    b.size = size;
    b.in_flash = in_flash;
    b.function = static_cast<size_t>(function_index(addr));
    b.cost = cost_block(code, size, b.in_flash);
    for (BlockInsn &bi : b.cost.insns) {       // literal values, for matching accesses
        Insn &i = bi.insn;
        if (i.op != Op::LoadLiteral) continue;
        const uint32_t pool = ((addr + bi.offset + 4) & ~3u) + static_cast<uint32_t>(i.offset);
        i.constant = i.size == 4 && read(pool, &i.value, 4);
    }
    b.candidates.clear();
    b.data.clear();
    b.stores = false;
    b.touched_bus = false;
    b.idle_misses = 0;
    for (size_t i = 0; i < b.cost.insns.size(); ++i) {
        const Insn &in = b.cost.insns[i].insn;
        b.stores = b.stores || in.op == Op::Store || in.op == Op::StoreStack || in.op == Op::StoreDual ||
                   in.op == Op::StoreMultiple;
        if (!in.size || in.op == Op::LoadLiteral) continue;
        b.data.push_back(static_cast<uint16_t>(i));
        if (in.base < 13) b.candidates.push_back(static_cast<uint16_t>(i));
    }
    return b;
}

// Start of a translated block: stop here if the run is over (the block has
// not run yet), else charge what the previous block's end cost now that
// its successor is known, and the block itself.
void ArmCore::block(uint32_t addr, uint32_t size)
{
    if (stop_ || cycles_ >= end_) {
        uc_emu_stop(uc_);
        current_ = nullptr;
        return;
    }
    const Block &b = lookup(addr, size);
    if (idle_skip_) {
        idle_check(b, addr);
        if (cycles_ >= end_) {   // whole repetitions took the run to its end
            uc_emu_stop(uc_);
            current_ = nullptr;
            return;
        }
    }
    const bool sequential = addr == expect_next_;
    const uint64_t extra = (sequential ? 0 : taken_extra_) +
                           ((!sequential || must_redirect_) && b.in_flash ? cost::kFlashWait : 0);
    bucket_ = bucket_of(b, addr);
    if (profiling_ && b.function < functions_.size() && addr == functions_[b.function].value) ++function_calls_[bucket_];
    add(extra, bucket_);
    if (!watched_.empty() && std::binary_search(watched_.begin(), watched_.end(), addr)) on_watched_(addr);
    add(b.cost.cycles, bucket_);
    block_start_ = cycles_ - b.cost.cycles;
    block_extra_ = 0;
    access_cursor_ = 0;
    access_repeat_ = 0;
    current_ = &b;
    expect_next_ = addr + b.size;
    taken_extra_ = b.cost.conditional_end ? b.cost.taken_extra : 0;
    must_redirect_ = b.cost.redirects;
    if (profiling_) lowest_sp_ = std::min(lowest_sp_, reg(SP));
}

void ArmCore::set_idle_skip(bool on)
{
    idle_skip_ = on;
    idle_ = IdleWatch{};
}

void ArmCore::idle_snapshot(uint32_t *regs) const
{
    int ids[kIdleRegs];
    void *out[kIdleRegs];
    for (int r = 0; r < kIdleRegs; ++r) {
        ids[r] = uc_reg_id(r < 15 ? static_cast<Reg>(r) : XPSR);
        out[r] = regs + r;
    }
    uc_reg_read_batch(uc_, ids, out, kIdleRegs);
}

// At the start of a block, before it is charged: the idle-loop watch (see
// set_idle_skip). A watch is armed at a loop head with the registers and
// what the previous block left for the fetch; storing, a peripheral access,
// an exception or a write from outside make it dirty. Back at the head
// clean, with the same registers and fetch state, the code has been seen to
// repeat, `period` cycles at a time: whole repetitions that end no later
// than the run are added at once. Repetitions of the same state behave the
// same, so the run then reaches its end at the same block as it would have.
void ArmCore::idle_check(const Block &b, uint32_t addr)
{
    IdleWatch &w = idle_;
    uint32_t regs[kIdleRegs];
    if (w.head) ++w.blocks;
    if (w.head == addr && w.clean && cycles_ > w.start) {
        idle_snapshot(regs);
        const bool same = std::equal(regs, regs + kIdleRegs, w.regs) && expect_next_ == w.expect_next &&
                          taken_extra_ == w.taken_extra && must_redirect_ == w.must_redirect;
        if (same) {
            const uint64_t period = cycles_ - w.start, k = (end_ - cycles_) / period;
            if (k && profiling_) {
                w.cycles.resize(function_cycles_.size(), 0);
                w.calls.resize(function_calls_.size(), 0);
                for (size_t i = 0; i < function_cycles_.size(); ++i) {
                    function_cycles_[i] += k * (function_cycles_[i] - w.cycles[i]);
                    function_calls_[i] += k * (function_calls_[i] - w.calls[i]);
                }
            }
            cycles_ += k * period;
            idle_skipped_ += k * period;
            idle_loop_ = IdleLoop{addr, expect_next_, period};
            b.idle_misses = 0;
        } else if (++b.idle_misses >= kIdleMaxMisses) {   // a loop that changes registers
            w.head = 0;
            return;
        }
    } else {
        if (w.head && b.stores) w.clean = false;
        if (w.head && w.clean && w.blocks <= kIdleMaxBlocks) return;   // still watching
        // Back at the head dirty: a loop that does work (a poll of a flag).
        if (w.head == addr && !w.clean && ++b.idle_misses >= kIdleMaxMisses) {
            w.head = 0;
            return;
        }
        // A new head: the target of a backward branch within a function.
        const bool head = current_ && addr <= current_->addr && current_->function == b.function &&
                          b.function < functions_.size() && !b.stores && !b.touched_bus &&
                          b.idle_misses < kIdleMaxMisses;
        if (!head) return;
        idle_snapshot(regs);
    }
    w.head = addr;
    w.clean = true;
    w.blocks = 0;
    w.start = cycles_;
    std::copy(regs, regs + kIdleRegs, w.regs);
    w.expect_next = expect_next_;
    w.taken_extra = taken_extra_;
    w.must_redirect = must_redirect_;
    if (profiling_) {
        w.cycles = function_cycles_;
        w.calls = function_calls_;
    }
}

// Which instruction of the running block made a data access: the engine
// does not tell (its PC reads as the block start). The block's loads and
// stores in `list`, from `from` on in program order, that have the
// access's direction and width are the candidates. With one left it is
// that one. With several, the engine's registers (up to date while an
// access is made) give each candidate's address, and the first whose
// address is the accessed one wins, unless a later one explains the fit
// better (below). Else the first candidate of the right kind. Exact for
// the compiler's usual code (addresses from literal pools or immediates);
// where it cannot tell, the earlier instruction is taken, so an access is
// dated early by at most a few instructions, never outside its block.
// Returns an index into `list`, or its size when nothing fits.
size_t ArmCore::match_access(const std::vector<uint16_t> &list, size_t from, uint32_t addr, bool write, unsigned size)
{
    const auto &insns = current_->cost.insns;
    uint32_t regs[16];
    uint16_t known = 0;
    const auto value = [&](unsigned r) {
        if (!(known & (1u << r))) {
            regs[r] = reg(static_cast<Reg>(r));
            known = static_cast<uint16_t>(known | (1u << r));
        }
        return regs[r];
    };
    const auto fits_address = [&](size_t k) {
        const Insn &i = insns[list[k]].insn;
        const uint32_t base = value(i.base);
        if (i.count) {
            const uint32_t first = i.decrement ? base - 4u * i.count
                                               : base + (i.post_indexed ? 0 : static_cast<uint32_t>(i.offset));
            return addr - first < 4u * i.count;
        }
        if (i.index != kNoReg) return base + (value(i.index) << i.shift) == addr;
        return base + (i.post_indexed ? 0 : static_cast<uint32_t>(i.offset)) == addr;
    };
    std::vector<size_t> &fit = fit_scratch_;
    fit.clear();
    for (size_t k = from; k < list.size(); ++k) {
        const Insn &i = insns[list[k]].insn;
        const bool load = i.op == Op::Load || i.op == Op::LoadStack || i.op == Op::LoadDual || i.op == Op::LoadMultiple;
        if (load != write && i.size == size) fit.push_back(k);
    }
    if (fit.size() <= 1) return fit.empty() ? list.size() : fit[0];
    // Candidates k < m both fit. If m made the access, the instructions
    // between them have run and k fits only through registers they wrote:
    // each must then hold the value written, where the code tells it.
    // Otherwise (or when it cannot tell) k made it.
    const auto later_explains = [&](size_t k, size_t m) {
        const Insn &i = insns[list[k]].insn;
        bool written = false;
        for (unsigned r : {i.base, i.index}) {
            if (r == kNoReg) continue;
            for (size_t j = list[m]; j-- > list[k] + 1u;) {
                const Insn &w = insns[j].insn;
                if (!(w.writes & (1u << r))) continue;
                if (!w.constant || value(r) != w.value) return false;
                written = true;
                break;
            }
        }
        return written;
    };
    for (size_t f = 0; f < fit.size(); ++f) {
        if (!fits_address(fit[f])) continue;
        size_t next = f + 1;
        while (next < fit.size() && !fits_address(fit[next])) ++next;
        if (next == fit.size() || !later_explains(fit[f], fit[next])) return fit[f];
        f = next - 1;
    }
    return fit[0];
}

// The cycle of a peripheral access, from the instruction that made it;
// the bus extra of the access is charged here.
uint64_t ArmCore::access_cycle(uint32_t addr, bool write, unsigned size)
{
    uint64_t at = cycles_;
    uint32_t extra = bus_extra(addr);
    if (current_) {
        const auto &cands = current_->candidates;
        size_t pick = access_cursor_;                       // the next word of a multiple
        if (!access_repeat_) {
            pick = match_access(cands, access_cursor_, addr, write, size);
            if (pick < cands.size()) {
                const Insn &i = current_->cost.insns[cands[pick]].insn;
                access_repeat_ = i.count ? i.count : 1;
            }
        }
        if (pick < cands.size()) {
            const BlockInsn &bi = current_->cost.insns[cands[pick]];
            const unsigned accesses = bi.insn.count ? bi.insn.count : 1;
            const unsigned index = accesses - access_repeat_;
            access_repeat_ -= 1;
            access_cursor_ = access_repeat_ ? pick : pick + 1;
            at = block_start_ + bi.before + block_extra_ + index;
            if (bi.pipelined) extra += 1;
        }
    }
    block_extra_ += extra;
    add(extra, current_ ? bucket_ : functions_.size());
    if (current_) current_->touched_bus = true;
    idle_dirty();
    return at;
}

void ArmCore::request_stop() { stop_ = true; }

void ArmCore::interrupt(uint32_t intno)
{
    const uint32_t pc = reg(PC);
    if ((intno == 3 || intno == 8) && pc >= kExcReturnFloor) exc_return_ = true;
    else interrupt_ = static_cast<int>(intno);
    uc_emu_stop(uc_);
}

uint64_t ArmCore::run(uint64_t budget)
{
    const uint64_t start = cycles_;
    end_ = cycles_ + budget;
    stop_ = false;
    while (!stop_ && !locked_up_ && cycles_ < end_) {
        exc_return_ = false;
        interrupt_ = -1;
        bad_address_ = 0;
        const uc_err err = uc_emu_start(uc_, reg(PC) | 1, kNever, 0, 0);
        // The engine's exception numbers: 1 undefined, 2 SVC, 3 prefetch
        // abort, 4 data abort, 7 breakpoint; anything else (WFI, which this
        // firmware does not use) is taken as undefined.
        if (exc_return_) exception_return();
        else if (interrupt_ == 2) enter_exception(11);                       // SVC: PC is past it
        else if (interrupt_ == 3) raise(FaultKind::Bus, reg(PC), reg(PC));  // fetch from nowhere
        else if (interrupt_ == 4) stopped_by_error(UC_ERR_READ_UNMAPPED);
        else if (interrupt_ == 7) raise(FaultKind::Breakpoint, reg(PC), 0);
        else if (interrupt_ >= 0) stopped_by_error(UC_ERR_INSN_INVALID);
        else if (err != UC_ERR_OK) stopped_by_error(err);
    }
    if (locked_up_ && cycles_ < end_) cycles_ = end_;   // a locked-up core lets time pass
    return cycles_ - start;
}

// The run ended inside a block on a faulting instruction: what the block
// did not execute is taken back, and the fault is entered. After a data
// access fault the engine's PC is the block start: the instruction is
// found as for a peripheral access.
void ArmCore::stopped_by_error(int err)
{
    uint32_t pc = reg(PC);
    if (err != UC_ERR_INSN_INVALID && current_) {
        const size_t k = match_access(current_->data, 0, bad_address_, bad_write_, bad_size_);
        if (k < current_->data.size()) pc = current_->addr + current_->cost.insns[current_->data[k]].offset;
    }
    if (current_ && pc - current_->addr < current_->size) {
        for (const BlockInsn &bi : current_->cost.insns) {
            if (current_->addr + bi.offset != pc) continue;
            const uint64_t undone = current_->cost.cycles - bi.before;
            cycles_ -= undone;
            if (profiling_) function_cycles_[bucket_] -= undone;
            break;
        }
    }
    current_ = nullptr;
    must_redirect_ = true;
    taken_extra_ = 0;
    if (err == UC_ERR_INSN_INVALID) raise(FaultKind::Undefined, pc, 0);
    else raise(FaultKind::Bus, pc, bad_address_);
}

// A fault taken now with the faulting instruction as return address.
// Faulting again in NMI or HardFault locks the core up, as on the chip.
// A bus access outside every region raises a BusFault on the chip, which
// becomes HardFault since the firmware never enables the configurable
// faults; writes are buffered there (an imprecise fault, a few
// instructions late), here they fault at the store itself.
void ArmCore::raise(FaultKind kind, uint32_t pc, uint32_t address)
{
    const uint32_t ipsr = reg(IPSR);
    const bool lockup = ipsr == 2 || ipsr == 3;
    port_.fault({kind, pc, address, lockup ? -1 : kHardFault, cycles_});
    if (lockup) {
        locked_up_ = true;
        return;
    }
    set_reg(PC, pc);
    enter_exception(kHardFault);
}

// Before anything else takes the core: charge the last block's final
// branch if the PC shows it was taken. The next fetch is a redirection.
void ArmCore::resolve_last_branch()
{
    if (reg(PC) != expect_next_ && taken_extra_) add(taken_extra_, current_ ? bucket_ : functions_.size());
    taken_extra_ = 0;
    must_redirect_ = true;
    current_ = nullptr;
}

// Pushes R0-R3, R12, LR, the return address and xPSR. With CCR.STKALIGN set
// an SP that is not 8-byte aligned is first lowered by 4, and xPSR bit 9
// records it for the return.
bool ArmCore::stack_frame(uint32_t return_pc)
{
    uint32_t sp = reg(SP);
    uint32_t xpsr = reg(XPSR) & ~kStackPad;
    if (align8_ && (sp & 4)) {
        sp -= 4;
        xpsr |= kStackPad;
    }
    sp -= 32;
    const uint32_t frame[8] = {reg(R0), reg(static_cast<Reg>(1)), reg(static_cast<Reg>(2)), reg(static_cast<Reg>(3)),
                               reg(R12), reg(LR), return_pc, xpsr};
    if (!write(sp, frame, sizeof frame)) return false;
    set_reg(SP, sp);
    if (profiling_) lowest_sp_ = std::min(lowest_sp_, sp);
    return true;
}

// IPSR = n and PC from the vector; a vector without the Thumb bit is an
// INVSTATE fault on the chip (HardFault, or lock-up from HardFault).
bool ArmCore::branch_to_vector(int n)
{
    uint32_t vector = 0;
    read(vtor_ + 4 * static_cast<uint32_t>(n), &vector, 4);
    set_reg(XPSR, (reg(XPSR) & 0xF8000000u) | kThumb | static_cast<uint32_t>(n));
    set_reg(IPSR, static_cast<uint32_t>(n));
    set_reg(PC, vector & ~1u);
    if (vector & 1) return true;
    raise(FaultKind::InvalidState, vector & ~1u, 0);
    return false;
}

void ArmCore::enter_exception(int n)
{
    if (locked_up_) return;
    resolve_last_branch();
    const uint32_t from = reg(IPSR);
    if (!stack_frame(reg(PC))) {
        port_.fault({FaultKind::Stacking, reg(PC), reg(SP) - 32, -1, cycles_});
        locked_up_ = true;
        return;
    }
    set_reg(LR, from ? 0xFFFFFFF1 : 0xFFFFFFF9);
    ++depth_;
    add(kEntryCycles, functions_.size() + 1);
    branch_to_vector(n);
}

// The engine stopped on a branch to EXC_RETURN. The port decides whether
// another exception follows at once (tail-chain: the frame stays); if not,
// the frame is popped and the interrupted context resumes.
void ArmCore::exception_return()
{
    const uint32_t exc = reg(PC) | 1;
    const uint32_t n = reg(IPSR);
    current_ = nullptr;
    taken_extra_ = 0;
    must_redirect_ = true;
    if (n == 0 || (exc != 0xFFFFFFF1 && exc != 0xFFFFFFF9)) {   // no process stack in this firmware
        raise(FaultKind::InvalidReturn, exc & ~1u, 0);
        return;
    }
    idle_dirty();
    const int next = port_.exception_return(static_cast<int>(n), cycles_);
    if (next > 0) {
        set_reg(LR, exc);
        add(kTailChainCycles, functions_.size() + 1);
        branch_to_vector(next);
        return;
    }
    const uint32_t sp = reg(SP);
    uint32_t frame[8];
    if (!read(sp, frame, sizeof frame) || !in_range(sp, 32, kSramBase, kSramSize)) {
        raise(FaultKind::Stacking, exc & ~1u, sp);
        return;
    }
    for (int r = 0; r < 4; ++r) set_reg(static_cast<Reg>(r), frame[r]);
    set_reg(R12, frame[4]);
    set_reg(LR, frame[5]);
    set_reg(PC, frame[6] & ~1u);
    set_reg(SP, sp + 32 + (align8_ && (frame[7] & kStackPad) ? 4 : 0));
    set_reg(XPSR, frame[7] & ~kStackPad);
    set_reg(IPSR, frame[7] & 0x1FF);
    if (depth_) --depth_;
    add(kReturnCycles, functions_.size() + 1);
    const bool to_thread = exc == 0xFFFFFFF9;
    if (to_thread != ((frame[7] & 0x1FF) == 0)) raise(FaultKind::InvalidReturn, frame[6] & ~1u, 0);
    else if (!(frame[7] & kThumb)) raise(FaultKind::InvalidState, frame[6] & ~1u, 0);
}

}  // namespace sim::cpu
