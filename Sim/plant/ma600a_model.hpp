// The MA600A angle sensor as an SPI slave: it answers the frames it receives
// while its chip select is low, in SPI mode 3 with 16-bit frames, MSB first.
//
// Protocol as modelled (per chip-select low phase):
// - The first frame of a selection answers the angle word, whatever it
//   carries; so does every frame that is not one of the answers below.
// - 0x0000 then 0x0000: the second frame answers the signed speed word.
// - 0xD2aa (read register aa): the next frame answers the register value in
//   its high byte with 0 in the low byte.
// - 0xEA54, then (aa << 8 | vv): writes vv into register aa; the frame after
//   that answers the new value in its high byte (a read-back echo).
// - 0xEA55, then 0xEA00: stores block 0 of the non-volatile memory
//   (nvm_stores counts them; last_store_at tells when).
// - A frame shifted in another mode (not CPOL = CPHA = 1, not 16-bit, or LSB
//   first) is garbage to the sensor: it answers 0xFFFF and leaves its
//   protocol state alone.
// Raising chip select abandons any half-finished sequence.
#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "mcu/mcu.hpp"

namespace sim {

class Ma600aModel {
public:
    struct Frame {
        uint16_t mosi, miso;
        uint32_t select;   // chip-select low phase the frame belonged to (counts from 1; 0 = not selected)
    };

    void reset();
    void archive(StateArchive &a)
    {
        a(nvm_stores, last_store_at, speed_override, log, regs_, selected_, selected_at_frame_start_, select_count_,
          next_, pending_answer_, write_addr_);
    }
    // Chip select moved (low = selected).
    void chip_select(bool low);
    bool selected() const { return selected_; }
    uint32_t selections() const { return select_count_; }
    // The master starts clocking a frame; the sensor takes part in it if it
    // is selected now and still at the frame's end.
    void frame_begins() { selected_at_frame_start_ = selected_; }
    bool selected_for_frame() const { return selected_at_frame_start_ && selected_; }
    // One frame shifted while selected. angle is what the sensor measures now
    // (16-bit word), speed its speed word. Returns the word sent back on MISO.
    uint16_t frame(uint16_t mosi, uint32_t cr1, uint16_t angle, int16_t speed, Cycles now);

    uint8_t reg(uint8_t addr) const { return regs_[addr]; }
    void set_reg(uint8_t addr, uint8_t v) { regs_[addr] = v; }
    int nvm_stores = 0;
    Cycles last_store_at = 0;
    // When set, the speed word answered instead of the one the plant supplies.
    std::optional<int16_t> speed_override;
    std::vector<Frame> log;   // every frame the sensor saw, while keep_log
    bool keep_log = true;     // a long run turns it off: the log grows by a frame per control tick

private:
    enum class Next { Angle, ReadAnswer, WriteData, WriteFiller, StoreBlock, Speed };
    // Interprets a frame as the start of a sequence; returns the angle word.
    uint16_t command(uint16_t mosi, uint16_t angle);

    std::array<uint8_t, 256> regs_{};
    bool selected_ = false, selected_at_frame_start_ = false;
    uint32_t select_count_ = 0;
    // Protocol state across frames of one selection.
    Next next_ = Next::Angle;
    uint16_t pending_answer_ = 0;
    uint8_t write_addr_ = 0;
};

}  // namespace sim
