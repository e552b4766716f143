#pragma once
#include <cstddef>

namespace sim {
void restore_firmware_image();   // every firmware variable back to its load value
// The n bytes at p lie in the firmware's writable memory.
bool firmware_ram_holds(const void *p, size_t n);
}
