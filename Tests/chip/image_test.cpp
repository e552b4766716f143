// The chip image itself (the firmware.elf that would be flashed): its vector
// table word by word, where every entry leads, and what the link pulled in.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <filesystem>
#include <optional>
#include <regex>
#include <set>
#include <string>

#include "elf/elf32.hpp"

namespace {

constexpr uint32_t kFlash = 0x08000000u;
constexpr uint32_t kStackTop = 0x2000C000u;
constexpr int kWords = 59;

// Handler name of every vector word 1..58 (exception n at word n, IRQ k at
// word 16 + k); nullptr marks the architecture's reserved slots.
constexpr const char *kVectorNames[kWords] = {
    nullptr,   // word 0: initial stack pointer
    "Reset_Handler", "NMI_Handler", "HardFault_Handler", "MemManage_Handler", "BusFault_Handler",
    "UsageFault_Handler", nullptr, nullptr, nullptr, nullptr, "SVC_Handler", "DebugMon_Handler", nullptr,
    "PendSV_Handler", "SysTick_Handler",
    "WWDG_IRQHandler", "PVD_IRQHandler", "TAMPER_IRQHandler", "RTC_IRQHandler", "FLASH_IRQHandler",
    "RCC_IRQHandler", "EXTI0_IRQHandler", "EXTI1_IRQHandler", "EXTI2_IRQHandler", "EXTI3_IRQHandler",
    "EXTI4_IRQHandler", "DMA1_Channel1_IRQHandler", "DMA1_Channel2_IRQHandler", "DMA1_Channel3_IRQHandler",
    "DMA1_Channel4_IRQHandler", "DMA1_Channel5_IRQHandler", "DMA1_Channel6_IRQHandler",
    "DMA1_Channel7_IRQHandler", "ADC1_2_IRQHandler", "USB_HP_CAN1_TX_IRQHandler",
    "USB_LP_CAN1_RX0_IRQHandler", "CAN1_RX1_IRQHandler", "CAN1_SCE_IRQHandler", "EXTI9_5_IRQHandler",
    "TIM1_BRK_IRQHandler", "TIM1_UP_IRQHandler", "TIM1_TRG_COM_IRQHandler", "TIM1_CC_IRQHandler",
    "TIM2_IRQHandler", "TIM3_IRQHandler", "TIM4_IRQHandler", "I2C1_EV_IRQHandler", "I2C1_ER_IRQHandler",
    "I2C2_EV_IRQHandler", "I2C2_ER_IRQHandler", "SPI1_IRQHandler", "SPI2_IRQHandler", "USART1_IRQHandler",
    "USART2_IRQHandler", "USART3_IRQHandler", "EXTI15_10_IRQHandler", "RTC_Alarm_IRQHandler",
    "USBWakeUp_IRQHandler",
};

bool working_handler(int word)
{
    return word == 1 || word == 15 || word == 16 + 28 || word == 16 + 37 || word == 16 + 38;
}

// Target of a Thumb branch (B, B.W or BL) at addr, if the code there is one.
std::optional<uint32_t> branch_target(const sim::elf::Image &img, uint32_t addr, uint32_t &length)
{
    const auto hw1 = img.read16(addr);
    if (!hw1) return std::nullopt;
    length = 2;
    if ((*hw1 & 0xF800u) == 0xE000u) {   // B, encoding T2
        int32_t imm = (*hw1 & 0x7FF) << 1;
        if (imm & 0x800) imm -= 0x1000;
        return addr + 4 + imm;
    }
    if ((*hw1 >> 11) >= 0x1Du) length = 4;   // first half of a 32-bit instruction
    if ((*hw1 & 0xF800u) != 0xF000u) return std::nullopt;
    const auto hw2 = img.read16(addr + 2);
    if (!hw2) return std::nullopt;
    const bool bl = (*hw2 & 0xD000u) == 0xD000u, bw = (*hw2 & 0xD000u) == 0x9000u;
    if (!bl && !bw) return std::nullopt;
    const uint32_t s = (*hw1 >> 10) & 1, j1 = (*hw2 >> 13) & 1, j2 = (*hw2 >> 11) & 1;
    const uint32_t i1 = !(j1 ^ s), i2 = !(j2 ^ s);
    uint32_t imm = (s << 24) | (i1 << 23) | (i2 << 22) | ((*hw1 & 0x3FFu) << 12) | ((*hw2 & 0x7FFu) << 1);
    if (s) imm |= 0xFE000000u;
    return addr + 4 + imm;
}

// True when the code of the function at addr branches to target within its
// first few instructions.
bool branches_to(const sim::elf::Image &img, uint32_t addr, uint32_t size, uint32_t target)
{
    uint32_t at = addr & ~1u;
    const uint32_t end = at + (size ? size : 16);
    while (at < end) {
        uint32_t length = 2;
        const auto t = branch_target(img, at, length);
        if (t && *t == (target & ~1u)) return true;
        at += length;
    }
    return false;
}

class ChipImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!std::filesystem::exists(FIRMWARE_ELF)) GTEST_SKIP() << "no chip image at " << FIRMWARE_ELF << " (build the stm32 preset)";
        image = sim::elf::Image::load(FIRMWARE_ELF);
        ASSERT_TRUE(image) << FIRMWARE_ELF << " is not a 32-bit ELF";
        ASSERT_EQ(image->machine(), sim::elf::kEmArm);
    }
    uint32_t word(int n) const { return image->read32(kFlash + 4u * n).value_or(0xDEADBEEFu); }
    std::optional<sim::elf::Image> image;
};

}  // namespace

