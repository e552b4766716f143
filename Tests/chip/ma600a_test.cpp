// The MA600A driver seen from the sensor's side of the bus.
#include <cmath>
#include <functional>
#include <vector>

#include "bench.hpp"
#include "ma600a.h"
#include "main.h"

namespace {
using Frames = std::vector<uint16_t>;

struct Ma600a : ControlTest {
    void let_frame_finish() { b.native().idle_until(b.mcu.now() + 2 * b.mcu.spi1.frame_cycles()); }
    bool bus_released() const { return cs_level() == 1 && !sensor.selected(); }
    sim::Ma600aModel &sensor = b.plant.sensor;
};
}  // namespace

// Faults caught: a wrong frame, chip select released inside an operation or left low, an answer from
// the wrong frame, a store returning before the sensor's 9 ms or waiting much over 10 ticks, a short
// delay of another length.
TEST_F(Ma600a, OperationsSendTheirFramesUnderOneSelect)
{
    sensor.set_reg(0x20, 0x5A);
    set_raw(0x1234);
    sensor.speed_override = -5;
    uint16_t reg = 0, rx[4] = {}, none = 0xAAAA, angle = 0;
    int16_t speed = 0;
    const uint16_t tx[4] = {0x0000, 0x0000, 0xD220, 0x0000};
    sim::Cycles stored = 0;
    const struct { const char *name; std::function<void()> op; Frames frames; } cases[] = {
        {"read 0x20", [&] { reg = MA600A_ReadReg(0x20); }, {0xD220, 0x0000}},
        {"write 0x1C=0x80", [] { MA600A_WriteReg(0x1C, 0x80); }, {0xEA54, 0x1C80, 0x0000}},
        {"store block 0", [&] { MA600A_StoreNVMBlock0(); stored = b.mcu.now(); }, {0xEA55, 0xEA00}},
        {"four frames", [&] { MA600A_SPI_TransferFrames(tx, rx, 4); }, Frames(tx, tx + 4)},
        {"no frames", [&] { MA600A_SPI_TransferFrames(tx, &none, 0); }, {}},
        {"angle and speed", [&] { MA600A_ReadAngleSpeed(&angle, &speed); }, {0x0000, 0x0000}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t m = sensor.log.size();
        const uint32_t selections = sensor.selections();
        c.op();
        Frames mosi;
        for (size_t i = m; i < sensor.log.size(); ++i) {
            mosi.push_back(sensor.log[i].mosi);
            EXPECT_EQ(sensor.log[i].select, selections + 1) << "frame " << i - m << " under another select";
        }
        EXPECT_EQ(mosi, c.frames);
        EXPECT_EQ(sensor.selections(), selections + 1);
        EXPECT_TRUE(bus_released());
    }
    EXPECT_EQ(reg, 0x5A00) << "the whole answer word";
    EXPECT_EQ(sensor.reg(0x1C), 0x80);
    EXPECT_EQ(sensor.nvm_stores, 1);
    const double waited_ms = sim::cycles_to_ms(stored - sensor.last_store_at);
    EXPECT_TRUE(waited_ms >= 9.0 && waited_ms <= 10.1) << waited_ms;
    EXPECT_EQ((Frames{rx[0], rx[1], rx[3], none}), (Frames{0x1234, 0xFFFB, 0x5A00, 0xAAAA}));   // angle, speed, reg
    EXPECT_EQ(angle, 0x1234);
    EXPECT_EQ(speed, -5);
    // Chip select low for one short delay (100 turns of the empty loop) and no frame: the time of a call without
    // frames is the delay's and that of its five register accesses.
    sim::Cycles t0 = b.mcu.now();
    spin_delay(100);
    const sim::Cycles delay = b.mcu.now() - t0;
    t0 = b.mcu.now();
    MA600A_SPI_TransferFrames(tx, &none, 0);
    EXPECT_EQ(b.mcu.now() - t0, delay + 5 * sim::kAccessCycles);
}

// Faults caught: a reader that writes DR over a foreign frame, collects without having sent (TXE
// not free), waits in the tick, answers on the tick that starts its frame, or never restarts.
TEST_F(Ma600a, NonBlockingReaderPhases)
{
    auto &spi = b.mcu.spi1;
    const struct { const char *step; std::function<void()> before; uint16_t word; int cs; size_t sent; } steps[] = {
        {"foreign frame shifting", [] { SPI1->DR = 0x5555; }, 0xFFFF, 1, 1},
        {"TXE not free", [&] { let_frame_finish(); read_and_drop(SPI1->DR); spi.txe_stuck = true; }, 0xFFFF, 0, 1},
        {"start", [&] { spi.txe_stuck = false; }, 0xFFFF, 0, 2},
        {"collect", [&] { let_frame_finish(); }, 0x0ABC, 1, 2},
        {"start again", [&] { set_raw(0x0042); }, 0xFFFF, 0, 3},
        {"collect again", [&] { let_frame_finish(); }, 0x0042, 1, 3},
    };
    set_raw(0x0ABC);
    const size_t sent = spi.sent.size();
    for (const auto &s : steps) {
        s.before();
        EXPECT_EQ(MA600A_ReadRawNB(), s.word) << s.step;
        EXPECT_EQ(cs_level(), s.cs) << s.step;
        EXPECT_EQ(spi.sent.size() - sent, s.sent) << s.step;
    }
}

// Faults caught: the reader stuck collecting after another transaction took its open frame's
// word; a blocking read returning that stale word.
TEST_F(Ma600a, NonBlockingReaderRecoversWhenItsWordIsTaken)
{
    const uint16_t tx[2] = {0, 0};
    uint16_t rx[2];
    const struct { const char *name; std::function<uint16_t()> take; } cases[] = {
        {"exchange, ResetNB", [] { const uint16_t w = MA600A_SPI_Exchange(0); MA600A_ResetNB(); return w; }},
        {"ResetNB alone", [] { MA600A_ResetNB(); return 0x2000; }},
        {"angle read", [] { return MA600A_ReadRaw(); }},
        {"raw frames", [&] { MA600A_SPI_TransferFrames(tx, rx, 2); return rx[0]; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        set_raw(0x1000);
        ASSERT_EQ(MA600A_ReadRawNB(), 0xFFFF);   // frame open, chip select low
        let_frame_finish();
        set_raw(0x2000);
        EXPECT_EQ(c.take(), 0x2000);
        EXPECT_FALSE(SPI1->SR & 1u) << "the open frame's word is gone";
        EXPECT_EQ(cs_level(), 1);
        set_raw(0x3000);
        uint16_t got = 0xFFFF;
        for (int call = 0; call < 4 && got == 0xFFFF; ++call, let_frame_finish()) got = MA600A_ReadRawNB();
        EXPECT_EQ(got, 0x3000);
    }
}

// Faults caught: a wait unbounded or off its 10000 status reads, the last look of the in-place waits
// missing, a frame or store wait after a failed wait, chip select left low, a wrong failure result (an
// output of the angle and speed read written), a last good word surviving Init.
TEST_F(Ma600a, BoundedWaitsRunOut)
{
    auto &spi = b.mcu.spi1;
    set_raw(0x2468);
    ASSERT_EQ(MA600A_ReadRaw(), 0x2468);   // last good word
    sensor.set_reg(0x20, 0x11);
    const uint16_t tx[3] = {1, 2, 3};
    uint16_t rx[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    const auto frames = [&] { MA600A_SPI_TransferFrames(tx, rx, 3); return uint32_t(rx[0]); };
    const auto exchange = [] { return uint32_t(MA600A_SPI_Exchange(0x1234)); };
    const auto read_raw = [] { return uint32_t(MA600A_ReadRaw()); };
    const auto read_reg = [] { return uint32_t(MA600A_ReadReg(0x20)); };
    uint16_t angle = 0xAAAA;
    int16_t speed = 0x5555;
    const auto angle_speed = [&] { MA600A_ReadAngleSpeed(&angle, &speed); return uint32_t(angle) << 16 | uint16_t(speed); };
    // polls: status reads of the frame's waits, TXE then RXNE (seen at the first read when not stuck)
    const struct { const char *name; bool txe; std::function<uint32_t()> op; uint32_t result; uint64_t polls; }
        cases[] = {
        {"exchange, TXE", true, exchange, 0, 10000},     {"exchange, RXNE", false, exchange, 0, 1 + 10000},
        {"read raw, TXE", true, read_raw, 0x2468, 10000}, {"read raw, RXNE", false, read_raw, 0x2468, 1 + 10000},
        {"read reg, TXE", true, read_reg, 0, 10000},     {"read reg, RXNE", false, read_reg, 0, 1 + 10000},
        {"write reg, RXNE", false, [] { MA600A_WriteReg(0x30, 0x99); return 0u; }, 0, 1 + 10000},
        {"store, TXE", true, [] { MA600A_StoreNVMBlock0(); return 0u; }, 0, 10000},
        {"frames, TXE", true, frames, 0xAAAA, 10000 + 1},   // in-place waits: a last look after each
        {"frames, RXNE", false, frames, 0xAAAA, 2 + 10000 + 1},
        {"angle and speed, TXE", true, angle_speed, 0xAAAA5555, 10000 + 1},   // outputs untouched
        {"angle and speed, RXNE", false, angle_speed, 0xAAAA5555, 2 + 10000 + 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t sent = spi.sent.size();
        const uint64_t accesses = b.mcu.accesses;
        const sim::Cycles start = b.mcu.now();
        spi.txe_stuck = c.txe; spi.rxne_stuck = !c.txe;
        EXPECT_EQ(c.op(), c.result);
        spi.txe_stuck = spi.rxne_stuck = false;
        EXPECT_EQ(spi.sent.size(), sent + (c.txe ? 0 : 1)) << "frames after the failed wait";
        // Besides the polls: chip select high, BSY, RXNE and chip select low of the preamble, the DR write of a
        // frame sent, chip select high at the end.
        EXPECT_EQ(b.mcu.accesses - accesses, c.polls + (c.txe ? 5u : 6u)) << "status reads past or short of the bound";
        EXPECT_LT(sim::cycles_to_ms(b.mcu.now() - start), 5.0) << "about 3 ms, no store wait";
        EXPECT_TRUE(bus_released());
        let_frame_finish();
        read_and_drop(SPI1->DR);
    }
    EXPECT_EQ(sensor.reg(0x30), 0) << "the write's data frame never went out";
    EXPECT_EQ(sensor.nvm_stores, 0);
    MA600A_Init();   // the last good word starts again from 0
    spi.rxne_stuck = true;
    EXPECT_EQ(MA600A_ReadRaw(), 0);
}

// Faults caught: a step unwrapped or split at the wrong half turn, a speed from a zero time base.
TEST_F(Ma600a, ReadAngleWrapsAndEstimatesSpeed)
{
    SYST_CSR = 0;   // the test sets the millisecond counter itself
    auto rpm = [](double counts, double ms) { return static_cast<float>(counts / 65536.0 * 60000.0 / ms); };
    const struct { uint32_t tick; uint16_t raw; float rpm; } steps[] = {
        {0, 500, 0.0f}, {10, 900, 0.0f},                           // no estimate from time 0
        {100, 65500, rpm(-936, 90)}, {110, 100, rpm(136, 10)},     // across zero both ways
        {110, 65500, rpm(136, 10)}, {120, 65364, rpm(-136, 10)},   // same ms: kept, angle still taken
        {130, 100, rpm(272, 10)}, {140, 32868, rpm(32768, 10)},    // half a turn: forward
        {150, 100, rpm(-32768, 10)}, {160, 32869, rpm(-32767, 10)},   // half back, one more: backward
    };
    for (const auto &s : steps) {
        SCOPED_TRACE(testing::Message() << "tick " << s.tick << ", raw " << s.raw);
        tick_count = s.tick;
        set_raw(s.raw);
        EXPECT_FLOAT_EQ(MA600A_ReadAngle(), static_cast<float>(s.raw * 360.0 / 65536.0));
        EXPECT_NEAR(MA600A_ReadRPM(), s.rpm, std::fabs(s.rpm) * 1e-5 + 1e-4);
    }
}
