// The device power handlers: how the bus tells a device model its function's power state.
#include "platform/host/bus/bus.h"
#include "platform/host/sched/sched.h"

#include <map>
#include <mutex>

namespace host {

namespace {
struct PowerHandlers {
    // Held while a handler runs: an unregistration waits for it, and two state changes of one
    // function never overlap.
    host::sched::Mutex lock;
    std::map<const void*, PowerHandler> by_function;
};
PowerHandlers& power_handlers() {
    static auto* p = new PowerHandlers;
    return *p;
}
}  // namespace

void register_power_handler(const void* function, PowerHandler handler) {
    PowerHandlers& p = power_handlers();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    p.by_function[function] = std::move(handler);
}

void unregister_power_handler(const void* function) {
    PowerHandlers& p = power_handlers();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    p.by_function.erase(function);
}

void set_device_power(const void* function, DevicePower state) {
    PowerHandlers& p = power_handlers();
    std::lock_guard<host::sched::Mutex> guard(p.lock);
    auto it = p.by_function.find(function);
    if (it != p.by_function.end()) it->second(state);
}
}  // namespace host
