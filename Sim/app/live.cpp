// The live ways of running: virtual time paced to the wall clock, the
// console on this terminal or on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "line_editor.hpp"
#include "modes.hpp"
#include "process.hpp"

namespace app {

namespace {

bool g_term_changed = false;
termios g_saved{};

constexpr char kQuitKey = 0x1D;   // Ctrl-]
constexpr int kPollMs = 1;
// Behind the wall clock by more than this (the process was stopped, or the
// machine is too slow), the board does not race to catch up: time slips.
constexpr double kMaxLagMs = 100.0;

void restore_terminal()
{
    if (g_term_changed) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
        g_term_changed = false;
    }
}

void on_fatal_signal(int sig)
{
    restore_terminal();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Puts this terminal in the mode `change` makes of it until the process
// ends, whichever way it ends. False if stdin is not a terminal.
bool change_terminal(const std::function<void(termios &)> &change)
{
    if (tcgetattr(STDIN_FILENO, &g_saved) != 0) return false;
    struct sigaction sa {};
    sa.sa_handler = on_fatal_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGQUIT}) sigaction(sig, &sa, nullptr);
    std::atexit(restore_terminal);
    termios t = g_saved;
    change(t);
    g_term_changed = true;
    tcsetattr(STDIN_FILENO, TCSANOW, &t);
    return true;
}

// Virtual time that corresponds to the wall clock now.
class Pacer {
public:
    explicit Pacer(sim::Cycles start) { rebase(start); }
    sim::Cycles target(sim::Cycles now)
    {
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - wall0_).count();
        sim::Cycles t = virt0_ + static_cast<sim::Cycles>(ns) * (sim::kCoreHz / 1'000'000) / 1000;
        if (t > now + sim::ms_to_cycles(kMaxLagMs)) {
            rebase(now);
            t = now;
        }
        return t;
    }

private:
    using Clock = std::chrono::steady_clock;
    void rebase(sim::Cycles v)
    {
        wall0_ = Clock::now();
        virt0_ = v;
    }
    Clock::time_point wall0_;
    sim::Cycles virt0_ = 0;
};

// Where the live loop reads: a descriptor and what to do with its bytes.
struct Source {
    int fd;
    std::function<bool(std::string_view)> on_input;   // false: quit
    // For a pty's master: told at every look whether no program holds the
    // far end open (then nothing is read). Without it, a hang-up is the end
    // of input.
    std::function<void(bool)> on_hangup = nullptr;
};

