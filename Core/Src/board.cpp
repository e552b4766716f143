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

// RCC CR
constexpr uint32_t RCC_CR_HSEON = 1u << 16;
constexpr uint32_t RCC_CR_HSERDY = 1u << 17;
constexpr uint32_t RCC_CR_PLLON = 1u << 24;
constexpr uint32_t RCC_CR_PLLRDY = 1u << 25;
// RCC CFGR: PLL from HSE undivided, x9; AHB /1, APB1 /2, APB2 /1, ADC /6;
// the system clock still on HSI (SW = 00).
constexpr uint32_t RCC_CFGR_BOOT = 0x001D8400u;
constexpr uint32_t RCC_CFGR_SW_MASK = 0x3u;
constexpr uint32_t RCC_CFGR_SW_PLL = 0x2u;
constexpr uint32_t RCC_CFGR_SWS_MASK = 0xCu;
constexpr uint32_t RCC_CFGR_SWS_PLL = 0x8u;
// Peripheral clock enables
constexpr uint32_t APB2_GPIOABC = 0x1Cu;
constexpr uint32_t APB2_ADC1 = 0x200u;
constexpr uint32_t APB2_SPI1 = 0x1000u;
constexpr uint32_t APB2_USART1 = 0x4000u;
constexpr uint32_t APB1_TIM2 = 0x1u;
constexpr uint32_t APB1_TIM4 = 0x4u;
constexpr uint32_t APB1_USART2 = 0x20000u;

constexpr uint32_t FLASH_LATENCY_2WS = 2u;
constexpr uint32_t SYSTICK_RELOAD_1MS = 71999u;   // 72 MHz / 72000 = 1 kHz
constexpr uint32_t SYSTICK_ON = 7u;               // counter, exception, core clock

// ADC1
constexpr uint32_t ADC_CR2_ADON = 1u << 0;
constexpr uint32_t ADC_CR2_CAL = 1u << 2;
constexpr uint32_t ADC_CR2_RSTCAL = 1u << 3;
constexpr uint32_t ADC_CR2_SWSTART_TRIGGER = 0x001E0000u;   // external trigger on, source SWSTART
constexpr uint32_t ADC_SMPR2_239_5_CH0_3 = 0x00000FFFu;
constexpr uint32_t ADC_POWER_UP_SPINS = 100u;

// Pin configuration fields
constexpr uint32_t PIN_OUT_PP_50MHZ = 0x3u;
constexpr uint32_t PIN_AF_PP_50MHZ = 0xBu;
constexpr uint32_t PIN_IN_FLOATING = 0x4u;
constexpr uint32_t PIN_IN_PULL = 0x8u;

// Replaces the 4-bit configuration field of one pin: CRL holds pins 0-7,
// CRH pins 8-15.
inline void set_pin_mode(GPIO_TypeDef *port, uint32_t pin, uint32_t field)
{
    hw_reg &cr = pin < 8u ? port->CRL : port->CRH;
    const uint32_t shift = 4u * (pin % 8u);
    cr = (cr & ~(0xFu << shift)) | (field << shift);
}

// TIM4: 72 MHz / 1600 = 45 kHz, PWM mode 1 on channels 1-3 without preload.
constexpr uint32_t TIM4_ARR_45KHZ = 1599u;
constexpr uint32_t TIM4_CCMR1_PWM1_CH12 = 0x6060u;
constexpr uint32_t TIM4_CCMR2_PWM1_CH3 = 0x0060u;
constexpr uint32_t TIM4_CCER_CH123 = 0x0111u;
// TIM2: 72 MHz / 18000 = 4 kHz control tick.
constexpr uint32_t TIM2_ARR_4KHZ = 17999u;
constexpr uint32_t TIM_CR1_CEN = 1u << 0;
constexpr uint32_t TIM_DIER_UIE = 1u << 0;
constexpr uint32_t TIM_EGR_UG = 1u << 0;

// SPI1: mode 3, master, PCLK2/64, SSM+SSI, 16-bit frames, enabled.
constexpr uint32_t SPI1_CR1_SENSOR = 0x0B6Fu;

// USARTs: 115200 baud 8N1, receive interrupt.
constexpr uint32_t USART1_BRR_115200 = 0x271u;   // 72 MHz / 16 / 39.0625
constexpr uint32_t USART2_BRR_115200 = 0x138u;   // 36 MHz / 16 / 19.5
constexpr uint32_t USART_CR1_ON_RXNEIE = 0x202Cu;

// NVIC
constexpr uint32_t TIM2_IRQ = 28u;
constexpr uint32_t USART1_IRQ = 37u;
constexpr uint32_t USART2_IRQ = 38u;
constexpr uint32_t TIM2_PRIORITY = 0x40u;     // level 4
constexpr uint32_t USART_PRIORITY = 0x00u;    // level 0

constexpr uint32_t CORE_HZ = 72000000u;

}  // namespace

