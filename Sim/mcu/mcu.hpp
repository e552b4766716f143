// The virtual STM32F103: virtual time in core cycles at 72 MHz, an event
// scheduler, the bus with its address decoder, and the register models of
// what the firmware uses. It knows nothing of the firmware: a CPU (Sim/cpu)
// runs it and reaches the models through the contract below; what is
// soldered to the pins is the board's (BoardIo).
//
// The contract between the MCU and a CPU:
// - Bus: bus_read / bus_write decode an address and run the peripheral's
//   model at the present time. No time passes and no exception is taken in
//   them; an unmodelled address fails with its address. Accesses are 1, 2 or
//   4 bytes wide and naturally aligned. On the peripheral bus (0x40000000 up)
//   a narrow write reaches the register as a word with its data repeated
//   across the four byte lanes, as the STM32F1's AHB-to-APB bridges do, and a
//   narrow read reads the whole word (with its side effects, e.g. RXNE clears
//   on a data read) and returns the addressed bytes. In the system control
//   space the interrupt and system-handler priority bytes are byte
//   addressable; a narrow write elsewhere there writes its bytes and zeros
//   around them, which is what the set-enable, clear-enable, set-pending and
//   clear-pending words expect.
// - Time: now(), next_due() and advance_to(t), which fires the events due
//   up to t in order, one at a time at its own instant (fire_next), and
//   leaves time at t. Events may pend interrupts; no CPU work happens there.
// - NVIC: next_exception() names the exception that may pre-empt now,
//   enter(n) and leave(n) mark exception entry and return, and dispatch(cpu)
//   takes every exception that may pre-empt through Cpu::take_exception.
#pragma once
#include <array>
#include <vector>

#include "mcu/adc.hpp"
#include "mcu/board_io.hpp"
#include "mcu/event.hpp"
#include "mcu/flash.hpp"
#include "mcu/gpio.hpp"
#include "mcu/nvic.hpp"
#include "mcu/rcc.hpp"
#include "mcu/spi.hpp"
#include "mcu/systick.hpp"
#include "mcu/timer.hpp"
#include "mcu/usart.hpp"

namespace sim {

class Mcu {
public:
    Mcu();
    ~Mcu();
    Mcu(const Mcu &) = delete;
    Mcu &operator=(const Mcu &) = delete;

    void reset();   // power-on reset of every model; time restarts at 0
    // Saves or restores time, the scheduler and every model (archive.hpp);
    // the board's own events are the board's to save.
    void archive(StateArchive &a);
    void set_io(BoardIo *io) { io_ = io ? io : &no_io_; }
    BoardIo &io() { return *io_; }

    // Bus (see the contract at the top).
    uint32_t bus_read(uint32_t addr, int size);
    void bus_write(uint32_t addr, uint32_t value, int size);
    uint64_t accesses = 0;   // bus accesses since reset

    // Time and events.
    Cycles now() const { return now_; }
    Cycles next_due() const { return next_due_; }
    // Fires the earliest event if it is due at or before `limit`; time moves
    // to its instant. False if none is due by then.
    bool fire_next(Cycles limit);
    // Fires every event due up to t, in order, then leaves time at t.
    void advance_to(Cycles t)
    {
        while (next_due_ <= t && fire_next(t)) {}
        if (t > now_) now_ = t;
    }
    void schedule(Event &e, Cycles at);
    void cancel(Event &e);
    // 72 MHz core cycles per cycle of the running clock.
    Cycles clock_scale() const { return core_cycles_per_tick(rcc.hclk()); }

    Gpio &port(int n) { return n == 0 ? gpioa : n == 1 ? gpiob : gpioc; }   // 0 = GPIOA
    Usart &usart(int n) { return n == 1 ? usart1 : usart2; }                // 1 = USART1
    // What a pin in alternate-function mode puts out, and the calls that
    // make the ports report their pins again: after a write to a timer whose
    // outputs they carry, and after a change of the clocks.
    float alternate_output(Pin pin) const;
    void alternate_outputs_changed(uint32_t channels = 0b111);   // bit n: channel n + 1
    void clocks_changed();

private:
    friend class Event;
    friend class Peripheral;
    void add_event(Event &e);
    void remove_event(Event &e);
    void recompute_next();
    Peripheral *decode(uint32_t addr) const;

    Cycles now_ = 0;
    Cycles next_due_ = kNever;
    Event *next_event_ = nullptr;            // the first registered one due at next_due_, or null: not known
    std::vector<Event *> events_;            // in the order of registration: ties fire in this order
    std::vector<Peripheral *> peripherals_;  // in the order of the members below
    // The decoder: the peripheral buses (APB1, APB2, AHB: 192 KB) by 1 KB
    // block, in each of which at most one model sits; the rest of the
    // address space by search.
    static constexpr uint32_t kBusBlocks = 192;
    std::array<Peripheral *, kBusBlocks> bus_blocks_{};
    std::vector<Peripheral *> elsewhere_;
    BoardIo no_io_;
    BoardIo *io_ = &no_io_;

public:
    // The register models, one line each. A model registers its window and
    // its events as it is built, so this list is the chip's memory map, and
    // events due at the same instant fire in this order.
    Nvic nvic{*this};
    Rcc rcc{*this};
    FlashInterface flash{*this};
    Gpio gpioa{*this, 0}, gpiob{*this, 1}, gpioc{*this, 2};
    Timer tim2{*this, 2}, tim4{*this, 4};
    Adc adc1{*this};
    Spi spi1{*this, 1};
    Usart usart1{*this, 1}, usart2{*this, 2};
    SysTickTimer systick{*this};
};

}  // namespace sim
