// Minimal device header of the STM32F103: base addresses, the register blocks
// the firmware and the virtual board address, the instance pointers, and the
// bits and fields of those registers that the firmware sets or tests, under
// their reference-manual names. Register storage comes from hw_reg.h, which
// the build picks (the chip or the virtual board). This is the one place where
// the memory map and the register bits are written down.
#pragma once
#include <stdint.h>
#include "hw_reg.h"

#define PERIPH_BASE      0x40000000UL
#define APB1PERIPH_BASE  PERIPH_BASE
#define APB2PERIPH_BASE  (PERIPH_BASE + 0x10000UL)
#define AHBPERIPH_BASE   (PERIPH_BASE + 0x20000UL)

#define TIM2_BASE        (APB1PERIPH_BASE + 0x0000UL)
#define TIM4_BASE        (APB1PERIPH_BASE + 0x0800UL)
#define USART2_BASE      (APB1PERIPH_BASE + 0x4400UL)
#define I2C2_BASE        (APB1PERIPH_BASE + 0x5800UL)
#define GPIOA_BASE       (APB2PERIPH_BASE + 0x0800UL)
#define GPIOB_BASE       (APB2PERIPH_BASE + 0x0C00UL)
#define GPIOC_BASE       (APB2PERIPH_BASE + 0x1000UL)
#define ADC1_BASE        (APB2PERIPH_BASE + 0x2400UL)
#define SPI1_BASE        (APB2PERIPH_BASE + 0x3000UL)
#define USART1_BASE      (APB2PERIPH_BASE + 0x3800UL)
#define RCC_BASE         (AHBPERIPH_BASE + 0x1000UL)
#define FLASH_R_BASE     (AHBPERIPH_BASE + 0x2000UL)

// Cortex-M3 system control space
#define SCS_BASE         0xE000E000UL
#define SysTick_BASE     (SCS_BASE + 0x0010UL)
#define NVIC_BASE        (SCS_BASE + 0x0100UL)
#define SCB_BASE         (SCS_BASE + 0x0D00UL)

typedef struct {
    hw_reg CR, CFGR, CIR, APB2RSTR, APB1RSTR, AHBENR, APB2ENR, APB1ENR, BDCR, CSR;
} RCC_TypeDef;

typedef struct {
    hw_reg ACR;
} FLASH_TypeDef;

typedef struct {
    hw_reg CRL, CRH, IDR, ODR, BSRR, BRR, LCKR;
} GPIO_TypeDef;

typedef struct {
    hw_reg SR, CR1, CR2, SMPR1, SMPR2, JOFR1, JOFR2, JOFR3, JOFR4, HTR, LTR, SQR1, SQR2, SQR3, JSQR,
        JDR1, JDR2, JDR3, JDR4, DR;
} ADC_TypeDef;

typedef struct {
    hw_reg CR1, CR2, SR, DR, CRCPR, RXCRCR, TXCRCR, I2SCFGR, I2SPR;
} SPI_TypeDef;

typedef struct {
    hw_reg CR1, CR2, SMCR, DIER, SR, EGR, CCMR1, CCMR2, CCER, CNT, PSC, ARR, RESERVED, CCR1, CCR2,
        CCR3;
} TIM_TypeDef;

typedef struct {
    hw_reg SR, DR, BRR, CR1, CR2, CR3;
} USART_TypeDef;

typedef struct {
    hw_reg CR1, CR2, OAR1, OAR2, DR, SR1, SR2, CCR, TRISE;
} I2C_TypeDef;

typedef struct {
    hw_reg CTRL, LOAD, VAL, CALIB;
} SysTick_Type;

// Interrupt enables, pends and priorities of the 64 external interrupts of
// the Cortex-M3 as built in this chip (priority bytes four to a word).
typedef struct {
    hw_reg ISER[8];
    hw_reg RESERVED0[24];
    hw_reg ICER[8];
    hw_reg RESERVED1[24];
    hw_reg ISPR[8];
    hw_reg RESERVED2[24];
    hw_reg ICPR[8];
    hw_reg RESERVED3[24];
    hw_reg RESERVED4[64];
    hw_reg IPR[16];
} NVIC_Type;

