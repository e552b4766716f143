// The console's access to the angle sensor, its chip select, SPI1 and the bridge pins, clear of the control tick.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>
#include <vector>

#include "bench.hpp"

static std::string hx(unsigned v) { char b[16]; std::snprintf(b, sizeof b, "0x%X", v); return b; }

// Fault caught: a misparsed register address or value (prefix, case, more than two digits, read as decimal, separator
// not consumed, a missing value not writing 0), a reply in the wrong base, or chip select or the control timer left
// in the wrong state.
TEST(SensorCommands, RegisterReadAndWriteForms)
{
    const char *read = "reg 0x20 = 0xAA00\r\n";
    const struct { const char *line, *reply; uint8_t addr, value; } rows[] = {
        {"reg 20", read, 0x20, 0xAA}, {"reg 0X20", read, 0x20, 0xAA}, {"reg 0x120", read, 0x20, 0xAA},
        {"reg   0x20 junk", read, 0x20, 0xAA}, {"reg 20,5", read, 0x20, 0xAA},
        {"wri 0x1C 80", "WRITE reg 0x1C = 128\r\n", 0x1C, 0x80}, {"wri 1C", "WRITE reg 0x1C = 0\r\n", 0x1C, 0x00},
        {"wri 0x1C,0x05", "WRITE reg 0x1C = 5\r\n", 0x1C, 0x05},
        {"wri 1c   ff", "WRITE reg 0x1C = 255\r\n", 0x1C, 0xFF}, {"wri 3 0x123", "WRITE reg 0x3 = 35\r\n", 0x03, 0x23},
    };
    for (const auto &r : rows) {
        Bench c;
        c.b.plant.sensor.set_reg(r.addr, 0xAA);
        EXPECT_EQ(c.cmd(r.line), r.reply);
        EXPECT_EQ(c.b.plant.sensor.reg(r.addr), r.value) << r.line;
        EXPECT_TRUE((c.b.mcu.tim2.cr1() & 1u) && cs_level() == 1) << r.line;
    }
}

