// Board bring-up and the board operations through which the rest of the
// firmware touches the chip.
#pragma once
#include <stdint.h>
#include "main.h"

extern volatile uint32_t tick_count;   // milliseconds since SysTick started

void board_init(void);            // clocks, tick, pins, timers, SPI1, USARTs, NVIC
void board_adc_calibrate(void);   // ADC reset-calibration and calibration

extern "C" void SysTick_Handler(void);

// A register read whose value is not needed (a bus read-back, a stale data
// word). Write it this way rather than `(void)REG;`: the conversion makes it
// a real load also where a register is an object rather than a plain
// volatile word, as on the virtual board.
static inline void read_and_drop(const hw_reg &r)
{
    (void)static_cast<uint32_t>(r);
}

// Chip select of the angle sensor: one write each, no other pin moves.
#define CS_LOW()  (GPIOA->BRR = MA600A_CS_PIN)
#define CS_HIGH() (GPIOA->BSRR = MA600A_CS_PIN)

void pwm_write(uint16_t u, uint16_t v, uint16_t w);
void bridge_on(void);
void bridge_off(void);
uint32_t bridge_lines(void);       // PB15..PB12 as driven, 0..15
int nfault_high(void);             // 1 = no fault
int button_pressed(void);          // 1 = PC8 low
void led_toggle(void);
int cs_level(void);                // PA4 as driven
void control_timer_pause(void);
void control_timer_resume(void);
void control_timer_set_rate(int32_t khz);

// Waiting. On the chip these are a plain load, an empty counting loop and a
// loop reading a register; the virtual board lets virtual time pass in them.
uint32_t millis_now(void);             // one 32-bit load of tick_count
void spin_delay(uint32_t iterations);  // empty loop on a volatile counter
// Never returns: the chip spins in an empty loop (the crash handler's end);
// the virtual board lets time pass until its run stops.
[[noreturn]] void wait_forever(void);

// Reads `reg` until (reg & mask) == want, at most `limit` times: true as soon
// as a read shows it, false when `limit` reads have not. With POLL_UNBOUNDED
// it reads for as long as it takes and returns true. Every wait on a flag
// goes through it, the unbounded ones (clock start, converter calibration,
// serial TXE, end of an SPI frame) too: together the waits make nearly all
// of the firmware's register reads, which the virtual board can skip.
#define POLL_UNBOUNDED 0xFFFFFFFFu
bool poll_flag(const hw_reg &reg, uint32_t mask, uint32_t want, uint32_t limit);
