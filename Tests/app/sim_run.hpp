// foc-sim as a program, for the tests that run it in batch mode.
#pragma once
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

// Stdout, stderr and the trace file "t.csv" of a run with the given stdin in
// a scratch directory, expected to exit with the given status.
struct SimRun { std::string out, err, trace; };
inline SimRun run_sim(const std::string &input, const std::vector<std::string> &args = {}, int status = 0)
{
    char dir[] = "/tmp/foc-sim-test-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    const std::string d = std::string(dir) + "/";
    std::ofstream(d + "in", std::ios::binary) << input;
    std::string cmd = "cd " + d + " && '" FOC_SIM "'";
    for (const std::string &a : args) cmd += " '" + a + "'";
    const int ws = std::system((cmd + " <in >out 2>err").c_str());
    auto read = [&](const char *f) { std::ostringstream s; s << std::ifstream(d + f).rdbuf(); return s.str(); };
    SimRun r{read("out"), read("err"), read("t.csv")};
    EXPECT_EQ(WIFEXITED(ws) ? WEXITSTATUS(ws) : -1, status) << input << r.err;
    std::filesystem::remove_all(d);
    return r;
}

inline size_t count(const std::string &hay, const std::string &needle)
{
    size_t n = 0;
    for (size_t p = 0; (p = hay.find(needle, p)) != std::string::npos; p += needle.size()) ++n;
    return n;
}

// What the console sent after the boot transcript (which ends with the help).
inline std::string after_boot(const std::string &out)
{
    const std::string end = "=================\r\n\r\n";
    const size_t p = out.find(end);
    return p == std::string::npos ? "<no boot transcript>" : out.substr(p + end.size());
}
