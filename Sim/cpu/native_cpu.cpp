#include "cpu/native_cpu.hpp"

#include <elf.h>
#include <link.h>
#include <ucontext.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "cpu/stack_switch.hpp"
#include "seam/image.hpp"
#include "vectors.h"

namespace sim {

namespace {

NativeCpu *g_native = nullptr;

// ---------------------------------------------------------------- symbols

struct Location {
    char *addr;   // nullptr: two variables go by this name
    size_t size;   // cppcheck-suppress unusedStructMember ; compared in find_symbol
};
using SymbolTable = std::unordered_map<std::string, Location>;

uintptr_t load_bias()
{
    uintptr_t bias = 0;
    // The first object reported is the program itself.
    dl_iterate_phdr([](dl_phdr_info *info, size_t, void *out) {
        *static_cast<uintptr_t *>(out) = info->dlpi_addr;
        return 1;
    }, &bias);
    return bias;
}

template <typename T>
bool read_at(std::ifstream &f, uint64_t offset, T *out, size_t count)
{
    f.seekg(static_cast<std::streamoff>(offset));
    f.read(reinterpret_cast<char *>(out), static_cast<std::streamsize>(sizeof(T) * count));
    return static_cast<bool>(f);
}

// The firmware's variables, from the symbol table of the running program:
// every data object that lies in the firmware's writable memory.
// The variable's own size. AddressSanitizer places a guard zone behind every
// global and counts it in the symbol's size; the variable ends where the
// guard's poison begins.
size_t variable_size([[maybe_unused]] char *addr, size_t symbol_size)
{
#ifdef SIM_ADDRESS_SANITIZER
    if (void *guard = __asan_region_is_poisoned(addr, symbol_size)) return static_cast<size_t>(static_cast<char *>(guard) - addr);
#endif
    return symbol_size;
}

SymbolTable load_firmware_symbols()
{
    SymbolTable table;
    std::ifstream f("/proc/self/exe", std::ios::binary);
    Elf64_Ehdr eh;
    if (!read_at(f, 0, &eh, 1) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 || eh.e_ident[EI_CLASS] != ELFCLASS64 ||
        eh.e_shentsize != sizeof(Elf64_Shdr))
        return table;
    std::vector<Elf64_Shdr> sections(eh.e_shnum);
    if (!read_at(f, eh.e_shoff, sections.data(), sections.size())) return table;
    const uintptr_t bias = load_bias();
    for (const Elf64_Shdr &s : sections) {
        if (s.sh_type != SHT_SYMTAB || s.sh_link >= sections.size() || s.sh_entsize != sizeof(Elf64_Sym)) continue;
        std::vector<Elf64_Sym> syms(s.sh_size / sizeof(Elf64_Sym));
        std::string names(sections[s.sh_link].sh_size, '\0');
        if (!read_at(f, s.sh_offset, syms.data(), syms.size()) ||
            !read_at(f, sections[s.sh_link].sh_offset, names.data(), names.size()))
            return {};
        for (const Elf64_Sym &y : syms) {
            if (ELF64_ST_TYPE(y.st_info) != STT_OBJECT || y.st_size == 0 || y.st_shndx == SHN_UNDEF ||
                y.st_name >= names.size())
                continue;
            char *addr = reinterpret_cast<char *>(y.st_value + bias);
            if (!firmware_ram_holds(addr, y.st_size)) continue;
            auto [it, fresh] =
                table.try_emplace(firmware_symbol_name(names.c_str() + y.st_name), Location{addr, variable_size(addr, y.st_size)});
            if (!fresh && it->second.addr != addr) it->second.addr = nullptr;
        }
    }
    return table;
}

const Location *find_symbol(std::string_view name, size_t size)
{
    static const SymbolTable table = load_firmware_symbols();
    auto it = table.find(std::string(name));
    if (it == table.end() || !it->second.addr || it->second.size != size) return nullptr;
    return &it->second;
}

}  // namespace

// ---------------------------------------------------------------- coroutine

// The firmware from its reset vector on a stack of its own; it switches back
// to the caller of run_until when virtual time reaches the stop. A reset
// starts it again on the same stack, where snapshots find their frames.
struct NativeCpu::Coroutine {
    static constexpr size_t kStackBytes = 1 << 20;
    std::vector<char> stack = std::vector<char>(kStackBytes);
    ucontext_t fw{}, back{};
    StackSide fw_side{stack.data(), stack.size()}, host_side;
    Cycles stop = 0;
    bool started = false, ended = false, inside = false;
    const uint64_t id = ++created;   // tells a snapshot whose stack it holds
    static inline uint64_t created = 0;

