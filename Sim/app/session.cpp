#include "session.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

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
    why = "unknown directive '" + std::string(name) +
          "' (known: #wait, #button, #fault, #load, #rotor, #port)";
    return std::nullopt;
}

Session::Session(const Options &opt) : board_(opt.plant, opt.seed), text_port_(opt.port)
{
    board_.plant.on_diverged = [this](const std::string &) {
        drain_output();
        std::fflush(stdout);
    };
    if (opt.until_ms >= 0) end_ = sim::ms_to_cycles(opt.until_ms);
    release_.attach(board_.mcu, [this] { board_.set_button(false); });
    if (!opt.trace_path.empty()) {
        trace_ = std::make_unique<Trace>(opt.trace_path, opt.trace_every_ms);
        trace_->attach(board_);
    }
}

void Session::drain_output()
{
    std::string out = board_.take_output(output_port);
    board_.take_output(3 - output_port);
    if (sink && !out.empty()) sink(out);
}

bool Session::run_until(sim::Cycles t)
{
    if (ended_) return false;
    if (t >= end_) {
        board_.run_until(end_);
        drain_output();
        ended_ = true;
        return false;
    }
    board_.run_until(t);
    drain_output();
    return true;
}

bool Session::type_and_wait(int port, std::string_view bytes)
{
    sim::Cycles t = board_.mcu.now();
    board_.type(port, bytes);
    // The typist delivers one byte per character time from now on; step
    // along the same grid so that the board stops at the last delivery.
    while (board_.typing(port)) {
        t += sim::kTypedCharCycles;
        if (!run_until(t)) return false;
    }
    return true;
}

bool Session::apply(const Directive &d, std::string &why)
{
    sim::Mcu &mcu = board_.mcu;
    switch (d.kind) {
    case Directive::Wait:
        run_for_ms(d.value);   // the caller sees ended() if the end time came first
        return true;
    case Directive::ButtonPress:
        board_.set_button(true);
        mcu.schedule(release_, mcu.now() + sim::ms_to_cycles(kButtonPressMs));
        return true;
    case Directive::ButtonDown:
    case Directive::ButtonUp:
        mcu.cancel(release_);
        board_.set_button(d.kind == Directive::ButtonDown);
        return true;
    case Directive::FaultOn:
    case Directive::FaultOff:
        board_.set_fault(d.kind == Directive::FaultOn);
        return true;
    case Directive::Load:
        if (board_.plant.set_load_torque_nm(d.value / 1000.0, &why)) return true;
        why = "#load: " + why;
        return false;
    case Directive::Rotor:
        if (board_.plant.bridge_enabled()) {
            why = "#rotor: the bridge is enabled; stop the motor first";
            return false;
        }
        board_.plant.advance_to(mcu.now());
        board_.plant.set_rotor_deg(d.value);
        return true;
    case Directive::Port:
        text_port_ = static_cast<int>(d.value);
        return true;
    }
    return true;
}

}  // namespace app