void board_init(void)
{
    // 1. External 8 MHz crystal.
    RCC->CR |= RCC_CR_HSEON;
    while (!(RCC->CR & RCC_CR_HSERDY)) {
    }
    // 2. Two flash wait states before the core goes to 72 MHz.
    FLASH_ACR |= FLASH_LATENCY_2WS;
    // 3. PLL source, multiplier and bus prescalers in one write.
    RCC->CFGR = RCC_CFGR_BOOT;
    // 4. PLL on.
    RCC->CR |= RCC_CR_PLLON;
    while (!(RCC->CR & RCC_CR_PLLRDY)) {
    }
    // 5. System clock from the PLL.
    RCC->CFGR = (RCC->CFGR & ~RCC_CFGR_SW_MASK) | RCC_CFGR_SW_PLL;
    while ((RCC->CFGR & RCC_CFGR_SWS_MASK) != RCC_CFGR_SWS_PLL) {
    }
    // 6. Millisecond tick.
    SYST_RVR = SYSTICK_RELOAD_1MS;
    SYST_CVR = 0u;
    SYST_CSR = SYSTICK_ON;
    // 7. GPIO ports A, B, C.
    RCC->APB2ENR |= APB2_GPIOABC;
    // 8. PA0-PA3 analog inputs.
    GPIOA->CRL &= ~0x0000FFFFu;
    // 9. ADC1 powered up; the second ADON starts one conversion of channel 0,
    //    whose result is thrown away.
    RCC->APB2ENR |= APB2_ADC1;
    A1_CR1 = 0u;
    A1_CR2 = ADC_CR2_SWSTART_TRIGGER;
    A1_SMPR2 = ADC_SMPR2_239_5_CH0_3;
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
    GPIOB->CRH = (GPIOB->CRH & 0x0000FFFFu) | 0x33330000u;
    GPIOB->ODR |= nFault_PIN;
    set_pin_mode(GPIOB, 0u, PIN_IN_PULL);
    // 14. PWM timer TIM4 on PB6-PB8; compares stay 0, all outputs low.
    RCC->APB1ENR |= APB1_TIM4;
    read_and_drop(RCC->APB1ENR);
    GPIOB->CRL = (GPIOB->CRL & 0x00FFFFFFu) | 0xBB000000u;
    set_pin_mode(GPIOB, 8u, PIN_AF_PP_50MHZ);
    T4_PSC = 0u;
    T4_ARR = TIM4_ARR_45KHZ;
    T4_CNT = 0u;
    T4_CCMR1 = TIM4_CCMR1_PWM1_CH12;
    T4_CCMR2 = TIM4_CCMR2_PWM1_CH3;
    T4_CCER = TIM4_CCER_CH123;
    T4_EGR = TIM_EGR_UG;
    T4_CR1 = TIM_CR1_CEN;
    // 15. Control timer TIM2 with its update interrupt (not yet enabled in the NVIC).
    RCC->APB1ENR |= APB1_TIM2;
    read_and_drop(RCC->APB1ENR);
    T2_PSC = 0u;
    T2_ARR = TIM2_ARR_4KHZ;
    T2_DIER = TIM_DIER_UIE;
    T2_CR1 = TIM_CR1_CEN;
    // 16. SPI1 on PA5 (SCK), PA6 (MISO), PA7 (MOSI); a stale word is dropped.
    RCC->APB2ENR |= APB2_SPI1;
    GPIOA->CRL = (GPIOA->CRL & 0x000FFFFFu) | 0xB4B00000u;
    SPI1->CR1 = SPI1_CR1_SENSOR;
    read_and_drop(SPI1->DR);
    // 17. USART1 on PA9 (TX), PA10 (RX).
    RCC->APB2ENR |= APB2_USART1;
    set_pin_mode(GPIOA, 9u, PIN_AF_PP_50MHZ);
    set_pin_mode(GPIOA, 10u, PIN_IN_FLOATING);
    U1_BRR = USART1_BRR_115200;
    U1_CR1 = USART_CR1_ON_RXNEIE;
    // 18. USART2 on PA2 (TX), PA3 (RX).
    RCC->APB1ENR |= APB1_USART2;
    read_and_drop(RCC->APB1ENR);
    set_pin_mode(GPIOA, 2u, PIN_AF_PP_50MHZ);
    set_pin_mode(GPIOA, 3u, PIN_IN_FLOATING);
    U2_BRR = USART2_BRR_115200;
    U2_CR1 = USART_CR1_ON_RXNEIE;
    // 19. Priorities, then enables: from here the control tick and the
    //     receive interrupts are live.
    NVIC_IPR7 = (NVIC_IPR7 & ~0xFFu) | (TIM2_PRIORITY << (8u * (TIM2_IRQ % 4u)));
    NVIC_IPR9 = (NVIC_IPR9 & ~0x00FFFF00u) | (USART_PRIORITY << (8u * (USART1_IRQ % 4u))) |
                (USART_PRIORITY << (8u * (USART2_IRQ % 4u)));
    NVIC_ISER0 = 1u << TIM2_IRQ;
    NVIC_ISER1 = (1u << (USART1_IRQ - 32u)) | (1u << (USART2_IRQ - 32u));
}

void board_adc_calibrate(void)
{
    A1_CR2 |= ADC_CR2_RSTCAL;
    while (A1_CR2 & ADC_CR2_RSTCAL) {
    }
    A1_CR2 |= ADC_CR2_CAL;
    while (A1_CR2 & ADC_CR2_CAL) {
    }
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
    return (GPIOB->ODR >> 12) & 0xFu;
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
    if (arr > 0xFFFFu) {
        psc = 1u;
        arr = CORE_HZ / (2u * hz) - 1u;
    }
    T2_PSC = psc;
    T2_ARR = arr;
}
