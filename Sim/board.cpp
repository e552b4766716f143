#include "board.hpp"

namespace sim {

Board::Board(const PlantParams &params, uint64_t seed, const CpuFactory &make_cpu)
    : plant(mcu, params, seed), seed_(seed)
{
    mcu.set_io(&plant);
    plant.on_uart_tx = [this](int port, uint8_t byte) {
        out_[port - 1].push_back(static_cast<char>(byte));
        if (on_output) on_output(port, byte);
    };
    for (int i = 0; i < 2; ++i) feed_[i].attach(mcu, [this, i] { feed(i + 1); });
    cpu_ = make_cpu(mcu);
    power_on();
}

Board::~Board() = default;

void Board::power_on()
{
    cpu_->reset();
    mcu.reset();
    plant.reset(seed_);
    for (int i = 0; i < 2; ++i) {
        in_[i].clear();
        out_[i].clear();
    }
}

NativeCpu &Board::native()
{
    auto *n = dynamic_cast<NativeCpu *>(cpu_.get());
    if (!n) fail(std::string("this board runs the ") + cpu_->name() + " CPU, not the native firmware");
    return *n;
}

// The typist's side of the line: 115200 baud, 8N1, one byte after another.
static constexpr Cycles kTypedCharCycles = kCoreHz / 115200 * 10;

void Board::type(int port, std::string_view bytes)
{
    auto &q = in_[port - 1];
    for (char c : bytes) q.push_back(static_cast<uint8_t>(c));
    if (feed_[port - 1].due() == kNever && !q.empty()) mcu.schedule(feed_[port - 1], mcu.now() + kTypedCharCycles);
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
