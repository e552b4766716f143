// The virtual board's power-on, its CPU, and the firmware's memory by symbol.
#include <gtest/gtest.h>

#include "bench.hpp"

// Faults caught: a second board inheriting the first one's firmware state, or a
// board whose variables do not start from their load values.
TEST(BoardRunner, PowerOnRestoresEveryFirmwareVariable)
{
    {
        sim::Board b;
        b.run_ms(1600);
        EXPECT_GT(b.cpu().symbol<uint32_t>("tick_count"), 1500u);
        ASSERT_TRUE(b.cpu().set_symbol<int32_t>("foc_rate", 17));
        ASSERT_TRUE(b.cpu().set_symbol("foc_vq", 0.5f));
    }
    sim::Board b;
    EXPECT_EQ(b.cpu().symbol<uint32_t>("tick_count"), 0u);   // zero-initialised
    EXPECT_EQ(b.cpu().symbol<int32_t>("foc_rate"), 4);       // initialised data
    EXPECT_EQ(b.cpu().symbol<float>("foc_vq"), 0.08f);
    EXPECT_EQ(b.now_ms(), 0.0);
}

// Faults caught: a run that overshoots its end, also one that ends inside a
// flag poll whose reads were jumped over, or that loses time in between.
TEST(BoardRunner, StopsAtTheRequestedVirtualTime)
{
    sim::Board b;
    for (double t : {0.5, 3.0}) {
        b.run_until(sim::ms_to_cycles(t));
        EXPECT_NEAR(b.now_ms(), t, 0.001) << t;
    }
    // The zero calibration of the current channel waits for 128 conversions
    // in the foreground: a run stops to the cycle, between two of its reads.
    for (double t = 1006.0; t < 1007.5; t += 0.0173) {
        b.run_until(sim::ms_to_cycles(t));
        EXPECT_EQ(b.mcu.now(), sim::ms_to_cycles(t)) << t;
    }
    for (double t : {1500.0, 1500.25, 1700.0}) {
        b.run_until(sim::ms_to_cycles(t));
        EXPECT_NEAR(b.now_ms(), t, 0.001) << t;
    }
    // SysTick has counted the milliseconds since it was started in bring-up.
    EXPECT_NEAR(*b.cpu().symbol<uint32_t>("tick_count"), 1700.0, 2.0);
}

// The millisecond count as the main loop reads it: at once, as the load on
// the chip; only a read that repeats the last one at the same instant, the
// loop spinning, lets time jump to the next event.
// Faults caught: every read waiting for the next event (the main loop's
// first look at a new count then depends on which events are scheduled);
// a spinning read that never lets time pass.
TEST_F(ControlTest, MillisecondCountReadAtOnceUnlessSpinning)
{
    const sim::Cycles t0 = b.mcu.now();
    const uint32_t first = millis_now();
    EXPECT_EQ(b.mcu.now(), t0) << "a first read takes no time";
    const sim::Cycles next = b.mcu.next_due();
    EXPECT_EQ(millis_now(), first);
    EXPECT_EQ(b.mcu.now(), next) << "the same read again: time jumps to the next event";
    read_and_drop(GPIOC->IDR);
    const sim::Cycles t1 = b.mcu.now();
    millis_now();
    EXPECT_EQ(b.mcu.now(), t1) << "something else ran in between: at once";
    uint32_t spins = 0;
    while (millis_now() == first) ++spins;
    EXPECT_LE(spins, 20u) << "each read that sees the same count jumps to the next event";
    EXPECT_LE(b.mcu.now() - t0, sim::kCyclesPerMs + 20000) << "the count moves on within its millisecond";
}

// Faults caught: a symbol found at the wrong address (the firmware does not
// see the write), a file-local variable out of reach, a read of the wrong
// size or of an unknown name reported as success.
TEST_F(ControlTest, FirmwareMemoryBySymbol)
{
    sim::Cpu &cpu = b.cpu();
    EXPECT_STREQ(cpu.name(), "native");
    ASSERT_TRUE(cpu.set_symbol<int32_t>("foc_mode", 3));
    EXPECT_EQ(foc_mode, 3);
    MA600A_Init();
    ASSERT_TRUE(cpu.set_symbol<uint16_t>("last_valid_raw", 0x1357));   // in an anonymous namespace
    b.mcu.spi1.rxne_stuck = true;
    EXPECT_EQ(MA600A_ReadRaw(), 0x1357) << "a failed read yields the last good word";
    EXPECT_EQ(cpu.symbol<uint16_t>("last_valid_raw"), 0x1357);

    EXPECT_FALSE(cpu.symbol<uint16_t>("foc_mode")) << "4 bytes, not 2";
    EXPECT_FALSE(cpu.set_symbol<int64_t>("foc_mode", 0));
    EXPECT_FALSE(cpu.symbol<int32_t>("no_such_variable"));
    EXPECT_FALSE(cpu.symbol<int32_t>("")) << "host variables are not the firmware's";
    EXPECT_EQ(foc_mode, 3);
}