    void restart()
    {
        stop = 0;
        started = ended = inside = false;
        fw_side.fake_frames = nullptr;
        forget_stack_marks(fw_side);
    }

    // The lowest byte of the stack that the suspended firmware may still
    // need: its stack pointer, less the red zone below it.
    const char *suspended_low() const
    {
#if defined(__x86_64__)
        constexpr ptrdiff_t kRedZone = 128;
        const char *sp = reinterpret_cast<const char *>(fw.uc_mcontext.gregs[REG_RSP]) - kRedZone;
        if (sp >= stack.data() && sp < stack.data() + stack.size()) return sp;
#endif
        return stack.data();   // elsewhere: all of it
    }

    static void entry()
    {
        Coroutine &c = *g_native->co_;
        arrived_on_stack(c.fw_side, c.host_side);
        g_pfnVectors.handler[0]();   // the reset vector; it never returns
        c.ended = true;
        c.inside = false;
        leaving_stack(c.fw_side, c.host_side, true);
    }
};

NativeCpu::NativeCpu(Mcu &mcu) : mcu_(mcu)
{
    if (g_native) fail("only one virtual board can run the native firmware at a time");
    g_native = this;
    reset();
}

NativeCpu::~NativeCpu() { g_native = nullptr; }

std::unique_ptr<Cpu> make_native_cpu(Mcu &mcu) { return std::make_unique<NativeCpu>(mcu); }

NativeCpu &NativeCpu::active()
{
    if (!g_native) fail("register access with no virtual board");
    return *g_native;
}

void NativeCpu::reset()
{
    if (co_) co_->restart();
    else co_ = std::make_unique<Coroutine>();
    horizon_ = kNever;
    spun_ = {};
    restore_firmware_image();
}

// ---------------------------------------------------------------- snapshots

struct NativeCpu::State {
    std::vector<char> memory;   // fw_data, then fw_bss
    uint64_t coroutine = 0;
    bool started = false, ended = false;
    SpunRead spun;
    ucontext_t fw{};
    size_t low = 0;              // offset in the stack of the bytes kept
    std::vector<char> frames;    // the stack from there to its top
    StackMarks marks;
};

std::shared_ptr<const NativeCpu::State> NativeCpu::save_state() const
{
    const Coroutine &c = *co_;
    if (c.inside) fail("a snapshot of the native board taken while its firmware runs");
    if (frames_off_stack(c.fw_side))
        fail("no snapshot of the native board while AddressSanitizer keeps the firmware's frames off its stack "
             "(run with ASAN_OPTIONS=detect_stack_use_after_return=0)");
    auto s = std::make_shared<State>();
    s->memory = save_firmware_ram();
    s->coroutine = c.id;
    s->started = c.started;
    s->ended = c.ended;
    s->spun = spun_;
    if (c.started && !c.ended) {
        s->fw = c.fw;
        const char *low = c.suspended_low();
        s->low = static_cast<size_t>(low - c.stack.data());
        s->frames.resize(c.stack.size() - s->low);
        copy_unchecked(s->frames.data(), low, s->frames.size());
        s->marks = save_stack_marks(low, s->frames.size());
    }
    return s;
}

void NativeCpu::restore_state(const State &s)
{
    Coroutine &c = *co_;
    if (c.inside) fail("a snapshot of the native board restored while its firmware runs");
    if (s.coroutine != c.id) fail("a snapshot of the native firmware restored onto another CPU");
    if (frames_off_stack(c.fw_side))
        fail("no snapshot of the native board while AddressSanitizer keeps the firmware's frames off its stack "
             "(run with ASAN_OPTIONS=detect_stack_use_after_return=0)");
    restore_firmware_ram(s.memory);
    c.restart();
    c.started = s.started;
    c.ended = s.ended;
    horizon_ = kNever;
    spun_ = s.spun;
    if (!s.started || s.ended) return;
    // The same context object as when it was saved: the pointers inside it
    // (to its own register area, to the context it returns to) still hold.
    c.fw = s.fw;
    copy_unchecked(c.stack.data() + s.low, s.frames.data(), s.frames.size());
    restore_stack_marks(c.stack.data() + s.low, s.marks);
}

void NativeCpu::run_until(Cycles t)
{
    if (mcu_.now() >= t) return;
    Coroutine &c = *co_;
    if (!c.started) {
        getcontext(&c.fw);
        c.fw.uc_stack.ss_sp = c.stack.data();
        c.fw.uc_stack.ss_size = c.stack.size();
        c.fw.uc_link = &c.back;
        makecontext(&c.fw, &Coroutine::entry, 0);
        c.started = true;
    }
    if (c.ended) {
        idle_until(t);
        return;
    }
    c.stop = t;
    horizon_ = t;
    c.inside = true;
    leaving_stack(c.host_side, c.fw_side);
    swapcontext(&c.back, &c.fw);
    arrived_on_stack(c.host_side, c.fw_side);
    c.inside = false;
    horizon_ = kNever;
}

void NativeCpu::time_passed()
{
    Coroutine &c = *co_;
    if (c.inside && mcu_.now() >= c.stop) {
        c.inside = false;
        leaving_stack(c.fw_side, c.host_side);
        swapcontext(&c.fw, &c.back);
        arrived_on_stack(c.fw_side, c.host_side);
        c.inside = true;
    }
    if (on_time_passed) on_time_passed();
}

// ---------------------------------------------------------------- time

// Runs the events up to `target` and every interrupt they raise at the time it
// is raised. Time spent in handlers moves the target on. A stop of the run
// that falls inside is kept to the cycle: the caller of run_until sees the
// board at its time, whichever events there are.
void NativeCpu::run_to(Cycles target)
{
    for (;;) {
        const Cycles limit = horizon_ > mcu_.now() ? std::min(target, horizon_) : target;
        if (mcu_.fire_next(limit)) {
            Cycles before = mcu_.now();
            mcu_.nvic.dispatch(*this);
            target += mcu_.now() - before;
        } else if (limit < target) {
            mcu_.advance_to(limit);
            mcu_.nvic.dispatch(*this);
        } else {
            break;
        }
        time_passed();
    }
    mcu_.advance_to(target);
    mcu_.nvic.dispatch(*this);
    time_passed();
}

void NativeCpu::spend(Cycles n)
{
    Cycles target = mcu_.now() + n * mcu_.clock_scale();
    // Most accesses pass no event and no time limit: nothing else to do.
    if (target < mcu_.next_due() && target < horizon_ && !mcu_.nvic.has_pending()) {
        mcu_.advance_to(target);
        return;
    }
    run_to(target);
}

uint64_t NativeCpu::repeat_read(uint64_t at_most)
{
    const Cycles now = mcu_.now(), per_read = kAccessCycles * mcu_.clock_scale();
    const Cycles until = std::min(mcu_.next_due(), horizon_);
    // Reads at now + k * per_read for k = 1, 2, ... stay before `until`.
    if (until <= now + per_read || at_most == 0) return 0;
    const uint64_t n = std::min<uint64_t>((until - now - 1) / per_read, at_most);
    mcu_.advance_to(now + n * per_read);
    mcu_.accesses += n;
    time_passed();
    return n;
}

void NativeCpu::idle(Cycles limit)
{
    Cycles now = mcu_.now(), target = now + limit;
    if (mcu_.next_due() < target) target = mcu_.next_due();
    if (horizon_ < target && horizon_ > now) target = horizon_;
    run_to(target);
}

uint32_t NativeCpu::read_spun(const volatile uint32_t &count)
{
    if (mcu_.now() == spun_.at && count == spun_.value) idle();
    spun_ = {count, mcu_.now()};
    return spun_.value;
}

void NativeCpu::idle_until(Cycles t)
{
    while (mcu_.now() < t) run_to(mcu_.next_due() < t ? mcu_.next_due() : t);
}

// ---------------------------------------------------------------- firmware

uint32_t NativeCpu::read32(uint32_t addr)
{
    spend(kAccessCycles);
    uint32_t v = mcu_.bus_read(addr, 4);
    mcu_.nvic.dispatch(*this);
    return v;
}

void NativeCpu::write32(uint32_t addr, uint32_t value)
{
    spend(kAccessCycles);
    mcu_.bus_write(addr, value, 4);
    mcu_.nvic.dispatch(*this);
}

void NativeCpu::take_exception(int n)
{
    vector_fn handler = n >= 1 && n <= VECTOR_SYSTEM_COUNT + VECTOR_IRQ_COUNT ? g_pfnVectors.handler[n - 1] : nullptr;
    if (!handler) fail("exception " + std::to_string(n) + " has no handler in the firmware's vector table");
    spend(kExceptionCycles);
    handler();
    spend(kExceptionCycles);
    mcu_.nvic.leave(n);
}

bool NativeCpu::read_symbol(std::string_view name, void *out, size_t size)
{
    const Location *s = find_symbol(name, size);
    if (!s) return false;
    std::memcpy(out, s->addr, size);
    return true;
}

bool NativeCpu::write_symbol(std::string_view name, const void *in, size_t size)
{
    const Location *s = find_symbol(name, size);
    if (!s) return false;
    std::memcpy(s->addr, in, size);
    return true;
}

}  // namespace sim
