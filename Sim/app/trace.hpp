// The trace: one CSV row of plant and firmware state at every multiple of a
// fixed interval of virtual time, written by an event on the board's
// scheduler so that each row lands at its exact instant.
#pragma once
#include <cstdio>
#include <string>

#include "board.hpp"

namespace app {

class Trace {
public:
    // Opens the file and writes the header row; exits 1 if it cannot.
    Trace(const std::string &path, double every_ms);
    ~Trace();
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;

    // Registers the row event with the board's scheduler; the first row is
    // the present instant (time 0 after a power-on).
    void attach(sim::Board &board);

    static const char *header();

private:
    void row();
    std::FILE *f_ = nullptr;
    std::string path_;
    sim::Board *board_ = nullptr;
    sim::Event event_;
    sim::Cycles every_;
};

}  // namespace app
