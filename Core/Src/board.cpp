// Board bring-up of the STM32F103RC (clock tree, millisecond tick, pin map,
// PWM and control timers, SPI1, both USARTs, ADC1, interrupt priorities) and
// the board operations through which the rest of the firmware touches it.
#include "board.h"

constinit volatile uint32_t tick_count = 0;

extern "C" void SysTick_Handler(void)
{
    tick_count = tick_count + 1u;
}

namespace {

// RCC CFGR of the boot: PLL from HSE undivided (PLLXTPRE = 0), x9; AHB /1,
// APB1 /2, APB2 /1, ADC /6, USB prescaler 0; the system clock still on HSI
// (SW = 00) until the PLL has locked.
constexpr uint32_t CFGR_BOOT =
    RCC_CFGR_PLLSRC | RCC_CFGR_PLLMULL9 | RCC_CFGR_PPRE1_DIV2 | RCC_CFGR_ADCPRE_DIV6;
static_assert(CFGR_BOOT == 0x001D8400u);

constexpr uint32_t CORE_HZ = 72000000u;
constexpr uint32_t SYSTICK_RELOAD_1MS = CORE_HZ / 1000u - 1u;   // 71999
constexpr uint32_t SYSTICK_ON = SysTick_CTRL_ENABLE | SysTick_CTRL_TICKINT | SysTick_CTRL_CLKSOURCE;
static_assert(SYSTICK_ON == 7u);

constexpr uint32_t APB2_GPIOABC = RCC_APB2ENR_IOPAEN | RCC_APB2ENR_IOPBEN | RCC_APB2ENR_IOPCEN;
static_assert(APB2_GPIOABC == 0x1Cu);

// ADC1: independent, single conversions started by software (external
// trigger on, source SWSTART), right-aligned; 239.5-cycle sampling on
// channels 0-3.
constexpr uint32_t ADC_CR2_BOOT = ADC_CR2_EXTTRIG | ADC_CR2_EXTSEL_SWSTART;
static_assert(ADC_CR2_BOOT == 0x001E0000u);
constexpr uint32_t ADC_SMPR2_BOOT =
    ADC_SMPR2_SMP0_239_5 | ADC_SMPR2_SMP1_239_5 | ADC_SMPR2_SMP2_239_5 | ADC_SMPR2_SMP3_239_5;
static_assert(ADC_SMPR2_BOOT == 0x00000FFFu);
constexpr uint32_t ADC_POWER_UP_SPINS = 100u;

// Pin configurations used on the board.
constexpr uint32_t PIN_ANALOG = GPIO_CR_MODE_INPUT | GPIO_CR_CNF_IN_ANALOG;
constexpr uint32_t PIN_IN_FLOATING = GPIO_CR_MODE_INPUT | GPIO_CR_CNF_IN_FLOAT;
constexpr uint32_t PIN_IN_PULL = GPIO_CR_MODE_INPUT | GPIO_CR_CNF_IN_PULL;
constexpr uint32_t PIN_OUT_PP_50MHZ = GPIO_CR_MODE_OUT_50MHZ | GPIO_CR_CNF_OUT_PP;
constexpr uint32_t PIN_AF_PP_50MHZ = GPIO_CR_MODE_OUT_50MHZ | GPIO_CR_CNF_AF_PP;
static_assert(PIN_ANALOG == 0x0u && PIN_IN_FLOATING == 0x4u && PIN_IN_PULL == 0x8u &&
              PIN_OUT_PP_50MHZ == 0x3u && PIN_AF_PP_50MHZ == 0xBu);

// The configuration field of one pin within its CRL (pins 0-7) or CRH
// (pins 8-15).
constexpr uint32_t pin_field(uint32_t pin, uint32_t config)
{
    return config << (4u * (pin % 8u));
}

// Replaces the configuration field of one pin.
inline void set_pin_mode(GPIO_TypeDef *port, uint32_t pin, uint32_t config)
{
    hw_reg &cr = pin < 8u ? port->CRL : port->CRH;
    cr = (cr & ~pin_field(pin, GPIO_CR_FIELD)) | pin_field(pin, config);
}

// The same configuration for pins first..last of one CRL or CRH.
constexpr uint32_t pin_fields(uint32_t first, uint32_t last, uint32_t config)
{
    uint32_t fields = 0u;
    for (uint32_t pin = first; pin <= last; ++pin) fields |= pin_field(pin, config);
    return fields;
}

// Fields written together in one read-modify-write of a CRL or CRH.
constexpr uint32_t PA0_3_FIELDS = pin_fields(0u, 3u, GPIO_CR_FIELD);
constexpr uint32_t PA0_3_ANALOG = pin_fields(0u, 3u, PIN_ANALOG);
constexpr uint32_t PB12_15_FIELDS = pin_fields(12u, 15u, GPIO_CR_FIELD);
constexpr uint32_t PB12_15_BRIDGE = pin_fields(12u, 15u, PIN_OUT_PP_50MHZ);
constexpr uint32_t PB6_7_FIELDS = pin_fields(6u, 7u, GPIO_CR_FIELD);
constexpr uint32_t PB6_7_PWM = pin_fields(6u, 7u, PIN_AF_PP_50MHZ);
constexpr uint32_t PA5_7_FIELDS = pin_fields(5u, 7u, GPIO_CR_FIELD);
constexpr uint32_t PA5_7_SPI =   // SCK, MISO, MOSI
    pin_field(5u, PIN_AF_PP_50MHZ) | pin_field(6u, PIN_IN_FLOATING) | pin_field(7u, PIN_AF_PP_50MHZ);
static_assert(PA0_3_FIELDS == 0x0000FFFFu && PA0_3_ANALOG == 0u);
static_assert(PB12_15_FIELDS == 0xFFFF0000u && PB12_15_BRIDGE == 0x33330000u);
static_assert(PB6_7_FIELDS == 0xFF000000u && PB6_7_PWM == 0xBB000000u);
static_assert(PA5_7_FIELDS == 0xFFF00000u && PA5_7_SPI == 0xB4B00000u);

// TIM4: 72 MHz / 1600 = 45 kHz, PWM mode 1 on channels 1-3 without preload.
constexpr uint32_t TIM4_ARR_45KHZ = 1599u;
constexpr uint32_t TIM4_CCMR1_PWM = TIM_CCMR1_OC1M_PWM1 | TIM_CCMR1_OC2M_PWM1;
constexpr uint32_t TIM4_CCMR2_PWM = TIM_CCMR2_OC3M_PWM1;
constexpr uint32_t TIM4_CCER_OUT = TIM_CCER_CC1E | TIM_CCER_CC2E | TIM_CCER_CC3E;
static_assert(TIM4_CCMR1_PWM == 0x6060u && TIM4_CCMR2_PWM == 0x0060u && TIM4_CCER_OUT == 0x0111u);
// TIM2: 72 MHz / 18000 = 4 kHz control tick.
constexpr uint32_t TIM2_ARR_4KHZ = 17999u;

// SPI1: mode 3 (CPOL = CPHA = 1), master, PCLK2 / 64 = 1.125 MHz, software
// slave management with the internal select high, 16-bit frames, MSB first,
// enabled by the same write.
constexpr uint32_t SPI1_CR1_SENSOR = SPI_CR1_CPHA | SPI_CR1_CPOL | SPI_CR1_MSTR | SPI_CR1_BR_DIV64 |
                                     SPI_CR1_SPE | SPI_CR1_SSI | SPI_CR1_SSM | SPI_CR1_DFF;
static_assert(SPI1_CR1_SENSOR == 0x0B6Fu);

// USARTs: 115200 baud 8N1, transmitter, receiver and receive interrupt on.
constexpr uint32_t USART1_BRR_115200 = 0x271u;   // 72 MHz / 16 / 39.0625
constexpr uint32_t USART2_BRR_115200 = 0x138u;   // 36 MHz / 16 / 19.5
constexpr uint32_t USART_CR1_CONSOLE = USART_CR1_UE | USART_CR1_RXNEIE | USART_CR1_TE | USART_CR1_RE;
static_assert(USART_CR1_CONSOLE == 0x202Cu);

// NVIC: a priority byte per interrupt, four to a word; the enables 32 to a word.
constexpr uint32_t TIM2_PRIORITY = 0x40u;     // level 4
constexpr uint32_t USART_PRIORITY = 0x00u;    // level 0
constexpr uint32_t priority_byte(uint32_t irq, uint32_t priority)
{
    return priority << (8u * (irq % 4u));
}
constexpr uint32_t enable_bit(uint32_t irq)
{
    return 1u << (irq % 32u);
}

}  // namespace

