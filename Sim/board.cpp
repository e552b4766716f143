#include "board.hpp"

namespace sim {

Board::Board(const PlantParams &params, uint64_t seed, const CpuFactory &make_cpu)
    : plant(mcu, params, seed), seed_(seed)
{
    mcu.set_io(this);
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

Board::Snapshot Board::save()
{
    Snapshot s{native().save_state(), {}};
    StateArchive a = StateArchive::writer(s.models);
    archive(a);
    return s;
}

void Board::restore(const Snapshot &s)
{
    native().restore_state(*s.cpu);
    StateArchive a = StateArchive::reader(s.models);
    archive(a);
    if (!a.at_end()) fail("a snapshot with more in it than this board reads back");
}

void Board::archive(StateArchive &a)
{
    mcu.archive(a);
    plant.archive(a);
    a(in_[0], in_[1], feed_[0], feed_[1], out_[0], out_[1]);
}

NativeCpu &Board::native()
{
    auto *n = dynamic_cast<NativeCpu *>(cpu_.get());
    if (!n) fail(std::string("this board runs the ") + cpu_->name() + " CPU, not the native firmware");
    return *n;
}

// ---------------------------------------------------------------- the chip's pins and buses

void Board::pin_changed(Pin pin, PinDrive drive)
{
    if (pin == wiring.sensor_cs) plant.sensor.chip_select(drive.driven && drive.level < 0.5f);
    const double bridge_level = drive.driven ? drive.level : 0.0;
    for (int k = 0; k < 3; ++k) {
        if (pin == wiring.bridge_in[k]) plant.set_bridge_input(Plant::kInA + k, bridge_level);
        if (pin == wiring.bridge_en[k]) plant.set_bridge_input(Plant::kEnA + k, bridge_level);
    }
    if (pin == wiring.bridge_nsleep) plant.set_bridge_input(Plant::kNSleep, bridge_level);
}

float Board::pin_volts(Pin pin) { return pin == wiring.current_sense ? plant.current_sense_volts() : 0.0f; }

void Board::spi_frame_begins(int spi)
{
    if (spi == wiring.sensor_spi) plant.sensor_frame_begins();
}

uint16_t Board::spi_frame(int spi, uint16_t mosi, uint32_t cr1)
{
    return spi == wiring.sensor_spi ? plant.sensor_frame(mosi, cr1) : 0xFFFF;
}

void Board::serial_out(int usart, uint8_t byte)
{
    for (int port = 1; port <= 2; ++port)
        if (wiring.console_usart[port - 1] == usart) out_[port - 1].push_back(static_cast<char>(byte));
}

// ---------------------------------------------------------------- the console's typist, button, fault, LED

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
    mcu.usart(wiring.console_usart[port - 1]).receive(q.front());
    q.pop_front();
    if (!q.empty()) mcu.schedule(feed_[port - 1], mcu.now() + kTypedCharCycles);
}

std::string Board::take_output(int port)
{
    std::string s;
    s.swap(out_[port - 1]);
    return s;
}

void Board::set_button(bool pressed) { mcu.port(wiring.button.port).drive(wiring.button.index, pressed ? 0 : -1); }
void Board::set_fault(bool low) { mcu.port(wiring.bridge_nfault.port).drive(wiring.bridge_nfault.index, low ? 0 : -1); }

bool Board::led_lit()
{
    PinDrive d = mcu.port(wiring.led.port).pin_drive(wiring.led.index);
    return d.driven && d.level > 0.5f;
}

}  // namespace sim