namespace {
// A CPU that runs nothing: time passes with events only.
struct IdleCpu : sim::Cpu {
    explicit IdleCpu(sim::Mcu &mcu) : m(mcu) {}
    const char *name() const override { return "idle"; }
    void reset() override { ++resets; }
    void run_until(sim::Cycles t) override { m.advance_to(t); }
    void take_exception(int) override {}
    bool read_symbol(std::string_view, void *, size_t) override { return false; }
    bool write_symbol(std::string_view, const void *, size_t) override { return false; }
    sim::Mcu &m;
    int resets = 0;
};
}  // namespace

// Faults caught: a board that ignores the CPU it is given, does not reset it
// at power-on, or hands it out as the native one.
TEST(BoardRunnerDeathTest, AnotherCpu)
{
    sim::Board native;
    sim::Board other(sim::PlantParams{}, 1, [](sim::Mcu &m) { return std::make_unique<IdleCpu>(m); });
    auto &cpu = dynamic_cast<IdleCpu &>(other.cpu());
    EXPECT_EQ(cpu.resets, 1);
    other.run_ms(2);
    EXPECT_EQ(other.now_ms(), 2.0);
    EXPECT_EQ(native.now_ms(), 0.0);
    other.power_on();
    EXPECT_EQ(cpu.resets, 2);
    EXPECT_DEATH(other.native(), "runs the idle CPU");
    EXPECT_DEATH(sim::Board second_native, "only one virtual board can run the native firmware");
}

// Faults caught: a console port wired to the other USART (its bytes would
// keep the other port's pace), a sensor selected by a released chip-select
// line, a button or fault line on the wrong pin.
TEST(BoardWiring, ConsolePortsChipSelectButtonAndFault)
{
    sim::Board b;
    sim::Mcu &m = b.mcu;
    m.bus_write(0x40021018, 0x4000 | 0x1C, 4);   // RCC APB2ENR: USART1, GPIOA..C
    m.bus_write(0x40013808, 0x271, 4);           // USART1 BRR: 12800 baud on the reset clock
    m.bus_write(0x4001380C, 0x200C, 4);          // USART1 CR1: on, transmitter, receiver
    m.bus_write(0x40013804, 'x', 4);
    b.type(1, "q");
    m.advance_to(m.now() + 2 * sim::kTypedCharCycles * 8);
    EXPECT_EQ(b.output(1), "x");
    EXPECT_EQ(b.output(2), "");
    EXPECT_EQ(m.bus_read(0x40013804, 4), uint32_t('q')) << "typed on port 1, received by USART1";

    EXPECT_FALSE(b.plant.sensor.selected()) << "PA4 is an input at reset and ODR 0: the line is pulled up";
    m.bus_write(0x40010800, 0x44434444, 4);      // GPIOA CRL: PA4 output, low
    EXPECT_TRUE(b.plant.sensor.selected());
    m.bus_write(0x40010800, 0x44444444, 4);      // released again
    EXPECT_FALSE(b.plant.sensor.selected());

    m.bus_write(0x40011004, 0x44444448, 4);      // GPIOC CRH: PC8 input with pull
    m.bus_write(0x4001100C, 1u << 8, 4);         // pull-up
    m.bus_write(0x40010C00, 0x44444448, 4);      // GPIOB CRL: PB0 input with pull
    m.bus_write(0x40010C0C, 1u << 0, 4);
    for (bool on : {true, false}) {
        b.set_button(on);
        b.set_fault(on);
        EXPECT_EQ(m.bus_read(0x40011008, 4) & (1u << 8), on ? 0u : 1u << 8);
        EXPECT_EQ(m.bus_read(0x40010C08, 4) & 1u, on ? 0u : 1u);
    }
}
