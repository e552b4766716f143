// The MA600A driver on a brought-up virtual board, seen from the sensor's
// side of the bus: the frames each operation sends and under which chip
// select, what it makes of the answers, the non-blocking reader of the
// control tick, and every bounded wait running out.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "board.h"
#include "board.hpp"
#include "ma600a.h"
#include "main.h"

namespace {

using Frames = std::vector<uint16_t>;

// A sensor without noise, so that every word it answers is known.
sim::PlantParams quiet_sensor()
{
    sim::PlantParams p;
    p.angle_noise_lsb = 0.0;
    p.speed_noise_lsb = 0.0;
    return p;
}

class Ma600a : public ::testing::Test {
protected:
    Ma600a()
    {
        board_init();
        control_timer_pause();   // the control tick stays off the bus
        MA600A_Init();
    }

    // Turns the rotor by hand (bridge off) so that the sensor reads `raw`.
    void set_raw(uint16_t raw) { b.plant.set_rotor_deg((raw + 0.5) * 360.0 / 65536.0); }
    void let_frame_finish() { b.mcu.advance_to(b.mcu.now() + 2 * b.mcu.spi1.frame_cycles()); }

    size_t mark() const { return sensor.log.size(); }
    Frames mosi_since(size_t m) const
    {
        Frames f;
        for (size_t i = m; i < sensor.log.size(); ++i) f.push_back(sensor.log[i].mosi);
        return f;
    }
    // True when every frame since m belongs to one chip-select low phase.
    bool one_select_since(size_t m) const
    {
        for (size_t i = m; i < sensor.log.size(); ++i)
            if (sensor.log[i].select != sensor.log[m].select || sensor.log[i].select == 0) return false;
        return true;
    }
    bool bus_released() const { return cs_level() == 1 && !sensor.selected(); }

    sim::Board b{quiet_sensor()};
    sim::Ma600aModel &sensor = b.plant.sensor;
};

}  // namespace

