// Batch mode: virtual time as fast as it goes, driven by the lines of stdin;
// USART1's output to stdout, byte for byte, and nothing else.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "modes.hpp"

namespace app {

static constexpr double kBootMs = 1500.0;

int run_batch(const Options &opt)
{
    Session s(opt);
    s.output_port = 1;
    s.sink = [](std::string_view bytes) { std::fwrite(bytes.data(), 1, bytes.size(), stdout); };

    s.run_until(sim::ms_to_cycles(kBootMs));

    char *buf = nullptr;
    size_t cap = 0;
    long lineno = 0;
    while (!s.ended()) {
        // Whoever drives us through pipes sees every reply before we wait.
        std::fflush(stdout);
        ssize_t n = getline(&buf, &cap, stdin);
        if (n < 0) break;
        ++lineno;
        std::string line(buf, static_cast<size_t>(n));
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();

        if (!line.empty() && line[0] == '#') {
            std::string why;
            auto d = parse_directive(line, why);
            if (d && !s.apply(*d, why)) d.reset();
            if (!d) {
                std::fflush(stdout);
                std::fprintf(stderr, "foc-sim: stdin line %ld: %s\n", lineno, why.c_str());
                std::free(buf);
                return 2;
            }
            if (d->kind == Directive::ButtonPress) s.run_for_ms(kButtonPressMs);
            continue;
        }
        line.push_back('\r');
        if (s.type_and_wait(s.text_port(), line)) s.run_for_ms(opt.gap_ms);
    }
    std::free(buf);

    if (!s.ended()) {
        if (s.end_time() != sim::kNever) s.run_until(s.end_time());
        else s.run_for_ms(opt.linger_ms);
    }
    if (std::fflush(stdout) != 0) return 1;
    return 0;
}

}  // namespace app