typedef struct {
    hw_reg CPUID, ICSR, VTOR, AIRCR, SCR, CCR, SHPR[3];
} SCB_Type;

#define RCC     HW_BLOCK(RCC_TypeDef, RCC_BASE)
#define FLASH   HW_BLOCK(FLASH_TypeDef, FLASH_R_BASE)
#define GPIOA   HW_BLOCK(GPIO_TypeDef, GPIOA_BASE)
#define GPIOB   HW_BLOCK(GPIO_TypeDef, GPIOB_BASE)
#define GPIOC   HW_BLOCK(GPIO_TypeDef, GPIOC_BASE)
#define ADC1    HW_BLOCK(ADC_TypeDef, ADC1_BASE)
#define TIM2    HW_BLOCK(TIM_TypeDef, TIM2_BASE)
#define TIM4    HW_BLOCK(TIM_TypeDef, TIM4_BASE)
#define SPI1    HW_BLOCK(SPI_TypeDef, SPI1_BASE)
#define USART1  HW_BLOCK(USART_TypeDef, USART1_BASE)
#define USART2  HW_BLOCK(USART_TypeDef, USART2_BASE)
#define I2C2    HW_BLOCK(I2C_TypeDef, I2C2_BASE)
#define SysTick HW_BLOCK(SysTick_Type, SysTick_BASE)
#define NVIC    HW_BLOCK(NVIC_Type, NVIC_BASE)
#define SCB     HW_BLOCK(SCB_Type, SCB_BASE)

// Interrupt numbers (position in the NVIC) of the interrupts the firmware uses
#define TIM2_IRQn   28u
#define USART1_IRQn 37u
#define USART2_IRQn 38u

// ---------------------------------------------------------------- register bits
// RCC
#define RCC_CR_HSEON           (1u << 16)
#define RCC_CR_HSERDY          (1u << 17)
#define RCC_CR_PLLON           (1u << 24)
#define RCC_CR_PLLRDY          (1u << 25)
#define RCC_CFGR_SW            (0x3u << 0)    // system clock switch
#define RCC_CFGR_SW_PLL        (0x2u << 0)
#define RCC_CFGR_SWS           (0x3u << 2)    // system clock switch status
#define RCC_CFGR_SWS_PLL       (0x2u << 2)
#define RCC_CFGR_PPRE1_DIV2    (0x4u << 8)    // APB1 = HCLK / 2
#define RCC_CFGR_ADCPRE_DIV6   (0x2u << 14)   // ADC clock = PCLK2 / 6
#define RCC_CFGR_PLLSRC        (1u << 16)     // PLL input: HSE (through PLLXTPRE)
#define RCC_CFGR_PLLMULL9      (0x7u << 18)   // PLL x 9
#define RCC_APB2ENR_IOPAEN     (1u << 2)
#define RCC_APB2ENR_IOPBEN     (1u << 3)
#define RCC_APB2ENR_IOPCEN     (1u << 4)
#define RCC_APB2ENR_ADC1EN     (1u << 9)
#define RCC_APB2ENR_SPI1EN     (1u << 12)
#define RCC_APB2ENR_USART1EN   (1u << 14)
#define RCC_APB1ENR_TIM2EN     (1u << 0)
#define RCC_APB1ENR_TIM4EN     (1u << 2)
#define RCC_APB1ENR_USART2EN   (1u << 17)

// Flash access control
#define FLASH_ACR_LATENCY_2WS  (0x2u << 0)    // two wait states, for 48-72 MHz

// SysTick
#define SysTick_CTRL_ENABLE    (1u << 0)
#define SysTick_CTRL_TICKINT   (1u << 1)
#define SysTick_CTRL_CLKSOURCE (1u << 2)      // processor clock, not HCLK / 8

