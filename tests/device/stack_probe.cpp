// A small routine compiled with the driver's stack protection (tests/CMakeLists.txt gives this
// file the driver's flags), for the stack guard test to overrun.
#include "tests/device/stack_probe.h"

// The address and undefined-behaviour sanitizers would report the overrun themselves before the
// guard is compared; the test is about what the driver's own protection does.
__attribute__((noinline, no_sanitize("address", "undefined"))) int FillStackBuffer(size_t count) {
    char buffer[16];
    volatile char* bytes = buffer;
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>('A' + i % 26);
    return bytes[0] + bytes[15];
}
