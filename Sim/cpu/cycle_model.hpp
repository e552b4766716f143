// Cycle model of the STM32F103's Cortex-M3 (r1p1) running from its flash:
// a Thumb-2 length/class decoder and the cost of a straight run of
// instructions (a translated block of the emulator), with the figures of
// the Cortex-M3 Technical Reference Manual's instruction timing table and
// the STM32F1 flash interface (reference manual, "Embedded flash memory":
// two wait states at 72 MHz, prefetch buffer on).
//
// Figures and what they simplify (cycles of the 72 MHz core clock):
// - Data processing, moves, shifts, extends, bitfields, compares, MRS/MSR,
//   CPS, hints, barriers: 1. IT: 1 (the core may fold it into the
//   preceding 16-bit instruction for 0; not modelled).
// - MUL 1; MLA, MLS 2. UMULL/SMULL 4 and UMLAL/SMLAL 6: the TRM gives 3-5
//   and 4-7 with early termination on the operands' magnitude; a block
//   cost is computed once per address and cannot see operands, so these
//   are the rounded-up middles. UDIV/SDIV: 7, the middle of the TRM's 2-12
//   (early termination on leading zeros), for the same reason.
// - Single loads and stores (LDR/STR of any width, LDREX/STREX): 2; one
//   that directly follows another single load or store pipelines its
//   address phase behind it and costs 1 (TRM: "neighboring load and store
//   single instructions can pipeline"). LDRD/STRD 1+2 = 3; LDM/STM/PUSH/POP
//   1+N. A load into the PC adds the pipeline refill P.
// - Branches: B, BL, BX, BLX, an ADD or MOV to the PC: 1+P. Conditional
//   B<c> and CBZ/CBNZ: 1 when not taken, 1+P when taken (decided by the
//   address of the next block that runs: a branch to the very next
//   instruction counts as not taken). TBB/TBH: 2+P.
// - P, the pipeline refill, is 2 cycles (the TRM's range is 1-3, by
//   alignment and width of the target; 2 is its usual value).
// - Flash: sequential fetches are taken as fully hidden by the prefetch
//   buffer (two 64-bit lines, each read in 1+2 cycles while the core
//   executes up to four 16-bit instructions of the previous one; dense
//   1-cycle 32-bit code can outrun it by a cycle per line: not modelled).
//   Every fetch redirected to flash (a taken branch, exception entry,
//   return, tail-chain) pays the two wait states on top of P, charged by
//   the engine when the target block starts. A PC-relative literal load
//   from flash pays them too. Data reads of flash through a register
//   (constant tables) are charged as SRAM reads: the block cost cannot
//   tell the address; they are rare in the control code.
// - Skipped instructions inside an IT block: charged as executed (a
//   skipped load costs 1 on the chip, 2 here), except a PC-writing one at
//   the block's end, whose outcome the next block's address tells.
// - Peripheral accesses: charged by the engine, per access (see arm_core).
#pragma once
#include <cstdint>
#include <vector>

namespace sim::cpu {

namespace cost {
inline constexpr uint32_t kRefill = 2;          // P
inline constexpr uint32_t kFlashWait = 2;       // wait states at 72 MHz
inline constexpr uint32_t kMulLong = 4;
inline constexpr uint32_t kMulLongAcc = 6;
inline constexpr uint32_t kDivide = 7;
}  // namespace cost

enum class Op : uint8_t {
    Alu,            // 1 cycle
    AluToPc,        // ADD/MOV with the PC as destination: a branch
    Mul,
    MulAcc,
    MulLong,
    MulLongAcc,
    Divide,
    Load,           // single load, base a register other than SP or PC
    Store,
    LoadStack,      // single load or store with SP as base: never a peripheral
    StoreStack,
    LoadLiteral,    // PC-relative load
    LoadDual,
    StoreDual,
    LoadMultiple,   // LDM, POP
    StoreMultiple,  // STM, PUSH
    Branch,         // unconditional B, BL, BX, BLX
    CondBranch,     // B<c>, CBZ, CBNZ
    TableBranch,
    It,
    Exception,      // SVC, BKPT, UDF and undefined encodings: the fault path charges them
};

inline constexpr uint8_t kNoReg = 0xFF;

struct Insn {
    uint8_t length = 2;     // bytes
    Op op = Op::Alu;
    uint8_t count = 0;      // registers moved by LDM/STM/PUSH/POP, 2 for the dual forms
    uint8_t size = 0;       // bytes per access of a load or store
    bool writes_pc = false; // loads and multiples that load the PC
    uint8_t it_count = 0;   // IT: instructions the block covers
    uint16_t writes = 0;    // registers it may write (a superset), bit n for Rn
    // Data address of a load or store: base + (index << shift) or base + offset
    // (just base when post-indexed); multiples: `count` words from base, or
    // ending below it (decrement before).
    uint8_t base = kNoReg, index = kNoReg, shift = 0;
    int16_t offset = 0;
    bool post_indexed = false, decrement = false;
    // The register it writes gets a value known from the code: MOVS, MOVW,
    // MOV.W with an immediate (a literal load's value is filled in by whoever
    // can read the literal pool).
    bool constant = false;
    uint32_t value = 0;
};

// Decodes the instruction whose first halfword is hw1 (hw2 is the next
// halfword, used only when hw1 opens a 32-bit encoding).
Insn decode(uint16_t hw1, uint16_t hw2);

// One instruction of a block as the cost model sees it.
struct BlockInsn {
    uint32_t offset;     // bytes from the block start
    uint32_t before;     // cycles of the block spent before it starts
    Insn insn;
    bool pipelined;      // charged as the second of two neighbouring single accesses
};

// A single load or store: may pipeline behind its neighbour.
bool single_access(Op op);

// The cost of a translated block: `cycles` when control leaves it at its
// end sequentially or through an unconditional transfer; `taken_extra` is
// added when its final conditional transfer is taken.
struct BlockCost {
    std::vector<BlockInsn> insns;
    uint32_t cycles = 0;
    uint32_t taken_extra = 0;
    bool conditional_end = false;  // ends in a transfer that may not be taken
    bool redirects = false;        // ends in a transfer that always redirects fetch
};

// Costs `size` bytes of code starting at `code`; `in_flash` says whether
// literal loads read the flash (wait states).
BlockCost cost_block(const uint8_t *code, uint32_t size, bool in_flash);

}  // namespace sim::cpu
