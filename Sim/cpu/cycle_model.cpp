#include "cpu/cycle_model.hpp"

#include <bit>

namespace sim::cpu {
namespace {

constexpr uint16_t bit(unsigned r) { return static_cast<uint16_t>(1u << r); }

Insn of(Op op, uint16_t writes = 0)
{
    Insn i;
    i.op = op;
    i.writes = writes;
    return i;
}

// A single load or store of `size` bytes; the address fields are filled by the caller.
Insn load_store(uint8_t size, bool load, unsigned base, unsigned rt)
{
    Insn i;
    i.size = size;
    i.base = static_cast<uint8_t>(base);
    if (base == 15) i.op = Op::LoadLiteral;
    else if (base == 13) i.op = load ? Op::LoadStack : Op::StoreStack;
    else i.op = load ? Op::Load : Op::Store;
    if (load) {
        i.writes = bit(rt);
        i.writes_pc = rt == 15 && size == 4;
    }
    return i;
}

Insn multiple(bool load, unsigned base, uint16_t list, bool writeback)
{
    Insn i;
    i.op = load ? Op::LoadMultiple : Op::StoreMultiple;
    i.count = static_cast<uint8_t>(std::popcount(static_cast<unsigned>(list)));
    i.size = 4;
    i.base = static_cast<uint8_t>(base);
    i.writes_pc = load && (list & bit(15));
    i.writes = static_cast<uint16_t>((load ? list : 0) | (writeback ? bit(base) : 0));
    return i;
}

Insn constant(uint16_t writes, uint32_t value)
{
    Insn i = of(Op::Alu, writes);
    i.constant = true;
    i.value = value;
    return i;
}

// The modified immediate of a 32-bit data-processing instruction.
uint32_t expand_imm(uint16_t hw1, uint16_t hw2)
{
    const uint32_t imm12 = ((hw1 >> 10) & 1u) << 11 | ((hw2 >> 12) & 7u) << 8 | (hw2 & 0xFFu);
    const uint32_t imm8 = imm12 & 0xFF;
    if (!(imm12 >> 10)) {
        switch ((imm12 >> 8) & 3) {
        case 0: return imm8;
        case 1: return imm8 << 16 | imm8;
        case 2: return imm8 << 24 | imm8 << 8;
        default: return imm8 * 0x01010101u;
        }
    }
    return std::rotr(0x80u | (imm12 & 0x7F), static_cast<int>(imm12 >> 7));
}

Insn decode16(uint16_t hw)
{
    const unsigned r0 = hw & 7, r3 = (hw >> 3) & 7, r6 = (hw >> 6) & 7, r8 = (hw >> 8) & 7;
    const unsigned top6 = hw >> 10;
    if (hw < 0x2000) return of(Op::Alu, bit(r0));               // shifts, add/sub register or imm3
    if ((hw >> 11) == 0x04) return constant(bit(r8), hw & 0xFFu);  // MOVS imm8
    if (top6 < 0x10) return of(Op::Alu, ((hw >> 11) & 3) == 1 ? 0 : bit(r8));   // mov/cmp/add/sub imm8
    if (top6 == 0x10) return of((hw >> 6) == 0x10D ? Op::Mul : Op::Alu, bit(r0));
    if (top6 == 0x11) {                                         // high registers, BX, BLX
        const unsigned opc = (hw >> 8) & 3;
        if (opc == 3) return of(Op::Branch, hw & 0x80 ? bit(14) : 0);
        const unsigned rd = ((hw >> 4) & 8) | r0;
        if (opc == 1) return of(Op::Alu);
        return of(rd == 15 ? Op::AluToPc : Op::Alu, bit(rd));
    }
    if ((hw >> 11) == 0x09) {                                   // LDR literal
        Insn i = load_store(4, true, 15, r8);
        i.offset = static_cast<int16_t>((hw & 0xFF) * 4);
        return i;
    }
    if ((hw >> 12) == 0x5) {                                    // register offset
        static constexpr uint8_t size[8] = {4, 2, 1, 1, 4, 2, 1, 2};
        const unsigned opb = (hw >> 9) & 7;
        Insn i = load_store(size[opb], opb >= 3, r3, r0);
        i.index = static_cast<uint8_t>(r6);
        return i;
    }
    if ((hw >> 13) == 0x3 || (hw >> 12) == 0x8) {               // immediate offset: word, byte, halfword
        const uint8_t size = (hw >> 12) == 0x8 ? 2 : (hw & 0x1000) ? 1 : 4;
        Insn i = load_store(size, hw & 0x800, r3, r0);
        i.offset = static_cast<int16_t>(((hw >> 6) & 0x1F) * size);
        return i;
    }
    if ((hw >> 12) == 0x9) return load_store(4, hw & 0x800, 13, r8);
    if ((hw >> 12) == 0xA) return of(Op::Alu, bit(r8));         // ADR, ADD SP
    if ((hw >> 12) == 0xB) {                                    // miscellaneous
        const unsigned op = (hw >> 8) & 0xF;
        if ((op & 5) == 1) return of(Op::CondBranch);           // CBZ, CBNZ
        if ((op & 0xE) == 0x4) return multiple(false, 13, static_cast<uint16_t>((hw & 0xFF) | (hw & 0x100 ? bit(14) : 0)), true);
        if ((op & 0xE) == 0xC) return multiple(true, 13, static_cast<uint16_t>((hw & 0xFF) | (hw & 0x100 ? bit(15) : 0)), true);
        if (op == 0xE) return of(Op::Exception);                // BKPT
        if (op == 0xF && (hw & 0xF)) {                          // IT
            Insn i = of(Op::It);
            i.it_count = static_cast<uint8_t>(4 - std::countr_zero(static_cast<unsigned>(hw & 0xF)));
            return i;
        }
        if (op == 0x0) return of(Op::Alu, bit(13));             // ADD, SUB SP
        if (op == 0x2 || op == 0xA) return of(Op::Alu, bit(r0)); // extends, REV
        return of(Op::Alu);                                     // CPS, hints
    }
    if ((hw >> 12) == 0xC) {                                    // STM, LDM
        const bool load = hw & 0x800;
        const uint16_t list = hw & 0xFF;
        return multiple(load, r8, list, !(load && (list & bit(r8))));
    }
    if ((hw >> 12) == 0xD) {
        const unsigned cond = (hw >> 8) & 0xF;
        return of(cond >= 0xE ? Op::Exception : Op::CondBranch);  // UDF, SVC, B<c>
    }
    return of(Op::Branch);                                      // B
}

Insn decode32(uint16_t hw1, uint16_t hw2)
{
    const unsigned rn = hw1 & 0xF, rt = hw2 >> 12, rd = (hw2 >> 8) & 0xF;
    const uint16_t to_rd = rd == 15 ? 0 : bit(rd);
    switch ((hw1 >> 11) & 3) {
    case 1:
        if ((hw1 & 0x0640) == 0x0000) {                         // LDM, STM (also PUSH.W, POP.W)
            Insn i = multiple(hw1 & 0x10, rn, hw2, hw1 & 0x20);
            i.decrement = ((hw1 >> 7) & 3) == 2;
            return i;
        }
        if ((hw1 & 0x0640) == 0x0040) {
            if (hw1 & 0x0120) {                                 // LDRD, STRD
                const bool load = hw1 & 0x10;
                Insn i = of(load ? Op::LoadDual : Op::StoreDual,
                            static_cast<uint16_t>((load ? bit(rt) | bit(rd) : 0) | (hw1 & 0x20 ? bit(rn) : 0)));
                i.count = 2;
                i.size = 4;
                i.base = static_cast<uint8_t>(rn);
                i.offset = static_cast<int16_t>((hw1 & 0x80 ? 4 : -4) * (hw2 & 0xFF));
                i.post_indexed = !(hw1 & 0x100);
                return i;
            }
            if ((hw1 & 0xFFF0) == 0xE8D0 && (hw2 & 0xFFE0) == 0xF000) return of(Op::TableBranch);
            Insn i = load_store(4, hw1 & 0x10, rn, rt);          // LDREX, STREX (status in Rd)
            i.writes |= bit(hw2 & 0xF) | to_rd;
            i.offset = static_cast<int16_t>((hw2 & 0xFF) * 4);
            return i;
        }
        if ((hw1 & 0x0600) == 0x0200) return of(Op::Alu, to_rd); // data processing, shifted register
        return of(Op::Exception);                               // coprocessor: no FPU on this core
    case 2:
        if ((hw1 & 0xFBEF) == 0xF04F && !(hw2 & 0x8000)) return constant(to_rd, expand_imm(hw1, hw2));  // MOV.W
        if ((hw1 & 0xFBF0) == 0xF240 && !(hw2 & 0x8000))                                           // MOVW
            return constant(to_rd, (hw1 & 0xFu) << 12 | ((hw1 >> 10) & 1u) << 11 | ((hw2 >> 12) & 7u) << 8 | (hw2 & 0xFFu));
        if (!(hw2 & 0x8000)) return of(Op::Alu, to_rd);         // data processing, immediate
        if ((hw2 & 0x5000) == 0x1000) return of(Op::Branch);    // B.W
        if ((hw2 & 0x5000) == 0x5000) return of(Op::Branch, bit(14));  // BL
        if ((hw2 & 0x5000) == 0x4000) return of(Op::Exception); // BLX immediate: no ARM state
        if ((hw1 & 0x0380) != 0x0380) return of(Op::CondBranch);
        if ((hw1 & 0x07F0) == 0x07F0 && (hw2 & 0x7000) == 0x2000) return of(Op::Exception);  // UDF.W
        return of(Op::Alu, (hw1 & 0x07E0) == 0x03E0 ? to_rd : 0);  // MRS; MSR, hints, barriers
    default: {
        const unsigned op2 = (hw1 >> 4) & 0x7F;
        const bool store = (op2 & 0x71) == 0x00;
        if (store || (op2 & 0x67) == 0x01 || (op2 & 0x67) == 0x03 || (op2 & 0x67) == 0x05) {
            Insn i = load_store(static_cast<uint8_t>(1u << ((op2 >> 1) & 3)), !store, rn, rt);
            if (rn == 15) {
                i.offset = static_cast<int16_t>((hw1 & 0x80 ? 1 : -1) * (hw2 & 0xFFF));
            } else if (hw1 & 0x80) {
                i.offset = static_cast<int16_t>(hw2 & 0xFFF);
            } else if (hw2 & 0x800) {                           // imm8: P, U, W
                i.offset = static_cast<int16_t>((hw2 & 0x200 ? 1 : -1) * (hw2 & 0xFF));
                i.post_indexed = !(hw2 & 0x400);
                if (hw2 & 0x100) i.writes |= bit(rn);
            } else {
                i.index = static_cast<uint8_t>(hw2 & 0xF);
                i.shift = static_cast<uint8_t>((hw2 >> 4) & 3);
            }
            return i;
        }
        if ((op2 & 0x70) == 0x20) return of(Op::Alu, to_rd);    // data processing, register
        if ((op2 & 0x78) == 0x30) {                             // MUL, MLA, MLS
            const bool plain = ((hw1 >> 4) & 7) == 0 && ((hw2 >> 4) & 3) == 0 && rt == 15;
            return of(plain ? Op::Mul : Op::MulAcc, to_rd);
        }
        if ((op2 & 0x78) == 0x38) {                             // long multiply, divide
            const unsigned op1 = (hw1 >> 4) & 7;
            if (op1 == 1 || op1 == 3) return of(Op::Divide, to_rd);
            return of(op1 & 4 ? Op::MulLongAcc : Op::MulLong, static_cast<uint16_t>(bit(rt) | to_rd));
        }
        return of(Op::Exception);
    }
    }
}

// Cycles of an instruction that executes; `pipelined` when it follows a
// single load or store.
uint32_t insn_cycles(const Insn &i, bool pipelined, bool in_flash)
{
    using namespace cost;
    switch (i.op) {
    case Op::Alu: case Op::Mul: case Op::It: return 1;
    case Op::AluToPc: case Op::Branch: return 1 + kRefill;
    case Op::MulAcc: return 2;
    case Op::MulLong: return kMulLong;
    case Op::MulLongAcc: return kMulLongAcc;
    case Op::Divide: return kDivide;
    case Op::Load: case Op::Store: case Op::LoadStack: case Op::StoreStack: case Op::LoadLiteral: {
        uint32_t c = pipelined ? 1 : 2;
        if (i.op == Op::LoadLiteral && in_flash) c += kFlashWait;
        if (i.writes_pc) c += kRefill;
        return c;
    }
    case Op::LoadDual: case Op::StoreDual: return 3;
    case Op::LoadMultiple: case Op::StoreMultiple: return 1 + i.count + (i.writes_pc ? kRefill : 0);
    case Op::CondBranch: return 1;
    case Op::TableBranch: return 2 + kRefill + (in_flash ? kFlashWait : 0);
    case Op::Exception: return 0;
    }
    return 1;
}

bool writes_pc(const Insn &i)
{
    return i.writes_pc || i.op == Op::Branch || i.op == Op::AluToPc || i.op == Op::TableBranch;
}

}  // namespace

bool single_access(Op op)
{
    return op == Op::Load || op == Op::Store || op == Op::LoadStack || op == Op::StoreStack ||
           op == Op::LoadLiteral;
}

Insn decode(uint16_t hw1, uint16_t hw2)
{
    if ((hw1 >> 11) < 0x1D) return decode16(hw1);
    Insn i = decode32(hw1, hw2);
    i.length = 4;
    return i;
}

BlockCost cost_block(const uint8_t *code, uint32_t size, bool in_flash)
{
    BlockCost b;
    bool prev_single = false;
    unsigned it_left = 0;
    for (uint32_t off = 0; off + 2 <= size;) {
        const uint16_t hw1 = static_cast<uint16_t>(code[off] | code[off + 1] << 8);
        const uint16_t hw2 = off + 4 <= size ? static_cast<uint16_t>(code[off + 2] | code[off + 3] << 8) : 0;
        const Insn i = decode(hw1, hw2);
        const bool in_it = it_left > 0;
        const bool pipelined = prev_single && single_access(i.op);
        const uint32_t c = insn_cycles(i, pipelined, in_flash);
        b.insns.push_back({off, b.cycles, i, pipelined});
        const bool last = off + i.length >= size;
        if (last && i.op == Op::CondBranch) {
            b.cycles += c;
            b.taken_extra = cost::kRefill;
            b.conditional_end = true;
        } else if (last && in_it && writes_pc(i)) {
            b.cycles += 1;                        // skipped by its IT block
            b.taken_extra = c - 1;
            b.conditional_end = true;
        } else {
            b.cycles += c;
            b.redirects = last && writes_pc(i);
        }
        prev_single = single_access(i.op);
        it_left = i.op == Op::It ? i.it_count : (in_it ? it_left - 1 : 0);
        off += i.length;
    }
    return b;
}

}  // namespace sim::cpu