// Faults caught: the table not at the start of flash or of the wrong length,
// a wrong stack top, a working handler in the wrong slot or without the
// Thumb bit (the core would fault on the first exception), a reserved slot
// that is not 0.
TEST_F(ChipImage, VectorTableWords)
{
    const sim::elf::Symbol *table = image->symbol("g_pfnVectors");
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->value, kFlash);
    EXPECT_EQ(table->size, 4u * kWords);
    EXPECT_EQ(word(0), kStackTop);
    EXPECT_EQ(image->entry() & ~1u, word(1) & ~1u) << "entry point is the reset vector";

    for (int n = 1; n < kWords; ++n) {
        SCOPED_TRACE(testing::Message() << "vector word " << n);
        const uint32_t w = word(n);
        if (!kVectorNames[n]) {
            EXPECT_EQ(w, 0u);
            continue;
        }
        EXPECT_EQ(w & 1u, 1u) << "Thumb bit";
        const sim::elf::Symbol *handler = image->function_at(w);
        ASSERT_NE(handler, nullptr) << "no function at 0x" << std::hex << w;
        const sim::elf::Symbol *named = image->symbol(kVectorNames[n]);
        ASSERT_NE(named, nullptr) << kVectorNames[n];
        EXPECT_EQ(named->value & ~1u, w & ~1u) << kVectorNames[n] << " is not in its slot";
    }
}

// Faults caught: an unused vector aimed straight at Default_Handler or
// sharing one stub with another (a debugger could not tell them apart),
// a stub that does not lead to Default_Handler, or a working handler
// replaced by a stub.
TEST_F(ChipImage, UnusedVectorsLeadThroughTheirOwnStub)
{
    const sim::elf::Symbol *dflt = image->symbol("Default_Handler");
    ASSERT_NE(dflt, nullptr);
    std::set<uint32_t> seen;
    for (int n = 1; n < kWords; ++n) {
        if (!kVectorNames[n]) continue;
        SCOPED_TRACE(kVectorNames[n]);
        const uint32_t w = word(n);
        const sim::elf::Symbol *f = image->function_at(w);
        ASSERT_NE(f, nullptr);
        EXPECT_NE(w & ~1u, dflt->value & ~1u);
        EXPECT_TRUE(seen.insert(w).second) << "shares its entry with another vector";
        const bool stub = branches_to(*image, w, f->size, dflt->value);
        EXPECT_EQ(stub, !working_handler(n));
        if (!working_handler(n)) {
            EXPECT_LE(f->size, 16u) << "a stub, not a handler";
        }
    }
    EXPECT_EQ(seen.size(), 53u);
}

// Faults caught: double-precision arithmetic pulled into the image (a
// promotion somewhere in the control code costs soft-float doubles),
// constructor lists linked in, or data that does not fit the chip.
TEST_F(ChipImage, NoDoublesAndFitsTheChip)
{
    // EABI names (__aeabi_dadd, __aeabi_f2d, __aeabi_i2d, ...) and the GNU
    // names behind them (__adddf3, __extendsfdf2, __fixdfsi, ...).
    const std::regex double_helper("^__aeabi_(d.*|.*2d)$|^__[a-z]*df[a-z0-9]*$");
    for (const sim::elf::Symbol &s : image->symbols()) {
        EXPECT_FALSE(std::regex_match(s.name, double_helper)) << s.name;
    }
    for (const char *name : {".init_array", ".fini_array", ".preinit_array", ".ctors", ".dtors"}) {
        EXPECT_EQ(image->section(name), nullptr) << name;
    }
    uint64_t flash = 0, ram = 0;
    for (const sim::elf::Segment &s : image->segments()) {
        if (s.paddr >= kFlash && s.paddr < kFlash + 256 * 1024) flash = std::max<uint64_t>(flash, s.paddr + s.filesz - kFlash);
        if (s.vaddr >= 0x20000000u && s.vaddr < kStackTop) ram = std::max<uint64_t>(ram, s.vaddr + s.memsz - 0x20000000u);
    }
    EXPECT_GT(flash, 0u);
    EXPECT_LE(flash, 256u * 1024u);
    EXPECT_LE(ram + 4096u, 48u * 1024u) << "room for the stack";
}
