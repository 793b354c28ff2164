// The hardware keys of the host's devices and the registry services a driver reads them with.
#include "platform/host/pnp/registry.h"
#include "platform/host/sched/sched.h"

#include "platform/host/kernel/kernel_private.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>

namespace host::registry {
namespace {

struct Key {
    PDEVICE_OBJECT pdo;
    std::vector<Value> values;
};

host::sched::Mutex g_lock;
std::map<PDEVICE_OBJECT, std::shared_ptr<Key>> g_keys;
// Open handles: each is a key object the handle keeps alive, as an object reference does.
std::map<HANDLE, std::shared_ptr<Key>> g_handles;
uintptr_t g_next_handle = 0x80000004;  // kernel handles have the top bit set, multiples of 4
// MediaCategories: each GUID's Name value, as REG_SZ data.
std::map<std::string, std::vector<uint8_t>> g_media_categories;

std::string key_of(const GUID& guid) { return std::string(reinterpret_cast<const char*>(&guid), sizeof guid); }

char16_t fold(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - u'a' + u'A') : c; }

// Value names compare case-insensitively, as the registry compares them.
bool same_name(const std::u16string& a, const UNICODE_STRING& b) {
    const size_t length = b.Length / sizeof(WCHAR);
    if (a.size() != length) return false;
    for (size_t i = 0; i < length; ++i)
        if (fold(a[i]) != fold(b.Buffer[i])) return false;
    return true;
}

}  // namespace

Value Value::dword(std::u16string name, uint32_t value) {
    Value v;
    v.name = std::move(name);
    v.type = REG_DWORD;
    v.data.resize(4);
    std::memcpy(v.data.data(), &value, 4);
    return v;
}

void set_hardware_key(PDEVICE_OBJECT pdo, std::vector<Value> values) {
    std::lock_guard<host::sched::Mutex> guard(g_lock);
    g_keys[pdo] = std::make_shared<Key>(Key{pdo, std::move(values)});
}

void forget_hardware_key(PDEVICE_OBJECT pdo) {
    size_t still_open = 0;
    {
        std::lock_guard<host::sched::Mutex> guard(g_lock);
        g_keys.erase(pdo);
        for (auto& [handle, key] : g_handles)
            still_open += key->pdo == pdo;
    }
    if (still_open)
        verifier::diagnostic("registry: " + std::to_string(still_open) +
                             " handle(s) to the device's hardware key left open at its removal");
}

size_t open_handles() {
    std::lock_guard<host::sched::Mutex> guard(g_lock);
    return g_handles.size();
}

void set_media_category_name(const GUID& guid, std::u16string name) {
    std::vector<uint8_t> data((name.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(data.data(), name.data(), name.size() * sizeof(char16_t));
    std::lock_guard<host::sched::Mutex> guard(g_lock);
    g_media_categories[key_of(guid)] = std::move(data);
}

void forget_media_category(const GUID& guid) {
    std::lock_guard<host::sched::Mutex> guard(g_lock);
    g_media_categories.erase(key_of(guid));
}

bool media_category_name(const GUID& guid, std::vector<uint8_t>* data) {
    std::lock_guard<host::sched::Mutex> guard(g_lock);
    auto it = g_media_categories.find(key_of(guid));
    if (it == g_media_categories.end()) return false;
    *data = it->second;
    return true;
}

}  // namespace host::registry

using namespace host;
using namespace host::registry;

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                       HANDLE* DeviceRegKey) {
    if (!detail::check_irql("IoOpenDeviceRegistryKey", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    (void)DesiredAccess;
    if (!DeviceRegKey) return STATUS_INVALID_PARAMETER;
    *DeviceRegKey = nullptr;
    std::lock_guard<host::sched::Mutex> guard(g_lock);
    auto it = g_keys.find(DeviceObject);
    if (it == g_keys.end()) {
        // Driver Verifier stops a driver that passes anything but a physical device object.
        verifier::bugcheck(verifier::kDriverVerifierViolation,
                           "IoOpenDeviceRegistryKey on a device object that is not an enumerated PDO");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // The driver's software key is not modelled; the driver reads only the hardware key.
    if (DevInstKeyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
    HANDLE handle = reinterpret_cast<HANDLE>(g_next_handle);
    g_next_handle += 4;
    g_handles[handle] = it->second;
    *DeviceRegKey = handle;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                               ULONG Length, PULONG ResultLength) {
    if (!detail::check_irql("ZwQueryValueKey", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    if (!ValueName || !ResultLength || (ValueName->Length && !ValueName->Buffer)) return STATUS_INVALID_PARAMETER;
    if (KeyValueInformationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
    std::lock_guard<host::sched::Mutex> guard(g_lock);
    auto it = g_handles.find(KeyHandle);
    if (it == g_handles.end()) return STATUS_INVALID_HANDLE;
    for (const Value& value : it->second->values) {
        if (!same_name(value.name, *ValueName)) continue;
        const ULONG header = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
        const ULONG needed = header + static_cast<ULONG>(value.data.size());
        *ResultLength = needed;
        // Too small for the fixed part: nothing written. Room for it but not the data: the fixed
        // part and STATUS_BUFFER_OVERFLOW, so the caller learns the type and the size to ask for.
        if (Length < header || !KeyValueInformation) return STATUS_BUFFER_TOO_SMALL;
        auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(KeyValueInformation);
        info->TitleIndex = 0;
        info->Type = value.type;
        info->DataLength = static_cast<ULONG>(value.data.size());
        if (Length < needed) return STATUS_BUFFER_OVERFLOW;
        if (!value.data.empty()) std::memcpy(info->Data, value.data.data(), value.data.size());
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    if (!detail::check_irql("ZwClose", PASSIVE_LEVEL)) return STATUS_INVALID_DEVICE_STATE;
    std::lock_guard<host::sched::Mutex> guard(g_lock);
    if (g_handles.erase(Handle) == 0) {
        // Windows stops a driver that closes a kernel handle it does not hold.
        verifier::bugcheck(verifier::kInvalidKernelHandle, "ZwClose on a handle that is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}
