#include "board.hpp"

#include <ucontext.h>

#include <vector>

#include "seam/image.hpp"
#include "stack_switch.hpp"
#include "vectors.h"

namespace sim {

// Runs the native firmware from its reset vector on a stack of its own and
// switches back to the caller whenever virtual time reaches the limit.
class FirmwareRunner {
public:
    explicit FirmwareRunner(Mcu &mcu) : mcu_(mcu), stack_(kStackBytes)
    {
        fw_side_.bottom = stack_.data();
        fw_side_.size = stack_.size();
        mcu_.on_time_passed = [this] {
            if (inside_ && mcu_.now() >= stop_) switch_out();
        };
    }
    ~FirmwareRunner() { mcu_.on_time_passed = nullptr; }

    bool started() const { return started_; }

    void run_until(Cycles t)
    {
        if (mcu_.now() >= t) return;
        if (!started_) {
            getcontext(&fw_);
            fw_.uc_stack.ss_sp = stack_.data();
            fw_.uc_stack.ss_size = stack_.size();
            fw_.uc_link = &back_;
            makecontext(&fw_, &FirmwareRunner::entry, 0);
            started_ = true;
        }
        if (ended_) {
            mcu_.advance_to(t);
            return;
        }
        stop_ = t;
        mcu_.horizon = t;
        current_ = this;
        inside_ = true;
        leaving_stack(host_side_, fw_side_);
        swapcontext(&back_, &fw_);
        arrived_on_stack(host_side_, fw_side_);
        inside_ = false;
        mcu_.horizon = kNever;
    }

private:
    static constexpr size_t kStackBytes = 1 << 20;

    static void entry()
    {
        arrived_on_stack(current_->fw_side_, current_->host_side_);
        g_pfnVectors.handler[0]();   // the reset vector; it never returns
        current_->ended_ = true;
        current_->inside_ = false;
        leaving_stack(current_->fw_side_, current_->host_side_, true);
    }

    void switch_out()
    {
        inside_ = false;
        leaving_stack(fw_side_, host_side_);
        swapcontext(&fw_, &back_);
        arrived_on_stack(fw_side_, host_side_);
        inside_ = true;
    }

    static inline FirmwareRunner *current_ = nullptr;
    Mcu &mcu_;
    std::vector<char> stack_;
    ucontext_t fw_{}, back_{};
    StackSide fw_side_, host_side_;
    Cycles stop_ = 0;
    bool started_ = false, ended_ = false, inside_ = false;
};

static Board *g_board = nullptr;

Board::Board(const PlantParams &params, uint64_t seed) : plant(mcu, params, seed), seed_(seed)
{
    if (g_board) fail("only one virtual board can run the firmware at a time");
    g_board = this;
    mcu.set_io(&plant);
    plant.on_uart_tx = [this](int port, uint8_t byte) {
        out_[port - 1].push_back(static_cast<char>(byte));
        if (on_output) on_output(port, byte);
    };
    for (int i = 0; i < 2; ++i) {
        feed_[i].fire = [this, i] { feed(i + 1); };
        mcu.add_event(feed_[i]);
    }
    power_on();
}

Board::~Board()
{
    runner_.reset();
    g_board = nullptr;
}

void Board::power_on()
{
    runner_.reset();
    restore_firmware_image();
    mcu.reset();
    mcu.make_active();
    plant.reset(seed_);
    for (int i = 0; i < 2; ++i) {
        in_[i].clear();
        out_[i].clear();
    }
    runner_ = std::make_unique<FirmwareRunner>(mcu);
}

bool Board::firmware_started() const { return runner_->started(); }

void Board::run_until(Cycles t)
{
    mcu.make_active();
    runner_->run_until(t);
}

// The typist's side of the line: 115200 baud, 8N1, one byte after another.
static constexpr Cycles kTypedCharCycles = Cycles{kCoreHz} / 115200 * 10;

void Board::type(int port, std::string_view bytes)
{
    auto &q = in_[port - 1];
    for (char c : bytes) q.push_back(static_cast<uint8_t>(c));
    if (feed_[port - 1].due == kNever && !q.empty()) mcu.schedule(feed_[port - 1], mcu.now() + kTypedCharCycles);
}

bool Board::typing(int port) const { return !in_[port - 1].empty(); }

void Board::feed(int port)
{
    auto &q = in_[port - 1];
    if (q.empty()) return;
    (port == 1 ? mcu.usart1 : mcu.usart2).receive(q.front());
    q.pop_front();
    if (!q.empty()) mcu.schedule(feed_[port - 1], mcu.now() + kTypedCharCycles);
}

std::string Board::take_output(int port)
{
    std::string s;
    s.swap(out_[port - 1]);
    return s;
}

void Board::set_button(bool pressed) { mcu.gpioc.drive(8, pressed ? 0 : -1); }
void Board::set_fault(bool low) { mcu.gpiob.drive(0, low ? 0 : -1); }

}  // namespace sim
