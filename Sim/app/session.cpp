#include "session.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "cpu/emulated_cpu.hpp"
#include "process.hpp"

namespace app {

// Bounds that keep the plant's arithmetic finite.
static constexpr double kMaxWaitMs = 1e9;   // about 11 days of virtual time
static constexpr double kMaxRotorDeg = 1e6;

static std::vector<std::string_view> words(std::string_view s)
{
    std::vector<std::string_view> w;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t') ++j;
        if (j > i) w.push_back(s.substr(i, j - i));
        i = j;
    }
    return w;
}

static bool to_number(std::string_view w, double &v)
{
    std::string s(w);
    errno = 0;
    char *end = nullptr;
    v = std::strtod(s.c_str(), &end);
    return end != s.c_str() && *end == '\0' && errno == 0 && std::isfinite(v);
}

bool is_comment(std::string_view line)
{
    return line == "#" || (line.size() > 1 && line[0] == '#' && (line[1] == ' ' || line[1] == '\t'));
}

std::optional<Directive> parse_directive(std::string_view line, std::string &why)
{
    auto w = words(line);
    if (w.empty()) {
        why = "empty directive";
        return std::nullopt;
    }
    const std::string_view name = w[0];
    auto one_arg = [&](const char *what) -> bool {
        if (w.size() != 2) {
            why = std::string(name) + " takes one argument: " + what;
            return false;
        }
        return true;
    };
    auto numeric = [&](const char *what, double &v) -> bool {
        if (!one_arg(what)) return false;
        if (!to_number(w[1], v)) {
            why = std::string(name) + ": '" + std::string(w[1]) + "' is not a number (" + what + ")";
            return false;
        }
        return true;
    };
    Directive d{Directive::Wait, 0.0};
    if (name == "#wait") {
        if (!numeric("milliseconds", d.value)) return std::nullopt;
        if (d.value < 0 || d.value > kMaxWaitMs) {
            why = "#wait: between 0 and 1e9 ms";
            return std::nullopt;
        }
        return d;
    }
    if (name == "#button") {
        if (!one_arg("press, down or up")) return std::nullopt;
        if (w[1] == "press") d.kind = Directive::ButtonPress;
        else if (w[1] == "down") d.kind = Directive::ButtonDown;
        else if (w[1] == "up") d.kind = Directive::ButtonUp;
        else {
            why = "#button: press, down or up, not '" + std::string(w[1]) + "'";
            return std::nullopt;
        }
        return d;
    }
    if (name == "#fault") {
        if (!one_arg("on or off")) return std::nullopt;
        if (w[1] == "on") d.kind = Directive::FaultOn;
        else if (w[1] == "off") d.kind = Directive::FaultOff;
        else {
            why = "#fault: on or off, not '" + std::string(w[1]) + "'";
            return std::nullopt;
        }
        return d;
    }
    if (name == "#load") {
        d.kind = Directive::Load;
        if (!numeric("torque in mN*m", d.value)) return std::nullopt;
        return d;   // the plant checks its range
    }
    if (name == "#rotor") {
        d.kind = Directive::Rotor;
        if (!numeric("mechanical degrees", d.value)) return std::nullopt;
        if (std::fabs(d.value) > kMaxRotorDeg) {
            why = "#rotor: at most 1e6 degrees either way";
            return std::nullopt;
        }
        return d;
    }
    if (name == "#port") {
        d.kind = Directive::Port;
        if (!one_arg("1 or 2")) return std::nullopt;
        if (w[1] == "1" || w[1] == "2") {
            d.value = w[1] == "1" ? 1 : 2;
            return d;
        }
        why = "#port: 1 or 2, not '" + std::string(w[1]) + "'";
        return std::nullopt;
    }
    if (name == "#reset") {
        d.kind = Directive::Reset;
        if (w.size() != 1) {
            why = "#reset takes no argument";
            return std::nullopt;
        }
        return d;
    }
    why = "unknown directive '" + std::string(name) +
          "' (known: #wait, #button, #fault, #load, #rotor, #port, #reset; '# ' starts a comment)";
    return std::nullopt;
}

