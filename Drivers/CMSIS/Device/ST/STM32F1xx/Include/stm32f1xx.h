// Minimal device header of the STM32F103: base addresses, the register blocks
// the firmware and the virtual board address, and the instance pointers.
// Register storage comes from hw_reg.h, which the build picks (the chip or the
// virtual board). This is the one place where the memory map is written down.
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
    hw_reg ACR, KEYR, OPTKEYR, SR, CR, AR, RESERVED, OBR, WRPR;
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
    hw_reg CR1, CR2, SMCR, DIER, SR, EGR, CCMR1, CCMR2, CCER, CNT, PSC, ARR, RCR, CCR1, CCR2, CCR3,
        CCR4, BDTR, DCR, DMAR;
} TIM_TypeDef;

typedef struct {
    hw_reg SR, DR, BRR, CR1, CR2, CR3, GTPR;
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
    hw_reg IABR[8];
    hw_reg RESERVED4[56];
    hw_reg IPR[16];
} NVIC_Type;

typedef struct {
    hw_reg CPUID, ICSR, VTOR, AIRCR, SCR, CCR, SHPR[3], SHCSR, CFSR, HFSR, DFSR, MMFAR, BFAR, AFSR;
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
