#pragma once
#include <cstddef>
#include <vector>

namespace sim {
void restore_firmware_image();   // every firmware variable back to its load value
// Every firmware variable as it is now, and back to such a copy.
std::vector<char> save_firmware_ram();
void restore_firmware_ram(const std::vector<char> &saved);
// A byte copy that AddressSanitizer does not check: for memory that holds
// its guard zones between the objects (the firmware's sections, a stack).
void copy_unchecked(void *dst, const void *src, size_t n);
// The n bytes at p lie in the firmware's writable memory.
bool firmware_ram_holds(const void *p, size_t n);
}