std::string describe(const Directive &d)
{
    char buf[96];
    switch (d.kind) {
    case Directive::Wait: std::snprintf(buf, sizeof buf, "#wait: the next line in %g ms", d.value); break;
    case Directive::ButtonPress: std::snprintf(buf, sizeof buf, "#button press: held %g ms", kButtonPressMs); break;
    case Directive::ButtonDown: std::snprintf(buf, sizeof buf, "#button down: held"); break;
    case Directive::ButtonUp: std::snprintf(buf, sizeof buf, "#button up: released"); break;
    case Directive::FaultOn: std::snprintf(buf, sizeof buf, "#fault on: nFault held low"); break;
    case Directive::FaultOff: std::snprintf(buf, sizeof buf, "#fault off: nFault released"); break;
    case Directive::Load: std::snprintf(buf, sizeof buf, "#load: %g mN*m on the shaft", d.value); break;
    case Directive::Rotor: std::snprintf(buf, sizeof buf, "#rotor: placed at %g degrees", d.value); break;
    case Directive::Port: std::snprintf(buf, sizeof buf, "#port: lines go to USART%g", d.value); break;
    case Directive::Reset: std::snprintf(buf, sizeof buf, "#reset: power-on reset, the console takes lines in %g ms", kBootMs); break;
    }
    return buf;
}

// ---------------------------------------------------------------- Session

// Stretch of virtual time between two looks at the output, the trace and
// the stop signals: output streams with at most this delay, and the board's
// own output buffers hold at most what a port sends in it.
static const sim::Cycles kSlice = sim::ms_to_cycles(5.0);
// After a stop signal, the board runs on in steps this short until the line
// being sent is complete, for at most kFinishLine.
static const sim::Cycles kFinishStep = sim::ms_to_cycles(0.1);
static const sim::Cycles kFinishLine = sim::ms_to_cycles(100.0);

static sim::CpuFactory cpu_of(const Options &opt)
{
    return opt.image ? sim::emulated_cpu(opt.image) : sim::CpuFactory(sim::make_native_cpu);
}

Session::Session(const Options &opt)
    : board_(opt.plant, opt.seed, cpu_of(opt)), gap_(sim::ms_to_cycles(opt.gap_ms)), next_item_(sim::ms_to_cycles(kBootMs)),
      text_port_(opt.port)
{
    // What the board sent and the trace up to the failing step are kept.
    board_.plant.on_diverged = [this](const std::string &) {
        drain_output();
        if (trace_) trace_->close();
    };
    // The frame records kept for tests grow by a frame per control tick: a
    // long run would grow them without bound.
    board_.plant.sensor.keep_log = false;
    board_.mcu.spi1.keep_sent = false;
    if (opt.until_ms >= 0) end_ = sim::ms_to_cycles(opt.until_ms);
    release_.attach(board_.mcu, [this] { board_.set_button(false); });
    if (!opt.trace_path.empty()) {
        trace_ = std::make_unique<Trace>(opt.trace_path, opt.trace_every_ms);
        trace_->attach(board_, epoch_);
    }
}

void Session::fail(const std::string &what)
{
    if (failure_.empty()) failure_ = what;
    ended_ = true;
}

void Session::drain_output()
{
    std::string out = board_.take_output(output_port);
    board_.take_output(3 - output_port);
    if (out.empty()) return;
    at_line_start_ = out.back() == '\n';
    if (sink && failure_.empty() && !sink(out)) fail(std::string("writing the console's output: ") + std::strerror(errno));
}

bool Session::run_until(sim::Cycles t)
{
    while (!ended_) {
        if (stop_signal() && stop_by_ == sim::kNever) stop_by_ = std::min(now() + kFinishLine, end_);
        sim::Cycles to;
        if (stop_by_ != sim::kNever) {   // stopping: whatever t, only until the line being sent is complete
            if (at_line_start_ || now() >= stop_by_) {
                ended_ = true;
                break;
            }
            to = std::min(now() + kFinishStep, stop_by_);
        } else {
            if (now() >= std::min(t, end_)) break;
            to = std::min({t, end_, now() + kSlice});
            if (!queue_.empty()) to = std::min(to, std::max(next_item_, now()));
        }
        board_.run_until(to - epoch_);
        drain_output();
        if (trace_ && !trace_->error().empty()) fail(trace_->error());
        start_due_items();
    }
    if (now() >= end_) ended_ = true;
    return !ended_;
}

