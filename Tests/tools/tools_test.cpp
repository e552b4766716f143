// The scripts in tools/: what a user gets back for bad input (one line on
// stderr and a status, never a Python traceback or a raw gnuplot error),
// their help, and the commands tools/flash runs for a board.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace {

const std::string kTools = SOURCE_DIR "/tools/";

struct Result { int status; std::string out, err; };

// Runs a shell command line in a scratch folder holding a small trace
// (ok.csv), the same trace cut in the middle of a row (cut.csv) and an empty
// image (fw.elf).
struct Scratch {
    std::string dir;
    Scratch()
    {
        char d[] = "/tmp/tools-test-XXXXXX";
        if (!mkdtemp(d)) std::abort();
        dir = d;
        std::ostringstream csv;
        csv << "t_ms,speed_rpm,theta_mech_deg\n";
        for (int t = 0; t <= 100; ++t) csv << t << ".000," << (t < 50 ? 0 : 300 - 300 * std::exp(-(t - 50) / 5.0)) << ",0\n";
        std::ofstream(dir + "/ok.csv") << csv.str();
        std::ofstream(dir + "/cut.csv") << csv.str().substr(0, csv.str().size() / 2);
        std::ofstream(dir + "/fw.elf") << "";
    }
    ~Scratch() { std::filesystem::remove_all(dir); }
    Result run(const std::string &cmd) const
    {
        const int ws = std::system(("cd " + dir + " && " + cmd + " >out 2>err </dev/null").c_str());
        auto read = [&](const char *f) { std::ostringstream s; s << std::ifstream(dir + "/" + f).rdbuf(); return s.str(); };
        return {WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, read("out"), read("err")};
    }
};

}  // namespace

// A traceback, a raw gnuplot or bash message, a second line of noise, or a
// zero status for input the tool cannot use; or checks so eager that a good
// trace is refused.
TEST(Tools, BadInputGetsOneClearLineAndAStatus)
{
    const std::string sf = kTools + "step-figures ", plot = kTools + "plot ";
    const std::string fig = " --column speed_rpm --target 300 --from 50 --band 15";
    struct Row { std::string cmd; int status; const char *err; } rows[] = {
        {sf + "missing.csv" + fig, 2, "step-figures: cannot read missing.csv: No such file or directory"},
        {sf + "ok.csv --column torque --target 1 --from 0 --band 1", 2,
         "step-figures: ok.csv has no column 'torque' \\(columns: t_ms, speed_rpm, theta_mech_deg\\)"},
        {sf + "cut.csv" + fig, 2, "step-figures: cut.csv line 60: malformed or truncated row"},
        {sf + "ok.csv" + fig + " --to 20", 2, "step-figures: --to 20 is not after --from 50"},
        {sf + "ok.csv" + fig.substr(0, fig.find(" --from")) + " --from 500 --band 15", 2,
         "step-figures: ok.csv has no rows from 500 ms"},
        {sf + "fw.elf" + fig, 2, "step-figures: fw.elf is empty: not a foc-sim trace"},
        {sf + "ok.csv" + fig, 0, ""},
        {plot + "missing.csv", 2, "plot: cannot read missing.csv"},
        {plot + "ok.csv --panels '' --panel 'T:torque_Nm'", 2, "plot: ok.csv has no column 'torque_Nm' \\(see --columns\\)"},
        {plot + "ok.csv --panels speed", 2, "plot: ok.csv has no column 'ref_rpm' \\(see --columns\\)"},
        {plot + "ok.csv --from 80 --to 20", 2, "plot: --from 80 is not before --to 20"},
        {plot + "ok.csv --from 200", 2, "plot: ok.csv has fewer than 2 rows from 200 ms to its end"},
        {plot + "ok.csv --from x", 2, "plot: --from wants a time in ms, not 'x'"},
        {plot + "ok.csv --to", 2, "plot: --to needs a value \\(try --help\\)"},
        {plot + "ok.csv -o no/such/dir/p.png --panels '' --panel 'S:speed_rpm'", 2,
         "plot: cannot write no/such/dir/p.png: no/such/dir is not a writable folder"},
        {plot + "fw.elf", 2, "plot: fw.elf has no t_ms column: not a foc-sim trace"},
        {plot + "ok.csv --panels '' --panel 'S:speed_rpm' --from 40 --to 90", 0, "plot: wrote ok.png"},
    };
    Scratch s;
    for (const Row &r : rows) {
        const Result got = s.run(r.cmd);
        EXPECT_EQ(got.status, r.status) << r.cmd << "\n" << got.err;
        std::string line = got.err;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        EXPECT_TRUE(std::regex_match(line, std::regex(r.err))) << r.cmd << "\n" << got.err;
        if (r.status == 0 && r.cmd.rfind(sf, 0) == 0) {
            EXPECT_NE(got.out.find("settling time: 15 ms"), std::string::npos) << got.out;
        }
    }
    EXPECT_TRUE(std::filesystem::exists(s.dir + "/ok.png"));
}

// A tool without usage text, or one that does something when asked for it.
TEST(Tools, EveryToolExplainsItself)
{
    Scratch s;
    for (const char *tool : {"demo-plots", "flash", "mode-figures", "mutants", "plot", "setup", "step-figures", "test"}) {
        const Result r = s.run(kTools + tool + " --help");
        EXPECT_EQ(r.status, 0) << tool;
        EXPECT_NE(r.out.find(std::string("sage: ")), std::string::npos) << tool << ": " << r.out;
        EXPECT_EQ(r.err, "") << tool;
    }
}

// tools/flash writing something else than the image, at another address,
// without verifying or resetting, or with a configuration OpenOCD refuses.
TEST(FlashTool, CommandsItRuns)
{
    Scratch s;
    const std::string cfg = kTools + "openocd.cfg";
    Result r = s.run(kTools + "flash --dry-run --elf fw.elf");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "openocd -f " + cfg + " -c 'program {fw.elf} verify reset exit'\n");
    r = s.run(kTools + "flash --dry-run --tool st-flash --elf fw.elf");
    EXPECT_TRUE(std::regex_match(r.out, std::regex("arm-none-eabi-objcopy -O binary fw.elf (/tmp/[^ ]+)/firmware.bin\n"
                                                   "st-flash --reset write \\1/firmware.bin 0x08000000\n")))
        << r.out;
    r = s.run(kTools + "flash --elf none.elf");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("flash: no image at none.elf"), std::string::npos) << r.err;

    if (std::system("command -v openocd >/dev/null") != 0)
        GTEST_SKIP() << "openocd is not installed: tools/setup openocd, then ctest -R FlashTool";
    r = s.run(kTools + "flash --check-config");
    EXPECT_EQ(r.status, 0) << r.err;
    // Without a probe, programming must get as far as looking for it.
    r = s.run(kTools + "flash --elf fw.elf");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Error: open failed"), std::string::npos) << r.err;
}
