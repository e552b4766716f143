// The firmware's memory image on the host. The partial link gathers every
// writable firmware byte into the sections fw_data and fw_bss; a power-on
// reset puts back the load values of the first and zeroes the second, as the
// chip's reset path does with .data and .bss.
#include "image.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
extern char __start_fw_data[] __attribute__((weak));
extern char __stop_fw_data[] __attribute__((weak));
extern char __start_fw_bss[] __attribute__((weak));
extern char __stop_fw_bss[] __attribute__((weak));

// The chip's linker symbols. The image is already in place on the host, so
// the reset path's copy and clear loops find empty ranges.
uint32_t sim_empty_range[1];
uint32_t sim_stack_top[1];
}
asm(".globl _sidata\n .set _sidata, sim_empty_range\n"
    ".globl _sdata\n  .set _sdata, sim_empty_range\n"
    ".globl _edata\n  .set _edata, sim_empty_range\n"
    ".globl _sbss\n   .set _sbss, sim_empty_range\n"
    ".globl _ebss\n   .set _ebss, sim_empty_range\n"
    ".globl _estack\n .set _estack, sim_stack_top\n");

namespace sim {

static const std::vector<char> &load_values()
{
    // Taken before any firmware code has run: the first board is built before.
    static const std::vector<char> image(__start_fw_data, __stop_fw_data);
    return image;
}

[[maybe_unused]] static const bool g_captured = !load_values().empty() || true;

void restore_firmware_image()
{
    const std::vector<char> &image = load_values();
    if (!image.empty()) std::memcpy(__start_fw_data, image.data(), image.size());
    if (__start_fw_bss) std::memset(__start_fw_bss, 0, static_cast<size_t>(__stop_fw_bss - __start_fw_bss));
}

static bool within(const char *p, size_t n, const char *begin, const char *end)
{
    return begin && p >= begin && p <= end && n <= static_cast<size_t>(end - p);
}

bool firmware_ram_holds(const void *p, size_t n)
{
    auto c = static_cast<const char *>(p);
    return within(c, n, __start_fw_data, __stop_fw_data) || within(c, n, __start_fw_bss, __stop_fw_bss);
}

}  // namespace sim
