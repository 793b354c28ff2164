# The house rules as tests: every include within its room's rules, every C++ file formatted. Each
# rule also runs once with a violation planted (in memory, the tree is not touched) and must name it.
find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(QH_CLANG_FORMAT NAMES clang-format clang-format-14 REQUIRED)
set(QH_INCLUDES ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check-includes.py --root ${PROJECT_SOURCE_DIR})
set(QH_FORMAT ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check-format.py --root ${PROJECT_SOURCE_DIR}
    --clang-format ${QH_CLANG_FORMAT})

add_test(NAME house_include_rules COMMAND ${QH_INCLUDES})
add_test(NAME house_format COMMAND ${QH_FORMAT})
set_tests_properties(house_include_rules house_format PROPERTIES LABELS house)

# name, planted file, planted line, the report that must come out
function(qh_planted_include name file line expect)
    add_test(NAME house_include_rules_refuse_${name} COMMAND ${QH_INCLUDES} --plant "${file}:${line}")
    set_tests_properties(house_include_rules_refuse_${name} PROPERTIES LABELS house
        PASS_REGULAR_EXPRESSION "${expect}" FAIL_REGULAR_EXPRESSION "does not exist")
endfunction()
qh_planted_include(std_in_driver driver/video/video_state.cpp "#include <vector>"
    "driver/video/video_state.cpp:[0-9]+: includes <vector>")
qh_planted_include(host_in_driver driver/audio/audio.cpp "#include \"platform/host/kernel/kernel.h\""
    "driver/audio/audio.cpp:[0-9]+: includes \"platform/host/kernel/kernel.h\"")
qh_planted_include(upward_in_driver driver/hw/engines.cpp "#include \"driver/video/video_input.h\""
    "driver/hw/engines.cpp:[0-9]+: includes \"driver/video/video_input.h\"")
qh_planted_include(sibling_in_driver driver/video/video_state.cpp "#include \"driver/audio/audio.h\""
    "driver/video/video_state.cpp:[0-9]+: includes \"driver/audio/audio.h\"")
qh_planted_include(host_in_sim sim/card.cpp "#include \"platform/host/kernel/kernel.h\""
    "sim/card.cpp:[0-9]+: includes \"platform/host/kernel/kernel.h\"")
qh_planted_include(driver_in_sim sim/card.cpp "#include \"driver/core/devext.h\""
    "sim/card.cpp:[0-9]+: includes \"driver/core/devext.h\"")
qh_planted_include(internals_in_tools tools/quadhdmi/main.cpp "#include \"driver/core/devext.h\""
    "tools/quadhdmi/main.cpp:[0-9]+: includes \"driver/core/devext.h\"")
qh_planted_include(internals_in_client client/client.cpp "#include \"driver/filter/filter.h\""
    "client/client.cpp:[0-9]+: includes \"driver/filter/filter.h\"")
qh_planted_include(host_in_windows_client client/windows/transport.cpp "#include \"platform/host/ks/ks.h\""
    "client/windows/transport.cpp:[0-9]+: includes \"platform/host/ks/ks.h\"")
qh_planted_include(sim_in_device_commands tools/quadhdmi/device/device_commands.cpp "#include \"sim/card.h\""
    "tools/quadhdmi/device/device_commands.cpp:[0-9]+: includes \"sim/card.h\"")
qh_planted_include(session_in_windows_tool tools/quadhdmi/windows/main.cpp "#include \"tools/quadhdmi/session.h\""
    "tools/quadhdmi/windows/main.cpp:[0-9]+: includes \"tools/quadhdmi/session.h\"")

add_test(NAME house_format_refuses_unformatted COMMAND ${QH_FORMAT} --plant driver/hw/engines.cpp)
set_tests_properties(house_format_refuses_unformatted PROPERTIES LABELS house
    PASS_REGULAR_EXPRESSION "driver/hw/engines.cpp: not formatted" FAIL_REGULAR_EXPRESSION "does not exist")
