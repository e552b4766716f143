// Snapshots of the native board: a restored board goes on exactly as it went on the first time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "board.hpp"
#include "seam/image.hpp"

namespace {

// What one millisecond of a run leaves behind, bit for bit.
struct Moment {
    sim::Cycles now;
    uint64_t accesses, exceptions;
    sim::PlantSnapshot plant;
    size_t out1, out2;
    bool operator==(const Moment &o) const { return std::memcmp(this, &o, sizeof *this) == 0; }
};

struct Record {
    std::vector<Moment> moments;
    std::string out1, out2;
    std::vector<char> memory;
    std::vector<uint16_t> frames;
};

// 300 ms with the motor turning and lines typed on both ports, some of them left half typed at the snapshot.
Record run_on(sim::Board &b)
{
    Record r;
    for (int ms = 0; ms < 300; ++ms) {
        if (ms == 50) b.type(2, "reg 0x20\rpidspd 20,500,3\r");
        if (ms == 120) b.type(1, "stat\r");
        b.run_ms(1);
        Moment m{};   // zeroed padding, compared bytewise
        m.now = b.mcu.now();
        m.accesses = b.mcu.accesses;
        m.exceptions = b.mcu.nvic.taken;
        m.plant = b.plant.snapshot();
        m.out1 = b.output(1).size();
        m.out2 = b.output(2).size();
        r.moments.push_back(m);
    }
    r.out1 = b.output(1);
    r.out2 = b.output(2);
    r.memory = sim::save_firmware_ram();
    r.frames = b.mcu.spi1.sent;
    return r;
}

template <typename T>
std::vector<unsigned char> bytes_of(const T &object)
{
    const auto *p = reinterpret_cast<const unsigned char *>(&object);
    return {p, p + sizeof object};
}

}  // namespace

// Faults caught: a part of the board's state left out of the snapshot (firmware memory, the firmware's frames or its
// context, a model's register or event, the plant, the typist's queue) or restored out of order, which makes the
// second run differ from the first; a restore that only works before the board's next power-on.
TEST(Snapshot, RestoredBoardRunsOnByteForByte)
{
    sim::Board b;
    b.run_ms(1500);
    b.type(1, "mode 3\r");
    b.run_ms(20);
    b.type(1, "vq 300\r");
    b.run_ms(20);
    b.type(1, "ON\r");
    b.run_ms(400);
    b.type(1, "rpm 250\recho on\r");   // still being typed when the snapshot is taken
    b.run_ms(0.5);
    b.mcu.spi1.sent.clear();
    const sim::Board::Snapshot s = b.save();
    const Record first = run_on(b);
    ASSERT_NE(first.out1.find("ref_rpm="), std::string::npos) << "the echo is on";
    ASSERT_NE(first.out2.find("pidspd kp=20 ki=500 kd=3\r\n"), std::string::npos);

    b.restore(s);
    const Record second = run_on(b);
    EXPECT_TRUE(first.moments == second.moments);
    EXPECT_EQ(first.out1, second.out1);
    EXPECT_EQ(first.out2, second.out2);
    EXPECT_TRUE(first.memory == second.memory);
    EXPECT_EQ(first.frames, second.frames);

    b.power_on();
    b.run_ms(30);
    b.restore(s);
    const Record third = run_on(b);
    EXPECT_TRUE(first.moments == third.moments);
    EXPECT_EQ(first.out1, third.out1);
    EXPECT_TRUE(first.memory == third.memory);
}

// Faults caught: a model member that its archive list leaves out: the model's bytes after a restore differ from its
// bytes at the snapshot, although the run in between changed them.
TEST(Snapshot, EveryModelMemberIsSaved)
{
    sim::Board b;
    b.run_ms(1500);
    b.type(1, "mode 3\rON\r");
    b.run_ms(300);
    b.mcu.spi1.sent.reserve(1 << 16);   // no vector moves between the two looks
    b.plant.sensor.log.reserve(1 << 16);
    const char *names[] = {"nvic", "gpioa", "gpiob", "gpioc", "tim2", "tim4", "adc1", "spi1", "usart1", "usart2",
                           "systick", "plant"};   // the clocks and the flash interface are set once, at bring-up
    const auto models = [&] {
        const sim::Mcu &m = b.mcu;
        return std::vector{bytes_of(m.nvic), bytes_of(m.gpioa), bytes_of(m.gpiob), bytes_of(m.gpioc),
                           bytes_of(m.tim2), bytes_of(m.tim4), bytes_of(m.adc1), bytes_of(m.spi1), bytes_of(m.usart1),
                           bytes_of(m.usart2), bytes_of(m.systick), bytes_of(b.plant)};
    };
    const auto at_save = models();
    const sim::Board::Snapshot s = b.save();
    b.type(1, "stat\r");   // its reply is still going out at the second look
    b.run_ms(10);
    b.set_button(true);
    b.mcu.gpioa.drive(10, 0);
    b.plant.set_rotor_deg(90.0);
    const auto changed = models();
    b.restore(s);
    const auto restored = models();
    for (size_t i = 0; i < at_save.size(); ++i) {
        EXPECT_NE(at_save[i], changed[i]) << names[i] << " did not change in the run";
        const auto diff = std::mismatch(at_save[i].begin(), at_save[i].end(), restored[i].begin());
        EXPECT_TRUE(diff.first == at_save[i].end()) << names[i] << " differs at byte " << diff.first - at_save[i].begin();
    }
}
