// The virtual STM32F103: virtual time in core cycles at 72 MHz, an event
// scheduler, the address decoder of the bus, the NVIC with SysTick, and
// register models of the peripherals the firmware uses. It knows nothing of
// the firmware: a CPU (Sim/cpu) runs it and reaches the models through the
// contract below.
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
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

class Cpu;

using Cycles = uint64_t;
constexpr Cycles kNever = ~Cycles{0};
constexpr uint32_t kCoreHz = 72'000'000;
constexpr Cycles kCyclesPerMs = kCoreHz / 1000;

constexpr Cycles ms_to_cycles(double ms) { return static_cast<Cycles>(ms * kCyclesPerMs + 0.5); }
constexpr double cycles_to_ms(Cycles c) { return static_cast<double>(c) / kCyclesPerMs; }

[[noreturn]] void fail(const std::string &what);

// What the chip's pins and buses see of the board around it. The plant
// implements it; the default is an empty board.
struct BoardIo {
    virtual ~BoardIo() = default;
    // A GPIO output latch is about to change (old and new ODR of port 0=A,1=B,2=C),
    // or a TIM4 compare or control register is about to change: the plant
    // catches up to the present with the old outputs first.
    virtual void outputs_changing() {}
    virtual void odr_changed(int /*port*/, uint32_t /*old_odr*/, uint32_t /*new_odr*/) {}
    // Voltage on an ADC input at the end of its sampling phase.
    virtual float adc_input_volts(int /*channel*/) { return 0.0f; }
    // One SPI1 frame has been shifted while the sensor's chip select was low.
    // cr1 tells the slave the master's clock mode and frame size.
    virtual uint16_t spi_frame(uint16_t /*mosi*/, uint32_t /*cr1*/) { return 0xFFFF; }
    // A byte has left the transmitter of USART1 (port 1) or USART2 (port 2).
    virtual void uart_tx(int /*port*/, uint8_t /*byte*/) {}
};

class Mcu;

// A point in virtual time at which a model or the board around the chip
// wants to act. An event belongs to the scheduler it is attached to until
// either goes: its destructor unregisters it, and a scheduler that goes
// first detaches its events, so that neither is left with a dangling link.
class Event {
public:
    Event() = default;
    Event(Mcu &mcu, std::function<void()> fire) { attach(mcu, std::move(fire)); }
    ~Event() { detach(); }
    Event(const Event &) = delete;
    Event &operator=(const Event &) = delete;

    void attach(Mcu &mcu, std::function<void()> fire);
    void detach();
    Cycles due() const { return due_; }

private:
    friend class Mcu;
    Mcu *owner_ = nullptr;
    Cycles due_ = kNever;
    std::function<void()> fire_;
};

// Interrupt controller of the Cortex-M3 with the 4 priority bits of this
// chip, all of them pre-emption bits (grouping at its reset value).
class Nvic {
public:
    static constexpr int kSysTick = 15;
    static constexpr int kIrqBase = 16;
    static constexpr int kExceptions = 16 + 64;
    static constexpr int kThreadPriority = 256;   // below every exception

    void reset();
    // Level of an interrupt line: raising it pends the interrupt; a line still
    // high when its handler returns pends it again.
    void set_line(int irq, bool level);
    void pend_exception(int exception);   // SysTick and software pends
    bool enabled(int irq) const { return (enable_[irq / 32] >> (irq % 32)) & 1; }
    uint8_t priority(int exception) const;
    bool pending(int exception) const { return pending_[exception]; }
    int active_priority() const;           // kThreadPriority in thread mode
    bool has_pending() const { return any_pending_; }
    const std::vector<int> &active() const { return active_; }   // innermost last

    // The exception that may pre-empt what runs now: the most urgent pending
    // and enabled one, strictly more urgent than the active priority (equal
    // levels never pre-empt; among equals the lowest number wins). 0: none.
    int next_exception();
    // Exception entry: no longer pending, now active, counted.
    void enter(int exception);
    // Exception return from the innermost active exception; an interrupt
    // whose line is still high pends again.
    void leave(int exception);
    // While something may pre-empt: enter it and let the CPU take it.
    void dispatch(Cpu &cpu);

    bool read(uint32_t addr, uint32_t &value) const;
    bool write(uint32_t addr, uint32_t value);
    // Registers of byte-wide fields (interrupt and system-handler priorities).
    static bool byte_addressable(uint32_t addr)
    {
        return (addr >= 0xE000E400u && addr < 0xE000E440u) || (addr >= 0xE000ED18u && addr < 0xE000ED24u);
    }

    uint64_t taken = 0;   // exceptions entered since reset

private:
    uint32_t enable_[2]{};
    std::array<bool, kExceptions> pending_{};
    std::array<bool, kExceptions> line_{};
    std::array<uint8_t, 64> ipr_{};
    uint32_t shpr_[3]{};
    std::vector<int> active_;   // exception numbers, innermost last
    bool any_pending_ = false;
};