void board_init(void)
{
    // 1. External 8 MHz crystal.
    RCC->CR |= RCC_CR_HSEON;
    poll_flag(RCC->CR, RCC_CR_HSERDY, RCC_CR_HSERDY, POLL_UNBOUNDED);
    // 2. Two flash wait states before the core goes to 72 MHz.
    FLASH_ACR |= FLASH_ACR_LATENCY_2WS;
    // 3. PLL source, multiplier and bus prescalers in one write.
    RCC->CFGR = CFGR_BOOT;
    // 4. PLL on.
    RCC->CR |= RCC_CR_PLLON;
    poll_flag(RCC->CR, RCC_CR_PLLRDY, RCC_CR_PLLRDY, POLL_UNBOUNDED);
    // 5. System clock from the PLL.
    RCC->CFGR = (RCC->CFGR & ~RCC_CFGR_SW) | RCC_CFGR_SW_PLL;
    poll_flag(RCC->CFGR, RCC_CFGR_SWS, RCC_CFGR_SWS_PLL, POLL_UNBOUNDED);
    // 6. Millisecond tick.
    SYST_RVR = SYSTICK_RELOAD_1MS;
    SYST_CVR = 0u;
    SYST_CSR = SYSTICK_ON;
    // 7. GPIO ports A, B, C.
    RCC->APB2ENR |= APB2_GPIOABC;
    // 8. PA0-PA3 analog inputs.
    GPIOA->CRL = (GPIOA->CRL & ~PA0_3_FIELDS) | PA0_3_ANALOG;
    // 9. ADC1 powered up; the second ADON starts one conversion of channel 0,
    //    whose result is thrown away.
    RCC->APB2ENR |= RCC_APB2ENR_ADC1EN;
    A1_CR1 = 0u;
    A1_CR2 = ADC_CR2_BOOT;
    A1_SMPR2 = ADC_SMPR2_BOOT;
    A1_CR2 |= ADC_CR2_ADON;
    spin_delay(ADC_POWER_UP_SPINS);
    A1_CR2 |= ADC_CR2_ADON;
    read_and_drop(A1_DR);
    // 10. LED PA8 (stays low).
    set_pin_mode(GPIOA, 8u, PIN_OUT_PP_50MHZ);
    // 11. Chip select PA4, then inactive (high).
    set_pin_mode(GPIOA, 4u, PIN_OUT_PP_50MHZ);
    CS_HIGH();
    // 12. Button PC8 with pull-up.
    set_pin_mode(GPIOC, 8u, PIN_IN_PULL);
    GPIOC->ODR |= BTN_PIN;
    // 13. Bridge lines low before they become outputs, so they never glitch
    //     high; fault input PB0 with pull-up.
    GPIOB->ODR &= ~BRIDGE_PINS;
    GPIOB->CRH = (GPIOB->CRH & ~PB12_15_FIELDS) | PB12_15_BRIDGE;
    GPIOB->ODR |= nFault_PIN;
    set_pin_mode(GPIOB, 0u, PIN_IN_PULL);
    // 14. PWM timer TIM4 on PB6-PB8; compares stay 0, all outputs low.
    RCC->APB1ENR |= RCC_APB1ENR_TIM4EN;
    read_and_drop(RCC->APB1ENR);
    GPIOB->CRL = (GPIOB->CRL & ~PB6_7_FIELDS) | PB6_7_PWM;
    set_pin_mode(GPIOB, 8u, PIN_AF_PP_50MHZ);
    T4_PSC = 0u;
    T4_ARR = TIM4_ARR_45KHZ;
    T4_CNT = 0u;
    T4_CCMR1 = TIM4_CCMR1_PWM;
    T4_CCMR2 = TIM4_CCMR2_PWM;
    T4_CCER = TIM4_CCER_OUT;
    T4_EGR = TIM_EGR_UG;
    T4_CR1 = TIM_CR1_CEN;
    // 15. Control timer TIM2 with its update interrupt (not yet enabled in the NVIC).
    RCC->APB1ENR |= RCC_APB1ENR_TIM2EN;
    read_and_drop(RCC->APB1ENR);
    T2_PSC = 0u;
    T2_ARR = TIM2_ARR_4KHZ;
    T2_DIER = TIM_DIER_UIE;
    T2_CR1 = TIM_CR1_CEN;
    // 16. SPI1 on PA5 (SCK), PA6 (MISO), PA7 (MOSI); a stale word is dropped.
    RCC->APB2ENR |= RCC_APB2ENR_SPI1EN;
    GPIOA->CRL = (GPIOA->CRL & ~PA5_7_FIELDS) | PA5_7_SPI;
    SPI1->CR1 = SPI1_CR1_SENSOR;
    read_and_drop(SPI1->DR);
    // 17. USART1 on PA9 (TX), PA10 (RX).
    RCC->APB2ENR |= RCC_APB2ENR_USART1EN;
    set_pin_mode(GPIOA, 9u, PIN_AF_PP_50MHZ);
    set_pin_mode(GPIOA, 10u, PIN_IN_FLOATING);
    U1_BRR = USART1_BRR_115200;
    U1_CR1 = USART_CR1_CONSOLE;
    // 18. USART2 on PA2 (TX), PA3 (RX).
    RCC->APB1ENR |= RCC_APB1ENR_USART2EN;
    read_and_drop(RCC->APB1ENR);
    set_pin_mode(GPIOA, 2u, PIN_AF_PP_50MHZ);
    set_pin_mode(GPIOA, 3u, PIN_IN_FLOATING);
    U2_BRR = USART2_BRR_115200;
    U2_CR1 = USART_CR1_CONSOLE;
    // 19. Priorities, then enables: from here the control tick and the
    //     receive interrupts are live.
    NVIC_IPR7 = (NVIC_IPR7 & ~priority_byte(TIM2_IRQn, 0xFFu)) | priority_byte(TIM2_IRQn, TIM2_PRIORITY);
    NVIC_IPR9 = (NVIC_IPR9 & ~(priority_byte(USART1_IRQn, 0xFFu) | priority_byte(USART2_IRQn, 0xFFu))) |
                priority_byte(USART1_IRQn, USART_PRIORITY) | priority_byte(USART2_IRQn, USART_PRIORITY);
    NVIC_ISER0 = enable_bit(TIM2_IRQn);
    NVIC_ISER1 = enable_bit(USART1_IRQn) | enable_bit(USART2_IRQn);
}

