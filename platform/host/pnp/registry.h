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

// The system's media categories (HKLM\SYSTEM\CurrentControlSet\Control\MediaCategories): the
// display names installations register under a GUID, which the class driver reads to answer the
// pin and node name properties. Nothing is registered until an installation (a test) does it.
void set_media_category_name(const GUID& guid, std::u16string name);
void forget_media_category(const GUID& guid);
// The Name value under the GUID's key as REG_SZ data (UTF-16, terminating NUL included); false
// when the key or its Name value does not exist.
bool media_category_name(const GUID& guid, std::vector<uint8_t>* data);

}  // namespace host::registry
