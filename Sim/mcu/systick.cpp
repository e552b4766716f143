#include "mcu/systick.hpp"

#include "mcu/mcu.hpp"
#include "stm32f1xx.h"

namespace sim {

namespace {
constexpr uint32_t kEnable = 1u << 0, kTickInt = 1u << 1, kCoreClock = 1u << 2, kCountFlag = 1u << 16;
}

SysTickTimer::SysTickTimer(Mcu &mcu) : Peripheral(mcu, SysTick_BASE, sizeof(SysTick_Type)), wrap_(mcu, [this] { on_wrap(); }) {}

void SysTickTimer::reset()
{
    csr_ = 0;
    rvr_ = 0;
    base_time_ = 0;
}

Cycles SysTickTimer::cycles_per_count() const
{
    Cycles hclk = core_cycles_per_tick(mcu_.rcc.hclk());
    return (csr_ & kCoreClock) ? hclk : 8 * hclk;
}

void SysTickTimer::restart()
{
    base_time_ = mcu_.now();
    if ((csr_ & kEnable) && rvr_ != 0) mcu_.schedule(wrap_, base_time_ + (rvr_ + 1ull) * cycles_per_count());
    else mcu_.cancel(wrap_);
}

void SysTickTimer::on_wrap()
{
    csr_ |= kCountFlag;
    if (csr_ & kTickInt) mcu_.nvic.pend_exception(Nvic::kSysTick);
    restart();
}

bool SysTickTimer::read(uint32_t off, uint32_t &v)
{
    switch (off) {
    case REG_OFFSET(SysTick_Type, CTRL): v = csr_; csr_ &= ~kCountFlag; return true;
    case REG_OFFSET(SysTick_Type, LOAD): v = rvr_; return true;
    case REG_OFFSET(SysTick_Type, VAL): {
        if (!(csr_ & kEnable)) { v = 0; return true; }
        uint64_t counts = (mcu_.now() - base_time_) / cycles_per_count();
        v = counts == 0 ? 0 : rvr_ - static_cast<uint32_t>((counts - 1) % (rvr_ + 1ull));
        return true;
    }
    case REG_OFFSET(SysTick_Type, CALIB): v = 0x40002328; return true;   // 9000 counts per ms at HCLK/8
    default: return false;
    }
}

bool SysTickTimer::write(uint32_t off, uint32_t v)
{
    switch (off) {
    case REG_OFFSET(SysTick_Type, CTRL): csr_ = (csr_ & kCountFlag) | (v & 7); restart(); return true;
    case REG_OFFSET(SysTick_Type, LOAD): rvr_ = v & 0xFFFFFF; return true;
    case REG_OFFSET(SysTick_Type, VAL): csr_ &= ~kCountFlag; restart(); return true;
    case REG_OFFSET(SysTick_Type, CALIB): return true;
    default: return false;
    }
}

// In the system control space a narrow write carries its own bytes only.
bool SysTickTimer::write_narrow(uint32_t off, uint32_t v, int size)
{
    const uint32_t bits = size == 1 ? 0xFFu : 0xFFFFu;
    return write(off & ~3u, (v & bits) << (8 * (off & 3)));
}

}  // namespace sim