bool Session::run_queue()
{
    while (!ended_ && busy()) run_until(next_item_);
    return !ended_;
}

bool Session::push(Item item)
{
    if (queue_.size() >= kMaxQueued) return false;
    queue_.push_back(std::move(item));
    start_due_items();
    return true;
}

bool Session::type_line(std::string_view text) { return push({Item::Line, std::string(text) + '\r', {}}); }
bool Session::enqueue(const Directive &d) { return push({Item::Act, {}, d}); }

void Session::start_due_items()
{
    while (!ended_ && stop_by_ == sim::kNever && !queue_.empty() && now() >= next_item_) {
        Item item = std::move(queue_.front());
        queue_.pop_front();
        const sim::Cycles took = carry_out(item);   // #reset moves the board's clock, not now()
        next_item_ = now() + took;
    }
}

sim::Cycles Session::carry_out(const Item &item)
{
    switch (item.kind) {
    case Item::Line:
        // The typist delivers a byte per character time from now on; the gap
        // runs from the moment the board has stopped with the CR delivered.
        board_.type(text_port_, item.line);
        queue_.push_front({Item::Gap, {}, {}});
        return item.line.size() * sim::kTypedCharCycles;
    case Item::Gap:
        // The board may stop at the CR's instant just before taking it.
        if (board_.typing(text_port_)) {
            queue_.push_front(item);
            return sim::kTypedCharCycles;
        }
        return gap_;
    case Item::Act: break;
    }
    const Directive &d = item.directive;
    apply(d);
    switch (d.kind) {
    case Directive::Wait: return sim::ms_to_cycles(d.value);
    case Directive::ButtonPress: return sim::ms_to_cycles(kButtonPressMs);
    case Directive::Reset: return sim::ms_to_cycles(kBootMs);
    default: return 0;
    }
}

void Session::apply(const Directive &d)
{
    sim::Mcu &mcu = board_.mcu;
    std::string why;
    switch (d.kind) {
    case Directive::Wait: break;
    case Directive::ButtonPress:
        board_.set_button(true);
        mcu.schedule(release_, mcu.now() + sim::ms_to_cycles(kButtonPressMs));
        break;
    case Directive::ButtonDown:
    case Directive::ButtonUp:
        mcu.cancel(release_);
        board_.set_button(d.kind == Directive::ButtonDown);
        break;
    case Directive::FaultOn:
    case Directive::FaultOff: board_.set_fault(d.kind == Directive::FaultOn); break;
    case Directive::Load:
        if (!board_.plant.set_load_torque_nm(d.value / 1000.0, &why)) why = "#load: " + why;
        break;
    case Directive::Rotor:
        if (board_.plant.bridge_enabled()) {
            why = "#rotor: the bridge is enabled; stop the motor first";
            break;
        }
        board_.plant.advance_to(mcu.now());
        board_.plant.set_rotor_deg(d.value);
        break;
    case Directive::Port: text_port_ = static_cast<int>(d.value); break;
    case Directive::Reset: power_on(); break;
    }
    if (on_directive) on_directive(d, why);
}

// A power-on reset of the board: the firmware starts again from its reset
// vector and the board's clock from 0, while the run's time goes on. The
// plant's parameters (the load of #load among them) stay; the button and the
// nFault line are released.
void Session::power_on()
{
    drain_output();
    epoch_ = now();
    board_.power_on();
    if (trace_) trace_->attach(board_, epoch_);
}

int Session::finish()
{
    if (trace_) {
        trace_->close();
        if (!trace_->error().empty()) fail(trace_->error());
    }
    if (!failure_.empty()) std::fprintf(stderr, "foc-sim: %s\n", failure_.c_str());
    if (int sig = stop_signal())
        std::fprintf(stderr, "foc-sim: %s: stopped at %.3f s of virtual time\n", signal_name(sig), now_ms() / 1000.0);
    return failure_.empty() ? 0 : 1;
}

}  // namespace app
