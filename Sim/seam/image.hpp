#pragma once
#include <cstddef>

namespace sim {
void restore_firmware_image();   // every firmware variable back to its load value
size_t firmware_ram_bytes();
}
