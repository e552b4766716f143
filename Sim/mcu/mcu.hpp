// The virtual STM32F103: virtual time in core cycles at 72 MHz, an event
// scheduler, the address decoder behind the register proxy, the NVIC with
// SysTick, and register models of the peripherals the firmware uses.
#pragma once
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

using Cycles = uint64_t;
constexpr Cycles kNever = ~Cycles{0};
constexpr uint32_t kCoreHz = 72'000'000;
constexpr Cycles kCyclesPerMs = kCoreHz / 1000;
// Cost of one register access seen from the firmware, in core cycles at the
// running clock: the load or store plus the loop around it in a typical poll.
constexpr Cycles kAccessCycles = 12;

// Rounded to the nearest cycle; no time is negative.
constexpr Cycles ms_to_cycles(double ms)
{
    return ms > 0.0 ? static_cast<Cycles>(ms * kCyclesPerMs + 0.5) : 0;   // NOLINT(bugprone-incorrect-roundings): exact for ms > 0
}
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

// A point in virtual time at which a model wants to act.
struct Event {
    Cycles due = kNever;
    std::function<void()> fire;
};

class Nvic {
public:
    static constexpr int kSysTick = 15;
    static constexpr int kIrqBase = 16;
    static constexpr int kExceptions = 16 + 64;

    void reset();
    // Level of an interrupt line: raising it pends the interrupt; a line still
    // high when its handler returns pends it again.
    void set_line(int irq, bool level);
    void pend_exception(int exception);   // SysTick and software pends
    bool enabled(int irq) const { return (enable_[irq / 32] >> (irq % 32)) & 1; }
    uint8_t priority(int exception) const;
    bool pending(int exception) const { return pending_[exception]; }
    int active_priority() const;           // 256 in thread mode
    bool has_pending() const { return any_pending_; }
    const std::vector<int> &active() const { return active_; }   // innermost last
    bool read(uint32_t addr, uint32_t &value) const;
    bool write(uint32_t addr, uint32_t value);
    // Runs every pending handler that may pre-empt what is running now.
    void dispatch(Mcu &mcu);

private:
    uint32_t enable_[2]{};
    std::array<bool, kExceptions> pending_{};
    std::array<bool, kExceptions> line_{};
    std::array<uint8_t, 64> ipr_{};
    uint32_t shpr_[3]{};
    std::vector<int> active_;   // exception numbers, innermost last
    bool any_pending_ = false;

public:
    uint64_t taken = 0;   // exceptions entered since reset
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

    // The board the firmware's register accesses reach.
    static Mcu *active();
    void make_active();

    void reset();   // power-on reset of every model; time restarts at 0
    void set_io(BoardIo *io) { io_ = io ? io : &no_io_; }
    BoardIo &io() { return *io_; }

    Cycles now() const { return now_; }
    // The firmware spends n cycles of its running clock: time advances, due
    // events fire and pending interrupts that may pre-empt are taken.
    void spend(Cycles n_core_at_sysclk);
    // Lets time pass until the next event (or by at most `limit`) with
    // nothing running; used by the idle poll of the main loop.
    void idle(Cycles limit = kCyclesPerMs);
    // Runs events and interrupts up to time t (a test driving the chip from outside).
    void advance_to(Cycles t);
    void schedule(Event &e, Cycles at);
    void cancel(Event &e);
    void add_event(Event &e);   // events owned by the board around the chip
    Cycles clock_scale() const;   // 72 MHz core cycles per cycle of the running clock

    uint32_t read32(uint32_t addr);
    void write32(uint32_t addr, uint32_t value);

    // Called whenever virtual time has moved, after events and interrupts:
    // the firmware runner uses it to hand control back at a time limit.
    std::function<void()> on_time_passed;
    Cycles horizon = kNever;   // idle() does not pass this point


    Nvic nvic;
    Rcc rcc;
    Gpio gpioa{*this, 0}, gpiob{*this, 1}, gpioc{*this, 2};
    Timer tim2{*this, 28, 0, false}, tim4{*this, 30, 2, true};
    Adc adc1{*this};
    Spi spi1{*this};
    Usart usart1{*this, 1, 37}, usart2{*this, 2, 38};
    SysTickTimer systick{*this};
    uint32_t flash_acr = 0x30;
    uint64_t accesses = 0;   // register accesses since reset

private:
    bool fire_next(Cycles limit);
    void run_to(Cycles target);
    void recompute_next();
    Cycles now_ = 0;
    Cycles next_due_ = kNever;
    std::vector<Event *> events_;
    Event tim2_update_, tim4_update_, adc_done_, spi_done_, u1_tx_, u2_tx_, systick_wrap_;
    BoardIo no_io_;
    BoardIo *io_ = &no_io_;
};

}  // namespace sim
