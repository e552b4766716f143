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

    // Registers the row event with the board's scheduler, again after each
    // power-on of the board: `epoch` is the run's time at the board's time 0.
    // Rows fall on the multiples of the interval in the run's time, the
    // first at 0.
    void attach(sim::Board &board, sim::Cycles epoch);

    // Writes what is buffered and closes the file.
    void close();
    // Why a write failed, or empty.
    const std::string &error() const { return error_; }

    static const char *header();

private:
    void row();
    std::FILE *f_ = nullptr;
    std::string path_, error_;
    sim::Board *board_ = nullptr;
    sim::Event event_;
    sim::Cycles every_, epoch_ = 0, next_ = 0;
};

}  // namespace app
