// The emulated Cortex-M3 on the probe program (Tests/cpu/probe): cycle
// costs between markers, peripheral accesses, exception entry, nesting,
// tail-chaining and return, faults into HardFault, run budgets, profile.
// Expected cycles are derived from the model's figures in the comments:
// a changed figure fails a check.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "cpu/arm_core.hpp"

using sim::cpu::ArmCore;
using sim::cpu::FaultKind;

namespace {

constexpr uint32_t kMark = 0xE000EF00, kStop = 0xE000EF04;

struct Access {
    uint32_t addr, value;
    unsigned size;
    bool write;
    uint64_t cycle;
};

// Records every bus access, markers and faults; ends the run at STOP.
struct ProbePort : sim::cpu::ArmPort {
    ArmCore *core = nullptr;
    std::vector<Access> accesses;
    std::vector<std::pair<uint32_t, uint64_t>> marks, stops;
    std::vector<std::pair<int, uint64_t>> returns;
    std::map<int, int> tail_chain;   // exception returning -> exception chained
    std::vector<sim::cpu::Fault> faults;

    uint32_t bus_read(uint32_t addr, unsigned size, uint64_t cycle) override
    {
        accesses.push_back({addr, 0, size, false, cycle});
        return 0;
    }
    void bus_write(uint32_t addr, uint32_t value, unsigned size, uint64_t cycle) override
    {
        accesses.push_back({addr, value, size, true, cycle});
        if (addr == kMark) marks.push_back({value, cycle});
        if (addr == kStop) {
            stops.push_back({value, cycle});
            core->request_stop();
        }
    }
    int exception_return(int n, uint64_t cycle) override
    {
        returns.push_back({n, cycle});
        auto it = tail_chain.find(n);
        return it == tail_chain.end() ? 0 : it->second;
    }
    void fault(const sim::cpu::Fault &f) override { faults.push_back(f); }

    uint64_t mark(uint32_t value) const
    {
        for (const auto &[v, c] : marks)
            if (v == value) return c;
        ADD_FAILURE() << "no marker " << value;
        return 0;
    }
};

struct Probe : ::testing::Test {
    void SetUp() override
    {
        if (!std::filesystem::exists(CPU_PROBE_ELF)) GTEST_SKIP() << "no probe at " << CPU_PROBE_ELF;
        image = sim::elf::Image::load(CPU_PROBE_ELF);
        ASSERT_TRUE(image && core.load(*image));
        port.core = &core;
        core.reset();
    }
    uint32_t sym(const char *name) { return core.symbol(name)->value & ~1u; }

    // Runs the probe to its end in runs of `step` cycles, taking SysTick at
    // the thread's STOP and IRQ 0 at the handler's; SysTick's return
    // tail-chains into IRQ 1. Returns the cycles of each run.
    std::vector<uint64_t> drive(uint64_t step)
    {
        port.tail_chain[15] = 17;
        std::vector<uint64_t> runs;
        size_t seen = 0;
        while (runs.size() < 100000) {
            runs.push_back(core.run(step));
            if (port.stops.size() == seen) continue;
            seen = port.stops.size();
            const uint32_t at = port.stops.back().first;
            if (at == 0xFF) break;
            if (at == 0xA0) core.enter_exception(15);
            if (at == 0xB0) core.enter_exception(16);
        }
        return runs;
    }

    ProbePort port;
    ArmCore core{port};
    std::optional<sim::elf::Image> image;
};

}  // namespace

