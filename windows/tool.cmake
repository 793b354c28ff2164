# quadhdmi.exe: the tool's commands that need only a device (list, reg, stats, capture), over the client's
# Win32 transport, for the cards fitted in a Windows machine. A user-mode console program:
# C++ with exceptions, the C++ run-time and the threads library linked in statically so that it
# needs no DLL beyond Windows' own, relocatable (high-entropy 64-bit address space), NX-compatible.
#
# clang 14 does not find the mingw-w64 GCC's C++ library on Debian (its folder is named
# 12-posix), so the library's headers and archives are named here. The posix flavour is the one
# whose library has std::thread.
file(GLOB QH_MINGW_GCC_DIRS LIST_DIRECTORIES true /usr/lib/gcc/${QH_MINGW_PREFIX}/*-posix)
list(SORT QH_MINGW_GCC_DIRS COMPARE NATURAL ORDER DESCENDING)
list(GET QH_MINGW_GCC_DIRS 0 QH_MINGW_GCC)
if(NOT EXISTS ${QH_MINGW_GCC}/include/c++/thread)
    message(FATAL_ERROR "no mingw-w64 GCC C++ library with threads under /usr/lib/gcc/${QH_MINGW_PREFIX} "
                        "(the g++-mingw-w64-x86-64-posix package)")
endif()
set(QH_USER_CXX_INCLUDE ${QH_MINGW_GCC}/include/c++ ${QH_MINGW_GCC}/include/c++/${QH_MINGW_PREFIX}
    ${QH_MINGW_GCC}/include/c++/backward)
# CLI11 is header-only; only its own folder goes on the include path, not the build machine's
# /usr/include.
find_path(QH_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/cli11)
file(CREATE_LINK ${QH_CLI11_INCLUDE}/CLI ${CMAKE_CURRENT_BINARY_DIR}/cli11/CLI SYMBOLIC)

# The client: its request encoding (client/*.cpp, the same sources as the host's) and its Windows
# transport and card search; client/host/ is the host's transport.
file(GLOB QH_CLIENT_PORTABLE CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/client/*.cpp)
file(GLOB QH_CLIENT_WINDOWS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/client/windows/*.cpp)
file(GLOB QH_TOOL_DEVICE CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/quadhdmi/device/*.cpp)

set(QH_TOOL_EXE_SOURCES ${PROJECT_SOURCE_DIR}/tools/quadhdmi/windows/main.cpp ${PROJECT_SOURCE_DIR}/tools/quadhdmi/describe.cpp
    ${QH_TOOL_DEVICE} ${QH_CLIENT_WINDOWS} ${QH_CLIENT_PORTABLE})
set(QH_TOOL_EXE_COMPILE_FLAGS -O2 -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=src/)
set(QH_TOOL_EXE_LINK_OPTIONS -static -L${QH_MINGW_GCC} -Wl,--subsystem,console -Wl,--dynamicbase -Wl,--nxcompat
    -Wl,--high-entropy-va -Wl,-Xlink=-Brepro -s)
set(QH_TOOL_EXE_LIBS setupapi ksuser pthread)

function(qh_user_program target)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_include_directories(${target} SYSTEM PRIVATE ${QH_USER_CXX_INCLUDE} ${CMAKE_CURRENT_BINARY_DIR}/cli11)
    target_compile_definitions(${target} PRIVATE QH_USER_MODE=1 QH_VERSION="${QH_VERSION}")
    target_compile_options(${target} PRIVATE ${QH_WARNINGS} ${QH_TOOL_EXE_COMPILE_FLAGS})
endfunction()

add_executable(quadhdmi_exe ${QH_TOOL_EXE_SOURCES})
set_target_properties(quadhdmi_exe PROPERTIES OUTPUT_NAME quadhdmi SUFFIX ".exe")
qh_user_program(quadhdmi_exe)
target_link_options(quadhdmi_exe PRIVATE ${QH_TOOL_EXE_LINK_OPTIONS})
target_link_libraries(quadhdmi_exe PRIVATE ${QH_TOOL_EXE_LIBS})

# Under Wine (scripts/deps.sh installs it): a machine without the card. The program starts, prints
# its version and help, and says plainly that it found no card, with its own exit status.
find_program(QH_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QH_WINE)
    set(QH_WINE_RUN ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/wine-run.py --wine ${QH_WINE}
        --prefix ${CMAKE_CURRENT_BINARY_DIR}/wineprefix)
    # The prefix is made once, before the runs, rather than by whichever run comes first.
    add_test(NAME windows_tool_wine_prefix COMMAND ${QH_WINE_RUN} -- wineboot --init)
    add_test(NAME windows_tool_wine_version COMMAND ${QH_WINE_RUN} --expect "^quadhdmi ${QH_VERSION}\r?$"
        -- $<TARGET_FILE:quadhdmi_exe> --version)
    add_test(NAME windows_tool_wine_help COMMAND ${QH_WINE_RUN}
        --expect "^  list +List the filters" --expect "^  reg +Read or write" --expect "^  stats +Read the dropped"
        --expect "^  capture +Capture video" --expect "^  5  no quadhdmi card was found"
        --refuse "^  start |--source|--unplug-after|--driver-image"
        -- $<TARGET_FILE:quadhdmi_exe> --help)
    add_test(NAME windows_tool_wine_list_without_card COMMAND ${QH_WINE_RUN} --status 5
        --expect "^quadhdmi: no quadhdmi card found \\(searched the device interfaces present under KSCATEGORY_CAPTURE, KSCATEGORY_VIDEO, KSCATEGORY_AUDIO"
        --refuse "^card [0-9]"
        -- $<TARGET_FILE:quadhdmi_exe> list)
    # A capture without the card: the same message and status as list, and no file written (the
    # files are opened only once the card is there).
    file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/wine-capture)
    add_test(NAME windows_tool_wine_capture_without_card COMMAND ${QH_WINE_RUN} --status 5
        --expect "^quadhdmi: no quadhdmi card found \\(searched the device interfaces present under KSCATEGORY_CAPTURE"
        --refuse "^card [0-9]|^Captured" --absent x.y4m
        -- $<TARGET_FILE:quadhdmi_exe> capture -i 0 --frames 10 --video x.y4m)
    add_test(NAME windows_tool_wine_capture_refuses_snapshot COMMAND ${QH_WINE_RUN} --status 2
        --expect "^quadhdmi: --snapshot is not offered on Windows" --refuse "no quadhdmi card" --absent x.y4m
        -- $<TARGET_FILE:quadhdmi_exe> capture -i 0 --video x.y4m --snapshot x.png)
    set_tests_properties(windows_tool_wine_capture_without_card windows_tool_wine_capture_refuses_snapshot PROPERTIES
        WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/wine-capture)
    add_test(NAME windows_tool_wine_refuses_a_bad_command_line COMMAND ${QH_WINE_RUN} --status 2
        --expect "^quadhdmi: expected OFFSET VALUE as numbers" --refuse "no quadhdmi card"
        -- $<TARGET_FILE:quadhdmi_exe> reg write 0x10 ten)
    set_tests_properties(windows_tool_wine_prefix PROPERTIES FIXTURES_SETUP wine_prefix RESOURCE_LOCK wine TIMEOUT 600)
    set_tests_properties(windows_tool_wine_version windows_tool_wine_help windows_tool_wine_list_without_card
        windows_tool_wine_capture_without_card windows_tool_wine_capture_refuses_snapshot
        windows_tool_wine_refuses_a_bad_command_line PROPERTIES FIXTURES_REQUIRED wine_prefix RESOURCE_LOCK wine
        TIMEOUT 600)
else()
    message(STATUS "Wine not found: quadhdmi.exe is built and checked, not run (scripts/deps.sh installs wine64)")
endif()

# The client's Windows part's own tests, programs run under Wine (windows/client_test): the
# transport's requests on real handles, and the card search's reading of interface paths.
add_executable(transport_test ${PROJECT_SOURCE_DIR}/windows/client_test/transport_test.cpp
    ${PROJECT_SOURCE_DIR}/client/windows/transport.cpp ${QH_CLIENT_PORTABLE})
add_executable(search_test ${PROJECT_SOURCE_DIR}/windows/client_test/search_test.cpp
    ${PROJECT_SOURCE_DIR}/client/windows/devices.cpp ${PROJECT_SOURCE_DIR}/client/windows/transport.cpp
    ${QH_CLIENT_PORTABLE})
foreach(test transport_test search_test)
    qh_user_program(${test})
    target_link_options(${test} PRIVATE ${QH_TOOL_EXE_LINK_OPTIONS})
    target_link_libraries(${test} PRIVATE ${QH_TOOL_EXE_LIBS})
endforeach()
if(QH_WINE)
    add_test(NAME windows_transport_wine COMMAND ${QH_WINE_RUN} --expect "every check passed"
        -- $<TARGET_FILE:transport_test>)
    add_test(NAME windows_search_wine COMMAND ${QH_WINE_RUN} --expect "every check passed"
        -- $<TARGET_FILE:search_test>)
    set_tests_properties(windows_transport_wine windows_search_wine PROPERTIES FIXTURES_REQUIRED wine_prefix
        RESOURCE_LOCK wine TIMEOUT 600)
endif()
