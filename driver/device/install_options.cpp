// Reading the installation's options from the device's hardware key.
#include "driver/device/install_options.h"

// The wide literal of each build's WCHAR (16-bit wchar_t on Windows, char16_t on the host).
#if defined(_WIN32)
#define QH_WIDE_(text) L##text
#else
#define QH_WIDE_(text) u##text
#endif
#define QH_WIDE(text) QH_WIDE_(text)

namespace {
const WCHAR kCameraValueName[] = QH_WIDE(QH_CAMERA_VALUE_NAME);
}  // namespace

bool CameraCategoryRequested(PDEVICE_OBJECT PhysicalDeviceObject) {
    HANDLE key = nullptr;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key))) {
        return false;
    }
    UNICODE_STRING name;
    name.Length = sizeof(kCameraValueName) - sizeof(WCHAR);
    name.MaximumLength = sizeof(kCameraValueName);
    name.Buffer = const_cast<PWSTR>(kCameraValueName);
    // Room for a DWORD and no more: a longer value is not the option's (STATUS_BUFFER_OVERFLOW).
    union {
        KEY_VALUE_PARTIAL_INFORMATION info;
        UCHAR bytes[offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data) + sizeof(ULONG)];
    } value;
    ULONG length = 0;
    const NTSTATUS status = ZwQueryValueKey(key, &name, KeyValuePartialInformation, &value, sizeof(value), &length);
    ZwClose(key);
    if (status != STATUS_SUCCESS || value.info.Type != REG_DWORD || value.info.DataLength != sizeof(ULONG)) {
        return false;
    }
    ULONG set = 0;
    RtlCopyMemory(&set, value.info.Data, sizeof(set));
    return set != 0;
}