// Runs the board with the wall clock, handing what arrives to the sources'
// handlers, until the run ends (time limit, stop signal, failed write), an
// input ends or a handler says to quit.
void live_loop(Session &s, const std::vector<Source> &sources)
{
    Pacer pacer(s.now());
    std::vector<pollfd> pf(sources.size());
    while (s.run_until(pacer.target(s.now()))) {
        for (size_t i = 0; i < sources.size(); ++i) pf[i] = {sources[i].fd, POLLIN, 0};
        if (poll(pf.data(), pf.size(), kPollMs) < 0) continue;   // a signal: the session decides
        bool hung_up = false;
        for (size_t i = 0; i < sources.size(); ++i) {
            const Source &src = sources[i];
            const short ev = pf[i].revents;
            if (src.on_hangup) {
                src.on_hangup(ev & POLLHUP);
                if (ev & POLLHUP) {
                    hung_up = true;
                    continue;
                }
            }
            if (!(ev & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[512];
            ssize_t n = ::read(src.fd, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0 || !src.on_input(std::string_view(buf, static_cast<size_t>(n)))) return;
        }
        // A pty that nobody holds reports its hang-up at once: wait here.
        if (hung_up) poll(nullptr, 0, kPollMs);
    }
}

// The rate of a console port as the firmware has set it up: the board runs
// (at most 100 ms) until it has.
std::string port_rate(Session &s, int port)
{
    const sim::Usart &usart = s.board().mcu.usart(s.board().wiring.console_usart[port - 1]);
    for (int i = 0; i < 100 && usart.baud() == 0.0 && s.run_for_ms(1.0); ++i) {}
    if (usart.baud() == 0.0) return "not set up by the firmware yet";
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", usart.baud());
    std::string rate = buf;
    if (rate.size() > 2 && rate.compare(rate.size() - 2, 2, ".0") == 0) rate.resize(rate.size() - 2);
    return rate + " baud";
}

std::string acknowledgement(const Session &s, const Directive &d, const std::string &refused)
{
    char when[40];
    std::snprintf(when, sizeof when, "foc-sim: %.3f s  ", s.now_ms() / 1000.0);
    return when + (refused.empty() ? describe(d) : refused);
}

// Lines typed into foc-sim's own console: comments dropped, directives and
// text queued (they are carried out one at a time, as in batch input).
void console_line(Session &s, LineEditor &ed, const std::string &line)
{
    if (is_comment(line)) return;
    bool queued;
    if (line[0] == '#') {
        std::string why;
        auto d = parse_directive(line, why);
        if (!d) {
            ed.message("foc-sim: " + why);
            return;
        }
        queued = s.enqueue(*d);
    } else {
        queued = s.type_line(line);
    }
    if (!queued) ed.message("foc-sim: too many lines waiting; this one is dropped");
}

}  // namespace

int run_terminal(const Options &opt)
{
    catch_stop_signals();
    Session s(opt);
    s.output_port = opt.port;
    const std::string rate = port_rate(s, opt.port);
    std::fprintf(stderr,
                 "foc-sim: the virtual board's USART%d is on this terminal (%s).\n"
                 "  It boots in about 1.2 s; then type help and Enter for its commands.\n"
                 "%s"
                 "  Quit with Ctrl-]%s.\n",
                 opt.port, rate.c_str(),
                 opt.raw_keys ? "  Keys go to the board as typed; the firmware does not echo them.\n"
                              : "  Lines are typed one at a time, --gap-ms apart; Up and Down recall them.\n"
                                "  #button press, #fault on|off, #load MNM, #rotor DEG, #wait MS, #reset\n"
                                "  act on the board.\n",
                 opt.raw_keys ? "" : ", Ctrl-C or Ctrl-D");

    if (!change_terminal([](termios &t) { cfmakeraw(&t); })) {
        std::fprintf(stderr, "foc-sim: stdin is not a terminal: %s\n", std::strerror(errno));
        return 1;
    }
    bool out_ok = true;
    auto write_out = [&](std::string_view o) {
        out_ok = out_ok && write_all(STDOUT_FILENO, o);
        return out_ok;
    };
    if (opt.raw_keys) {
        s.sink = write_out;
        live_loop(s, {{STDIN_FILENO, [&](std::string_view in) {
                           size_t q = in.find(kQuitKey);
                           s.board().type(s.text_port(), in.substr(0, q));
                           return q == std::string_view::npos;
                       }}});
    } else {
        LineEditor ed([&](LineEditor::To to, std::string_view o) {
            if (to == LineEditor::To::Out) write_out(o);
            else write_all(STDERR_FILENO, o);
        }, [&](const std::string &line) { console_line(s, ed, line); });
        s.sink = [&](std::string_view o) {
            ed.output(o);
            return out_ok;
        };
        s.on_directive = [&](const Directive &d, const std::string &refused) {
            ed.message(acknowledgement(s, d, refused));
        };
        live_loop(s, {{STDIN_FILENO, [&](std::string_view in) { return ed.keys(in); }}});
    }
    restore_terminal();
    if (!stop_signal()) std::fprintf(stderr, "\nfoc-sim: stopped at %.3f s of virtual time\n", s.now_ms() / 1000.0);
    return s.finish();
}

int run_pty(const Options &opt)
{
    catch_stop_signals();
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::fprintf(stderr, "foc-sim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const char *name = ptsname(master);
    if (!name) {
        std::fprintf(stderr, "foc-sim: no name for the pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string path = name;
    // Opens the far end for a moment: sets it raw, so that nothing we send is
    // echoed back to us before a program sets the line up its own way (the
    // setting outlives the opening), or throws away what the last program
    // left unread. Once closed, the master reports a hang-up until a program
    // opens the far end.
    auto with_far_end = [&](const std::function<void(int)> &what) {
        int slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (slave < 0) return false;
        what(slave);
        close(slave);
        return true;
    };
    if (!with_far_end([](int slave) {
            termios t{};
            tcgetattr(slave, &t);
            cfmakeraw(&t);
            cfsetispeed(&t, B115200);
            cfsetospeed(&t, B115200);
            tcsetattr(slave, TCSANOW, &t);
        })) {
        std::fprintf(stderr, "foc-sim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    Session s(opt);
    s.output_port = opt.port;
    // Like a serial line: what is sent while no program holds the port, or
    // once the pseudo-terminal's buffer is full, is lost.
    bool connected = false;
    s.sink = [&](std::string_view o) {
        if (connected) write_all(master, o);
        return true;
    };
    const std::string rate = port_rate(s, opt.port);
    const bool keys = isatty(STDIN_FILENO) && change_terminal([](termios &t) {
        t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);   // Ctrl-C stays a signal
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
    });
    std::fprintf(stderr,
                 "foc-sim: USART%d of the virtual board is on %s (%s, 8N1)\n"
                 "  e.g.  picocom %s   or   /usr/bin/python3 -m serial.tools.miniterm %s\n"
                 "  %s%s ends the board.\n",
                 opt.port, path.c_str(), rate.c_str(), path.c_str(), path.c_str(),
                 opt.pace_lines ? "Complete lines are typed one at a time, --gap-ms apart.\n  " : "",
                 keys ? "Ctrl-] or Ctrl-C here (or SIGTERM)" : "SIGINT or SIGTERM");

    std::string line;   // --pace-lines: the line arriving
    std::vector<Source> sources{{master,
                                 [&](std::string_view in) {
                                     if (!opt.pace_lines) {
                                         s.board().type(s.text_port(), in);
                                         return true;
                                     }
                                     for (char c : in) {
                                         if (c != '\r' && c != '\n') {
                                             if (line.size() < LineEditor::kMaxLine) line.push_back(c);
                                         } else if (!line.empty()) {
                                             if (!s.type_line(line))
                                                 std::fprintf(stderr, "foc-sim: too many lines waiting; one is dropped\n");
                                             line.clear();
                                         }
                                     }
                                     return true;
                                 },
                                 [&](bool hung_up) {
                                     if (hung_up && connected) with_far_end([](int slave) { tcflush(slave, TCIFLUSH); });
                                     connected = !hung_up;
                                 }}};
    if (keys)
        sources.push_back({STDIN_FILENO, [](std::string_view in) { return in.find(kQuitKey) == std::string_view::npos; }});
    live_loop(s, sources);
    restore_terminal();
    close(master);
    if (!stop_signal()) std::fprintf(stderr, "foc-sim: stopped at %.3f s of virtual time\n", s.now_ms() / 1000.0);
    return s.finish();
}

}  // namespace app
