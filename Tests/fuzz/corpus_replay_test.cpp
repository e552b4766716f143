// Every file of each fuzz target's corpus through the target's entry: the lines that once broke something, the
// traps of the dispatch order and the seeds of the fuzzers stay without a finding.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "targets.hpp"

class FuzzCorpus : public testing::TestWithParam<FuzzTarget> {};

// Faults caught: whatever a corpus file once found (a crash, a sanitizer report, a setting out of its range, a reader
// that disagrees with its reference) coming back.
TEST_P(FuzzCorpus, EveryFileReplays)
{
    const std::filesystem::path dir = std::filesystem::path(SOURCE_DIR) / "Tests/fuzz/corpus" / GetParam().name;
    size_t files = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream f(entry.path(), std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
        std::fprintf(stderr, "%s\n", entry.path().filename().c_str());   // a finding ends the program: name the file first
        GetParam().run(bytes.data(), bytes.size());
        ++files;
    }
    EXPECT_GE(files, 10u);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, testing::ValuesIn(kFuzzTargets),
                         [](const testing::TestParamInfo<FuzzTarget> &info) { return std::string(info.param.name); });
