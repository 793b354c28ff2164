// The trace sink: where DbgPrint and RtlAssert output goes in the host build. Every DbgPrint call
// is kept as one entry with its exact text (formatted the way the Windows kernel formats it) and
// a monotonic time stamp. Thread-safe; readable by tests and the tool.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace host::trace {

struct Line {
    uint64_t sequence;  // 0, 1, 2, ... in emission order (not reset by clear())
    int64_t time_ns;    // monotonic, since process start
    uint64_t thread;    // host::thread_id() of the emitter
    std::string text;   // exactly what the call produced (normally ends with '\n')
};

// Formats like the Windows kernel's DbgPrint (32-bit %d/%u/%x/%X and 'l'; 'll', 'I64' 64-bit;
// 'I' pointer-sized; %p as 16 upper-case hex digits; %s/%c; width, precision, flags), at most
// 512 bytes of output. The arguments come as a Windows x64 variable list (every argument in an
// 8-byte slot), which is how both a host-compiled driver and the loaded image call DbgPrint.
__attribute__((ms_abi)) std::string format(const char* fmt, ...);
std::string vformat(const char* fmt, __builtin_ms_va_list& args);

// Appends one entry and tells the listeners.
void emit(std::string_view text);

// Everything kept so far, and everything from a mark on.
std::vector<Line> snapshot();
using Mark = uint64_t;
Mark mark();
std::vector<Line> since(Mark from);
// Texts only, concatenated in order (convenient for substring checks).
std::string text_since(Mark from);
// Number of entries since `from` whose text equals `text` exactly.
size_t count_exact(Mark from, std::string_view text);
// Waits (up to timeout_ms) until an entry since `from` contains `needle`.
bool wait_for(Mark from, std::string_view needle, uint32_t timeout_ms);
void clear();

// Listeners see each entry as it is emitted, on the emitting thread; they must not emit.
using Listener = std::function<void(const Line&)>;
int add_listener(Listener listener);
void remove_listener(int id);

}  // namespace host::trace
