// libFuzzer's entry for one target; the build names it (FUZZ_ENTRY, one program per target).
#include "targets.hpp"

// The empty input once before the runs, outside libFuzzer's time limit per input: the console target boots its board
// and takes its snapshots then.
extern "C" int LLVMFuzzerInitialize(int *, char ***) { return FUZZ_ENTRY(nullptr, 0); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return FUZZ_ENTRY(data, size); }
