// Layout of the vector table at the start of flash: the initial stack pointer,
// then the handlers of exceptions 1 (reset) to 15 and of IRQ 0 to 42.
#pragma once
#include <stdint.h>

#define VECTOR_SYSTEM_COUNT 15
#define VECTOR_IRQ_COUNT 43

typedef void (*vector_fn)(void);

struct vector_table {
    uint32_t *initial_sp;
    vector_fn handler[VECTOR_SYSTEM_COUNT + VECTOR_IRQ_COUNT];  // [n - 1] serves exception n
};

// The core fetches it from the start of flash, where the linker script puts
// this section first.
extern "C" [[gnu::section(".isr_vector")]] const vector_table g_pfnVectors;
// The reset vector loads the stack pointer (on the chip) and goes on with
// reset_path: copy the initialised data, clear the rest, call main.
extern "C" void Reset_Handler(void);
extern "C" [[noreturn]] void reset_path(void);
extern "C" void Default_Handler(void);
