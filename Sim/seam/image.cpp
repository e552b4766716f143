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

// The sections hold the firmware's variables side by side, with whatever a
// memory checker puts between them (AddressSanitizer's guard zones): copied
// as whole sections, byte by byte, out of the checker's sight.
[[gnu::no_sanitize_address]] static void copy_bytes(char *dst, const char *src, size_t n)
{
    for (size_t i = 0; i < n; ++i) static_cast<volatile char *>(dst)[i] = src[i];
}

[[gnu::no_sanitize_address]] static void clear_bytes(char *dst, size_t n)
{
    for (size_t i = 0; i < n; ++i) static_cast<volatile char *>(dst)[i] = 0;
}

// The linker's start and stop symbols are distinct objects to the compiler:
// their distance is taken between addresses, not between pointers.
static size_t bytes_between(const char *start, const char *stop)
{
    return reinterpret_cast<uintptr_t>(stop) - reinterpret_cast<uintptr_t>(start);
}

static const std::vector<char> &load_values()
{
    // Taken before any firmware code has run: the first board is built before.
    static const std::vector<char> image = [] {
        std::vector<char> v(bytes_between(__start_fw_data, __stop_fw_data));
        copy_bytes(v.data(), __start_fw_data, v.size());
        return v;
    }();
    return image;
}

[[maybe_unused]] static const bool g_captured = !load_values().empty() || true;

void restore_firmware_image()
{
    const std::vector<char> &image = load_values();
    copy_bytes(__start_fw_data, image.data(), image.size());
    clear_bytes(__start_fw_bss, bytes_between(__start_fw_bss, __stop_fw_bss));
}

static bool within(const char *p, size_t n, const char *begin, const char *end)
{
    return begin && p >= begin && p <= end && n <= bytes_between(p, end);
}

bool firmware_ram_holds(const void *p, size_t n)
{
    auto c = static_cast<const char *>(p);
    return within(c, n, __start_fw_data, __stop_fw_data) || within(c, n, __start_fw_bss, __stop_fw_bss);
}

}  // namespace sim
