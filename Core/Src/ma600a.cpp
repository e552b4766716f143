// MA600A magnetic angle sensor on SPI1: mode 3, 16-bit frames, MSB first,
// software chip select on PA4. The link is polled; every wait on a status
// flag is bounded except the wait for the end of a frame being shifted, which
// ends by itself while SPI1 is the enabled master.
#include "ma600a.h"

#include "board.h"

namespace {

constexpr uint32_t WAIT_POLLS = 10000u;       // status reads before giving up (~3 ms)
constexpr uint32_t SHORT_DELAY_SPINS = 100u;  // chip-select settling, ~15-20 us

constexpr uint16_t CMD_READ_REG = 0xD200u;    // low byte: register address
constexpr uint16_t CMD_WRITE_REG = 0xEA54u;   // next frame: address << 8 | value
constexpr uint16_t CMD_STORE = 0xEA55u;       // next frame: 0xEA00 | block
constexpr uint16_t CMD_STORE_BLOCK0 = 0xEA00u;
constexpr uint16_t FILLER = 0x0000u;
constexpr uint32_t NVM_STORE_TICKS = 10u;

constinit uint16_t last_valid_raw = 0;   // last word MA600A_ReadRaw received
constinit uint16_t last_angle = 0;       // raw word of the previous MA600A_ReadAngle
constinit uint32_t last_time = 0;        // tick_count at the previous MA600A_ReadAngle
constinit float rpm = 0.0f;              // last speed estimate of MA600A_ReadAngle

// State of the non-blocking reader: 0 = no frame open, 1 = a frame has been
// started and its word not yet collected (chip select low meanwhile). Kept at
// file scope so that whatever ends the reader's frame behind its back (a
// blocking transaction, MA600A_ResetNB) also returns it to 0.
constinit volatile uint8_t phase = 0;

inline void short_delay()
{
    spin_delay(SHORT_DELAY_SPINS);
}

inline bool sr_has(uint32_t flag)
{
    return (SPI1->SR & flag) != 0u;
}

// At most WAIT_POLLS status reads looking for `flag`: 0 when seen, -1 when not.
int wait_flag(uint32_t flag)
{
    return poll_flag(SPI1->SR, flag, flag, WAIT_POLLS) ? 0 : -1;
}

int SPI_WaitTXE(void)
{
    return wait_flag(SPI_SR_TXE);
}

int SPI_WaitRXNE(void)
{
    return wait_flag(SPI_SR_RXNE);
}

// The form of the raw multi-frame transfer and the angle-and-speed read: the
// same bounded poll, then one more look at the flag, which alone decides:
// true when it is set, false when it is still clear.
bool wait_flag_then_check(uint32_t flag)
{
    poll_flag(SPI1->SR, flag, flag, WAIT_POLLS);
    return sr_has(flag);
}

// At most WAIT_POLLS status reads for the end of a frame being shifted; goes
// on regardless when they run out.
void wait_idle_bounded()
{
    poll_flag(SPI1->SR, SPI_SR_BSY, 0u, WAIT_POLLS);
}

// Chip select high (ending any frame the non-blocking reader left open), the
// bus idle, a stale received word dropped, chip select low, settling time.
void transaction_begin()
{
    MA600A_ResetNB();
    CS_LOW();
    short_delay();
}

// One frame of a blocking transaction: false (with chip select raised) when a
// wait ran out, so the caller returns at once.
bool frame(uint16_t tx, uint16_t *rx)
{
    if (SPI_WaitTXE() != 0) {
        CS_HIGH();
        return false;
    }
    SPI1->DR = tx;
    if (SPI_WaitRXNE() != 0) {
        CS_HIGH();
        return false;
    }
    const uint16_t word = static_cast<uint16_t>(SPI1->DR);
    if (rx != nullptr) {
        *rx = word;
    }
    return true;
}

// The same frame with the bounded waits written out in place: false (with
// chip select raised) when a flag is still clear after its last poll.
bool frame_in_place(uint16_t tx, uint16_t *rx)
{
    if (!wait_flag_then_check(SPI_SR_TXE)) {
        CS_HIGH();
        return false;
    }
    SPI1->DR = tx;
    if (!wait_flag_then_check(SPI_SR_RXNE)) {
        CS_HIGH();
        return false;
    }
    *rx = static_cast<uint16_t>(SPI1->DR);
    return true;
}

inline float raw_to_deg(uint16_t raw)
{
    return static_cast<float>(raw) / MA600A_RESOLUTION * 360.0f;
}

}  // namespace

void MA600A_Init(void)
{
    CS_HIGH();
    last_valid_raw = 0;
    last_angle = 0;
    last_time = 0;
    rpm = 0.0f;
}

uint16_t MA600A_SPI_Exchange(uint16_t tx_data)
{
    uint16_t result = 0;
    transaction_begin();
    if (!frame(tx_data, &result)) {
        return 0;
    }
    short_delay();
    CS_HIGH();
    return result;
}

