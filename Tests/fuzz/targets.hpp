// The fuzz targets: each entry takes any bytes and returns 0, or ends the
// program with a message when the firmware breaks a promise (a property of a
// reader, a setting out of the range its command promises); crashes and
// sanitizer reports end it too. libFuzzer calls them (fuzz_main.cpp, one
// program per target: preset fuzz, tools/fuzz); the corpus replay test calls
// them on every file of Tests/fuzz/corpus/<name>/.
#pragma once
#include <cstddef>
#include <cstdint>

// Bytes typed into both serial ports of a board whose motor runs, from a
// snapshot: the first byte chooses the mode (0..5), the second how the rest
// is split between port 1 (its start) and port 2 (the remainder).
int fuzz_console(const uint8_t *data, size_t size);
// The text readers of the console, each against a plain reference reader.
int fuzz_number(const uint8_t *data, size_t size);     // myatoi
int fuzz_hex_byte(const uint8_t *data, size_t size);   // reg and wri arguments
int fuzz_frames(const uint8_t *data, size_t size);     // spi frame list

struct FuzzTarget {
    const char *name;   // also the corpus directory
    int (*run)(const uint8_t *data, size_t size);
};
inline constexpr FuzzTarget kFuzzTargets[] = {
    {"console", fuzz_console}, {"number", fuzz_number}, {"hex_byte", fuzz_hex_byte}, {"frames", fuzz_frames}};

// Ends the program with the message: a finding.
[[noreturn]] void fuzz_finding(const char *what, double value = 0.0);
