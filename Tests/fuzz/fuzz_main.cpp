// libFuzzer's entry for one target; the build names it (FUZZ_ENTRY, one program per target).
#include "targets.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) { return FUZZ_ENTRY(data, size); }
