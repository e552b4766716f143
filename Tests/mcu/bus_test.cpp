// The bus of the virtual MCU: what byte, halfword and word accesses do, and
// accesses that must fail loudly.
#include "chip.hpp"

// Faults caught: a narrow write that reaches the register unrepeated (SPI
// frame or GPIO latch wrong), a narrow read from the wrong lane, a priority
// byte write that clobbers its neighbours, a set-enable byte that lands in
// the wrong lane or disables what it does not name.
TEST(Bus, ByteAndHalfwordAccesses)
{
    Chip c;
    c.clocks_72mhz();
    c.wr(REG(RCC, RCC_TypeDef, APB2ENR), 0x1004);   // GPIOA, SPI1
    c.wr(REG(GPIOA, GPIO_TypeDef, ODR) + 1, 0x5A, 1);
    EXPECT_EQ(c.rd(REG(GPIOA, GPIO_TypeDef, ODR)), 0x5A5Au) << "the APB bridge repeats the byte on every lane";
    EXPECT_EQ(c.rd(REG(GPIOA, GPIO_TypeDef, ODR) + 1, 1), 0x5Au);

    c.wr(REG(SPI1, SPI_TypeDef, CR1), 0x0B6F);
    c.wr(REG(SPI1, SPI_TypeDef, DR), 0xBEEF, 2);
    ASSERT_EQ(c.m.spi1.sent.size(), 1u);
    EXPECT_EQ(c.m.spi1.sent[0], 0xBEEF);
    c.m.advance_to(c.m.next_due());
    EXPECT_EQ(c.rd(REG(SPI1, SPI_TypeDef, SR), 2) & 1u, 1u) << "RXNE";
    EXPECT_EQ(c.rd(REG(SPI1, SPI_TypeDef, DR), 2), 0xFFFFu) << "MISO idles high";
    EXPECT_EQ(c.rd(REG(SPI1, SPI_TypeDef, SR), 2) & 1u, 0u) << "a halfword read of DR takes the word";

    EXPECT_EQ(c.rd(REG(SCB, SCB_Type, CPUID) + 3, 1), 0x41u) << "implementer byte";
    EXPECT_EQ(c.rd(REG(SCB, SCB_Type, CPUID) + 2, 2), 0x411Fu);

    const uint32_t ipr7 = REG(NVIC, NVIC_Type, IPR[7]);
    c.wr(ipr7, 0x4F, 1);
    c.wr(ipr7 + 1, 0x80, 1);
    c.wr(ipr7 + 2, 0xC0C0, 2);
    EXPECT_EQ(c.rd(ipr7), 0xC0C08040u) << "each byte its own; the low nibble is not implemented";
    EXPECT_EQ(c.m.nvic.priority(16 + 29), 0x80u);

    c.wr(REG(NVIC, NVIC_Type, ISER[1]), 0x60, 1);
    c.wr(REG(NVIC, NVIC_Type, ISER[0]) + 3, 0x10, 1);
    c.wr(REG(NVIC, NVIC_Type, ICER[1]) + 1, 0xFF, 1);   // IRQ 40-47: none of them on
    for (int irq = 0; irq < 64; ++irq) EXPECT_EQ(c.m.nvic.enabled(irq), irq == 28 || irq == 37 || irq == 38) << irq;
}

TEST(BusDeathTest, UnmodelledOrMisalignedAccessFails)
{
    Chip c;
    EXPECT_DEATH(c.wr(0x40000018, 1), "write of unmodelled register 0x40000018") << "TIM2 CCMR1 is not modelled";
    EXPECT_DEATH(c.rd(0x40007000), "read of unmodelled register 0x40007000");
    EXPECT_DEATH(c.rd(REG(GPIOA, GPIO_TypeDef, IDR) + 1, 2), "not a naturally aligned");
    EXPECT_DEATH(c.wr(REG(GPIOA, GPIO_TypeDef, ODR), 1, 3), "not a naturally aligned");
}
