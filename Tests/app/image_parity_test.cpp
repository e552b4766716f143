// The chip image (foc-sim --image, the emulated Cortex-M3) against the
// native build on the same virtual board, both driven by the same batch
// input: the same console bytes where the replies do not depend on timing,
// the same motor outcome within a small tolerance where they do.
#include <gtest/gtest.h>

#include <regex>

#include "app/sim_run.hpp"

namespace {

const std::vector<std::string> kImage = {"--image", FIRMWARE_ELF};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The numbers that follow `key` in the output, in order.
std::vector<int> numbers_after(const std::string &out, const std::string &key)
{
    std::vector<int> v;
    const std::regex re(key + "(-?[0-9]+)");
    for (std::sregex_iterator it(out.begin(), out.end(), re), end; it != end; ++it) v.push_back(std::stoi((*it)[1]));
    return v;
}

}  // namespace

// Faults caught: an image that boots, calibrates or prints differently from
// the native build (a register read back wrong through the emulated bus, a
// peripheral access at the wrong time, an exception lost or doubled), a
// command whose reply differs, a trace that cannot read the firmware's
// variables through the emulated CPU.
TEST(ImageParity, BootAndTimingFreeRepliesByteForByte)
{
    if (!std::filesystem::exists(FIRMWARE_ELF)) GTEST_SKIP() << "no chip image at " << FIRMWARE_ELF;
    const char *const commands[] = {
        "help", "pid", "mode 3", "vq 200", "rpm 300", "ramp 200", "hold 10", "sp 100", "pos 90", "posemax 20", "I 50",
        "pidspd 5,100,0", "pidpos kp=3 ki=50 kd=1", "pidcur 10,50,0", "rate 25", "rate 4", "sens 900", "stat", "STAT",
        "mode 7", "echo off", "angle", "turn", "actrpm", "iv2", "adc", "diag", "pins", "reg 0x20", "cs on", "cs off",
        "wri 0x1C 80", "spi 0x0000", "spi 0xD220 0x0000", "calibrate", "zz",
    };
    std::string in;
    for (const char *c : commands) in += std::string(c) + "\n";
    const std::vector<std::string> trace = {"--trace", "t.csv", "--trace-every", "50"};
    const SimRun native = run_sim(in, trace), image = run_sim(in, with(kImage, trace));
    EXPECT_TRUE(image.out == native.out) << "image:\n" << image.out << "\nnative:\n" << native.out;
    for (const char *reply : {"Mode:3=SPEED CL\r\n", "rate=7k\r\n", "? STAT\r\n", "Mode:5=CUR CL\r\n", "? zz\r\n"})
        EXPECT_NE(after_boot(native.out).find(reply), std::string::npos) << reply;
    EXPECT_TRUE(image.trace == native.trace) << "the stopped motor's trace, firmware columns included";
    EXPECT_GT(image.trace.size(), 1000u);
}

// Faults caught: a control tick of the image that runs at the wrong time or
// rate, or computes differently enough to change where the motor goes (a
// wrong instruction, a converter or sensor read at the wrong moment).
TEST(ImageParity, SpeedStepAndPositionMoveReachTheSameOutcome)
{
    if (!std::filesystem::exists(FIRMWARE_ELF)) GTEST_SKIP() << "no chip image at " << FIRMWARE_ELF;
    const std::string in = "mode 3\nvq 200\nrpm 300\nON\n#wait 3000\nactrpm\nOFF\n#wait 500\n"
                           "mode 4\npos 90\nON\n#wait 2500\nangle\n";
    const SimRun native = run_sim(in), image = run_sim(in, kImage);
    const std::vector<int> rpm[2] = {numbers_after(native.out, "actrpm="), numbers_after(image.out, "actrpm=")};
    const std::vector<int> deg[2] = {numbers_after(native.out, " deg="), numbers_after(image.out, " deg=")};
    ASSERT_EQ(rpm[0].size(), 1u);
    ASSERT_EQ(rpm[1].size(), 1u) << image.out;
    ASSERT_EQ(deg[0].size(), 1u);
    ASSERT_EQ(deg[1].size(), 1u) << image.out;
    EXPECT_NEAR(rpm[0][0], 300, 10);
    EXPECT_NEAR(rpm[1][0], rpm[0][0], 10);
    EXPECT_NEAR(deg[0][0], 90, 5);
    EXPECT_NEAR(deg[1][0], deg[0][0], 2);
}

// Faults caught: --cost accepted without an image to report on, or a file
// that is not a 32-bit ARM executable taken for an image.
TEST(ImageParity, ImageOptionsRefuseWhatTheyCannotRun)
{
    EXPECT_NE(run_sim("", {"--cost"}, 2).err.find("--image"), std::string::npos);
    for (const char *bad : {FOC_SIM, "/nonexistent.elf"})
        EXPECT_NE(run_sim("", {"--image", bad}, 2).err.find(bad), std::string::npos) << bad;
}
