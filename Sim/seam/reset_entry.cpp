// The reset vector on the virtual board. The chip's first step, loading the
// stack pointer, has nothing to do here: the native firmware runs on the
// stack its runner gave it. The rest of the reset path follows.
#include "vectors.h"

extern "C" void Reset_Handler(void)
{
    reset_path();
}
