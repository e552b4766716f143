// The operator's side of the interactive console: a line editor with local
// echo, Backspace, Ctrl-U and a history on Up and Down, that keeps the line
// being typed below the board's output and foc-sim's own messages. Enter
// hands the line over; the board sees nothing of the editing.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace app {

class LineEditor {
public:
    enum class To { Out, Err };   // the board's output, foc-sim's messages
    using Write = std::function<void(To, std::string_view)>;
    using OnLine = std::function<void(const std::string &)>;

    LineEditor(Write write, OnLine on_line) : write_(std::move(write)), on_line_(std::move(on_line)) {}

    // What the board sends.
    void output(std::string_view bytes);
    // A line of foc-sim's own (without its line end).
    void message(std::string_view line);
    // Keystrokes. Returns false when the operator quits: Ctrl-] or Ctrl-C, or
    // Ctrl-D on an empty line.
    bool keys(std::string_view keys);

    static constexpr size_t kMaxLine = 1024;   // longer lines lose their tail; the firmware keeps 63 characters
    static constexpr size_t kHistory = 100;

private:
    void show();
    void hide();
    void erase();
    void replace(const std::string &line);
    void enter();
    void history_step(int step);

    Write write_;
    OnLine on_line_;
    std::string line_;
    bool shown_ = false, shown_at_bol_ = false, out_bol_ = true;
    int esc_ = 0;   // 1 after ESC, 2 inside a control sequence
    std::vector<std::string> history_;
    size_t pos_ = 0;      // the history entry shown; history_.size() for the line being written
    std::string draft_;   // the line being written while the history is shown
};

}  // namespace app
