// Minimal device header of the STM32F103: base addresses, the register blocks
// the firmware dereferences, and the instance pointers. Register storage comes
// from hw_reg.h, which the build picks (the chip or the virtual board).
#pragma once
#include <stdint.h>
#include "hw_reg.h"

#define PERIPH_BASE      0x40000000UL
#define APB1PERIPH_BASE  PERIPH_BASE
#define APB2PERIPH_BASE  (PERIPH_BASE + 0x10000UL)
#define AHBPERIPH_BASE   (PERIPH_BASE + 0x20000UL)

#define RCC_BASE         (AHBPERIPH_BASE + 0x1000UL)
#define GPIOA_BASE       (APB2PERIPH_BASE + 0x0800UL)
#define GPIOB_BASE       (APB2PERIPH_BASE + 0x0C00UL)
#define GPIOC_BASE       (APB2PERIPH_BASE + 0x1000UL)
#define TIM4_BASE        (APB1PERIPH_BASE + 0x0C00UL)
#define SPI1_BASE        (APB2PERIPH_BASE + 0x3000UL)
#define USART1_BASE      (APB2PERIPH_BASE + 0x3800UL)
#define I2C2_BASE        (APB1PERIPH_BASE + 0x5800UL)

typedef struct {
    hw_reg CR, CFGR, CIR, APB2RSTR, APB1RSTR, AHBENR, APB2ENR, APB1ENR, BDCR, CSR;
} RCC_TypeDef;

typedef struct {
    hw_reg CRL, CRH, IDR, ODR, BSRR, BRR, LCKR;
} GPIO_TypeDef;

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

#define RCC     HW_BLOCK(RCC_TypeDef, RCC_BASE)
#define GPIOA   HW_BLOCK(GPIO_TypeDef, GPIOA_BASE)
#define GPIOB   HW_BLOCK(GPIO_TypeDef, GPIOB_BASE)
#define GPIOC   HW_BLOCK(GPIO_TypeDef, GPIOC_BASE)
#define TIM4    HW_BLOCK(TIM_TypeDef, TIM4_BASE)
#define SPI1    HW_BLOCK(SPI_TypeDef, SPI1_BASE)
#define USART1  HW_BLOCK(USART_TypeDef, USART1_BASE)
#define I2C2    HW_BLOCK(I2C_TypeDef, I2C2_BASE)
