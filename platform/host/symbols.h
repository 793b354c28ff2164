// Names for the driver's routines, so that what the host reports about them (cost figures, timing
// overruns) reads "channel0VideoDpcRoutine" rather than an address. The host-compiled driver is
// linked into the program, which exports its symbols (see platform/host/CMakeLists.txt); the
// shipped image carries no names, so its routines are described by image and offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host::symbols {

// The name of the function that starts exactly at `routine` ("channel0VideoDpcRoutine",
// "qh::Foo::Bar"; parameters left out), or "" when no symbol starts there.
std::string name_of(const void* routine);

// `name_of(routine)` when there is one; otherwise where the routine lies: "at <image>+0x<offset>"
// for a routine in a loaded driver image, "at 0x<address>" for any other.
std::string where(const void* routine);

// `name_of(routine)` when there is one; otherwise "<what> " + where(routine).
std::string describe(const void* routine, const char* what);

// A driver image mapped at [base, base + size), known by `name` (its file name); removed again
// when the image is unmapped.
void add_image(uintptr_t base, size_t size, const std::string& name);
void remove_image(uintptr_t base);

}  // namespace host::symbols