class Rcc {
public:
    void reset();
    bool read(uint32_t off, uint32_t &v) const;
    bool write(uint32_t off, uint32_t v);
    uint32_t sysclk() const;
    uint32_t hclk() const { return sysclk() >> ahb_shift(); }
    uint32_t pclk1() const;
    uint32_t pclk2() const;
    uint32_t tim_apb1_clk() const;   // TIM2..TIM4 counter clock
    uint32_t adcclk() const;
    bool apb2_on(uint32_t bit) const { return (apb2enr_ >> bit) & 1; }
    bool apb1_on(uint32_t bit) const { return (apb1enr_ >> bit) & 1; }
    uint32_t cr() const { return cr_; }
    uint32_t cfgr() const { return cfgr_; }
    uint32_t apb2enr() const { return apb2enr_; }
    uint32_t apb1enr() const { return apb1enr_; }
    bool hse_present = true;   // a board without a working crystal hangs in bring-up

private:
    int ahb_shift() const;
    uint32_t cr_ = 0, cfgr_ = 0, apb2enr_ = 0, apb1enr_ = 0, ahbenr_ = 0, cir_ = 0, bdcr_ = 0, csr_ = 0;
};

class Gpio {
public:
    Gpio(Mcu &mcu, int port) : mcu_(mcu), port_(port) {}
    void reset();
    bool read(uint32_t off, uint32_t &v) const;
    bool write(uint32_t off, uint32_t v);
    // Drive a pin from outside: 0 or 1, or -1 to release it.
    void drive(int pin, int level);
    uint32_t idr() const;
    uint32_t odr() const { return odr_; }
    uint32_t mode_field(int pin) const { return (pin < 8 ? crl_ >> (4 * pin) : crh_ >> (4 * (pin - 8))) & 0xF; }
    bool output_level(int pin) const { return (odr_ >> pin) & 1; }

private:
    void set_odr(uint32_t v);
    Mcu &mcu_;
    int port_;
    uint32_t crl_ = 0x44444444, crh_ = 0x44444444, odr_ = 0, lckr_ = 0;
    std::array<int, 16> external_{};
};

// A 16-bit up-counting timer: prescaler (preloaded), auto-reload (no preload),
// counter, update flag and update interrupt; TIM4 adds PWM mode 1 compares.
class Timer {
public:
    Timer(Mcu &mcu, int irq, uint32_t apb1_bit, bool pwm) : mcu_(mcu), irq_(irq), apb1_bit_(apb1_bit), pwm_(pwm) {}
    void reset();
    void attach(Event *update) { update_ = update; }
    bool read(uint32_t off, uint32_t &v) const;
    bool write(uint32_t off, uint32_t v);
    void on_update();   // the update event came due
    uint32_t cnt() const;
    bool running() const { return (cr1_ & 1) && clocked(); }
    Cycles cycles_per_count() const;
    Cycles update_period() const { return cycles_per_count() * (arr_ + 1ull); }
    // PWM mode 1 duty of channel 1..3 as a fraction of the period.
    float duty(int channel) const;
    uint32_t ccr(int channel) const { return ccr_[channel - 1]; }
    uint32_t arr() const { return arr_; }
    uint32_t psc() const { return psc_; }
    uint32_t cr1() const { return cr1_; }

private:
    bool clocked() const;
    void rebase(uint32_t count);   // counter = count now; reschedule
    Mcu &mcu_;
    int irq_;
    uint32_t apb1_bit_;
    bool pwm_;
    Event *update_ = nullptr;
    uint32_t cr1_ = 0, cr2_ = 0, dier_ = 0, sr_ = 0, psc_ = 0, psc_active_ = 0, arr_ = 0xFFFF;
    uint32_t ccmr1_ = 0, ccmr2_ = 0, ccer_ = 0;
    std::array<uint32_t, 3> ccr_{};
    uint32_t base_count_ = 0;   // counter value at base_time_
    Cycles base_time_ = 0;
};

class Adc {
public:
    explicit Adc(Mcu &mcu) : mcu_(mcu) {}
    void reset();
    void attach(Event *done) { done_ = done; }
    bool read(uint32_t off, uint32_t &v);
    bool write(uint32_t off, uint32_t v);
    void on_done();
    Cycles conversion_cycles(int channel) const;
    bool never_finishes = false;   // test harness: a converter that hangs
    uint32_t conversions = 0;      // started conversions, for tests
    bool calibrated() const { return calibrated_; }   // a calibration has completed since reset

private:
    void start();
    Mcu &mcu_;
    Event *done_ = nullptr;
    uint32_t sr_ = 0, cr1_ = 0, cr2_ = 0, smpr1_ = 0, smpr2_ = 0, sqr1_ = 0, sqr2_ = 0, sqr3_ = 0, dr_ = 0;
    int channel_ = 0;
    enum { kIdle, kConverting, kCalibrating } state_ = kIdle;
    bool calibrated_ = false;
};

