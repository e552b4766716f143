#include "cpu/cpu.hpp"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>

namespace sim {

std::string firmware_symbol_name(const char *linker_name)
{
    std::string name = linker_name;
    // Only C++ names are mangled; a plain name such as "i" would otherwise
    // demangle as a type.
    if (name.starts_with("_Z")) {
        int status = 0;
        std::unique_ptr<char, void (*)(void *)> plain(abi::__cxa_demangle(linker_name, nullptr, nullptr, &status), std::free);
        if (status == 0 && plain) name = plain.get();
    }
    static constexpr std::string_view kAnonymous = "(anonymous namespace)::";
    if (name.starts_with(kAnonymous)) name.erase(0, kAnonymous.size());
    return name;
}

}  // namespace sim