// GPIO CRL/CRH: four bits per pin (CRL pins 0-7, CRH pins 8-15), MODE in the
// low two, CNF in the high two; the meaning of CNF depends on MODE.
#define GPIO_CR_FIELD          0xFu
#define GPIO_CR_MODE_INPUT     (0x0u << 0)
#define GPIO_CR_MODE_OUT_50MHZ (0x3u << 0)
#define GPIO_CR_CNF_IN_ANALOG  (0x0u << 2)
#define GPIO_CR_CNF_IN_FLOAT   (0x1u << 2)
#define GPIO_CR_CNF_IN_PULL    (0x2u << 2)    // pull-up or pull-down, as ODR says
#define GPIO_CR_CNF_OUT_PP     (0x0u << 2)    // general-purpose push-pull
#define GPIO_CR_CNF_AF_PP      (0x2u << 2)    // alternate-function push-pull

// ADC
#define ADC_SR_EOC             (1u << 1)
#define ADC_CR2_ADON           (1u << 0)
#define ADC_CR2_CAL            (1u << 2)
#define ADC_CR2_RSTCAL         (1u << 3)
#define ADC_CR2_EXTSEL_SWSTART (0x7u << 17)   // regular group started by SWSTART
#define ADC_CR2_EXTTRIG        (1u << 20)
#define ADC_CR2_SWSTART        (1u << 22)
#define ADC_SMPR2_SMP0_239_5   (0x7u << 0)    // sample time 239.5 cycles, channel 0
#define ADC_SMPR2_SMP1_239_5   (0x7u << 3)
#define ADC_SMPR2_SMP2_239_5   (0x7u << 6)
#define ADC_SMPR2_SMP3_239_5   (0x7u << 9)
#define ADC_SQR3_SQ1           (0x1Fu << 0)   // channel of the first conversion
#define ADC_DR_DATA            (0xFFFFu << 0) // regular conversion result

// Timers
#define TIM_CR1_CEN            (1u << 0)
#define TIM_DIER_UIE           (1u << 0)
#define TIM_SR_UIF             (1u << 0)      // cleared by writing 0, writing 1 keeps
#define TIM_EGR_UG             (1u << 0)
#define TIM_ARR_ARR            (0xFFFFu << 0) // auto-reload value: 16 bits on TIM2 to TIM4
#define TIM_CCMR1_OC1M_PWM1    (0x6u << 4)    // PWM mode 1: high while CNT < CCR
#define TIM_CCMR1_OC2M_PWM1    (0x6u << 12)
#define TIM_CCMR2_OC3M_PWM1    (0x6u << 4)
#define TIM_CCER_CC1E          (1u << 0)
#define TIM_CCER_CC2E          (1u << 4)
#define TIM_CCER_CC3E          (1u << 8)

// SPI
#define SPI_CR1_CPHA           (1u << 0)
#define SPI_CR1_CPOL           (1u << 1)
#define SPI_CR1_MSTR           (1u << 2)
#define SPI_CR1_BR_DIV64       (0x5u << 3)    // SCK = PCLK / 64
#define SPI_CR1_SPE            (1u << 6)
#define SPI_CR1_SSI            (1u << 8)
#define SPI_CR1_SSM            (1u << 9)
#define SPI_CR1_DFF            (1u << 11)     // 16-bit frames
#define SPI_SR_RXNE            (1u << 0)
#define SPI_SR_TXE             (1u << 1)
#define SPI_SR_BSY             (1u << 7)

// USART
#define USART_SR_RXNE          (1u << 5)
#define USART_SR_TXE           (1u << 7)
#define USART_CR1_RE           (1u << 2)
#define USART_CR1_TE           (1u << 3)
#define USART_CR1_RXNEIE       (1u << 5)
#define USART_CR1_UE           (1u << 13)
