// The devices' hardware keys (HKLM\SYSTEM\CurrentControlSet\Enum\<instance>\Device Parameters on
// Windows): what an INF's .HW section writes there before the driver sees the device, readable by
// the driver through IoOpenDeviceRegistryKey(PLUGPLAY_REGKEY_DEVICE) and ZwQueryValueKey.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host::registry {

struct Value {
    std::u16string name;
    ULONG type = REG_DWORD;
    std::vector<uint8_t> data;

    static Value dword(std::u16string name, uint32_t value);
};

// The hardware key of the physical device object `pdo`, until forget_key. Keys exist only for
// physical device objects the PnP manager enumerated.
void set_hardware_key(PDEVICE_OBJECT pdo, std::vector<Value> values);
// The device is gone; a handle to its key still open is a leak the verifier reports.
void forget_hardware_key(PDEVICE_OBJECT pdo);
// Handles opened by the driver and not yet closed.
size_t open_handles();

}  // namespace host::registry
