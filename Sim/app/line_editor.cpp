#include "line_editor.hpp"

namespace app {

namespace {
constexpr char kQuitKey = 0x1D;   // Ctrl-]
constexpr char kCtrlC = 0x03, kCtrlD = 0x04, kCtrlU = 0x15, kEsc = 0x1B;
}  // namespace

void LineEditor::show()
{
    write_(To::Out, line_);
    shown_ = true;
    shown_at_bol_ = out_bol_;
}

// Takes the typed line off the screen before other text is written. A line
// typed after a partial line of output cannot be taken off alone: it stays,
// and is shown again below once the output has ended its line.
void LineEditor::hide()
{
    if (shown_ && !line_.empty() && shown_at_bol_) write_(To::Out, "\r\x1b[K");
    shown_ = false;
}

void LineEditor::output(std::string_view bytes)
{
    if (bytes.empty()) return;
    hide();
    write_(To::Out, bytes);
    out_bol_ = bytes.back() == '\n';
    if (out_bol_ && !line_.empty()) show();
}

void LineEditor::message(std::string_view line)
{
    hide();
    std::string text = out_bol_ ? "" : "\r\n";
    text.append(line).append("\r\n");
    write_(To::Err, text);
    out_bol_ = true;
    if (!line_.empty()) show();
}

void LineEditor::erase()
{
    if (shown_) {
        std::string rub;
        for (size_t i = 0; i < line_.size(); ++i) rub += "\b \b";
        write_(To::Out, rub);
    }
    line_.clear();
}

void LineEditor::replace(const std::string &line)
{
    erase();
    line_ = line;
    if (line_.empty()) return;
    if (shown_) write_(To::Out, line_);
    else show();
}

void LineEditor::history_step(int step)
{
    if (step < 0 && pos_ == 0) return;
    if (step > 0 && pos_ >= history_.size()) return;
    if (pos_ == history_.size()) draft_ = line_;
    pos_ += step;
    replace(pos_ == history_.size() ? draft_ : history_[pos_]);
}

void LineEditor::enter()
{
    if (!shown_ && !line_.empty()) show();
    std::string line;
    line.swap(line_);
    write_(To::Out, "\r\n");
    shown_ = false;
    out_bol_ = true;
    if (!line.empty() && (history_.empty() || history_.back() != line)) {
        history_.push_back(line);
        if (history_.size() > kHistory) history_.erase(history_.begin());
    }
    pos_ = history_.size();
    draft_.clear();
    if (!line.empty()) on_line_(line);
}

bool LineEditor::keys(std::string_view keys)
{
    for (char c : keys) {
        if (esc_ == 1) {   // ESC [ or ESC O opens a control sequence; any other key after ESC is dropped
            esc_ = (c == '[' || c == 'O') ? 2 : 0;
            continue;
        }
        if (esc_ == 2) {   // parameters until the final byte: A is Up, B is Down
            if (c >= 0x40 && c <= 0x7E) {
                esc_ = 0;
                if (c == 'A') history_step(-1);
                if (c == 'B') history_step(+1);
            }
            continue;
        }
        if (c == kQuitKey || c == kCtrlC || (c == kCtrlD && line_.empty())) return false;
        if (c == kEsc) esc_ = 1;
        else if (c == '\r' || c == '\n') enter();
        else if (c == 0x7F || c == 0x08) {
            if (!line_.empty()) {
                line_.pop_back();
                if (shown_) write_(To::Out, "\b \b");
            }
        } else if (c == kCtrlU) erase();
        else if (c >= 0x20 && c <= 0x7E && line_.size() < kMaxLine) {
            line_.push_back(c);
            if (shown_) write_(To::Out, std::string_view(&c, 1));
            else show();
        }
    }
    return true;
}

}  // namespace app
