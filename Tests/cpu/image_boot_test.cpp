// The chip image from reset on the emulated core with the stub port:
// loading, the vector table, the reset path and Thumb code as far as the
// boot messages.
#include <gtest/gtest.h>

#include <filesystem>

#include "cpu/stub_port.hpp"

// Faults caught: an image loaded at the wrong place, a reset that takes SP
// or PC from the wrong word or loses the Thumb bit, a reset path that
// skips the copy of .data or the clearing of .bss, Thumb-2 code that the
// engine or the cost decoder gets wrong on the way to the boot messages.
TEST(EmulatedImage, BootsFromResetToTheBanner)
{
    if (!std::filesystem::exists(FIRMWARE_ELF)) GTEST_SKIP() << "no chip image at " << FIRMWARE_ELF;
    const auto image = sim::elf::Image::load(FIRMWARE_ELF);
    ASSERT_TRUE(image);
    StubPort port;
    sim::cpu::ArmCore core(port);
    ASSERT_TRUE(core.load(*image));
    const auto sym = [&](const char *name) { return core.symbol(name)->value; };

    // SRAM as after power-on: not zero.
    std::vector<uint8_t> noise(sim::cpu::kSramSize, 0xA5);
    ASSERT_TRUE(core.write(sim::cpu::kSramBase, noise.data(), sim::cpu::kSramSize));
    core.reset();
    EXPECT_EQ(core.reg(sim::cpu::ArmCore::SP), sym("_estack"));
    EXPECT_EQ(core.reg(sim::cpu::ArmCore::PC), sym("Reset_Handler") & ~1u);

    // Into the settling wait after the bring-up (the last step enables the
    // receive interrupts): the reset path is done.
    const uint32_t wait = sym("_Z10spin_delaym") & ~1u;
    const auto in_settling_wait = [&] {
        return port.regs.count(0xE000E104) && core.reg(sim::cpu::ArmCore::PC) - wait < 64;
    };
    while (core.cycles() < 2'000'000 && !in_settling_wait()) core.run(1000);
    ASSERT_LT(core.cycles(), 2'000'000u) << "never reached the settling wait";
    const uint32_t data = sym("_sdata"), data_end = sym("_edata"), bss = sym("_sbss"), bss_end = sym("_ebss");
    std::vector<uint8_t> ram(bss_end - data), load(data_end - data);
    ASSERT_TRUE(core.read(data, ram.data(), bss_end - data));
    ASSERT_TRUE(core.read(sym("_sidata"), load.data(), data_end - data));
    ASSERT_TRUE(image->read(data, ram.data(), data_end - data) && std::equal(load.begin(), load.end(), ram.begin()))
        << "flash holds the image of .data at its load address";
    ASSERT_TRUE(core.read(data, ram.data(), bss_end - data));
    EXPECT_TRUE(std::equal(load.begin(), load.end(), ram.begin())) << ".data holds its load image";
    EXPECT_EQ(std::count(ram.begin() + (bss - data), ram.end(), 0xA5), 0) << ".bss cleared";
    const std::pair<uint32_t, uint32_t> bring_up[] = {
        {0x40021004, 0x001D8400},   // RCC CFGR
        {0xE000E014, 71999},        // SysTick reload
        {0x4000082C, 1599},         // TIM4 ARR
        {0x4000002C, 17999},        // TIM2 ARR
        {0x40013808, 0x271},        // USART1 BRR
    };
    auto at = port.writes.begin();
    for (const auto &w : bring_up) {
        at = std::find(at, port.writes.end(), w);
        EXPECT_NE(at, port.writes.end()) << std::hex << w.first << " = " << w.second << " in order";
    }

    // On through the one-second wait to the help text.
    for (int i = 0; i < 400 && port.usart1.find("help") == std::string::npos; ++i) core.run(1'000'000);
    EXPECT_NE(port.usart1.find("IV20=0x7F3\r\n\r\nF103 FOC v2\r\nDIAG: CCR1=0x0 CR1="), std::string::npos) << port.usart1;
    EXPECT_TRUE(port.faults.empty());
}
