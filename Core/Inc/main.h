// Pin masks of the board and the single-register macros of the firmware.
#pragma once
#include <stddef.h>
#include <stdint.h>
#include "stm32f1xx.h"

// GPIOA
#define MA600A_CS_PIN (1u << 4)   // angle sensor chip select, active low
#define LED2_PIN      (1u << 8)   // heartbeat LED
// GPIOB
#define nFault_PIN    (1u << 0)   // MP6540 fault output, low = fault
#define ENA_PIN       (1u << 12)  // MP6540 half-bridge enables
#define ENB_PIN       (1u << 13)
#define ENC_PIN       (1u << 14)
#define nSleep_PIN    (1u << 15)  // MP6540 sleep control, low = asleep
// GPIOC
#define BTN_PIN       (1u << 8)   // push button, low = pressed

#define BRIDGE_PINS (ENA_PIN | ENB_PIN | ENC_PIN | nSleep_PIN)

// Single registers by peripheral and register name, taken from the device
// header's blocks.
// TIM4: PWM of the three phases
#define T4_CR1    (TIM4->CR1)
#define T4_CR2    (TIM4->CR2)
#define T4_SR     (TIM4->SR)
#define T4_EGR    (TIM4->EGR)
#define T4_CCMR1  (TIM4->CCMR1)
#define T4_CCMR2  (TIM4->CCMR2)
#define T4_CCER   (TIM4->CCER)
#define T4_CNT    (TIM4->CNT)
#define T4_PSC    (TIM4->PSC)
#define T4_ARR    (TIM4->ARR)
#define T4_CCR1   (TIM4->CCR1)
#define T4_CCR2   (TIM4->CCR2)
#define T4_CCR3   (TIM4->CCR3)
// TIM2: control tick
#define T2_CR1    (TIM2->CR1)
#define T2_DIER   (TIM2->DIER)
#define T2_SR     (TIM2->SR)
#define T2_PSC    (TIM2->PSC)
#define T2_ARR    (TIM2->ARR)
// USART1 and USART2: console
#define U1_SR     (USART1->SR)
#define U1_DR     (USART1->DR)
#define U1_BRR    (USART1->BRR)
#define U1_CR1    (USART1->CR1)
#define U2_SR     (USART2->SR)
#define U2_DR     (USART2->DR)
#define U2_BRR    (USART2->BRR)
#define U2_CR1    (USART2->CR1)
// NVIC
#define NVIC_ISER0 (NVIC->ISER[0])
#define NVIC_ISER1 (NVIC->ISER[1])
#define NVIC_IPR7  (NVIC->IPR[7])
#define NVIC_IPR9  (NVIC->IPR[9])
// ADC1: phase current
#define A1_SR     (ADC1->SR)
#define A1_CR1    (ADC1->CR1)
#define A1_CR2    (ADC1->CR2)
#define A1_SMPR2  (ADC1->SMPR2)
#define A1_SQR3   (ADC1->SQR3)
#define A1_DR     (ADC1->DR)
// Flash access control and SysTick
#define FLASH_ACR (FLASH->ACR)
#define SYST_CSR  (SysTick->CTRL)
#define SYST_RVR  (SysTick->LOAD)
#define SYST_CVR  (SysTick->VAL)

// Each of them lands on the bus address of the board's register table.
#define REG_AT(base, block, reg, addr) \
    static_assert((base) + offsetof(block, reg) == (addr), #reg " of " #base)
REG_AT(TIM4_BASE, TIM_TypeDef, CR1, 0x40000800UL);
REG_AT(TIM4_BASE, TIM_TypeDef, CR2, 0x40000804UL);
REG_AT(TIM4_BASE, TIM_TypeDef, SR, 0x40000810UL);
REG_AT(TIM4_BASE, TIM_TypeDef, EGR, 0x40000814UL);
REG_AT(TIM4_BASE, TIM_TypeDef, CCMR1, 0x40000818UL);
REG_AT(TIM4_BASE, TIM_TypeDef, CCMR2, 0x4000081CUL);
REG_AT(TIM4_BASE, TIM_TypeDef, CCER, 0x40000820UL);
REG_AT(TIM4_BASE, TIM_TypeDef, CNT, 0x40000824UL);
REG_AT(TIM4_BASE, TIM_TypeDef, PSC, 0x40000828UL);
REG_AT(TIM4_BASE, TIM_TypeDef, ARR, 0x4000082CUL);
REG_AT(TIM4_BASE, TIM_TypeDef, CCR1, 0x40000834UL);
REG_AT(TIM4_BASE, TIM_TypeDef, CCR2, 0x40000838UL);
REG_AT(TIM4_BASE, TIM_TypeDef, CCR3, 0x4000083CUL);
REG_AT(TIM2_BASE, TIM_TypeDef, CR1, 0x40000000UL);
REG_AT(TIM2_BASE, TIM_TypeDef, DIER, 0x4000000CUL);
REG_AT(TIM2_BASE, TIM_TypeDef, SR, 0x40000010UL);
REG_AT(TIM2_BASE, TIM_TypeDef, PSC, 0x40000028UL);
REG_AT(TIM2_BASE, TIM_TypeDef, ARR, 0x4000002CUL);
REG_AT(USART1_BASE, USART_TypeDef, SR, 0x40013800UL);
REG_AT(USART1_BASE, USART_TypeDef, DR, 0x40013804UL);
REG_AT(USART1_BASE, USART_TypeDef, BRR, 0x40013808UL);
REG_AT(USART1_BASE, USART_TypeDef, CR1, 0x4001380CUL);
REG_AT(USART2_BASE, USART_TypeDef, SR, 0x40004400UL);
REG_AT(USART2_BASE, USART_TypeDef, DR, 0x40004404UL);
REG_AT(USART2_BASE, USART_TypeDef, BRR, 0x40004408UL);
REG_AT(USART2_BASE, USART_TypeDef, CR1, 0x4000440CUL);
REG_AT(NVIC_BASE, NVIC_Type, ISER[0], 0xE000E100UL);
REG_AT(NVIC_BASE, NVIC_Type, ISER[1], 0xE000E104UL);
REG_AT(NVIC_BASE, NVIC_Type, IPR[7], 0xE000E41CUL);
REG_AT(NVIC_BASE, NVIC_Type, IPR[9], 0xE000E424UL);
REG_AT(ADC1_BASE, ADC_TypeDef, SR, 0x40012400UL);
REG_AT(ADC1_BASE, ADC_TypeDef, CR1, 0x40012404UL);
REG_AT(ADC1_BASE, ADC_TypeDef, CR2, 0x40012408UL);
REG_AT(ADC1_BASE, ADC_TypeDef, SMPR2, 0x40012410UL);
REG_AT(ADC1_BASE, ADC_TypeDef, SQR3, 0x40012434UL);
REG_AT(ADC1_BASE, ADC_TypeDef, DR, 0x4001244CUL);
REG_AT(FLASH_R_BASE, FLASH_TypeDef, ACR, 0x40022000UL);
REG_AT(SysTick_BASE, SysTick_Type, CTRL, 0xE000E010UL);
REG_AT(SysTick_BASE, SysTick_Type, LOAD, 0xE000E014UL);
REG_AT(SysTick_BASE, SysTick_Type, VAL, 0xE000E018UL);
#undef REG_AT
