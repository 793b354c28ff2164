// The card search's reading of interface paths, run under Wine: which filter a path names, from
// the reference string the INF registered it with, whatever case Windows hands it back in.
#include "client/windows/win32.h"

#include "driver/public.h"

#include <cstdio>
#include <string>

namespace {

int g_failures = 0;

void expect(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok:  " : "FAIL:", what);
    if (!ok) ++g_failures;
}

// A path as SetupAPI gives it: the device instance with '#' for '\', the interface class, then
// the reference string.
const std::wstring kInstance = L"\\\\?\\pci#ven_ffff&dev_ffff&subsys_00000000&rev_00#4&2f6b1e2&0&00e0#";
const std::wstring kCapture = L"{65e8773d-8f56-11d0-a3b9-00a0c9223196}";

}  // namespace

int main() {
    using qh::client::win32::interface_filter;
    uint32_t index = 99;
    expect(interface_filter(kInstance + kCapture + L"\\{5334913d-6e1d-4e5d-b292-51f5ac2c0187}", index) &&
               index == VideoFilterOf(0),
           "a lower-case reference string names input 0's video filter");
    expect(interface_filter(kInstance + kCapture + L"\\{D222CF62-2A2E-4EBC-8461-6CD13BDF91D3}", index) &&
               index == AudioFilterOf(3),
           "an upper-case one names input 3's audio filter");
    index = 99;
    expect(!interface_filter(kInstance + kCapture, index) && index == 99, "a path without a reference string is none");
    expect(!interface_filter(kInstance + kCapture + L"\\{5334913d-6e1d-4e5d-b292-51f5ac2c0188}", index),
           "another GUID is none of the filters");
    expect(!interface_filter(kInstance + kCapture + L"\\global", index), "a reference string that is no GUID is none");
    expect(!interface_filter(kInstance + kCapture + L"\\{5334913d-6e1d-4e5d-b292+51f5ac2c0187}", index),
           "a malformed GUID is none");
    expect(!interface_filter(kInstance + L"\\{5334913d-6e1d-4e5d-b292-51f5ac2c0187}", index),
           "a reference string not after an interface class is none");
    std::printf(g_failures ? "search: %d check(s) failed\n" : "search: every check passed\n", g_failures);
    return g_failures ? 1 : 0;
}
