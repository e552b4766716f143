// The interactive console's line editor: what it draws, what it hands over
// and when it quits, for keys mixed with the board's output.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/line_editor.hpp"

namespace {

// A step: keys typed, or text from the board (out) or from foc-sim (msg).
struct Step { enum { Keys, Out, Msg } kind; std::string text; };

struct Result {
    std::string screen;   // stdout as written, stderr inside « »
    std::vector<std::string> lines;
    bool quit = false;
};

Result edit(const std::vector<Step> &steps)
{
    Result r;
    app::LineEditor ed(
        [&](app::LineEditor::To to, std::string_view s) {
            r.screen += to == app::LineEditor::To::Err ? "«" + std::string(s) + "»" : std::string(s);
        },
        [&](const std::string &line) { r.lines.push_back(line); });
    for (const Step &s : steps) {
        if (s.kind == Step::Out) ed.output(s.text);
        else if (s.kind == Step::Msg) ed.message(s.text);
        else if (!ed.keys(s.text)) r.quit = true;
    }
    return r;
}

Step keys(std::string k) { return {Step::Keys, std::move(k)}; }
const std::string kUp = "\x1b[A", kDown = "\x1b[B", kUpApp = "\x1bOA";
const std::string kRub = "\b \b";

}  // namespace

// Editing keys that reach the board, a rub-out that leaves characters on the
// screen, a history that skips, loses the draft or repeats, escape sequences
// typed as text, a quit key ignored (or Ctrl-D quitting over a typed line).
TEST(LineEditor, KeysDrawAndHandOverLines)
{
    struct Row { const char *what; std::vector<Step> steps; std::string screen; std::vector<std::string> lines; bool quit; } rows[] = {
        {"backspace", {keys("ab\x7f" "c\r")}, "ab" + kRub + "c\r\n", {"ac"}, false},
        {"ctrl-u", {keys("abc\x15" "d\r")}, "abc" + kRub + kRub + kRub + "d\r\n", {"d"}, false},
        {"empty lines", {keys("\r\n\r")}, "\r\n\r\n\r\n", {}, false},
        {"history", {keys("one\rtwo\rtwo\r" + kUp + kUpApp + kUp + kDown + "\r")},
         "one\r\ntwo\r\ntwo\r\ntwo" + kRub + kRub + kRub + "one" + kRub + kRub + kRub + "two\r\n", {"one", "two", "two", "two"}, false},
        {"draft", {keys("one\rdr" + kUp + kDown + "x\r")}, "one\r\ndr" + kRub + kRub + "one" + kRub + kRub + kRub + "drx\r\n",
         {"one", "drx"}, false},
        {"other sequences", {keys("a\x1b[C\x1b[1;5D\x1bxb\r")}, "ab\r\n", {"ab"}, false},
        {"ctrl-d on a line", {keys("a\x04\r")}, "a\r\n", {"a"}, false},
        {"ctrl-d", {keys("\x04")}, "", {}, true},
        {"ctrl-]", {keys("ab\x1d")}, "ab", {}, true},
        {"ctrl-c", {keys("\x03")}, "", {}, true},
        {"long line", {keys(std::string(1030, 'x') + "\r")}, std::string(1024, 'x') + "\r\n", {std::string(1024, 'x')}, false},
    };
    for (const Row &row : rows) {
        Result r = edit(row.steps);
        EXPECT_EQ(r.screen, row.screen) << row.what;
        EXPECT_EQ(r.lines, row.lines) << row.what;
        EXPECT_EQ(r.quit, row.quit) << row.what;
    }
}

// The line being typed overwritten by the board's output or by foc-sim's
// acknowledgements, or not drawn again below them.
TEST(LineEditor, TypedLineStaysBelowOutputAndMessages)
{
    struct Row { const char *what; std::vector<Step> steps; std::string screen; } rows[] = {
        {"output", {keys("ab"), {Step::Out, "hi\r\n"}, keys("c")}, "ab\r\x1b[Khi\r\nabc"},
        {"partial output", {keys("ab"), {Step::Out, "h"}, {Step::Out, "i\r\n"}}, "ab\r\x1b[Khi\r\nab"},
        {"message", {keys("ab"), {Step::Msg, "ack"}}, "ab\r\x1b[K«ack\r\n»ab"},
        {"message mid-line", {{Step::Out, "h"}, {Step::Msg, "ack"}}, "h«\r\nack\r\n»"},
    };
    for (const Row &row : rows) EXPECT_EQ(edit(row.steps).screen, row.screen) << row.what;
}
