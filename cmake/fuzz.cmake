# The libFuzzer targets (preset fuzz, clang): one program per target, each
# the target's entry (Tests/fuzz/targets.hpp) behind libFuzzer's main, built
# with the virtual board and the firmware under ASan and UBSan. libFuzzer's
# coverage is the firmware's and the targets' own: the models' branches would
# only slow every run and steer the search by the simulator's paths.
# tools/fuzz builds and runs one.
target_compile_options(firmware_objs PRIVATE -fsanitize=fuzzer-no-link)
set(FUZZ_TARGETS console number hex_byte frames)
add_library(fuzz_entries STATIC ${CMAKE_SOURCE_DIR}/Tests/fuzz/console_target.cpp
                                ${CMAKE_SOURCE_DIR}/Tests/fuzz/reader_targets.cpp)
target_compile_options(fuzz_entries PRIVATE -Wall -Wextra -Werror -fsanitize=fuzzer-no-link)
target_include_directories(fuzz_entries PRIVATE ${FIRMWARE_INCLUDES})
target_link_libraries(fuzz_entries PUBLIC virtual_board)
foreach(target ${FUZZ_TARGETS})
    add_executable(fuzz-${target} ${CMAKE_SOURCE_DIR}/Tests/fuzz/fuzz_main.cpp)
    target_compile_options(fuzz-${target} PRIVATE -Wall -Wextra -Werror)
    target_compile_definitions(fuzz-${target} PRIVATE FUZZ_ENTRY=fuzz_${target})
    target_link_libraries(fuzz-${target} PRIVATE fuzz_entries)
    target_link_options(fuzz-${target} PRIVATE -fsanitize=fuzzer)
endforeach()
