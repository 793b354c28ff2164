// The kernel's fast-fail for the driver as the host compiles it. The image raises the same stop
// through int 0x29, which the image loader's fault handler turns into it.
#include "platform/platform.h"
#include "platform/host/diag/verifier.h"

#include <cstdio>

void NTAPI FastFail(ULONG Code) {
    char text[160];
    std::snprintf(text, sizeof text, "fast-fail code %lu: %s", static_cast<unsigned long>(Code),
                  host::verifier::fast_fail_reason(Code));
    host::verifier::fatal_stop(host::verifier::kKernelSecurityCheckFailure, text);
}