// Faults caught: a wrong command word, the address or value in the wrong
// byte, a missing filler frame, chip select released between the frames of
// one operation (the sensor would abandon the sequence), or left low after.
TEST_F(Ma600a, RegisterOperationsSendTheirFramesUnderOneSelect)
{
    sensor.set_reg(0x20, 0x5A);
    struct Case {
        const char *name;
        std::function<void()> op;
        Frames frames;
    };
    uint16_t read_value = 0;
    const Case cases[] = {
        {"read 0x20", [&] { read_value = MA600A_ReadReg(0x20); }, {0xD220, 0x0000}},
        {"write 0x1C=0x80", [] { MA600A_WriteReg(0x1C, 0x80); }, {0xEA54, 0x1C80, 0x0000}},
        {"store block 0", [] { MA600A_StoreNVMBlock0(); }, {0xEA55, 0xEA00}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t m = mark();
        const uint32_t selections = sensor.selections();
        c.op();
        EXPECT_EQ(mosi_since(m), c.frames);
        EXPECT_TRUE(one_select_since(m));
        EXPECT_EQ(sensor.selections(), selections + 1);
        EXPECT_TRUE(bus_released());
    }
    EXPECT_EQ(read_value, 0x5A00) << "the whole answer word";
    EXPECT_EQ(sensor.reg(0x1C), 0x80);
    EXPECT_EQ(sensor.nvm_stores, 1);
}

// Faults caught: a store that returns before the sensor has had its 9 ms with
// chip select high, or one that waits far longer than 10 ticks.
TEST_F(Ma600a, NvmStoreWaitsTenTicksWithChipSelectHigh)
{
    MA600A_StoreNVMBlock0();
    const sim::Cycles done = b.mcu.now();
    ASSERT_EQ(sensor.nvm_stores, 1);
    const double waited_ms = sim::cycles_to_ms(done - sensor.last_store_at);
    EXPECT_GE(waited_ms, 9.0);
    EXPECT_LE(waited_ms, 10.1);
    EXPECT_TRUE(bus_released());
}

// Faults caught: raw frames split over several selections, a count of 0
// that still sends a frame or fills rx, a one-frame exchange that returns
// another word than the one received.
TEST_F(Ma600a, RawExchangesReturnWhatTheSensorAnswered)
{
    set_raw(0x1234);
    sensor.speed_override = -5;
    sensor.set_reg(0x20, 0x77);

    size_t m = mark();
    EXPECT_EQ(MA600A_SPI_Exchange(0x0000), 0x1234);
    EXPECT_EQ(mosi_since(m), Frames{0x0000});
    EXPECT_TRUE(bus_released());

    const uint16_t tx[4] = {0x0000, 0x0000, 0xD220, 0x0000};
    uint16_t rx[4] = {1, 2, 3, 4};
    m = mark();
    MA600A_SPI_TransferFrames(tx, rx, 4);
    EXPECT_EQ(mosi_since(m), Frames(tx, tx + 4));
    EXPECT_TRUE(one_select_since(m));
    EXPECT_EQ(rx[0], 0x1234);
    EXPECT_EQ(rx[1], static_cast<uint16_t>(-5)) << "speed word in the second frame";
    EXPECT_EQ(rx[3], 0x7700) << "register answer in the frame after the read";
    EXPECT_TRUE(bus_released());

    uint16_t untouched[2] = {0xAAAA, 0xBBBB};
    m = mark();
    const uint32_t selections = sensor.selections();
    MA600A_SPI_TransferFrames(tx, untouched, 0);
    EXPECT_EQ(mark(), m);
    EXPECT_EQ(untouched[0], 0xAAAA);
    EXPECT_EQ(sensor.selections(), selections + 1) << "chip select pulses once";
    EXPECT_TRUE(bus_released());

    MA600A_SPI_TransferFrames(tx, untouched, 1);
    EXPECT_EQ(untouched[0], 0x1234);
    EXPECT_EQ(untouched[1], 0xBBBB);
}

// Faults caught: a transaction that returns a stale word left in the
// receiver by an abandoned frame, or that reuses the open selection of the
// non-blocking reader instead of giving the sensor a fresh falling edge.
TEST_F(Ma600a, BlockingReadStartsFreshAfterAnAbandonedFrame)
{
    set_raw(0x1111);
    EXPECT_EQ(MA600A_ReadRawNB(), 0xFFFF);   // frame open, chip select low
    let_frame_finish();
    ASSERT_EQ(cs_level(), 0);
    const uint32_t open_select = sensor.log.back().select;

    set_raw(0x2222);
    const size_t m = mark();
    EXPECT_EQ(MA600A_ReadRaw(), 0x2222);
    ASSERT_EQ(mosi_since(m).size(), 1u);
    EXPECT_GT(sensor.log[m].select, open_select);
    EXPECT_TRUE(bus_released());
}

// Faults caught: a reader that waits for the bus in the control tick, that
// returns a word on the tick that starts its frame, or that never comes back
// to start the next frame.
TEST_F(Ma600a, NonBlockingReaderAlternatesStartAndCollect)
{
    set_raw(0x4321);
    const size_t sent = b.mcu.spi1.sent.size();
    EXPECT_EQ(MA600A_ReadRawNB(), 0xFFFF);
    EXPECT_EQ(b.mcu.spi1.sent.size(), sent + 1);
    EXPECT_EQ(cs_level(), 0);
    let_frame_finish();
    EXPECT_EQ(MA600A_ReadRawNB(), 0x4321);
    EXPECT_EQ(cs_level(), 1);
    set_raw(0x0042);
    EXPECT_EQ(MA600A_ReadRawNB(), 0xFFFF);
    EXPECT_EQ(b.mcu.spi1.sent.size(), sent + 2);
    let_frame_finish();
    EXPECT_EQ(MA600A_ReadRawNB(), 0x0042);
}

// Faults caught: a reader that writes DR while a frame is shifting, or that
// moves on to its collect phase without having started a frame (it would
// then wait for a word that never comes, or return a foreign one).
TEST_F(Ma600a, NonBlockingReaderBusyAndTxePaths)
{
    set_raw(0x0ABC);
    // A frame of someone else is shifting: nothing changes.
    SPI1->DR = 0x5555;
    ASSERT_TRUE(SPI1->SR & (1u << 7));
    const size_t sent = b.mcu.spi1.sent.size();
    EXPECT_EQ(MA600A_ReadRawNB(), 0xFFFF);
    EXPECT_EQ(cs_level(), 1);
    EXPECT_EQ(b.mcu.spi1.sent.size(), sent);
    let_frame_finish();
    (void)static_cast<uint32_t>(SPI1->DR);   // drop the word

    // The transmit buffer is not free: chip select stays low, no frame.
    b.mcu.spi1.txe_stuck = true;
    EXPECT_EQ(MA600A_ReadRawNB(), 0xFFFF);
    EXPECT_EQ(cs_level(), 0);
    EXPECT_EQ(b.mcu.spi1.sent.size(), sent);
    b.mcu.spi1.txe_stuck = false;

    // Still in its start phase: the next call starts the frame.
    EXPECT_EQ(MA600A_ReadRawNB(), 0xFFFF);
    EXPECT_EQ(b.mcu.spi1.sent.size(), sent + 1);
    let_frame_finish();
    EXPECT_EQ(MA600A_ReadRawNB(), 0x0ABC);
}

// Fault caught: the reader left waiting for good in its collect phase after
// someone else took the word of its open frame (a guarded register read or
// exchange followed by MA600A_ResetNB, MA600A_ResetNB alone, or an unguarded
// blocking read); the control loops would never see an angle again.
TEST_F(Ma600a, NonBlockingReaderRecoversWhenItsWordIsTaken)
{
    struct Case {
        const char *name;
        std::function<void()> take;
    };
    const Case cases[] = {
        {"register read, then ResetNB", [] { (void)MA600A_ReadReg(0x20); MA600A_ResetNB(); }},
        {"exchange, then ResetNB", [] { (void)MA600A_SPI_Exchange(0x0000); MA600A_ResetNB(); }},
        {"ResetNB alone", [] { MA600A_ResetNB(); }},
        {"angle read, no ResetNB", [] { (void)MA600A_ReadRaw(); }},
        {"raw frames, no ResetNB", [] {
             const uint16_t tx[2] = {0, 0};
             uint16_t rx[2];
             MA600A_SPI_TransferFrames(tx, rx, 2);
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        set_raw(0x1000);
        ASSERT_EQ(MA600A_ReadRawNB(), 0xFFFF);   // frame open
        let_frame_finish();
        c.take();
        EXPECT_FALSE(SPI1->SR & 1u) << "the open frame's word is gone";
        EXPECT_EQ(cs_level(), 1);

        set_raw(0x3000);
        uint16_t got = 0xFFFF;
        for (int call = 0; call < 4 && got == 0xFFFF; ++call) {
            got = MA600A_ReadRawNB();
            let_frame_finish();
        }
        EXPECT_EQ(got, 0x3000);
        EXPECT_EQ(cs_level(), 1);
    }
}

// Faults caught: a wait without its bound (the call would hang), a bound far
// from 10000 status reads, a frame sent after a failed wait, chip select left
// low, the wrong failure result, or a last good word that survives
// MA600A_Init.
TEST_F(Ma600a, BoundedWaitsRunOut)
{
    set_raw(0x2468);
    ASSERT_EQ(MA600A_ReadRaw(), 0x2468);   // last good word
    sensor.set_reg(0x20, 0x11);
    sensor.speed_override = 7;

    struct Case {
        const char *name;
        bool txe, rxne;
        std::function<uint32_t()> op;
        uint32_t result;
        size_t frames_sent;
        uint64_t min_polls;
    };
    uint16_t rx[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    const auto frames = [&] {
        const uint16_t tx[3] = {1, 2, 3};
        MA600A_SPI_TransferFrames(tx, rx, 3);
        return uint32_t(rx[0]);
    };
    const Case cases[] = {
        {"exchange, TXE", true, false, [] { return MA600A_SPI_Exchange(0x1234); }, 0, 0, 10000},
        {"exchange, RXNE", false, true, [] { return MA600A_SPI_Exchange(0x1234); }, 0, 1, 10000},
        {"read raw, TXE", true, false, [] { return MA600A_ReadRaw(); }, 0x2468, 0, 10000},
        {"read raw, RXNE", false, true, [] { return MA600A_ReadRaw(); }, 0x2468, 1, 10000},
        {"read reg, TXE", true, false, [] { return MA600A_ReadReg(0x20); }, 0, 0, 10000},
        {"read reg, RXNE", false, true, [] { return MA600A_ReadReg(0x20); }, 0, 1, 10000},
        {"write reg, RXNE", false, true, [] { MA600A_WriteReg(0x30, 0x99); return 0u; }, 0, 1, 10000},
        {"store, TXE", true, false, [] { MA600A_StoreNVMBlock0(); return 0u; }, 0, 0, 10000},
        {"frames, TXE", true, false, frames, 0xAAAA, 0, 10001},   // in-place wait plus a last look
        {"frames, RXNE", false, true, frames, 0xAAAA, 1, 10001},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const size_t sent = b.mcu.spi1.sent.size();
        const uint64_t accesses = b.mcu.accesses;
        const sim::Cycles start = b.mcu.now();
        b.mcu.spi1.txe_stuck = c.txe;
        b.mcu.spi1.rxne_stuck = c.rxne;
        EXPECT_EQ(c.op(), c.result);
        b.mcu.spi1.txe_stuck = b.mcu.spi1.rxne_stuck = false;
        EXPECT_EQ(b.mcu.spi1.sent.size(), sent + c.frames_sent);
        const uint64_t polls = b.mcu.accesses - accesses;
        EXPECT_GE(polls, c.min_polls);
        EXPECT_LE(polls, c.min_polls + 20);
        EXPECT_LT(sim::cycles_to_ms(b.mcu.now() - start), 5.0) << "gives up after about 3 ms, no store wait";
        EXPECT_TRUE(bus_released());
        let_frame_finish();
        (void)static_cast<uint32_t>(SPI1->DR);   // drop the word
    }
    EXPECT_EQ(sensor.reg(0x30), 0) << "the write's data frame never went out";
    EXPECT_EQ(sensor.nvm_stores, 0);

    // The last good word starts again from 0 at MA600A_Init, not from a
    // previous run.
    MA600A_Init();
    b.mcu.spi1.rxne_stuck = true;
    EXPECT_EQ(MA600A_ReadRaw(), 0);
}

// Faults caught: the angle difference not wrapped across zero (a step from
// 65500 to 100 read as almost a full turn backwards), the half-turn boundary
// on the wrong side, a speed taken from the first call or from a zero time
// base, last angle and time not refreshed on every call.
TEST_F(Ma600a, ReadAngleWrapsAndEstimatesSpeed)
{
    SYST_CSR = 0;   // the test sets the millisecond counter itself
    struct Step {
        uint32_t tick;
        uint16_t raw;
        float rpm;   // expected after the call
    };
    // rpm = counts / 65536 turns per elapsed ms * 60000
    auto rpm = [](double counts, double ms) { return static_cast<float>(counts / 65536.0 * 60000.0 / ms); };
    const Step steps[] = {
        {0, 500, 0.0f},                      // tick 0: recorded, no estimate
        {10, 900, 0.0f},                     // previous time was 0: still none
        {100, 65500, rpm(-936, 90)},         // backward across zero
        {110, 100, rpm(136, 10)},            // forward across zero
        {110, 65500, rpm(136, 10)},          // same millisecond: kept ...
        {120, 65364, rpm(-136, 10)},         // ... but last angle was overwritten
        {130, 100, rpm(272, 10)},            // forward across zero again
        {140, 32868, rpm(32768, 10)},        // exactly half a turn: forward
        {150, 100, rpm(-32768, 10)},         // exactly half a turn back: backward
        {160, 32869, rpm(-32767, 10)},       // one count more: backward
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        const Step &s = steps[i];
        SCOPED_TRACE(testing::Message() << "step " << i);
        tick_count = s.tick;
        set_raw(s.raw);
        const float deg = MA600A_ReadAngle();
        EXPECT_FLOAT_EQ(deg, static_cast<float>(s.raw * 360.0 / 65536.0));
        EXPECT_NEAR(MA600A_ReadRPM(), s.rpm, std::fabs(s.rpm) * 1e-5 + 1e-4);
    }
}

// Faults caught: the speed word not taken as signed, the two frames split
// over two selections, an output written when its frame failed.
TEST_F(Ma600a, AngleAndSpeedInOneSelection)
{
    set_raw(0xBEEF);
    sensor.speed_override = -1234;
    uint16_t angle = 0;
    int16_t speed = 0;
    size_t m = mark();
    MA600A_ReadAngleSpeed(&angle, &speed);
    EXPECT_EQ(angle, 0xBEEF);
    EXPECT_EQ(speed, -1234);
    EXPECT_EQ(mosi_since(m), (Frames{0x0000, 0x0000}));
    EXPECT_TRUE(one_select_since(m));
    EXPECT_TRUE(bus_released());

    // The second frame's word never arrives: the angle is written, the speed not.
    angle = 1;
    speed = 2;
    const size_t sent = b.mcu.spi1.sent.size();
    sim::Mcu &mcu = b.mcu;
    auto saved = mcu.on_time_passed;
    mcu.on_time_passed = [&] {
        if (mcu.spi1.sent.size() >= sent + 2) mcu.spi1.rxne_stuck = true;
    };
    MA600A_ReadAngleSpeed(&angle, &speed);
    mcu.on_time_passed = saved;
    EXPECT_EQ(angle, 0xBEEF);
    EXPECT_EQ(speed, 2);
    EXPECT_TRUE(bus_released());
}

// Fault caught (in the sensor model): frames clocked in a mode the MA600A
// does not speak answered as if they were right, which would hide a wrong
// SPI configuration.
TEST_F(Ma600a, SensorAnswersGarbageInTheWrongMode)
{
    set_raw(0x1234);
    SPI1->CR1 = 0x0B6F & ~0x3u;   // mode 0
    EXPECT_EQ(MA600A_SPI_Exchange(0x0000), 0xFFFF);
    SPI1->CR1 = 0x036F;           // 8-bit frames
    EXPECT_EQ(MA600A_SPI_Exchange(0x0000) & 0xFF, 0xFF);
    SPI1->CR1 = 0x0B6F;
    EXPECT_EQ(MA600A_SPI_Exchange(0x0000), 0x1234);
}
