// A run of foc-sim in process: the queue of lines and directives, and the
// output handed on in pieces while virtual time passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/session.hpp"

namespace {

const std::string kHelpEnd = "=================\r\n\r\n";

std::string after_boot(const std::string &out)
{
    const size_t p = out.find(kHelpEnd);
    return p == std::string::npos ? "<no boot transcript>" : out.substr(p + kHelpEnd.size());
}

}  // namespace

// Pasted lines overwriting each other in the firmware (typed together), a
// gap not counted from the CR, a directive jumping ahead of the lines queued
// before it.
TEST(Session, QueuedLinesAndDirectivesTakeTurns)
{
    app::Session s(app::Options{});
    std::string out;
    std::vector<std::string> answers;
    s.sink = [&](std::string_view o) { out += o; return true; };
    s.on_directive = [&](const app::Directive &, const std::string &refused) { answers.push_back(refused); };
    for (const char *line : {"vq 100", "vq 200", "vq 300", "vq 400", "vq 500", "ON"}) EXPECT_TRUE(s.type_line(line));
    EXPECT_TRUE(s.enqueue({app::Directive::Wait, 50.0}));
    EXPECT_TRUE(s.enqueue({app::Directive::Rotor, 90.0}));   // behind ON: the bridge is on by now
    EXPECT_TRUE(s.busy());
    EXPECT_TRUE(s.run_queue());
    EXPECT_EQ(after_boot(out), "vq=100\r\nvq=200\r\nvq=300\r\nvq=400\r\nvq=500\r\nSTARTED\r\n");
    EXPECT_EQ(answers, (std::vector<std::string>{"", "#rotor: the bridge is enabled; stop the motor first"}));
    // The boot, then each line's characters (7 or 3) and its 100 ms gap,
    // then the wait; the board stops a few cycles after each CR.
    const double ch = sim::cycles_to_ms(sim::kTypedCharCycles);
    EXPECT_NEAR(s.now_ms(), 1500.0 + 5 * (7 * ch + 100.0) + (3 * ch + 100.0) + 50.0, 0.005);
}

// Output held back for the whole of a run (memory that grows with a long
// wait), or a port nobody listens to piling up its output on the board.
TEST(Session, OutputComesInPiecesOfAFewMilliseconds)
{
    app::Options opt;
    opt.port = 2;
    app::Session s(opt);
    s.output_port = 2;
    std::string out;
    size_t biggest = 0, pieces = 0;
    s.sink = [&](std::string_view o) {
        out += o;
        biggest = std::max(biggest, o.size());
        ++pieces;
        return true;
    };
    s.type_line("help");
    s.enqueue({app::Directive::Wait, 1000.0});
    s.run_queue();
    EXPECT_NE(after_boot(out).find(kHelpEnd), std::string::npos) << "the help typed, all of it";
    EXPECT_GT(pieces, 80u) << "two help texts of 0.2 s each";
    EXPECT_LE(biggest, 64u) << "5 ms at 115384 baud: 58 bytes";
    EXPECT_LE(s.board().output(1).size(), 64u) << "the other port's output piles up";
}