class Spi {
public:
    explicit Spi(Mcu &mcu) : mcu_(mcu) {}
    void reset();
    void attach(Event *done) { done_ = done; }
    bool read(uint32_t off, uint32_t &v);
    bool write(uint32_t off, uint32_t v);
    void on_frame_done();
    Cycles frame_cycles() const;
    // Test harness: the status flags stop coming up.
    bool txe_stuck = false;
    bool rxne_stuck = false;
    std::vector<uint16_t> sent;   // every frame shifted out, for tests
    uint32_t cr1() const { return cr1_; }

private:
    uint32_t sr() const;
    void start_frame(uint16_t word);
    Mcu &mcu_;
    Event *done_ = nullptr;
    uint32_t cr1_ = 0, cr2_ = 0, crcpr_ = 7;
    bool tx_full_ = false, busy_ = false, rxne_ = false, ovr_ = false;
    uint16_t tx_buf_ = 0, shifting_ = 0, rx_ = 0;
    bool frame_to_slave_ = false;
};

class Usart {
public:
    Usart(Mcu &mcu, int port, int irq) : mcu_(mcu), port_(port), irq_(irq) {}
    void reset();
    void attach(Event *tx_done) { tx_done_ = tx_done; }
    bool read(uint32_t off, uint32_t &v);
    bool write(uint32_t off, uint32_t v);
    void on_tx_done();
    // A byte arrives on RX. Returns false if the receiver is off.
    bool receive(uint8_t byte);
    Cycles char_cycles() const;   // one frame of start, data and stop bits
    uint32_t overruns = 0;
    uint32_t brr() const { return brr_; }
    uint32_t cr1() const { return cr1_; }

private:
    bool clocked() const;
    void update_irq();
    Mcu &mcu_;
    int port_, irq_;
    Event *tx_done_ = nullptr;
    uint32_t brr_ = 0, cr1_ = 0, cr2_ = 0, cr3_ = 0, gtpr_ = 0;
    bool txe_ = true, tc_ = true, rxne_ = false, ore_ = false, shifting_ = false, tdr_full_ = false;
    uint8_t tdr_ = 0, shift_ = 0, rdr_ = 0;
};

class SysTickTimer {
public:
    explicit SysTickTimer(Mcu &mcu) : mcu_(mcu) {}
    void reset();
    void attach(Event *wrap) { wrap_ = wrap; }
    bool read(uint32_t off, uint32_t &v);
    bool write(uint32_t off, uint32_t v);
    void on_wrap();
    uint32_t csr() const { return csr_; }
    uint32_t rvr() const { return rvr_; }

private:
    Cycles cycles_per_count() const;
    void restart();
    Mcu &mcu_;
    Event *wrap_ = nullptr;
    uint32_t csr_ = 0, rvr_ = 0;
    Cycles base_time_ = 0;   // when the counter last reloaded
};

class Mcu {
public:
    Mcu();
    ~Mcu();
    Mcu(const Mcu &) = delete;
    Mcu &operator=(const Mcu &) = delete;

    void reset();   // power-on reset of every model; time restarts at 0
    void set_io(BoardIo *io) { io_ = io ? io : &no_io_; }
    BoardIo &io() { return *io_; }

    // Bus (see the contract at the top).
    uint32_t bus_read(uint32_t addr, int size);
    void bus_write(uint32_t addr, uint32_t value, int size);

    // Time and events.
    Cycles now() const { return now_; }
    Cycles next_due() const { return next_due_; }
    // Fires the earliest event if it is due at or before `limit`; time moves
    // to its instant. False if none is due by then.
    bool fire_next(Cycles limit);
    // Fires every event due up to t, in order, then leaves time at t.
    void advance_to(Cycles t)
    {
        while (fire_next(t)) {}
        if (t > now_) now_ = t;
    }
    void schedule(Event &e, Cycles at);
    void cancel(Event &e);
    Cycles clock_scale() const;   // 72 MHz core cycles per cycle of the running clock

    Nvic nvic;
    Rcc rcc;
    Gpio gpioa{*this, 0}, gpiob{*this, 1}, gpioc{*this, 2};
    Timer tim2{*this, 28, 0, false}, tim4{*this, 30, 2, true};
    Adc adc1{*this};
    Spi spi1{*this};
    Usart usart1{*this, 1, 37}, usart2{*this, 2, 38};
    SysTickTimer systick{*this};
    uint32_t flash_acr = 0x30;
    uint64_t accesses = 0;   // bus accesses since reset

private:
    friend class Event;
    void add_event(Event &e);
    void remove_event(Event &e);
    void recompute_next();
    bool read_word(uint32_t addr, uint32_t &v);
    bool write_word(uint32_t addr, uint32_t v);
    Cycles now_ = 0;
    Cycles next_due_ = kNever;
    std::vector<Event *> events_;   // in the order of registration: ties fire in this order
    Event tim2_update_, tim4_update_, adc_done_, spi_done_, u1_tx_, u2_tx_, systick_wrap_;
    BoardIo no_io_;
    BoardIo *io_ = &no_io_;
};

}  // namespace sim
