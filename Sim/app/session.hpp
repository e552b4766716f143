// One run of foc-sim: the virtual board with its plant parameters, the
// optional trace, the board directives shared by batch input and the
// interactive console, and a time limit.
#pragma once
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "board.hpp"
#include "options.hpp"
#include "trace.hpp"

namespace app {

constexpr double kButtonPressMs = 100.0;

struct Directive {
    enum Kind { Wait, ButtonPress, ButtonDown, ButtonUp, FaultOn, FaultOff, Load, Rotor, Port } kind;
    double value = 0.0;   // ms for Wait, mN*m for Load, degrees for Rotor, 1 or 2 for Port
};

// Parses a line that starts with '#'. Returns nothing and explains why in
// `why` for an unknown directive or a bad argument.
std::optional<Directive> parse_directive(std::string_view line, std::string &why);

class Session {
public:
    // Builds the board with the options' plant parameters and opens the
    // trace (exits 1 if it cannot be written).
    explicit Session(const Options &opt);

    sim::Board &board() { return board_; }
    double now_ms() const { return board_.now_ms(); }

    // Runs the board to virtual time t, or to the end time if that comes
    // first; then hands the output of the connected port to the sink.
    // Returns false once the end time has been reached.
    bool run_until(sim::Cycles t);
    bool run_for_ms(double ms) { return run_until(board_.mcu.now() + sim::ms_to_cycles(ms)); }
    bool ended() const { return ended_; }
    sim::Cycles end_time() const { return end_; }

    // Types `bytes` on a port and runs until the last of them has been
    // received; afterwards the board stands at that instant.
    bool type_and_wait(int port, std::string_view bytes);

    // Carries out a directive other than Wait at the present instant
    // (#button press schedules its own release). False, with the reason, if
    // the plant refuses it.
    bool apply(const Directive &d, std::string &why);

    int text_port() const { return text_port_; }

    // Receives what the output port sends; called after every run.
    std::function<void(std::string_view)> sink;
    int output_port = 1;

private:
    void drain_output();

    sim::Board board_;
    sim::Event release_;   // the end of a #button press
    std::unique_ptr<Trace> trace_;
    sim::Cycles end_ = sim::kNever;
    bool ended_ = false;
    int text_port_ = 1;
};

}  // namespace app
