// The console's direct access to the angle sensor, its chip select, SPI1
// and the bridge driver's pins, and how these commands keep clear of the
// control tick.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "console_bench.h"
#include "main.h"

namespace {

std::vector<uint16_t> frames_since(const sim::Board &b, size_t from)
{
    std::vector<uint16_t> v;
    for (size_t i = from; i < b.plant.sensor.log.size(); ++i) v.push_back(b.plant.sensor.log[i].mosi);
    return v;
}

}  // namespace

// Fault caught: a misparsed register address (prefix, case, more than two
// digits), or the control timer left stopped after the read.
TEST(SensorCommands, RegisterReadAddressForms)
{
    for (const char *line : {"reg 20", "reg 0x20", "reg 0X20", "reg 0x120", "reg   0x20 junk", "reg 20,5"}) {
        SCOPED_TRACE(line);
        ConsoleBench c;
        c.b.plant.sensor.set_reg(0x20, 0x5A);
        const size_t mark = c.b.plant.sensor.log.size();
        EXPECT_EQ(c.cmd(line), "reg 0x20 = 0x5A00\r\n");
        EXPECT_EQ(frames_since(c.b, mark), (std::vector<uint16_t>{0xD220, 0x0000}));
        EXPECT_TRUE(c.b.mcu.tim2.cr1() & 1u);
        EXPECT_EQ(cs_level(), 1);
    }
}

