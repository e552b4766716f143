// The reset vector on the chip. Its first step loads the main stack pointer
// with the top of the stack, as the core's own vector fetch does at a
// power-on reset, because a bootloader or debugger that jumps here leaves it
// wherever it was. A naked function has no prologue, so nothing reaches the
// old stack before the load; then the rest of the reset path runs.
#include "vectors.h"

extern "C" [[gnu::naked]] void Reset_Handler(void)
{
    __asm("ldr r0, =_estack\n\t"
          "msr msp, r0\n\t"
          "b reset_path");
}
