#include "options.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "cpu/emulated_cpu.hpp"
#include "plant/plant.hpp"
#include "process.hpp"

namespace app {

static const char kUsage[] = R"(Usage: foc-sim [options]

Boots the FOC controller firmware on a virtual board (STM32F103RC, MP6540
bridge, 6-pole-pair motor, MA600A angle sensor, MCS1805 current sensor,
button) and connects you to its serial console (115200 baud, commands end
with Enter; type "help" once the board has booted, about 1.2 s).

Ways to run:
  (on a terminal)      Interactive: virtual time runs with the wall clock, what
                       you type goes to USART1, USART1's output is shown.
                       Lines are edited locally (echo, Backspace, Ctrl-U,
                       Up/Down for earlier lines) and sent with Enter. They
                       are typed one at a time like batch lines: each waits
                       until the one before has been received and --gap-ms
                       has passed (the firmware takes one line per
                       millisecond, so lines pasted at once are not lost).
                       Lines starting with '#' are board directives and
                       comments as in batch input (below), acknowledged on
                       stderr. Ctrl-], Ctrl-C, or Ctrl-D on an empty line quits.
  --raw-keys           Interactive without local editing: every keystroke goes
                       to the port as it is typed, nothing is echoed (the
                       firmware does not echo). Ctrl-] quits.
  --pty                Creates a pseudo-terminal and prints its path on stderr;
                       open it with picocom, screen or pyserial as you would
                       the board's serial port. Paced to the wall clock. As on
                       a serial line, what the board sends while no program
                       has the port open is lost, and lines that arrive
                       together overwrite each other in the firmware. Runs
                       until Ctrl-] or Ctrl-C in foc-sim's window, SIGTERM or
                       --until-ms.
  --pace-lines         With --pty: hold what arrives until a line is complete
                       (CR or LF) and type complete lines one at a time,
                       --gap-ms apart, as the interactive console does.
  --batch              Batch mode, the default when stdin is not a terminal
                       (contract below).
  --bench              Benchmark: boots, starts mode 3 (vq 300, rpm 300) with the 4 kHz
                       control tick and reports simulated seconds per wall
                       second. --bench-s S sets the running time (default 10).
  --cost               With --image: the cost report of the image (cycles of
                       the control tick per mode, where they go, the share of
                       the period at each rate, stack depth, memory) on stdout.

Options:
  --image FILE.elf     Run the chip image (the firmware.elf that is flashed) on
                       an emulated Cortex-M3, its time counted in the core's own
                       cycles, instead of the firmware built for this computer.
                       Every way of running above takes it.
  --port N             Serial port (1 or 2) of the terminal or pseudo-terminal
                       (default 1). Batch: the port text lines start on.
  --gap-ms MS          Board time after the CR of a typed line has been
                       received before the next line is typed (default 100):
                       batch input, the interactive console, --pty --pace-lines.
  --linger-ms MS       Batch: board time after the end of input (default 100).
  --until-ms MS        End the run at this virtual time, whatever input
                       remains; if input ends earlier, run on until then.
  --seed N             Seed of every random source of the plant (default 1).
  --set NAME=VALUE     Set a plant parameter (repeatable); list below.
  --trace FILE.csv     Write a CSV row of plant and firmware state every
                       millisecond of virtual time (header row names the
                       columns with their units). tools/plot draws it.
  --trace-every MS     Trace row interval (default 1).
  -h, --help           This text.

