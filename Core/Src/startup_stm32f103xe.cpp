// Start-up code of the STM32F103RC: the vector table at the start of flash,
// the reset path into main, and a named stub for every exception and
// interrupt that has no working handler.
#include <stdint.h>

#include "board.h"
#include "console.h"
#include "foc.h"
#include "vectors.h"

int main(void);

// Memory image, defined by the linker script: initialised data is stored in
// flash at _sidata and lives in SRAM from _sdata to _edata; zero-initialised
// data spans _sbss to _ebss; the stack starts at _estack and grows down.
extern "C" uint32_t _estack, _sidata, _sdata, _edata, _sbss, _ebss;

// Every unexpected exception or interrupt ends here and stays; peripherals
// keep their last state.
extern "C" [[gnu::noinline]] void Default_Handler(void)
{
    for (;;) {
    }
}

// Number of 32-bit words from `from` up to `to`. The linker's symbols mark
// the ends of one region but are distinct objects to the compiler, so their
// addresses are subtracted as integers rather than compared as pointers.
static inline uint32_t words_between(const uint32_t *from, const uint32_t *to)
{
    return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(to) - reinterpret_cast<uintptr_t>(from)) / 4u);
}

// The reset path after the stack pointer load, which the reset vector
// (Reset_Handler, beside the register primitive) does first. Nothing runs
// before main but the two copy loops: no clock set-up hook and no static
// constructors (every global is constant initialised). The destinations are
// volatile so that the compiler keeps the word-by-word loops instead of
// calling library routines that might themselves rely on initialised data.
extern "C" void reset_path(void)
{
    const uint32_t *src = &_sidata;
    volatile uint32_t *dst = &_sdata;
    for (uint32_t n = words_between(&_sdata, &_edata); n != 0u; --n) {
        *dst++ = *src++;
    }
    dst = &_sbss;
    for (uint32_t n = words_between(&_sbss, &_ebss); n != 0u; --n) {
        *dst++ = 0u;
    }
    main();
    for (;;) {
    }
}

// One named stub per vector without a working handler, so that a debugger
// shows which exception or interrupt arrived. Each one only jumps to
// Default_Handler.
#define UNUSED_VECTOR(name) \
    extern "C" void name(void) { Default_Handler(); }

UNUSED_VECTOR(NMI_Handler)
UNUSED_VECTOR(HardFault_Handler)
UNUSED_VECTOR(MemManage_Handler)
UNUSED_VECTOR(BusFault_Handler)
UNUSED_VECTOR(UsageFault_Handler)
UNUSED_VECTOR(SVC_Handler)
UNUSED_VECTOR(DebugMon_Handler)
UNUSED_VECTOR(PendSV_Handler)