// Fault caught: the value read as decimal, the separator not consumed, a
// missing value not writing 0, or the reply showing the value in hex.
TEST(SensorCommands, RegisterWriteForms)
{
    const struct {
        const char *line;
        uint8_t addr, value;
        const char *reply;
    } rows[] = {
        {"wri 0x1C 80", 0x1C, 0x80, "WRITE reg 0x1C = 128\r\n"},
        {"wri 1C", 0x1C, 0x00, "WRITE reg 0x1C = 0\r\n"},
        {"wri 0x1C,0x05", 0x1C, 0x05, "WRITE reg 0x1C = 5\r\n"},
        {"wri 1c   ff", 0x1C, 0xFF, "WRITE reg 0x1C = 255\r\n"},
        {"wri 3 0x123", 0x03, 0x23, "WRITE reg 0x3 = 35\r\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        ConsoleBench c;
        c.b.plant.sensor.set_reg(row.addr, 0xAA);
        EXPECT_EQ(c.cmd(row.line), row.reply);
        EXPECT_EQ(c.b.plant.sensor.reg(row.addr), row.value);
        EXPECT_TRUE(c.b.mcu.tim2.cr1() & 1u);
    }
}

// Fault caught: a frame list that runs on with zero frames after a character
// that cannot start a frame, extra zero frames from mixed separators, more
// than 16 frames, frames split under separate chip selects, or a reply in
// the wrong form.
TEST(SensorCommands, RawFrames)
{
    const struct {
        const char *line;
        std::vector<uint16_t> sent;
    } rows[] = {
        {"spi 0x3000", {0x3000}},
        {"spi 0x3000 0x0000", {0x3000, 0x0000}},
        {"spi 123456", {0x1234, 0x0056}},
        {"spi 1\t 2", {0x0001, 0x0002}},
        {"spi 1 \t\t 2 ", {0x0001, 0x0002}},
        {"spi 12 zz 34", {0x0012}},
        {"spi 0x12,0x34", {0x0012}},
        {"spi 0 0 0 0 0 0 0 0 1 1 1 1 1 1 1 1 2 2", {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1}},
        {"spi ", {}},
        {"spi    ", {}},
        {"spi xyz", {}},
        {"spi 0x", {}},
        {"spi ,1", {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.line);
        ConsoleBench c;
        const size_t mark = c.b.plant.sensor.log.size();
        const std::string reply = c.cmd(row.line);
        const auto &log = c.b.plant.sensor.log;
        EXPECT_EQ(frames_since(c.b, mark), row.sent);
        for (size_t i = mark; i < log.size(); ++i) EXPECT_EQ(log[i].select, log[mark].select);
        EXPECT_TRUE(c.b.mcu.tim2.cr1() & 1u);
        if (row.sent.empty()) {
            EXPECT_EQ(reply, "spi: no args\r\n");
        } else if (row.sent.size() == 1) {
            char expect[64];
            std::snprintf(expect, sizeof expect, "spi tx=0x%X rx=0x%X SR=0x%X\r\n", row.sent[0], log[mark].miso,
                          static_cast<unsigned>(SPI1->SR));
            EXPECT_EQ(reply, expect);
        } else {
            std::string expect = "spi rx=";
            char buf[16];
            for (size_t i = mark; i < log.size(); ++i) {
                std::snprintf(buf, sizeof buf, "0x%X", log[i].miso);
                expect += buf;
            }
            EXPECT_EQ(reply, expect + "\r\n");
        }
    }
}

// Fault caught: angle degrees computed with a wrong scale or rounding,
// chip select driven by a read-modify-write or in the wrong sense, and the
// diagnostic lines reading the wrong bits.
TEST(SensorCommands, AngleChipSelectDiagAndPins)
{
    sim::PlantParams quiet;
    quiet.angle_noise_lsb = 0.0;
    quiet.sensor_offset_deg = 0.0;
    ConsoleBench c(quiet);
    c.b.plant.set_rotor_deg(180.001);
    EXPECT_EQ(c.cmd("angle"), "raw=0x8000 deg=180\r\n");
    c.b.plant.set_rotor_deg(359.999);
    EXPECT_EQ(c.cmd("angle"), "raw=0xFFFF deg=359\r\n");
    EXPECT_TRUE(c.b.mcu.tim2.cr1() & 1u);

    EXPECT_EQ(c.cmd("diag"), "SPI SR=0x2 CR1=0xB6F CS=1\r\n");
    GPIOA->BSRR = LED2_PIN;
    EXPECT_EQ(c.cmd("cs on"), "CS=0\r\n");
    EXPECT_EQ(c.b.mcu.gpioa.odr() & (MA600A_CS_PIN | LED2_PIN), LED2_PIN);
    EXPECT_EQ(c.cmd("diag"), "SPI SR=0x2 CR1=0xB6F CS=0\r\n");
    EXPECT_EQ(c.cmd("cs off"), "CS=1\r\n");
    EXPECT_EQ(c.b.mcu.gpioa.odr() & (MA600A_CS_PIN | LED2_PIN), MA600A_CS_PIN | LED2_PIN);

    EXPECT_EQ(c.cmd("pins"), "ENA=0 ENB=0 ENC=0 nSleep=0 nFault=1\r\n");
    c.b.set_fault(true);
    EXPECT_EQ(c.cmd("pins"), "ENA=0 ENB=0 ENC=0 nSleep=0 nFault=0\r\n");
    c.cmd("ON");
    c.wait_ms(1.0);
    EXPECT_EQ(c.cmd("pins"), "ENA=1 ENB=1 ENC=1 nSleep=1 nFault=0\r\n");
}

// Fault caught: a foreground sensor transaction or conversion that the
// control tick can interleave with its own while the motor runs (a wrong
// register value, a write that does not land, a conversion that times out
// and reads 0), or a tick whose angle reader stays stuck after a command
// took its pending word.
TEST(SensorCommands, GuardedAgainstTheRunningTick)
{
    ConsoleBench c;
    c.b.plant.sensor.set_reg(0x20, 0x5A);
    c.b.plant.set_rotor_deg(90.0);
    c.cmd("ON");
    c.wait_ms(3.0);
    for (int k = 0; k < 25; ++k) {
        SCOPED_TRACE(k);
        EXPECT_EQ(c.cmd("reg 0x20"), "reg 0x20 = 0x5A00\r\n");
        char wri[32];
        std::snprintf(wri, sizeof wri, "wri 0x1C %x", k + 1);
        c.cmd(wri);
        EXPECT_EQ(c.b.plant.sensor.reg(0x1C), k + 1);
        const std::string iv = c.cmd("iv");
        EXPECT_EQ(iv.rfind("IV=0(", 0), std::string::npos) << iv;
        const std::string iv2 = c.cmd("iv2");
        EXPECT_EQ(iv2.rfind("IV2=0(", 0), std::string::npos) << iv2;
        unsigned raw = 0;
        const std::string angle = c.cmd("angle");
        ASSERT_EQ(std::sscanf(angle.c_str(), "raw=0x%X", &raw), 1) << angle;
        double off = std::fabs(raw * 360.0 / 65536.0 - c.b.plant.rotor_deg());
        EXPECT_LT(std::min(off, 360.0 - off), 2.0) << angle;
        c.cmd("spi 0x0000 0x0000");
        c.cmd("spi 0x0000");
        c.wait_ms(0.1 * (k % 5));
    }
    const std::string cal = c.cmd("calibrate");
    EXPECT_EQ(cal, "Calibrated: IV20=" + std::to_string(adc_zero_iv2) + "\r\n");
    EXPECT_EQ(motor_running, 1);
    EXPECT_TRUE(c.b.mcu.tim2.cr1() & 1u);

    // The tick's reader goes on starting frames of its own afterwards.
    const size_t mark = c.b.plant.sensor.log.size();
    c.wait_ms(2.0);
    EXPECT_GE(c.b.plant.sensor.log.size() - mark, 3u);
}
