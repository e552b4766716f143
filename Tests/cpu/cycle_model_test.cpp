// The Thumb-2 decoder behind the cycle model, on encodings the probe
// program does not contain: a wrong length desynchronises every later
// instruction of a block; a wrong class gives a wrong cost or hides a
// peripheral access.
#include <gtest/gtest.h>

#include "cpu/cycle_model.hpp"

using sim::cpu::Op;

// Faults caught: a 32-bit encoding taken for 16 bits (or the reverse), a
// load, store, multiple, branch or multiply put in the wrong class, a
// wrong register count or access width.
TEST(ThumbDecoder, LengthsClassesAndWidths)
{
    struct { uint16_t hw1, hw2; uint8_t length; Op op; uint8_t count, size; const char *text; } table[] = {
        {0xE8DF, 0xF001, 4, Op::TableBranch, 0, 0, "tbb [pc, r1]"},
        {0xE8D3, 0xF011, 4, Op::TableBranch, 0, 0, "tbh [r3, r1, lsl #1]"},
        {0xE8BD, 0x81F0, 4, Op::LoadMultiple, 6, 4, "pop.w {r4-r8, pc}"},
        {0xE92D, 0x4FF0, 4, Op::StoreMultiple, 9, 4, "push.w {r4-r11, lr}"},
        {0xE9C3, 0x0102, 4, Op::StoreDual, 2, 4, "strd r0, r1, [r3, #8]"},
        {0xE853, 0x2F00, 4, Op::Load, 0, 4, "ldrex r2, [r3]"},
        {0xF8D3, 0x2834, 4, Op::Load, 0, 4, "ldr.w r2, [r3, #2100]"},
        {0xF853, 0x2B04, 4, Op::Load, 0, 4, "ldr.w r2, [r3], #4"},
        {0xF833, 0x2012, 4, Op::Load, 0, 2, "ldrh.w r2, [r3, r2, lsl #1]"},
        {0xF993, 0x2001, 4, Op::Load, 0, 1, "ldrsb.w r2, [r3, #1]"},
        {0xF8C3, 0x2000, 4, Op::Store, 0, 4, "str.w r2, [r3]"},
        {0xF8A3, 0x2002, 4, Op::Store, 0, 2, "strh.w r2, [r3, #2]"},
        {0xF8DF, 0x2010, 4, Op::LoadLiteral, 0, 4, "ldr.w r2, [pc, #16]"},
        {0xF85D, 0xFB04, 4, Op::LoadStack, 0, 4, "ldr.w pc, [sp], #4"},
        {0xFB00, 0xF001, 4, Op::Mul, 0, 0, "mul.w r0, r0, r1"},
        {0xFB00, 0x2011, 4, Op::MulAcc, 0, 0, "mls r0, r0, r1, r2"},
        {0xFBA0, 0x0101, 4, Op::MulLong, 0, 0, "umull r0, r1, r0, r1"},
        {0xFB80, 0x0101, 4, Op::MulLong, 0, 0, "smull r0, r1, r0, r1"},
        {0xFBE0, 0x0101, 4, Op::MulLongAcc, 0, 0, "umlal r0, r1, r0, r1"},
        {0xFB90, 0xF0F1, 4, Op::Divide, 0, 0, "sdiv r0, r0, r1"},
        {0xF000, 0xB800, 4, Op::Branch, 0, 0, "b.w"},
        {0xF000, 0xF800, 4, Op::Branch, 0, 0, "bl"},
        {0xF040, 0x8000, 4, Op::CondBranch, 0, 0, "bne.w"},
        {0xF3EF, 0x8010, 4, Op::Alu, 0, 0, "mrs r0, primask"},
        {0xF3BF, 0x8F4F, 4, Op::Alu, 0, 0, "dsb"},
        {0xF7F0, 0xA000, 4, Op::Exception, 0, 0, "udf.w"},
        {0xEC40, 0x0B10, 4, Op::Exception, 0, 0, "vmov (coprocessor)"},
        {0xEA4F, 0x0040, 4, Op::Alu, 0, 0, "mov.w r0, r0, lsl #1"},
        {0xF04F, 0x4380, 4, Op::Alu, 0, 0, "mov.w r3, #0x40000000"},
        {0x4687, 0x0000, 2, Op::AluToPc, 0, 0, "mov pc, r0"},
        {0x4770, 0x0000, 2, Op::Branch, 0, 0, "bx lr"},
        {0x47A0, 0x0000, 2, Op::Branch, 0, 0, "blx r4"},
        {0xBD10, 0x0000, 2, Op::LoadMultiple, 2, 4, "pop {r4, pc}"},
        {0xC90C, 0x0000, 2, Op::LoadMultiple, 2, 4, "ldmia r1!, {r2, r3}"},
        {0x5A8A, 0x0000, 2, Op::Load, 0, 2, "ldrh r2, [r1, r2]"},
        {0x5E8A, 0x0000, 2, Op::Load, 0, 2, "ldrsh r2, [r1, r2]"},
        {0x9A01, 0x0000, 2, Op::LoadStack, 0, 4, "ldr r2, [sp, #4]"},
        {0xB90A, 0x0000, 2, Op::CondBranch, 0, 0, "cbnz r2"},
        {0xBF18, 0x0000, 2, Op::It, 0, 0, "it ne"},
        {0xDF00, 0x0000, 2, Op::Exception, 0, 0, "svc 0"},
        {0xBE00, 0x0000, 2, Op::Exception, 0, 0, "bkpt"},
        {0x4348, 0x0000, 2, Op::Mul, 0, 0, "muls r0, r1"},
    };
    for (const auto &t : table) {
        const sim::cpu::Insn i = sim::cpu::decode(t.hw1, t.hw2);
        EXPECT_EQ(i.length, t.length) << t.text;
        EXPECT_EQ(i.op, t.op) << t.text;
        EXPECT_EQ(i.count, t.count) << t.text;
        EXPECT_EQ(i.size, t.size) << t.text;
    }
    EXPECT_TRUE(sim::cpu::decode(0xBD10, 0).writes_pc && sim::cpu::decode(0xF85D, 0xFB04).writes_pc);
    EXPECT_EQ(sim::cpu::decode(0xBF1A, 0).it_count, 3) << "itte ne";
}

// Faults caught: a wrong immediate for the registers whose value the
// peripheral-access matching relies on.
TEST(ThumbDecoder, ConstantsOfMoves)
{
    struct { uint16_t hw1, hw2; uint32_t value; const char *text; } table[] = {
        {0x205A, 0x0000, 0x5A, "movs r0, #0x5a"},
        {0xF04F, 0x4380, 0x40000000, "mov.w r3, #0x40000000"},
        {0xF04F, 0x33FF, 0xFFFFFFFF, "mov.w r3, #0xffffffff"},
        {0xF44F, 0x5380, 0x1000, "mov.w r3, #0x1000"},
        {0xF241, 0x2012, 0x1212, "movw r0, #0x1212"},
        {0xF64F, 0x73FF, 0xFFFF, "movw r3, #0xffff"},
    };
    for (const auto &t : table) {
        const sim::cpu::Insn i = sim::cpu::decode(t.hw1, t.hw2);
        EXPECT_TRUE(i.constant) << t.text;
        EXPECT_EQ(i.value, t.value) << t.text;
    }
    EXPECT_FALSE(sim::cpu::decode(0xF2C4, 0x0300).constant) << "movt depends on the register";
}
