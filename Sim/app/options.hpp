// Command line of foc-sim.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "elf/elf32.hpp"
#include "plant/plant.hpp"

namespace app {

enum class RunKind { Terminal, Batch, Pty, Bench, Cost };

struct Options {
    RunKind kind = RunKind::Batch;   // without --batch, --pty or --bench: Terminal if stdin is one
    int port = 1;                  // serial port of the terminal or pseudo-terminal
    double gap_ms = 100.0;         // time after a typed line's CR before the next line is typed
    double linger_ms = 100.0;      // batch: time after the end of input
    double until_ms = -1.0;        // end of the run in virtual time; < 0: none
    uint64_t seed = 1;
    sim::PlantParams plant;        // defaults with the --set options applied, checked as a whole
    std::string trace_path;
    double trace_every_ms = 1.0;
    bool raw_keys = false;         // terminal: keystrokes straight to the port, no local editing
    bool pace_lines = false;       // pty: complete lines typed one at a time, gap_ms apart
    double bench_s = 10.0;         // bench: virtual seconds of running motor
    std::string image_path;        // chip image for the emulated CPU; none: the native build
    std::shared_ptr<const sim::elf::Image> image;
};

// Parses the command line. Prints the help and exits 0 for --help (1 if it
// cannot be written); prints a message and exits 2 for anything it cannot
// use, options that do not go together included.
Options parse_options(int argc, char **argv);

}  // namespace app