void MA600A_SPI_TransferFrames(const uint16_t *tx, uint16_t *rx, uint8_t count)
{
    transaction_begin();
    for (uint8_t i = 0; i < count; i++) {
        if (!frame_in_place(tx[i], &rx[i])) {
            return;
        }
        if (i < count - 1) {
            short_delay();
        }
    }
    CS_HIGH();
}

// Control-tick reader, which never waits for the bus. Phase 0 starts a frame
// and returns MA600A_NO_SAMPLE; phase 1 returns the frame's word once it has
// come in (MA600A_NO_SAMPLE until then), so a word arrives on every second
// call.
uint16_t MA600A_ReadRawNB(void)
{
    if (phase == 0) {
        if (sr_has(SPI_SR_BSY)) {
            return MA600A_NO_SAMPLE;
        }
        CS_LOW();
        short_delay();
        if (!sr_has(SPI_SR_TXE)) {
            return MA600A_NO_SAMPLE;   // chip select stays low; the next call tries again
        }
        SPI1->DR = FILLER;
        phase = 1;
        return MA600A_NO_SAMPLE;
    }
    if (!sr_has(SPI_SR_RXNE)) {
        return MA600A_NO_SAMPLE;
    }
    const uint16_t word = static_cast<uint16_t>(SPI1->DR);
    CS_HIGH();
    phase = 0;
    return word;
}

// Ends a frame the reader may have left open and empties the receiver; the
// reader starts afresh with its next call.
void MA600A_ResetNB(void)
{
    CS_HIGH();
    poll_flag(SPI1->SR, SPI_SR_BSY, 0u, POLL_UNBOUNDED);
    if (sr_has(SPI_SR_RXNE)) {
        read_and_drop(SPI1->DR);
    }
    phase = 0;
}

uint16_t MA600A_ReadRaw(void)
{
    uint16_t data = 0;
    transaction_begin();
    if (!frame(FILLER, &data)) {
        return last_valid_raw;
    }
    last_valid_raw = data;
    CS_HIGH();
    return data;
}

float MA600A_ReadAngle(void)
{
    const uint16_t raw = MA600A_ReadRaw();
    const uint32_t current_time = millis_now();
    if (last_time != 0u && current_time > last_time) {
        int32_t diff = static_cast<int32_t>(raw) - static_cast<int32_t>(last_angle);
        if (diff > 32768) {
            diff -= 65536;
        }
        if (diff < -32768) {
            diff += 65536;
        }
        const float angle_diff = static_cast<float>(diff) / MA600A_RESOLUTION * 360.0f;
        const float time_diff = static_cast<float>(current_time - last_time) / 1000.0f;
        if (time_diff > 0.0f) {
            rpm = angle_diff / time_diff / 6.0f;   // degrees per second / 6 = rev/min
        }
    }
    last_angle = raw;
    last_time = current_time;
    return raw_to_deg(raw);
}

float MA600A_ReadRPM(void)
{
    return rpm;
}

// Angle word and the sensor's own speed word in two frames under one chip
// select; the end-of-frame waits are bounded here too.
void MA600A_ReadAngleSpeed(uint16_t *angle, int16_t *speed)
{
    CS_HIGH();
    wait_idle_bounded();
    if (sr_has(SPI_SR_RXNE)) {
        read_and_drop(SPI1->DR);
    }
    phase = 0;
    CS_LOW();
    short_delay();

    uint16_t word;
    if (!frame_in_place(FILLER, &word)) {
        return;
    }
    *angle = word;

    wait_idle_bounded();   // chip select stays low, no delay
    if (!frame_in_place(FILLER, &word)) {
        return;
    }
    *speed = static_cast<int16_t>(word);
    short_delay();
    CS_HIGH();
}

uint16_t MA600A_ReadReg(uint8_t addr)
{
    const uint16_t cmd = static_cast<uint16_t>(CMD_READ_REG | addr);
    uint16_t val = 0;
    transaction_begin();
    if (!frame(cmd, nullptr)) {
        return 0;
    }
    short_delay();
    if (!frame(FILLER, &val)) {
        return 0;
    }
    short_delay();
    CS_HIGH();
    return val;
}

void MA600A_WriteReg(uint8_t addr, uint8_t value)
{
    transaction_begin();
    if (!frame(CMD_WRITE_REG, nullptr)) {
        return;
    }
    short_delay();
    if (!frame(static_cast<uint16_t>((addr << 8) | value), nullptr)) {
        return;
    }
    short_delay();
    if (!frame(FILLER, nullptr)) {
        return;
    }
    short_delay();
    CS_HIGH();
}

// Stores block 0 of the sensor's non-volatile memory, then leaves it 10
// system ticks (more than 9 ms) with chip select high to finish. Foreground
// only: the wait needs the SysTick interrupt.
void MA600A_StoreNVMBlock0(void)
{
    transaction_begin();
    if (!frame(CMD_STORE, nullptr)) {
        return;
    }
    short_delay();
    if (!frame(CMD_STORE_BLOCK0, nullptr)) {
        return;
    }
    CS_HIGH();
    const uint32_t t = millis_now();
    while (millis_now() - t < NVM_STORE_TICKS) {
    }
}
