// The driver's device extension of a test bed's device, for tests that check state the driver's
// design names (tools ask the test bed's named questions instead: testbed/testbed.h).
#pragma once

#include "driver/core/devext.h"
#include "testbed/testbed.h"

namespace qh {

// Null before a successful add.
inline devext* device_ext(const Testbed& bed) {
    PKSDEVICE device = bed.ksdevice();
    return device ? static_cast<devext*>(device->Context) : nullptr;
}

}  // namespace qh
