// The host class layer's registry of live objects (every pointer the driver hands back is
// checked against it, KsGetDevice walks from it) and how a broken class rule is reported.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/measure/cost.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace host::ks {

// ---------------------------------------------------------------------------------------------
// Diagnostics

namespace {
std::atomic<uint32_t> g_pm_limit_ms{100};
}  // namespace

void record(const char* rule, const std::string& text) {
    std::string line = std::string(rule) + ": " + text;
    // KsGetDevice is a pointer walk: calling it at DISPATCH_LEVEL is a finding, not a crash.
    if (std::strcmp(rule, "KsGetDeviceIrql") == 0) {
        host::verifier::diagnostic("ks: " + line);
        return;
    }
    host::verifier::bugcheck(host::verifier::kDriverVerifierViolation, line);
}

void set_processing_mutex_limit_ms(uint32_t ms) { g_pm_limit_ms = ms; }
uint32_t processing_mutex_limit_ms() { return g_pm_limit_ms.load(); }

// ---------------------------------------------------------------------------------------------
// Registry of live objects

namespace {
host::sched::Mutex g_registry_lock;
std::unordered_map<const void*, Kind> g_registry;
}  // namespace

void register_object(const void* object, Kind kind) {
    std::lock_guard<host::sched::Mutex> guard(g_registry_lock);
    g_registry[object] = kind;
}

void unregister_object(const void* object) {
    std::lock_guard<host::sched::Mutex> guard(g_registry_lock);
    g_registry.erase(object);
}

bool is_live(const void* object, Kind kind) {
    std::lock_guard<host::sched::Mutex> guard(g_registry_lock);
    auto it = g_registry.find(object);
    return it != g_registry.end() && it->second == kind;
}

static const char* kind_name(Kind k) {
    switch (k) {
    case Kind::Device: return "device";
    case Kind::Filter: return "filter";
    case Kind::Pin: return "pin";
    }
    return "?";
}

template <typename T>
static T* checked(const void* object, Kind kind) {
    if (object && is_live(object, kind)) return reinterpret_cast<T*>(const_cast<void*>(object));
    char text[96];
    std::snprintf(text, sizeof text, "%p is not a live %s", object, kind_name(kind));
    record("KsInvalidObject", text);
    return nullptr;
}

DeviceObj* as_device(const void* object) { return checked<DeviceObj>(object, Kind::Device); }
FilterObj* as_filter(const void* object) { return checked<FilterObj>(object, Kind::Filter); }
PinObj* as_pin(const void* object) {
    PinObj* pin = checked<PinObj>(object, Kind::Pin);
    // Every service naming a pin comes through here: a DPC or interrupt routine calling one is
    // seen serving that pin (what the cost figures relate).
    if (pin) cost::note_pin(&pin->ks);
    return pin;
}

void require_passive(const char* service) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        char text[96];
        std::snprintf(text, sizeof text, "%s called at IRQL %u", service, unsigned(KeGetCurrentIrql()));
        record("KsIrql", text);
    }
}

}  // namespace host::ks

// ---------------------------------------------------------------------------------------------
// The class services the driver calls

using namespace host::ks;

PKSDEVICE KsGetDevice(PVOID Object) {
    if (KeGetCurrentIrql() > PASSIVE_LEVEL) record("KsGetDeviceIrql", "KsGetDevice called above PASSIVE_LEVEL");
    {
        std::lock_guard<host::sched::Mutex> guard(g_registry_lock);
        auto it = g_registry.find(Object);
        if (it != g_registry.end()) {
            switch (it->second) {
            case Kind::Device: return static_cast<PKSDEVICE>(Object);
            case Kind::Filter: return &static_cast<FilterObj*>(Object)->device->ks;
            case Kind::Pin: return &static_cast<PinObj*>(Object)->filter->device->ks;
            }
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "KsGetDevice(%p): not a live object", Object);
    record("KsInvalidObject", text);
    return nullptr;
}
