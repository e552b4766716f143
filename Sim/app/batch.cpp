// Batch mode: virtual time as fast as it goes, driven by the lines of stdin;
// USART1's output to stdout, byte for byte, as it is sent, and nothing else.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "modes.hpp"
#include "process.hpp"

namespace app {

int run_batch(const Options &opt)
{
    catch_stop_signals();
    Session s(opt);
    s.output_port = 1;
    s.sink = [](std::string_view bytes) { return write_all(STDOUT_FILENO, bytes); };
    std::string refused;
    s.on_directive = [&](const Directive &, const std::string &why) { refused = why; };

    char *buf = nullptr;
    size_t cap = 0;
    long lineno = 0;
    std::string error;
    // Each line waits until the one before has had its time (the first, the boot).
    while (s.run_queue()) {
        ssize_t n = getline(&buf, &cap, stdin);
        if (n < 0) break;   // the end of input, or a stop signal
        ++lineno;
        std::string line(buf, static_cast<size_t>(n));
        if (!line.empty() && line.back() == '\n') line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (is_comment(line)) continue;
        if (line.empty() || line[0] != '#') {
            s.type_line(line);
            continue;
        }
        auto d = parse_directive(line, error);
        if (!d) break;
        s.enqueue(*d);
        if (!refused.empty()) {
            error = refused;
            break;
        }
    }
    std::free(buf);

    if (error.empty() && !s.ended()) {
        if (s.end_time() != sim::kNever) s.run_until(s.end_time());
        else s.run_for_ms(opt.linger_ms);
    }
    const int status = s.finish();
    if (error.empty()) return status;
    std::fprintf(stderr, "foc-sim: stdin line %ld: %s\n", lineno, error.c_str());
    return 2;
}

}  // namespace app
