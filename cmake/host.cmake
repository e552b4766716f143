# The host build: the firmware compiled natively against the virtual board,
# the virtual board itself, foc-sim and the tests.
find_package(GTest REQUIRED)
find_package(PkgConfig REQUIRED)
pkg_check_modules(UNICORN REQUIRED IMPORTED_TARGET unicorn)   # the emulated Cortex-M3
include(GoogleTest)
enable_testing()

# The sanitize preset: every host object, the firmware included, under
# AddressSanitizer and UndefinedBehaviorSanitizer; the first report aborts the
# program, so it fails its test.
option(FOC_SANITIZE "Build the host side with ASan and UBSan" OFF)
if(FOC_SANITIZE)
    set(SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_compile_options(${SANITIZE_FLAGS})
    add_link_options(${SANITIZE_FLAGS})
endif()

# Firmware objects, partially linked into one object whose writable data sits
# in two named sections (fw_data, fw_bss): a power-on reset of the virtual
# board restores exactly those bytes. `main` becomes `fw_main` so that host
# programs keep their own, and the chip's memory-image symbols become fw_*
# ones that the virtual board defines (the host linker has an _edata of its
# own, which the firmware must not see).
set(FIRMWARE_RENAMES --redefine-sym main=fw_main)
foreach(sym _sidata _sdata _edata _sbss _ebss _estack)
    list(APPEND FIRMWARE_RENAMES --redefine-sym ${sym}=fw${sym})
endforeach()
add_library(firmware_objs OBJECT ${FIRMWARE_SOURCES})
target_include_directories(firmware_objs PUBLIC ${FIRMWARE_INCLUDES} ${CMAKE_SOURCE_DIR}/Sim/seam)
target_compile_options(firmware_objs PRIVATE ${FIRMWARE_WARNINGS} -fno-rtti)

set(FIRMWARE_HOST_OBJ ${CMAKE_BINARY_DIR}/firmware_host.o)
add_custom_command(
    OUTPUT ${FIRMWARE_HOST_OBJ}
    COMMAND ${CMAKE_CXX_COMPILER} -r -nostdlib -Wl,-T,${CMAKE_SOURCE_DIR}/Sim/seam/firmware_sections.ld
            -o ${FIRMWARE_HOST_OBJ}.tmp $<TARGET_OBJECTS:firmware_objs>
    COMMAND ${CMAKE_OBJCOPY} ${FIRMWARE_RENAMES} ${FIRMWARE_HOST_OBJ}.tmp ${FIRMWARE_HOST_OBJ}
    DEPENDS firmware_objs $<TARGET_OBJECTS:firmware_objs> ${CMAKE_SOURCE_DIR}/Sim/seam/firmware_sections.ld
    COMMAND_EXPAND_LISTS
    COMMENT "Partial link of the firmware for the virtual board")
set_source_files_properties(${FIRMWARE_HOST_OBJ} PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)

# The virtual MCU: time, NVIC and register models of the chip, without the
# firmware. It reads the chip's memory map from the device header.
file(GLOB MCU_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Sim/mcu/*.cpp)
add_library(virtual_mcu STATIC ${MCU_SOURCES})
target_include_directories(virtual_mcu PUBLIC ${CMAKE_SOURCE_DIR}/Sim
    ${CMAKE_SOURCE_DIR}/Drivers/CMSIS/Device/ST/STM32F1xx/Include ${CMAKE_SOURCE_DIR}/Sim/seam)
target_compile_options(virtual_mcu PRIVATE -Wall -Wextra -Werror)

# The virtual board: plant, CPUs and the board around the MCU, with the firmware.
file(GLOB_RECURSE SIM_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Sim/*.cpp)
list(FILTER SIM_SOURCES EXCLUDE REGEX "/Sim/(app|mcu)/")
add_library(virtual_board STATIC ${SIM_SOURCES} ${FIRMWARE_HOST_OBJ})
# Only the native CPU and the seam see the firmware's headers.
target_include_directories(virtual_board PUBLIC ${CMAKE_SOURCE_DIR}/Sim PRIVATE ${FIRMWARE_INCLUDES} ${CMAKE_SOURCE_DIR}/Sim/seam)
target_compile_options(virtual_board PRIVATE -Wall -Wextra -Werror)
target_link_libraries(virtual_board PUBLIC virtual_mcu PkgConfig::UNICORN)

file(GLOB APP_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Sim/app/*.cpp)
add_executable(foc-sim ${APP_SOURCES})
target_compile_options(foc-sim PRIVATE -Wall -Wextra -Werror)
target_link_libraries(foc-sim PRIVATE virtual_board)

# Tests of the virtual MCU alone: they link no firmware.
file(GLOB MCU_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Tests/mcu/*.cpp)
add_executable(mcu_tests ${MCU_TEST_SOURCES})
target_compile_options(mcu_tests PRIVATE -Wall -Wextra -Werror)
target_link_libraries(mcu_tests PRIVATE virtual_mcu GTest::gtest GTest::gtest_main)
gtest_discover_tests(mcu_tests DISCOVERY_TIMEOUT 60)

set(FIRMWARE_ELF ${CMAKE_SOURCE_DIR}/build/stm32/firmware.elf CACHE FILEPATH "Chip image checked by the image tests")
set(CPU_PROBE_ELF ${CMAKE_SOURCE_DIR}/build/stm32/cpu_probe.elf CACHE FILEPATH "ARM probe program of the emulated core's tests")
file(GLOB_RECURSE TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/Tests/*.cpp)
list(FILTER TEST_SOURCES EXCLUDE REGEX "/Tests/mcu/|_bench\\.cpp$")
add_executable(foc_tests ${TEST_SOURCES})
target_compile_options(foc_tests PRIVATE -Wall -Wextra -Werror)
target_compile_definitions(foc_tests PRIVATE
    FIRMWARE_ELF="${FIRMWARE_ELF}" CPU_PROBE_ELF="${CPU_PROBE_ELF}" FOC_SIM="$<TARGET_FILE:foc-sim>" SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_include_directories(foc_tests PRIVATE ${CMAKE_SOURCE_DIR}/Tests ${FIRMWARE_INCLUDES})
target_link_libraries(foc_tests PRIVATE virtual_board GTest::gtest GTest::gtest_main)
add_dependencies(foc_tests foc-sim)
gtest_discover_tests(foc_tests DISCOVERY_TIMEOUT 60)

# Speed of the emulated core on the chip image (a report, not a test).
add_executable(arm-core-bench ${CMAKE_SOURCE_DIR}/Tests/cpu/arm_core_bench.cpp)
target_compile_options(arm-core-bench PRIVATE -Wall -Wextra -Werror)
target_compile_definitions(arm-core-bench PRIVATE FIRMWARE_ELF="${FIRMWARE_ELF}")
target_link_libraries(arm-core-bench PRIVATE virtual_board)

# The chip image's worst stack depth against the stack reservation of the
# linker script (skipped without a chip image), and the report tool's tests.
get_filename_component(FIRMWARE_BUILD_DIR ${FIRMWARE_ELF} DIRECTORY)
add_test(NAME StackReport.WorstDepthWithinHalfTheReservation
         COMMAND ${CMAKE_SOURCE_DIR}/tools/stack-report --check ${FIRMWARE_BUILD_DIR})
set_tests_properties(StackReport.WorstDepthWithinHalfTheReservation PROPERTIES SKIP_RETURN_CODE 77)
add_test(NAME StackReport.Tool COMMAND ${CMAKE_SOURCE_DIR}/Tests/tools/stack_report_test.py)
