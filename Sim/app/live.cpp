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

#include "modes.hpp"

namespace app {

namespace {

volatile std::sig_atomic_t g_stop = 0;
bool g_raw = false;
termios g_saved{};

constexpr char kQuitKey = 0x1D;   // Ctrl-]
constexpr char kCtrlC = 0x03;
constexpr char kCtrlU = 0x15;
constexpr int kPollMs = 1;
// Behind the wall clock by more than this (the process was stopped, or the
// machine is too slow), the board does not race to catch up: time slips.
constexpr double kMaxLagMs = 100.0;

void restore_terminal()
{
    if (g_raw) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_saved);
        g_raw = false;
    }
}

void on_stop_signal(int) { g_stop = 1; }

void on_fatal_signal(int sig)
{
    restore_terminal();
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

void install_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaction(sig, &sa, nullptr);
    sa.sa_handler = on_fatal_signal;
    sa.sa_flags = SA_RESETHAND;
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigaction(sig, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

void write_all(int fd, std::string_view s)
{
    while (!s.empty()) {
        ssize_t n = ::write(fd, s.data(), s.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        s.remove_prefix(static_cast<size_t>(n));
    }
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

// Runs the board with the wall clock, handing whatever arrives on in_fd to
// on_input, until a stop signal, the end time, or on_input says to quit.
void live_loop(Session &s, int in_fd, const std::function<bool(std::string_view)> &on_input)
{
    Pacer pacer(s.board().mcu.now());
    while (!g_stop) {
        sim::Cycles now = s.board().mcu.now();
        if (!s.run_until(pacer.target(now))) break;
        pollfd pf{in_fd, POLLIN, 0};
        int r = poll(&pf, 1, kPollMs);
        if (r <= 0 || !(pf.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        char buf[512];
        ssize_t n = ::read(in_fd, buf, sizeof buf);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;   // end of input
        if (!on_input(std::string_view(buf, static_cast<size_t>(n)))) break;
    }
}

// The operator's side of the terminal: a line editor with local echo that
// keeps the line being typed below the board's output.
class LineEditor {
public:
    LineEditor(Session &s, int out_fd) : s_(s), fd_(out_fd) {}

    void output(std::string_view o)
    {
        if (shown_ && !line_.empty() && shown_at_bol_) write_all(fd_, "\r\x1b[K");
        shown_ = false;
        write_all(fd_, o);
        out_bol_ = o.back() == '\n';
        if (out_bol_ && !line_.empty()) show();
    }

    // Returns false when the operator quits.
    bool keys(std::string_view in)
    {
        for (char c : in) {
            if (esc_ != 0) {   // swallow the rest of an escape sequence (arrows, function keys)
                if (esc_ == 1) esc_ = (c == '[' || c == 'O') ? 2 : 0;
                else if (c >= 0x40 && c <= 0x7E) esc_ = 0;
                continue;
            }
            if (c == kQuitKey || c == kCtrlC) return false;
            if (c == 0x1B) esc_ = 1;
            else if (c == '\r' || c == '\n') enter();
            else if (c == 0x7F || c == 0x08) {
                if (!line_.empty()) {
                    line_.pop_back();
                    if (shown_) write_all(fd_, "\b \b");
                }
            } else if (c == kCtrlU) {
                if (shown_)
                    for (size_t i = 0; i < line_.size(); ++i) write_all(fd_, "\b \b");
                line_.clear();
            } else if (c >= 0x20 && c <= 0x7E) {
                line_.push_back(c);
                if (shown_) write_all(fd_, std::string_view(&c, 1));
                else show();
            }
        }
        return true;
    }

private:
    void show()
    {
        write_all(fd_, line_);
        shown_ = true;
        shown_at_bol_ = out_bol_;
    }

    void enter()
    {
        std::string line;
        line.swap(line_);
        if (!shown_ && !line.empty()) show();
        write_all(fd_, "\r\n");
        shown_ = false;
        out_bol_ = true;
        if (line.empty() || line[0] != '#') {
            line.push_back('\r');
            s_.board().type(s_.text_port(), line);
            return;
        }
        std::string why;
        auto d = parse_directive(line, why);
        if (d && d->kind == Directive::Wait) {
            why = "#wait belongs to batch input; here time runs with the clock";
            d.reset();
        }
        if (d && s_.apply(*d, why)) return;
        write_all(fd_, "foc-sim: " + why + "\r\n");
    }

    Session &s_;
    int fd_;
    std::string line_;
    bool shown_ = false, shown_at_bol_ = false, out_bol_ = true;
    int esc_ = 0;
};

}  // namespace

int run_terminal(const Options &opt)
{
    install_signals();
    Session s(opt);
    s.output_port = opt.port;
    std::fprintf(stderr,
                 "foc-sim: the virtual board's USART%d is on this terminal (115200 baud).\n"
                 "  It boots in about 1.2 s; then type help and Enter for its commands.\n"
                 "%s"
                 "  Quit with Ctrl-]%s.\n",
                 opt.port,
                 opt.raw_keys ? "  Keys go to the board as typed; the firmware does not echo them.\n"
                              : "  #button press, #fault on|off, #load MNM, #rotor DEG act on the board.\n",
                 opt.raw_keys ? "" : " or Ctrl-C");

    if (tcgetattr(STDIN_FILENO, &g_saved) != 0) {
        std::fprintf(stderr, "foc-sim: stdin is not a terminal: %s\n", std::strerror(errno));
        return 1;
    }
    termios raw = g_saved;
    cfmakeraw(&raw);
    std::atexit(restore_terminal);
    g_raw = true;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);

    if (opt.raw_keys) {
        s.sink = [](std::string_view o) { write_all(STDOUT_FILENO, o); };
        live_loop(s, STDIN_FILENO, [&](std::string_view in) {
            size_t q = in.find(kQuitKey);
            s.board().type(s.text_port(), in.substr(0, q));
            return q == std::string_view::npos;
        });
    } else {
        LineEditor ed(s, STDOUT_FILENO);
        s.sink = [&](std::string_view o) { ed.output(o); };
        live_loop(s, STDIN_FILENO, [&](std::string_view in) { return ed.keys(in); });
    }
    restore_terminal();
    std::fprintf(stderr, "\nfoc-sim: stopped at %.3f s of virtual time\n", s.now_ms() / 1000.0);
    return 0;
}

int run_pty(const Options &opt)
{
    install_signals();
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
    std::string path = name;
    // Hold the far end open ourselves, in raw mode: reads do not fail while no
    // program has it open, and nothing we send is echoed back to us before a
    // program sets the line up its own way.
    int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        std::fprintf(stderr, "foc-sim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return 1;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    Session s(opt);
    s.output_port = opt.port;
    // Like a serial line: what nobody reads is lost once the pseudo-terminal's
    // buffer is full.
    s.sink = [master](std::string_view o) {
        while (!o.empty()) {
            ssize_t n = ::write(master, o.data(), o.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            o.remove_prefix(static_cast<size_t>(n));
        }
    };
    std::fprintf(stderr,
                 "foc-sim: USART%d of the virtual board is on %s (115200 8N1)\n"
                 "  e.g.  picocom %s   or   python3 -m serial.tools.miniterm %s\n"
                 "  Ctrl-C here (or SIGTERM) ends the board.\n",
                 opt.port, path.c_str(), path.c_str(), path.c_str());
    live_loop(s, master, [&](std::string_view in) {
        s.board().type(s.text_port(), in);
        return true;
    });
    close(slave);
    close(master);
    std::fprintf(stderr, "foc-sim: stopped at %.3f s of virtual time\n", s.now_ms() / 1000.0);
    return 0;
}

}  // namespace app
