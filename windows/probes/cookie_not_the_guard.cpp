// Fault: the load configuration names a cookie the compiled code never compares: Windows' loader
// seeds that one and the guard keeps its value from the file.
#include <stddef.h>

namespace {
struct ProbeLoadConfig {
    unsigned Size;
    unsigned char Unused[0x54];
    unsigned long long* SecurityCookie;
};
static_assert(offsetof(ProbeLoadConfig, SecurityCookie) == 0x58);
}  // namespace

extern "C" unsigned long long probe_cookie = 0x00002B992DDFA232ull;
extern "C" __attribute__((used)) const ProbeLoadConfig _load_config_used = {sizeof(ProbeLoadConfig), {}, &probe_cookie};
extern "C" long probe_fault(void* argument) { return argument != nullptr; }
