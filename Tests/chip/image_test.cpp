// The chip image that would be flashed: its vector table and what the link pulled in.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>

#include "elf/elf32.hpp"

namespace {

constexpr uint32_t kFlash = 0x08000000u;
constexpr int kWords = 59;   // stack top, 15 exceptions, 43 interrupts
// The handlers that do work, by vector word (exception n at word n, IRQ k at 16 + k).
const std::pair<int, const char *> kWorking[] = {{1, "Reset_Handler"}, {15, "SysTick_Handler"},
    {16 + 28, "TIM2_IRQHandler"}, {16 + 37, "USART1_IRQHandler"}, {16 + 38, "USART2_IRQHandler"}};

// True when the function at addr holds a BL or B.W to target.
bool branches_to(const sim::elf::Image &img, uint32_t addr, uint32_t size, uint32_t target)
{
    for (uint32_t at = addr & ~1u; at + 4 <= (addr & ~1u) + size; at += 2) {
        const auto h1 = img.read16(at), h2 = img.read16(at + 2);
        if (!h1 || !h2 || (*h1 & 0xF800u) != 0xF000u || (*h2 & 0x9000u) != 0x9000u) continue;
        const uint32_t s = (*h1 >> 10) & 1, i1 = !(((*h2 >> 13) & 1) ^ s), i2 = !(((*h2 >> 11) & 1) ^ s);
        uint32_t imm = (s << 24) | (i1 << 23) | (i2 << 22) | ((*h1 & 0x3FFu) << 12) | ((*h2 & 0x7FFu) << 1);
        if (s) imm |= 0xFE000000u;
        if (at + 4 + imm == (target & ~1u)) return true;
    }
    return false;
}

class ChipImage : public testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(FIRMWARE_ELF)) GTEST_SKIP() << "no chip image at " << FIRMWARE_ELF;
        image = sim::elf::Image::load(FIRMWARE_ELF);
        ASSERT_TRUE(image && image->machine() == sim::elf::kEmArm) << FIRMWARE_ELF;
    }
    std::optional<sim::elf::Image> image;
};

}  // namespace

// Faults caught: a misplaced table or handler, a wrong stack top, a missing Thumb bit, an unused vector
// not on its own stub to Default_Handler; a float promoted to double (sizes are asserted by the link).
TEST_F(ChipImage, VectorTableAndNoDoubles)
{
    const auto word = [&](int n) { return image->read32(kFlash + 4u * n).value_or(0xDEADBEEFu); };
    const sim::elf::Symbol *table = image->symbol("g_pfnVectors"), *dflt = image->symbol("Default_Handler");
    ASSERT_TRUE(table && dflt);
    EXPECT_EQ(table->value, kFlash);
    EXPECT_EQ(table->size, 4u * kWords);
    EXPECT_EQ(word(0), 0x2000C000u) << "stack top";
    for (const auto &[n, name] : kWorking) {
        const sim::elf::Symbol *s = image->symbol(name);
        ASSERT_NE(s, nullptr) << name;
        EXPECT_EQ(word(n) & ~1u, s->value & ~1u) << name << " is not in its slot";
    }
    std::set<uint32_t> seen;
    for (int n = 1; n < kWords; ++n) {
        SCOPED_TRACE(testing::Message() << "vector word " << n);
        const uint32_t w = word(n);
        if ((n >= 7 && n <= 10) || n == 13) {
            EXPECT_EQ(w, 0u) << "reserved";
            continue;
        }
        EXPECT_EQ(w & 1u, 1u) << "Thumb bit";
        const sim::elf::Symbol *f = image->function_at(w);
        ASSERT_NE(f, nullptr);
        EXPECT_TRUE(seen.insert(w).second) << "shares its entry with another vector";
        const bool working = std::ranges::any_of(kWorking, [n](const auto &k) { return k.first == n; });
        EXPECT_EQ(branches_to(*image, w, f->size ? f->size : 16, dflt->value), !working);
    }
    const std::regex double_helper("^__aeabi_(d.*|.*2d)$|^__[a-z]*df[a-z0-9]*$");
    for (const sim::elf::Symbol &s : image->symbols()) EXPECT_FALSE(std::regex_match(s.name, double_helper)) << s.name;
}

// Faults caught: a reset path that keeps the stack pointer a bootloader or debugger jump left
// behind, or that pushes onto that stack before loading its own: the first two instructions of
// Reset_Handler must be LDR Rt, [PC, #imm] of _estack (0x2000C000) and MSR MSP, Rt.
TEST_F(ChipImage, ResetHandlerLoadsTheStackPointerFirst)
{
    const sim::elf::Symbol *reset = image->symbol("Reset_Handler"), *top = image->symbol("_estack");
    ASSERT_TRUE(reset && top);
    EXPECT_EQ(top->value, 0x2000C000u);
    const uint32_t at = reset->value & ~1u;
    const uint16_t ldr = image->read16(at).value_or(0), msr1 = image->read16(at + 2).value_or(0),
                   msr2 = image->read16(at + 4).value_or(0);
    ASSERT_EQ(ldr & 0xF800u, 0x4800u) << "not a literal load: " << std::hex << ldr;
    const uint32_t rt = (ldr >> 8) & 7u, literal = ((at + 4u) & ~3u) + 4u * (ldr & 0xFFu);
    EXPECT_EQ(image->read32(literal), std::optional<uint32_t>(top->value));
    EXPECT_EQ(msr1, 0xF380u | rt) << "MSR from the loaded register";
    EXPECT_EQ(msr2, 0x8808u) << "into MSP";
}