// Fault caught: a frame list that runs on after a character that cannot start a frame, extra zero frames from mixed
// separators, more than 16 frames, frames split under separate chip selects, or a reply in the wrong form.
TEST(SensorCommands, RawFrames)
{
    const struct { const char *line; std::vector<uint16_t> sent; } rows[] = {
        {"spi 0x3000", {0x3000}}, {"spi 123456", {0x1234, 0x56}}, {"spi 1 \t\t 2 ", {1, 2}}, {"spi 12 zz 34", {0x12}},
        {"spi 0x12,0x34", {0x12}}, {"spi    ", {}}, {"spi xyz", {}}, {"spi 0x", {0}}, {"spi 0x3000 0x", {0x3000, 0}}, {"spi ,1", {}},
        {"spi 0 0 0 0 0 0 0 0 1 1 1 1 1 1 1 1 2 2", {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.line);
        Bench c;
        const auto &log = c.b.plant.sensor.log;
        const size_t mark = log.size();
        const std::string reply = c.cmd(r.line);
        std::vector<uint16_t> sent;
        std::string rx;
        for (size_t i = mark; i < log.size(); ++i) {
            sent.push_back(log[i].mosi);
            rx += hx(log[i].miso);
            EXPECT_EQ(log[i].select, log[mark].select);
        }
        EXPECT_EQ(sent, r.sent);
        EXPECT_TRUE(c.b.mcu.tim2.cr1() & 1u);
        rx = sent.size() == 1 ? "tx=" + hx(sent[0]) + " rx=" + rx + " SR=" + hx(SPI1->SR) : "rx=" + rx;
        EXPECT_EQ(reply, sent.empty() ? "spi: no args\r\n" : "spi " + rx + "\r\n");
    }
}

// Fault caught: angle degrees at a wrong scale or rounded, chip select driven by a read-modify-write or in the wrong
// sense, or the diagnostic lines reading the wrong bits.
TEST(SensorCommands, AngleChipSelectDiagAndPins)
{
    Bench c;
    c.b.plant.params.angle_noise_lsb = c.b.plant.params.sensor_offset_deg = 0.0;
    c.b.plant.set_rotor_deg(180.001);
    EXPECT_EQ(c.cmd("angle"), "raw=0x8000 deg=180\r\n");
    c.b.plant.set_rotor_deg(359.999);
    EXPECT_EQ(c.cmd("angle"), "raw=0xFFFF deg=359\r\n");
    GPIOA->BSRR = LED2_PIN;
    EXPECT_EQ(c.cmd("cs on"), "CS=0\r\n");
    EXPECT_EQ(c.cmd("diag"), "SPI SR=0x2 CR1=0xB6F CS=0\r\n");
    EXPECT_EQ(c.b.mcu.gpioa.odr() & (MA600A_CS_PIN | LED2_PIN), LED2_PIN);
    EXPECT_EQ(c.cmd("cs off"), "CS=1\r\n");
    EXPECT_EQ(c.cmd("diag"), "SPI SR=0x2 CR1=0xB6F CS=1\r\n");
    EXPECT_EQ(c.b.mcu.gpioa.odr() & (MA600A_CS_PIN | LED2_PIN), MA600A_CS_PIN | LED2_PIN);
    c.b.set_fault(true);
    EXPECT_EQ(c.cmd("pins"), "ENA=0 ENB=0 ENC=0 nSleep=0 nFault=0\r\n");
    c.b.set_fault(false);
    c.cmd("ON");
    c.run_ms(1.0);
    EXPECT_EQ(c.cmd("pins"), "ENA=1 ENB=1 ENC=1 nSleep=1 nFault=1\r\n");
}

// Fault caught: a sensor transaction or conversion of the console that the running control tick can interleave with
// its own (a wrong register value, a write that does not land, a conversion that times out and reads 0), or a tick
// whose angle reader stays stuck after a command took its pending word.
TEST(SensorCommands, GuardedAgainstTheRunningTick)
{
    Bench c;
    c.b.plant.sensor.set_reg(0x20, 0x5A);
    c.cmd("ON");
    c.run_ms(3.0);
    for (int k = 0; k < 25; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(c.cmd("reg 0x20"), "reg 0x20 = 0x5A00\r\n");
        c.cmd("wri 0x1C " + hx(k + 1));
        EXPECT_EQ(c.b.plant.sensor.reg(0x1C), k + 1);
        const std::string iv = c.cmd("iv"), iv2 = c.cmd("iv2"), angle = c.cmd("angle");
        EXPECT_TRUE(std::regex_match(iv, std::regex("IV=[1-9]\\d*\\(MP6540 unused, MCS1805 on iv2 command\\)\r\n")))
            << iv;   // a conversion that timed out reads 0
        EXPECT_TRUE(std::regex_match(iv2, std::regex("IV2=[1-9]\\d*\\(z=.*\r\n"))) << iv2;
        unsigned raw = 0;
        ASSERT_EQ(std::sscanf(angle.c_str(), "raw=0x%X", &raw), 1) << angle;
        const double off = std::fabs(raw * 360.0 / 65536.0 - c.b.plant.rotor_deg());
        EXPECT_LT(std::min(off, 360.0 - off), 2.0) << angle;
        c.cmd("spi 0x0000 0x0000"); c.cmd("spi 0x0000");
        c.run_ms(0.1 * (k % 5));
    }
    const std::string cal = c.cmd("calibrate");
    EXPECT_EQ(cal, "Calibrated: IV20=" + std::to_string(adc_zero_iv2) + "\r\n");
    EXPECT_EQ(motor_running, 1);
    const size_t mark = c.b.plant.sensor.log.size();
    c.run_ms(2.0);   // the tick's reader goes on starting frames of its own
    EXPECT_GE(c.b.plant.sensor.log.size() - mark, 3u);
}

// Fault caught: the tick's reader reset while the control timer already runs again; a tick inside the reset
// leaves chip select low, and the reader's next frame (the sensor's speed word) is taken as an angle.
TEST(SensorCommands, ReaderResetBeforeTheTickRuns)
{
    Bench c;
    c.cmd("rate 7");
    c.cmd("ON");
    for (int k = 0; k < 700; ++k) {   // sweeps the command across the control period in steps of 17..119 cycles
        c.cmd("reg 0x20");
        c.b.native().idle_until(c.b.mcu.now() + 17 * static_cast<sim::Cycles>(k % 7 + 1));
    }
    const auto &log = c.b.plant.sensor.log;
    int doubled = 0;
    for (size_t i = 1; i < log.size(); ++i)
        doubled += log[i].select == log[i - 1].select && log[i].mosi == 0 && log[i - 1].mosi == 0;
    EXPECT_EQ(doubled, 0);
}