// Faults caught: a wrong cost for an instruction class, for pipelined loads,
// literal loads from flash, taken and not-taken branches, the flash wait
// states of a redirected fetch, IT blocks, calls and returns.
TEST_F(Probe, InstructionClassCosts)
{
    drive(1'000'000'000);
    struct { uint32_t from, to; uint64_t cycles; } table[] = {
        // a marker is `movs` (1) then `str` (2); the cycle is the str's start
        {1, 2, 2 + 10 + 1},                            // ten ADDS
        {2, 3, 2 + 1 + 2 + 4 + 6 + 7 + 7 + 1},         // MUL, MLA, UMULL, UMLAL, UDIV, SDIV
        // LDR pipelined behind the marker 1, ADDS 1, LDR 2, LDR 1, STR 1, ADDS 1,
        // LDM of 4: 5, PUSH of 3: 4, POP of 3: 4, LDRD 3
        {3, 4, 2 + 1 + 1 + 2 + 1 + 1 + 1 + 5 + 4 + 4 + 3 + 1},
        {4, 5, 2 + 1 + (2 + 2) + (1 + 2) + 1},         // literal loads pay the two flash wait states
        // B 1+2 +2 wait; CMP, BNE not taken 1+1; CMP, BEQ taken 1+1+2+2; MOVS;
        // loop of 10: SUBS 10, 9 taken BNE (1+2+2), 1 not taken; MOVS; CBZ taken 5;
        // CBNZ not taken 1; BL 1+2+2; BX LR 1+2+2
        {5, 6, 2 + 5 + 2 + 6 + 1 + 10 + 45 + 1 + 1 + 5 + 1 + 5 + 5 + 1},
        {6, 7, 2 + 5 + 3 + (1 + 2 + 2 + 2) + 1},       // BL, PUSH {r4, lr}, POP {r4, pc}
        // CMP, ITE, two conditional moves 4; calls of func_it: with r0 = 0 the
        // IT-conditional BX is taken (1 + 2 + 2 wait): 2 + 5; with r0 = 1 it is
        // skipped (1), then ADDS, BX LR: 2 + 1 + 1 + 5; three literal loads 4 + 3 + 3
        {7, 8, 2 + 4 + 1 + 5 + 7 + 1 + 5 + 9 + 10 + 1},
        // MOVS; STRB APB1 2+5; LDRH APB1 2+5; LDR APB2 2+3; STR AHB 2; LDR SRAM 1
        // (pipelined); STRH APB1 2+5; literal 1+2; STR SRAM 1; literal 1+2; STR APB2 2+3
        {8, 9, 2 + 1 + 7 + 7 + 5 + 2 + 1 + 7 + 3 + 1 + 3 + 5 + 1},
    };
    for (const auto &t : table)
        EXPECT_EQ(port.mark(t.to) - port.mark(t.from), t.cycles) << "markers " << t.from << " to " << t.to;
}

// Faults caught: a peripheral access dated at the wrong instruction, a wrong
// width or value, a wrong bus cost per bridge.
TEST_F(Probe, PeripheralAccessesAtTheirCycles)
{
    drive(1'000'000'000);
    const uint64_t t8 = port.mark(8);
    const Access want[] = {
        {0x40000400, 0x5A, 1, true, t8 + 3},     // after the marker's STR (2) and MOVS (1)
        {0x40000402, 0, 2, false, t8 + 10},      // STRB cost 2 + 5 (APB1)
        {0x40010800, 0, 4, false, t8 + 17},      // LDRH 2 + 5
        {0x40021000, 0, 4, true, t8 + 22},       // LDR 2 + 3 (APB2)
        {0x40000404, 0, 2, true, t8 + 25},       // STR 2 (AHB), LDR from SRAM 1
        {0x40010800, 0, 4, true, t8 + 39},       // STRH 7, literal 3, STR to SRAM 1, literal 3
    };
    size_t i = 0;
    for (const Access &a : port.accesses) {
        if (a.addr < 0x40000000 || a.addr >= 0x40030000) continue;
        ASSERT_LT(i, std::size(want));
        EXPECT_EQ(a.addr, want[i].addr) << i;
        EXPECT_EQ(a.size, want[i].size) << i;
        EXPECT_EQ(a.write, want[i].write) << i;
        if (a.write && a.size == 1) {
            EXPECT_EQ(a.value, want[i].value);
        }
        EXPECT_EQ(a.cycle, want[i].cycle) << i;
        ++i;
    }
    EXPECT_EQ(i, std::size(want));
}

// Faults caught: a wrong frame (order, return address, xPSR, the r1p1
// 4-byte alignment or the STKALIGN pad), a wrong EXC_RETURN, nesting or
// tail-chaining that loses a register or costs the wrong time.
TEST_F(Probe, ExceptionsNestTailChainAndReturn)
{
    for (bool align8 : {false, true}) {
        SCOPED_TRACE(align8 ? "8-byte stack alignment" : "4-byte stack alignment (reset)");
        port = ProbePort{};
        port.core = &core;
        core.reset();
        core.set_stack_align8(align8);
        port.tail_chain[15] = 17;
        core.run(1'000'000);
        ASSERT_EQ(port.stops.size(), 1u);
        EXPECT_EQ(core.reg(ArmCore::PC), sym("thread_resume"));
        const uint64_t tA = port.stops[0].second;
        core.enter_exception(15);
        core.run(1'000'000);
        ASSERT_EQ(port.stops.size(), 2u);
        // STR 2, CMP 1, BEQ taken 1+2, entry 12, flash wait 2, MOVS 1
        EXPECT_EQ(port.stops[1].second - tA, 21u);
        EXPECT_EQ(core.reg(ArmCore::IPSR), 15u);
        EXPECT_EQ(core.reg(ArmCore::LR), 0xFFFFFFF9u);
        const uint32_t thread_sp = 0x2000C000 - 12;   // 4 mod 8
        const uint32_t sp = core.reg(ArmCore::SP);
        EXPECT_EQ(sp, thread_sp - (align8 ? 4 : 0) - 32);
        uint32_t frame[8];
        ASSERT_TRUE(core.read(sp, frame, sizeof frame));
        const uint32_t regs[] = {0xA0, 0x11, 0x22, 0x33, 0x1212, 0x1415, sym("thread_resume")};
        for (int i = 0; i < 7; ++i) EXPECT_EQ(frame[i], regs[i]) << "frame word " << i;
        EXPECT_EQ(frame[7] & 0x010003FFu, 0x01000000u | (align8 ? 0x200u : 0u)) << "xPSR: Thumb, thread, pad bit";

        const uint64_t tB = port.stops[1].second;
        core.enter_exception(16);
        while (port.stops.size() < 3) core.run(1'000'000);
        // IRQ 0 entered after the handler's STR, B: 5 + 12 + 2 wait + MOVS = 20;
        // its STR 2, BX 3, return 10, wait 2, MOVS 1: marker 11 at 38; STR, BX,
        // tail-chain 6, wait 2, MOVS: IRQ 1 at 52; return to the thread at 70.
        EXPECT_EQ(port.mark(0xC0) - tB, 20u);
        EXPECT_EQ(port.mark(11) - tB, 38u);
        EXPECT_EQ(port.mark(0xC1) - tB, 52u);
        EXPECT_EQ(port.mark(10) - tB, 70u);
        ASSERT_EQ(port.returns.size(), 5u);   // 16, 15, 17, then the two faults' HardFaults
        EXPECT_EQ(port.returns[0], std::make_pair(16, tB + 25));
        EXPECT_EQ(port.returns[1], std::make_pair(15, tB + 43));
        EXPECT_EQ(port.returns[2], std::make_pair(17, tB + 57));
        // The thread sees its registers and its stack pointer again.
        std::vector<uint32_t> after;
        for (const auto &[v, c] : port.marks)
            if (c > port.mark(10)) after.push_back(v);
        ASSERT_GE(after.size(), 6u);
        const std::vector<uint32_t> want = {0x11, 0x22, 0x33, 0x1212, 0x1415, thread_sp};
        EXPECT_EQ(std::vector<uint32_t>(after.begin(), after.begin() + 6), want);
    }
}

// Faults caught: an undefined instruction or a bus error that does not land
// in HardFault with the faulting instruction as return address, a fault not
// reported, a wrong cost of the fault entry.
TEST_F(Probe, FaultsEnterHardFault)
{
    drive(1'000'000'000);
    ASSERT_EQ(port.faults.size(), 2u);
    EXPECT_EQ(port.faults[0].kind, FaultKind::Undefined);
    EXPECT_EQ(port.faults[0].pc, sym("udf_site"));
    EXPECT_EQ(port.faults[0].exception, 3);
    EXPECT_EQ(port.faults[1].kind, FaultKind::Bus);
    EXPECT_EQ(port.faults[1].pc, sym("bus_site"));
    EXPECT_EQ(port.faults[1].address, 0x60000000u);
    // The handler reports the stacked PC and resumes after the instruction.
    EXPECT_EQ(port.mark(sym("udf_site")) - port.mark(12), 2u + 12 + 2 + 2) << "STR, entry, wait, LDR";
    EXPECT_NE(port.mark(sym("bus_site")), 0u);
    EXPECT_GT(port.mark(14), port.mark(13));
    EXPECT_EQ(port.returns[3].first, 3);

    // A vector without the Thumb bit faults into HardFault; faulting again
    // there locks the core up, and time still passes.
    core.enter_exception(18);
    EXPECT_EQ(port.faults.back().kind, FaultKind::InvalidState);
    EXPECT_EQ(core.reg(ArmCore::IPSR), 3u);
    EXPECT_EQ(core.reg(ArmCore::PC), sym("hardfault_handler"));
    core.set_reg(static_cast<ArmCore::Reg>(1), 0x60000000);
    core.set_reg(ArmCore::PC, sym("bus_site"));
    EXPECT_EQ(core.run(5000), 5000u);
    EXPECT_TRUE(core.locked_up());
    EXPECT_EQ(port.faults.back().exception, -1);
}

// Faults caught: a budget that changes what runs or when (a block counted
// twice or lost at a stop), a run that ends early or overshoots by more
// than a block.
TEST_F(Probe, BudgetsSplitRunsWithoutChangingTime)
{
    const std::vector<uint64_t> runs = drive(1);
    const auto stepped = port.marks;
    port = ProbePort{};
    port.core = &core;
    core.reset();
    drive(1'000'000'000);
    ASSERT_EQ(stepped.size(), port.marks.size());
    for (size_t i = 0; i < stepped.size(); ++i) {
        EXPECT_EQ(stepped[i].first, port.marks[i].first) << i;
        EXPECT_EQ(stepped[i].second - stepped.front().second, port.marks[i].second - port.marks.front().second) << i;
    }
    // A run of 1 cycle runs one block: the probe's longest, from reset to the
    // first branch, costs 93 and the flash wait states of its first fetch.
    for (uint64_t r : runs) EXPECT_LE(r, 95u);
}

// Faults caught: cycles lost or counted twice by the profile, a block or a
// redirection charged to the wrong function, exception overhead outside its
// bucket, a lowest SP that misses a nested frame.
TEST_F(Probe, ProfileAttributesEveryCycle)
{
    core.set_profiling(true);
    const uint64_t start = core.cycles();
    drive(1'000'000'000);
    uint64_t sum = 0;
    std::map<std::string, uint64_t> by_name;
    for (const auto &f : core.profile()) {
        sum += f.cycles;
        by_name[f.name] = f.cycles;
    }
    EXPECT_EQ(sum, core.cycles() - start);
    EXPECT_EQ(by_name["func_ret"], 2u + 3u) << "flash wait of the call's target, BX LR";
    // Entries of SysTick, IRQ 0 and two HardFaults (12 each), returns of IRQ 0,
    // IRQ 1 and the HardFaults (10 each), one tail-chain (6).
    EXPECT_EQ(by_name["(exception)"], 4u * 12 + 4u * 10 + 6);
    EXPECT_EQ(core.lowest_sp(), 0x2000C000u - 12 - 32 - 32) << "IRQ 0's frame on SysTick's";
}

// Faults caught: an idle loop skipped by a repetition too many or too few (a
// run that ends at another block or cycle than without the skip), a wrong
// period, a profile without the skipped cycles and calls, a watch that
// survives a write from outside, a poll of a peripheral register taken for
// idle (its reads would go missing).
TEST_F(Probe, IdleLoopSkipsWholeRepetitionsExactly)
{
    ProbePort plain_port;
    ArmCore plain{plain_port};
    plain_port.core = &plain;
    ASSERT_TRUE(plain.load(*image));
    plain.set_idle_skip(false);
    for (ArmCore *c : {&core, &plain}) {
        c->reset();
        c->set_profiling(true);
        c->set_reg(ArmCore::PC, sym("idle_poll"));
    }
    for (uint64_t budget : {1, 37, 1000, 99'999, 12'345, 5'000'000}) {
        EXPECT_EQ(core.run(budget), plain.run(budget)) << budget;
        EXPECT_EQ(core.reg(ArmCore::PC), plain.reg(ArmCore::PC)) << budget;
    }
    EXPECT_GT(core.idle_cycles_skipped(), 5'000'000u);
    EXPECT_EQ(plain.idle_cycles_skipped(), 0u);
    EXPECT_EQ(core.profile_cycles(), plain.profile_cycles());
    EXPECT_EQ(core.profile_calls(), plain.profile_calls());
    const auto loop = core.idle_loop();
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop->head, sym("idle_head"));
    EXPECT_EQ(loop->exit, sym("idle_exit"));
    // MOV 1, BL 3, wait 2; LDR 2, BX 3, wait 2; CMP, MOV, BEQ 3 + 2 taken, wait 2.
    EXPECT_EQ(loop->period, 20u);

    const uint32_t changed = 1;
    for (ArmCore *c : {&core, &plain}) {
        ASSERT_TRUE(c->write(0x20000100, &changed, 4));
        c->run(1000);
    }
    EXPECT_EQ(port.mark(0xD0), plain_port.mark(0xD0)) << "the loop ends at the same cycle";

    const uint64_t skipped = core.idle_cycles_skipped();
    for (ArmCore *c : {&core, &plain}) {
        c->set_reg(ArmCore::PC, sym("register_poll"));
        c->run(10'000);
    }
    EXPECT_EQ(core.idle_cycles_skipped(), skipped);
    EXPECT_EQ(port.accesses.size(), plain_port.accesses.size());
}
