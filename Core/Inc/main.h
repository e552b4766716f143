// Pin masks of the board and the single-register macros of the firmware.
#pragma once
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

// TIM4: PWM of the three phases
#define T4_CR1    HW_REG(0x40000800UL)
#define T4_CR2    HW_REG(0x40000804UL)
#define T4_SR     HW_REG(0x40000810UL)
#define T4_EGR    HW_REG(0x40000814UL)
#define T4_CCMR1  HW_REG(0x40000818UL)
#define T4_CCMR2  HW_REG(0x4000081CUL)
#define T4_CCER   HW_REG(0x40000820UL)
#define T4_CNT    HW_REG(0x40000824UL)
#define T4_PSC    HW_REG(0x40000828UL)
#define T4_ARR    HW_REG(0x4000082CUL)
#define T4_CCR1   HW_REG(0x40000834UL)
#define T4_CCR2   HW_REG(0x40000838UL)
#define T4_CCR3   HW_REG(0x4000083CUL)
// TIM2: control tick
#define T2_CR1    HW_REG(0x40000000UL)
#define T2_DIER   HW_REG(0x4000000CUL)
#define T2_SR     HW_REG(0x40000010UL)
#define T2_PSC    HW_REG(0x40000028UL)
#define T2_ARR    HW_REG(0x4000002CUL)
// USART1 and USART2: console
#define U1_SR     HW_REG(0x40013800UL)
#define U1_DR     HW_REG(0x40013804UL)
#define U1_BRR    HW_REG(0x40013808UL)
#define U1_CR1    HW_REG(0x4001380CUL)
#define U2_SR     HW_REG(0x40004400UL)
#define U2_DR     HW_REG(0x40004404UL)
#define U2_BRR    HW_REG(0x40004408UL)
#define U2_CR1    HW_REG(0x4000440CUL)
// NVIC
#define NVIC_ISER0 HW_REG(0xE000E100UL)
#define NVIC_ISER1 HW_REG(0xE000E104UL)
#define NVIC_IPR7  HW_REG(0xE000E41CUL)
#define NVIC_IPR9  HW_REG(0xE000E424UL)
// ADC1: phase current
#define A1_SR     HW_REG(0x40012400UL)
#define A1_CR1    HW_REG(0x40012404UL)
#define A1_CR2    HW_REG(0x40012408UL)
#define A1_SMPR2  HW_REG(0x40012410UL)
#define A1_SQR3   HW_REG(0x40012434UL)
#define A1_DR     HW_REG(0x4001244CUL)
// Written by bare address: flash access control and SysTick
#define FLASH_ACR    HW_REG(0x40022000UL)
#define SYST_CSR     HW_REG(0xE000E010UL)
#define SYST_RVR     HW_REG(0xE000E014UL)
#define SYST_CVR     HW_REG(0xE000E018UL)
