// Telling AddressSanitizer about the native firmware's own stack. The runner
// switches between the host's stack and the firmware's with swapcontext; the
// sanitizer must hear of every switch, or it takes frames of the one stack
// for overflows of the other. Without the sanitizer these calls are empty.
// SIM_ADDRESS_SANITIZER tells the rest of the virtual board that it runs
// under the sanitizer.
#pragma once
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define SIM_ADDRESS_SANITIZER 1
#endif
#endif

#ifdef SIM_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace sim {

// One of the two stacks: where it lies, and the sanitizer's record of the
// frames it moved off the stack while that stack was switched away.
struct StackSide {
    const void *bottom = nullptr;
    size_t size = 0;
    void *fake_frames = nullptr;
};

// Just before switching from `from` to `to`; `for_good` when `from` will
// never run again.
inline void leaving_stack([[maybe_unused]] StackSide &from, [[maybe_unused]] const StackSide &to,
                          [[maybe_unused]] bool for_good = false)
{
#ifdef SIM_ADDRESS_SANITIZER
    __sanitizer_start_switch_fiber(for_good ? nullptr : &from.fake_frames, to.bottom, to.size);
#endif
}

// First thing on arriving on `self`; learns where the stack just left lies.
inline void arrived_on_stack([[maybe_unused]] StackSide &self, [[maybe_unused]] StackSide &left)
{
#ifdef SIM_ADDRESS_SANITIZER
    __sanitizer_finish_switch_fiber(self.fake_frames, &left.bottom, &left.size);
#endif
}

}  // namespace sim