Batch mode (stdin is read line by line, USART1's output goes to stdout byte
for byte and nothing else does; messages go to stderr):
  The board powers on at virtual time 0 and runs to 1500 ms before the first
  line is read. Each line (LF-terminated; a CR before the LF is dropped) is
  a comment, a directive or text:
    # ...              a comment ('#' alone, or '#' and a space): skipped
    #wait N            run N more ms
    #button press      button held 100 ms, then released (the release itself
                       takes 51 ms to be debounced: wait before pressing again)
    #button down|up    press or release the button and leave it so
    #fault on|off      the bridge's nFault line low / released
    #load X            load torque on the shaft, mN*m, signed (load_mnm's range)
    #rotor D           place the rotor at D mechanical degrees (only while the
                       bridge is disabled)
    #port 1|2          serial port that following text lines are typed on
    #reset             power-on reset of the board: the firmware boots again
                       (its boot transcript follows on stdout) and the next
                       line waits 1500 ms; virtual time and the trace go on,
                       the load stays, button and nFault are released
    any other '#' line is an error: message on stderr, exit status 2.
  Any other line is typed: its bytes, then CR, one byte per character time at
  115200 baud. Once the CR has been received, the board runs --gap-ms more,
  then the next line is read. At the end of input the board runs --linger-ms
  more and foc-sim exits with 0. Output reaches stdout as virtual time
  passes (every few ms of it), also during a long #wait. The same input and
  options give the same output, byte for byte. Examples: examples/*.txt.

Exit status:
  0    the run ended (end of input, --until-ms, a quit key)
  1    a write of the output or the trace failed (a full disk, a closed
       pipe), a pseudo-terminal could not be made, or the motor model's
       state stopped being finite
  2    a bad option, plant parameter or directive, or options that do not
       go together
  SIGINT, SIGTERM, SIGHUP: the board runs on until the line being sent is
       complete (at most 100 ms), the output and the trace are written out,
       stderr names the virtual time, and foc-sim ends by the same signal
       (a shell shows 128 + its number: 130, 143, 129)

Plant parameters (--set NAME=VALUE):
)";

[[noreturn]] static void usage_error(const std::string &msg)
{
    std::fprintf(stderr, "foc-sim: %s (try --help)\n", msg.c_str());
    std::exit(2);
}

// Longest stretch of virtual time an option may name: about 11 days, far
// inside what the cycle counter holds.
static constexpr double kMaxMs = 1e9;

static double number(const char *opt, const char *text, double min, double max = kMaxMs)
{
    errno = 0;
    char *end = nullptr;
    double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(v) || v < min || v > max)
        usage_error(std::string(opt) + ": bad number '" + text + "'");
    return v;
}

// Settles the way of running (the interactive console when no way is named
// and stdin is a terminal) and refuses options that have no meaning in it:
// an error, not a silent choice.
static void settle_way_of_running(Options &o, const std::vector<std::string_view> &given)
{
    auto has = [&](std::string_view opt) { return std::find(given.begin(), given.end(), opt) != given.end(); };
    const char *ways[] = {"--batch", "--pty", "--bench", "--cost"};
    const char *way = nullptr;
    for (const char *w : ways) {
        if (!has(w)) continue;
        if (way) usage_error(std::string(way) + " and " + w + " exclude each other");
        way = w;
    }
    const bool terminal = !way && isatty(STDIN_FILENO);
    if (terminal) o.kind = RunKind::Terminal;
    const char *here = way ? way : terminal ? "the interactive console" : "batch input (stdin is not a terminal)";
    // Each option and the ways of running in which it means something.
    const bool batch = o.kind == RunKind::Batch, pty = o.kind == RunKind::Pty, bench = o.kind == RunKind::Bench,
               cost = o.kind == RunKind::Cost;
    const struct { const char *opt; bool fits; const char *is_for; } scopes[] = {
        {"--raw-keys", terminal, "the interactive console (stdin a terminal, no --batch or --pty)"},
        {"--pace-lines", pty, "--pty"},
        {"--gap-ms", batch || (terminal && !o.raw_keys) || (pty && o.pace_lines),
         "typed lines: batch input, the interactive console without --raw-keys, --pty --pace-lines"},
        {"--linger-ms", batch, "batch input"},
        {"--bench-s", bench, "--bench"},
        {"--port", !bench && !cost, "a console (--bench types on port 1)"},
        {"--until-ms", !bench && !cost, "a console (--bench runs for --bench-s)"},
    };
    for (const auto &s : scopes)
        if (has(s.opt) && !s.fits) usage_error(std::string(s.opt) + " is for " + s.is_for + ", not for " + here);
    if (has("--trace-every") && o.trace_path.empty()) usage_error("--trace-every needs --trace");
}

Options parse_options(int argc, char **argv)
{
    Options o;
    std::vector<std::string_view> given;   // the options on the command line
    for (int i = 1; i < argc; ++i) {
        std::string_view a = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 >= argc) usage_error(std::string(a) + " needs a value");
            return argv[++i];
        };
        given.push_back(a);
        if (a == "-h" || a == "--help") {
            std::fputs(kUsage, stdout);
            std::fputs(sim::PlantParams::help().c_str(), stdout);
            std::exit(flush_stdout());
        } else if (a == "--batch") {
            o.kind = RunKind::Batch;
        } else if (a == "--pty") {
            o.kind = RunKind::Pty;
        } else if (a == "--bench") {
            o.kind = RunKind::Bench;
        } else if (a == "--cost") {
            o.kind = RunKind::Cost;
        } else if (a == "--raw-keys") {
            o.raw_keys = true;
        } else if (a == "--pace-lines") {
            o.pace_lines = true;
        } else if (a == "--port") {
            const char *v = value();
            if (std::strcmp(v, "1") != 0 && std::strcmp(v, "2") != 0) usage_error("--port: 1 or 2");
            o.port = v[0] - '0';
        } else if (a == "--gap-ms") {
            o.gap_ms = number("--gap-ms", value(), 0.0);
        } else if (a == "--linger-ms") {
            o.linger_ms = number("--linger-ms", value(), 0.0);
        } else if (a == "--until-ms") {
            o.until_ms = number("--until-ms", value(), 0.0);
        } else if (a == "--bench-s") {
            o.bench_s = number("--bench-s", value(), 0.001, kMaxMs / 1000);
        } else if (a == "--seed") {
            const char *v = value();
            errno = 0;
            char *end = nullptr;
            unsigned long long s = std::strtoull(v, &end, 0);
            if (end == v || *end != '\0' || errno != 0 || v[0] == '-') usage_error(std::string("--seed: bad number '") + v + "'");
            o.seed = s;
        } else if (a == "--set") {
            std::string_view s = value();
            auto eq = s.find('=');
            if (eq == std::string_view::npos || eq == 0) usage_error("--set " + std::string(s) + ": NAME=VALUE expected");
            std::string why = o.plant.set(s.substr(0, eq), s.substr(eq + 1));
            if (!why.empty()) usage_error("--set: " + why);
        } else if (a == "--image") {
            std::string why;
            o.image_path = value();
            o.image = sim::load_image(o.image_path, why);
            if (!o.image) usage_error("--image " + why);
        } else if (a == "--trace") {
            o.trace_path = value();
        } else if (a == "--trace-every") {
            o.trace_every_ms = number("--trace-every", value(), 0.01);
        } else {
            usage_error("unknown option '" + std::string(a) + "'");
        }
    }
    // The plant's figures hold only together (the step against L/R, ...):
    // checked once all of them are known, whatever the order of the options.
    std::string why = o.plant.check();
    if (!why.empty()) usage_error("--set: " + why);
    settle_way_of_running(o, given);
    if (o.kind == RunKind::Cost && !o.image) usage_error("--cost reports on a chip image: give it with --image");
    return o;
}

}  // namespace app