void board_adc_calibrate(void)
{
    A1_CR2 |= ADC_CR2_RSTCAL;
    poll_flag(A1_CR2, ADC_CR2_RSTCAL, 0u, POLL_UNBOUNDED);
    A1_CR2 |= ADC_CR2_CAL;
    poll_flag(A1_CR2, ADC_CR2_CAL, 0u, POLL_UNBOUNDED);
}

void pwm_write(uint16_t u, uint16_t v, uint16_t w)
{
    T4_CCR1 = u;
    T4_CCR2 = v;
    T4_CCR3 = w;
}

// The bridge lines are moved only by the control tick after bring-up, so a
// read-modify-write of the port latch is safe here.
void bridge_on(void)
{
    GPIOB->ODR |= BRIDGE_PINS;
}

void bridge_off(void)
{
    GPIOB->ODR &= ~BRIDGE_PINS;
}

uint32_t bridge_lines(void)
{
    return (GPIOB->ODR & BRIDGE_PINS) / ENA_PIN;
}

int nfault_high(void)
{
    return (GPIOB->IDR & nFault_PIN) ? 1 : 0;
}

int button_pressed(void)
{
    return (GPIOC->IDR & BTN_PIN) ? 0 : 1;
}

// One write to the set or reset register: the control tick may move the chip
// select on the same port at any moment, and a read-modify-write of ODR could
// undo that.
void led_toggle(void)
{
    if (GPIOA->ODR & LED2_PIN) {
        GPIOA->BRR = LED2_PIN;
    } else {
        GPIOA->BSRR = LED2_PIN;
    }
}

int cs_level(void)
{
    return (GPIOA->ODR & MA600A_CS_PIN) ? 1 : 0;
}

void control_timer_pause(void)
{
    T2_CR1 &= ~TIM_CR1_CEN;
}

void control_timer_resume(void)
{
    T2_CR1 |= TIM_CR1_CEN;
}

// TIM2 counts the 72 MHz timer clock. Its reload register holds 16 bits, so
// rates whose reload would not fit (1 kHz needs 71999) count at half the
// clock instead. The prescaler is preloaded and takes effect at the next
// update; the reload applies at once. The timer keeps running throughout.
// Rates outside the console's 1..20 kHz are clamped into it.
void control_timer_set_rate(int32_t khz)
{
    if (khz < 1) {
        khz = 1;
    } else if (khz > 20) {
        khz = 20;
    }
    const uint32_t hz = 1000u * static_cast<uint32_t>(khz);
    uint32_t psc = 0u;
    uint32_t arr = CORE_HZ / hz - 1u;
    if (arr > TIM_ARR_ARR) {
        psc = 1u;
        arr = CORE_HZ / (2u * hz) - 1u;
    }
    T2_PSC = psc;
    T2_ARR = arr;
}
