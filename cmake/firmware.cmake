# The chip image: firmware.elf with its .bin, .hex and .map, and a size report.
file(GLOB TARGET_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Target/*.cpp)
set(LINKER_SCRIPT ${CMAKE_SOURCE_DIR}/STM32F103RCTX_FLASH.ld)

add_executable(firmware.elf ${FIRMWARE_SOURCES} ${TARGET_SOURCES})
target_include_directories(firmware.elf PRIVATE ${FIRMWARE_INCLUDES} ${CMAKE_SOURCE_DIR}/Target)
# Each object's functions with their frame sizes (.su) and call graphs (.ci),
# for tools/stack-report.
target_compile_options(firmware.elf PRIVATE ${FIRMWARE_WARNINGS} -fstack-usage -fcallgraph-info=su)
target_link_options(firmware.elf PRIVATE
    -T${LINKER_SCRIPT} -nostdlib
    -Wl,-Map=${CMAKE_BINARY_DIR}/firmware.map -Wl,--print-memory-usage)
# No start files and no system calls: the C library gives only what the
# compiler itself calls (memcpy, memset), libgcc the soft-float routines.
target_link_libraries(firmware.elf PRIVATE c_nano gcc)
set_target_properties(firmware.elf PROPERTIES LINK_DEPENDS ${LINKER_SCRIPT})
add_custom_command(TARGET firmware.elf POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} -O binary firmware.elf firmware.bin
    COMMAND ${CMAKE_OBJCOPY} -O ihex firmware.elf firmware.hex
    COMMAND ${CMAKE_SIZE} firmware.elf
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
    BYPRODUCTS ${CMAKE_BINARY_DIR}/firmware.bin ${CMAKE_BINARY_DIR}/firmware.hex)

# cmake --build --preset stm32 --target flash: writes the image into the board
# through an ST-Link and verifies it (tools/flash; FLASH_TOOL=st-flash in the
# environment chooses stlink-tools instead of OpenOCD).
add_custom_target(flash
    COMMAND ${CMAKE_SOURCE_DIR}/tools/flash --elf $<TARGET_FILE:firmware.elf>
    DEPENDS firmware.elf
    USES_TERMINAL
    VERBATIM)

# The probe program of the emulated core's tests (not part of the image):
# instruction sequences of known cost, peripheral accesses and exceptions.
set(CPU_PROBE_DIR ${CMAKE_SOURCE_DIR}/Tests/cpu/probe)
add_executable(cpu_probe.elf ${CPU_PROBE_DIR}/probe.S)
target_link_options(cpu_probe.elf PRIVATE -T${CPU_PROBE_DIR}/probe.ld -nostdlib)
set_target_properties(cpu_probe.elf PROPERTIES LINK_DEPENDS ${CPU_PROBE_DIR}/probe.ld)
