// One run of foc-sim: the virtual board with its plant parameters, the
// optional trace, the queue of console lines and board directives shared by
// batch input and the interactive consoles, and the end of the run (a time
// limit, a stop signal or a failed write).
#pragma once
#include <deque>
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
// From power-on to the console taking lines: the firmware's boot (banner,
// calibration, help) takes about 1.2 s.
constexpr double kBootMs = 1500.0;

struct Directive {
    enum Kind { Wait, ButtonPress, ButtonDown, ButtonUp, FaultOn, FaultOff, Load, Rotor, Port, Reset } kind;
    double value = 0.0;   // ms for Wait, mN*m for Load, degrees for Rotor, 1 or 2 for Port
};

// A line that only comments a scenario: "#" alone, or "#" and a space or tab.
bool is_comment(std::string_view line);

// Parses a line that starts with '#'. Returns nothing and explains why in
// `why` for an unknown directive or a bad argument.
std::optional<Directive> parse_directive(std::string_view line, std::string &why);

// What a directive does, in a few words, for acknowledgements.
std::string describe(const Directive &d);

class Session {
public:
    // Builds the board with the options' plant parameters and opens the
    // trace (exits 1 if it cannot be written).
    explicit Session(const Options &opt);

    sim::Board &board() { return board_; }
    // Virtual time of the run. It goes on through a #reset, after which the
    // board's own clock starts again from 0.
    sim::Cycles now() const { return epoch_ + board_.mcu.now(); }
    double now_ms() const { return sim::cycles_to_ms(now()); }

    // Runs the board to virtual time t (or to the end time, if that comes
    // first), a few milliseconds at a time: after each stretch the output of
    // the connected port goes to the sink, the trace is checked, a stop
    // signal is heeded and the queue moves on. False once the run has ended.
    bool run_until(sim::Cycles t);
    bool run_for_ms(double ms) { return run_until(now() + sim::ms_to_cycles(ms)); }
    // The end time came, a stop signal stopped the run or a write failed.
    bool ended() const { return ended_; }
    sim::Cycles end_time() const { return end_; }

    // The queue: console lines and directives, carried out one after the
    // other, each once the one before has had its time. A line is typed on
    // the text port, its bytes and a CR at 115200 baud, and is followed by
    // the gap (--gap-ms) from the moment its CR has been received; #wait
    // takes its time, #button press 100 ms, #reset the boot; the others take
    // none. The first item waits for the boot. False if the queue is full
    // (the item is dropped).
    bool type_line(std::string_view text);
    bool enqueue(const Directive &d);
    // Queued items, or the time of the last, remain.
    bool busy() const { return !queue_.empty() || now() < next_item_; }
    // Runs until the queue is done; false once the run has ended.
    bool run_queue();
    static constexpr size_t kMaxQueued = 1000;

    // Called as each directive is carried out: `refused` empty, or why the
    // board or the plant refused it.
    std::function<void(const Directive &, const std::string &refused)> on_directive;
    // Receives what the output port sends; false if it could not be written
    // (errno says why), which ends the run as a failure.
    std::function<bool(std::string_view)> sink;
    int output_port = 1;
    int text_port() const { return text_port_; }

    // Closes the trace and says on stderr why the run failed or that a stop
    // signal stopped it, and when. Returns the exit status: 1 if a write of
    // output or trace failed, else 0.
    int finish();

private:
    struct Item {
        enum Kind { Line, Gap, Act } kind;   // a line to type, the gap after one, a directive
        std::string line;                    // with its CR
        Directive directive;
    };
    bool push(Item item);
    void drain_output();
    void start_due_items();
    sim::Cycles carry_out(const Item &item);   // returns the item's time
    void apply(const Directive &d);
    void power_on();
    void fail(const std::string &what);

    sim::Board board_;
    sim::Cycles gap_;
    sim::Event release_;   // the end of a #button press
    std::unique_ptr<Trace> trace_;
    sim::Cycles epoch_ = 0;   // run time of the board's last power-on
    sim::Cycles end_ = sim::kNever;
    sim::Cycles stop_by_ = sim::kNever;   // a stop signal came: the line being sent ends by then
    bool ended_ = false;
    bool at_line_start_ = true;   // the output port's last byte ended a line
    std::string failure_;
    std::deque<Item> queue_;
    sim::Cycles next_item_;
    int text_port_ = 1;
};

}  // namespace app
