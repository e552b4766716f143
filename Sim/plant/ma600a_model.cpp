#include "plant/ma600a_model.hpp"

namespace sim {

namespace {
constexpr uint32_t kCpha = 1u << 0;
constexpr uint32_t kCpol = 1u << 1;
constexpr uint32_t kLsbFirst = 1u << 7;
constexpr uint32_t kDff16 = 1u << 11;

constexpr uint16_t kReadReg = 0xD200;
constexpr uint16_t kWriteReg = 0xEA54;
constexpr uint16_t kStore = 0xEA55;
constexpr uint16_t kStoreBlock0 = 0xEA00;
constexpr uint16_t kGarbage = 0xFFFF;

bool sensor_mode(uint32_t cr1)
{
    return (cr1 & (kCpha | kCpol)) == (kCpha | kCpol) && (cr1 & kDff16) && !(cr1 & kLsbFirst);
}
}  // namespace

void Ma600aModel::reset()
{
    regs_.fill(0);
    selected_ = selected_at_frame_start_ = false;
    select_count_ = 0;
    next_ = Next::Angle;
    pending_answer_ = 0;
    write_addr_ = 0;
    nvm_stores = 0;
    last_store_at = 0;
    speed_override.reset();
    log.clear();
}

void Ma600aModel::chip_select(bool low)
{
    if (low && !selected_) {
        ++select_count_;
        next_ = Next::Angle;
    }
    if (!low) next_ = Next::Angle;
    selected_ = low;
}

uint16_t Ma600aModel::command(uint16_t mosi, uint16_t angle)
{
    if (mosi == 0x0000) {
        next_ = Next::Speed;
    } else if ((mosi & 0xFF00) == kReadReg) {
        pending_answer_ = static_cast<uint16_t>(regs_[mosi & 0xFF] << 8);
        next_ = Next::ReadAnswer;
    } else if (mosi == kWriteReg) {
        next_ = Next::WriteData;
    } else if (mosi == kStore) {
        next_ = Next::StoreBlock;
    } else {
        next_ = Next::Angle;   // not a command the sensor knows
    }
    return angle;
}

uint16_t Ma600aModel::frame(uint16_t mosi, uint32_t cr1, uint16_t angle, int16_t speed, Cycles now)
{
    uint16_t miso = kGarbage;
    if (!selected_) {
        // MISO is released while the sensor is not selected.
    } else if (!sensor_mode(cr1)) {
        // Clocked in the wrong mode the sensor reads nonsense and sends nonsense.
    } else {
        switch (next_) {
        case Next::Angle:
            miso = command(mosi, angle);
            break;
        case Next::Speed:
            if (mosi == 0x0000) {
                miso = static_cast<uint16_t>(speed_override.value_or(speed));
                next_ = Next::Angle;
            } else {
                miso = command(mosi, angle);
            }
            break;
        case Next::ReadAnswer:
            miso = pending_answer_;
            if (mosi == 0x0000) next_ = Next::Angle;
            else command(mosi, angle);   // a further command in the same selection
            break;
        case Next::WriteData:
            write_addr_ = static_cast<uint8_t>(mosi >> 8);
            regs_[write_addr_] = static_cast<uint8_t>(mosi & 0xFF);
            miso = angle;
            next_ = Next::WriteFiller;
            break;
        case Next::WriteFiller:
            miso = static_cast<uint16_t>(regs_[write_addr_] << 8);
            next_ = Next::Angle;
            break;
        case Next::StoreBlock:
            if (mosi == kStoreBlock0) {
                ++nvm_stores;
                last_store_at = now;
            }
            miso = angle;
            next_ = Next::Angle;
            break;
        }
    }
    if (keep_log) log.push_back(Frame{mosi, miso, selected_ ? select_count_ : 0});
    return miso;
}

}  // namespace sim
