// The firmware's memory image on the host. The partial link gathers every
// writable firmware byte into the sections fw_data and fw_bss; a power-on
// reset puts back the load values of the first and zeroes the second, as the
// chip's reset path does with .data and .bss.
#include "image.hpp"

#include <cstdint>
#include <vector>

extern "C" {
extern char __start_fw_data[] __attribute__((weak));
extern char __stop_fw_data[] __attribute__((weak));
extern char __start_fw_bss[] __attribute__((weak));
extern char __stop_fw_bss[] __attribute__((weak));

// The chip's linker symbols, renamed fw_* by the partial link. The image is
// already in place on the host, so the reset path's copy and clear loops find
// empty ranges.
uint32_t sim_empty_range[1];
uint32_t sim_stack_top[1];
}
asm(".globl fw_sidata\n .set fw_sidata, sim_empty_range\n"
    ".globl fw_sdata\n  .set fw_sdata, sim_empty_range\n"
    ".globl fw_edata\n  .set fw_edata, sim_empty_range\n"
    ".globl fw_sbss\n   .set fw_sbss, sim_empty_range\n"
    ".globl fw_ebss\n   .set fw_ebss, sim_empty_range\n"
    ".globl fw_estack\n .set fw_estack, sim_stack_top\n");

namespace sim {

// The sections span many globals, and under AddressSanitizer the gaps between
// them are poisoned redzones: a library copy (which the sanitizer checks)
// would report them. These byte loops copy the section as the chip's reset
// path does, without instrumentation, and through a volatile destination so
// that the compiler cannot turn them back into a library call.
[[gnu::no_sanitize_address]] static void copy_section(volatile char *dst, const char *src, size_t n)
{
    for (size_t i = 0; i < n; ++i) dst[i] = src[i];
}

[[gnu::no_sanitize_address]] static void clear_section(volatile char *dst, size_t n)
{
    for (size_t i = 0; i < n; ++i) dst[i] = 0;
}

// The linker's start and stop symbols are distinct objects to the compiler:
// their distance is taken between addresses, not between pointers.
static size_t bytes_between(const char *start, const char *stop)
{
    return reinterpret_cast<uintptr_t>(stop) - reinterpret_cast<uintptr_t>(start);
}
static size_t data_bytes() { return bytes_between(__start_fw_data, __stop_fw_data); }
static size_t bss_bytes() { return bytes_between(__start_fw_bss, __stop_fw_bss); }

static const std::vector<char> &load_values()
{
    // Taken before any firmware code has run: the first board is built before.
    static const std::vector<char> image = [] {
        std::vector<char> v(data_bytes());
        copy_section(v.data(), __start_fw_data, v.size());
        return v;
    }();
    return image;
}

[[maybe_unused]] static const bool g_captured = !load_values().empty() || true;

void restore_firmware_image()
{
    const std::vector<char> &image = load_values();
    copy_section(__start_fw_data, image.data(), image.size());
    clear_section(__start_fw_bss, bss_bytes());
}

size_t firmware_ram_bytes() { return data_bytes() + bss_bytes(); }

}  // namespace sim
