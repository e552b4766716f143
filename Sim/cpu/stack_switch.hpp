// Telling AddressSanitizer about the native firmware's own stack. The runner
// switches between the host's stack and the firmware's with swapcontext; the
// sanitizer must hear of every switch, or it takes frames of the one stack
// for overflows of the other. A snapshot that puts frames back onto the stack
// puts back the sanitizer's marks on them too (its guard zones around the
// frames' arrays). Without the sanitizer these calls are empty.
// SIM_ADDRESS_SANITIZER tells the rest of the virtual board that it runs
// under the sanitizer.
#pragma once
#include <cstddef>
#include <utility>
#include <vector>

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

// The frames' memory of a stack left for good, or about to be overwritten
// whole, no longer has guard zones: the frames that come next mark their own.
inline void forget_stack_marks([[maybe_unused]] const StackSide &side)
{
#ifdef SIM_ADDRESS_SANITIZER
    __asan_unpoison_memory_region(side.bottom, side.size);
#endif
}

// Guard zones in [from, from + n), as (offset, length) runs.
using StackMarks = std::vector<std::pair<size_t, size_t>>;
inline StackMarks save_stack_marks([[maybe_unused]] const char *from, [[maybe_unused]] size_t n)
{
    StackMarks marks;
#ifdef SIM_ADDRESS_SANITIZER
    for (size_t i = 0; i < n; ++i) {
        if (!__asan_address_is_poisoned(from + i)) continue;
        if (!marks.empty() && marks.back().first + marks.back().second == i) ++marks.back().second;
        else marks.emplace_back(i, 1);
    }
#endif
    return marks;
}

// After forget_stack_marks: the marks saved from the same place.
inline void restore_stack_marks([[maybe_unused]] char *from, [[maybe_unused]] const StackMarks &marks)
{
#ifdef SIM_ADDRESS_SANITIZER
    for (const auto &[offset, length] : marks) __asan_poison_memory_region(from + offset, length);
#endif
}

// Where the sanitizer keeps the frames of functions it watches for use after
// return (ASAN_OPTIONS=detect_stack_use_after_return=1): not on the stack, so
// a snapshot of the stack alone would miss them.
inline bool frames_off_stack([[maybe_unused]] const StackSide &side)
{
#ifdef SIM_ADDRESS_SANITIZER
    return side.fake_frames != nullptr;
#else
    return false;
#endif
}

}  // namespace sim