UNUSED_VECTOR(WWDG_IRQHandler)
UNUSED_VECTOR(PVD_IRQHandler)
UNUSED_VECTOR(TAMPER_IRQHandler)
UNUSED_VECTOR(RTC_IRQHandler)
UNUSED_VECTOR(FLASH_IRQHandler)
UNUSED_VECTOR(RCC_IRQHandler)
UNUSED_VECTOR(EXTI0_IRQHandler)
UNUSED_VECTOR(EXTI1_IRQHandler)
UNUSED_VECTOR(EXTI2_IRQHandler)
UNUSED_VECTOR(EXTI3_IRQHandler)
UNUSED_VECTOR(EXTI4_IRQHandler)
UNUSED_VECTOR(DMA1_Channel1_IRQHandler)
UNUSED_VECTOR(DMA1_Channel2_IRQHandler)
UNUSED_VECTOR(DMA1_Channel3_IRQHandler)
UNUSED_VECTOR(DMA1_Channel4_IRQHandler)
UNUSED_VECTOR(DMA1_Channel5_IRQHandler)
UNUSED_VECTOR(DMA1_Channel6_IRQHandler)
UNUSED_VECTOR(DMA1_Channel7_IRQHandler)
UNUSED_VECTOR(ADC1_2_IRQHandler)
UNUSED_VECTOR(USB_HP_CAN1_TX_IRQHandler)
UNUSED_VECTOR(USB_LP_CAN1_RX0_IRQHandler)
UNUSED_VECTOR(CAN1_RX1_IRQHandler)
UNUSED_VECTOR(CAN1_SCE_IRQHandler)
UNUSED_VECTOR(EXTI9_5_IRQHandler)
UNUSED_VECTOR(TIM1_BRK_IRQHandler)
UNUSED_VECTOR(TIM1_UP_IRQHandler)
UNUSED_VECTOR(TIM1_TRG_COM_IRQHandler)
UNUSED_VECTOR(TIM1_CC_IRQHandler)
UNUSED_VECTOR(TIM3_IRQHandler)
UNUSED_VECTOR(TIM4_IRQHandler)
UNUSED_VECTOR(I2C1_EV_IRQHandler)
UNUSED_VECTOR(I2C1_ER_IRQHandler)
UNUSED_VECTOR(I2C2_EV_IRQHandler)
UNUSED_VECTOR(I2C2_ER_IRQHandler)
UNUSED_VECTOR(SPI1_IRQHandler)
UNUSED_VECTOR(SPI2_IRQHandler)
UNUSED_VECTOR(USART3_IRQHandler)
UNUSED_VECTOR(EXTI15_10_IRQHandler)
UNUSED_VECTOR(RTC_Alarm_IRQHandler)
UNUSED_VECTOR(USBWakeUp_IRQHandler)

#undef UNUSED_VECTOR

// The table the core reads at reset and on every exception entry: the initial
// stack pointer, exceptions 1 to 15 (the architecture's reserved slots 0),
// then IRQ 0 (window watchdog) to IRQ 42 (USB wake-up).
extern "C" [[gnu::used]] constinit const vector_table g_pfnVectors = {
    &_estack,
    {
        Reset_Handler,
        NMI_Handler,
        HardFault_Handler,
        MemManage_Handler,
        BusFault_Handler,
        UsageFault_Handler,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        SVC_Handler,
        DebugMon_Handler,
        nullptr,
        PendSV_Handler,
        SysTick_Handler,
        // IRQ 0..42
        WWDG_IRQHandler,
        PVD_IRQHandler,
        TAMPER_IRQHandler,
        RTC_IRQHandler,
        FLASH_IRQHandler,
        RCC_IRQHandler,
        EXTI0_IRQHandler,
        EXTI1_IRQHandler,
        EXTI2_IRQHandler,
        EXTI3_IRQHandler,
        EXTI4_IRQHandler,
        DMA1_Channel1_IRQHandler,
        DMA1_Channel2_IRQHandler,
        DMA1_Channel3_IRQHandler,
        DMA1_Channel4_IRQHandler,
        DMA1_Channel5_IRQHandler,
        DMA1_Channel6_IRQHandler,
        DMA1_Channel7_IRQHandler,
        ADC1_2_IRQHandler,
        USB_HP_CAN1_TX_IRQHandler,
        USB_LP_CAN1_RX0_IRQHandler,
        CAN1_RX1_IRQHandler,
        CAN1_SCE_IRQHandler,
        EXTI9_5_IRQHandler,
        TIM1_BRK_IRQHandler,
        TIM1_UP_IRQHandler,
        TIM1_TRG_COM_IRQHandler,
        TIM1_CC_IRQHandler,
        TIM2_IRQHandler,      // IRQ 28: control tick
        TIM3_IRQHandler,
        TIM4_IRQHandler,
        I2C1_EV_IRQHandler,
        I2C1_ER_IRQHandler,
        I2C2_EV_IRQHandler,
        I2C2_ER_IRQHandler,
        SPI1_IRQHandler,
        SPI2_IRQHandler,
        USART1_IRQHandler,    // IRQ 37: console receive
        USART2_IRQHandler,    // IRQ 38: console receive
        USART3_IRQHandler,
        EXTI15_10_IRQHandler,
        RTC_Alarm_IRQHandler,
        USBWakeUp_IRQHandler,
    },
};
