// The graph's master clock and the IKsReferenceClock interfaces handed to pins.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/kernel/kernel.h"

namespace host::ks {

struct MasterClock::Impl {
    mutable host::sched::Mutex lock;
    KSSTATE state = KSSTATE_STOP;
    int64_t accumulated = 0;  // stream time up to the last run start
    int64_t run_start = 0;    // physical time of the last run start
    std::atomic<uint32_t> references{0};
    std::function<void()> released_hook;

    int64_t stream_time_at(int64_t now) const {
        std::lock_guard<host::sched::Mutex> guard(lock);
        return state == KSSTATE_RUN ? accumulated + (now - run_start) : accumulated;
    }
};

// One interface per KsPinGetReferenceClockInterface call, holding one reference.
struct ClockRef final : IKsReferenceClock {
    std::shared_ptr<MasterClock::Impl> clock;
    std::atomic<LONG> count{1};
    std::atomic<bool> retired{false};  // its pin has closed: the interface is dead

    bool dead(const char* method) {
        if (!retired.load()) return false;
        record("KsClockReference", std::string(method) + " on a clock interface whose pin has closed");
        return true;
    }

    NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID, PVOID* Interface) override {
        if (dead("QueryInterface")) return STATUS_DEVICE_NOT_READY;
        if (!Interface) return STATUS_INVALID_PARAMETER;
        AddRef();
        *Interface = this;
        return STATUS_SUCCESS;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        if (dead("AddRef")) return 0;
        clock->references.fetch_add(1);
        return static_cast<ULONG>(count.fetch_add(1) + 1);
    }
    ULONG STDMETHODCALLTYPE Release() override {
        if (dead("Release")) return 0;
        LONG left = count.fetch_sub(1) - 1;
        if (left < 0) {
            count.fetch_add(1);
            record("KsClockReference", "Release of a clock interface with no references left");
            return 0;
        }
        clock->references.fetch_sub(1);
        if (clock->released_hook) clock->released_hook();
        return static_cast<ULONG>(left);
    }
    LONGLONG STDMETHODCALLTYPE GetTime() override {
        if (dead("GetTime")) return 0;
        return clock->stream_time_at(host::now_100ns());
    }
    LONGLONG STDMETHODCALLTYPE GetPhysicalTime() override {
        if (dead("GetPhysicalTime")) return 0;
        return host::now_100ns();
    }
    LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(PLONGLONG SystemTime) override {
        if (dead("GetCorrelatedTime")) return 0;
        int64_t now = host::now_100ns();
        if (SystemTime) *SystemTime = now;
        return clock->stream_time_at(now);
    }
    LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(PLONGLONG SystemTime) override {
        if (dead("GetCorrelatedPhysicalTime")) return 0;
        int64_t now = host::now_100ns();
        if (SystemTime) *SystemTime = now;
        return now;
    }
    NTSTATUS STDMETHODCALLTYPE GetResolution(PKSRESOLUTION Resolution) override {
        if (dead("GetResolution")) return STATUS_DEVICE_NOT_READY;
        if (!Resolution) return STATUS_INVALID_PARAMETER;
        Resolution->Granularity = 1;
        Resolution->Error = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS STDMETHODCALLTYPE GetState(PKSSTATE State) override {
        if (dead("GetState")) return STATUS_DEVICE_NOT_READY;
        if (!State) return STATUS_INVALID_PARAMETER;
        std::lock_guard<host::sched::Mutex> guard(clock->lock);
        *State = clock->state;
        return STATUS_SUCCESS;
    }
};

namespace {
// Interfaces of closed pins are kept (never freed) so that a late Release by the driver is
// reported instead of touching freed memory.
host::sched::Mutex g_retired_lock;
std::vector<std::unique_ptr<ClockRef>> g_retired;
}  // namespace

MasterClock::MasterClock() : impl_(std::make_shared<Impl>()) {}
MasterClock::~MasterClock() = default;

void MasterClock::run() {
    std::lock_guard<host::sched::Mutex> guard(impl_->lock);
    if (impl_->state == KSSTATE_RUN) return;
    impl_->state = KSSTATE_RUN;
    impl_->run_start = host::now_100ns();
}

void MasterClock::pause() {
    int64_t now = host::now_100ns();
    std::lock_guard<host::sched::Mutex> guard(impl_->lock);
    if (impl_->state == KSSTATE_RUN) impl_->accumulated += now - impl_->run_start;
    impl_->state = KSSTATE_PAUSE;
}

void MasterClock::set_offset(int64_t stream_time) {
    std::lock_guard<host::sched::Mutex> guard(impl_->lock);
    impl_->accumulated = stream_time;
    impl_->run_start = host::now_100ns();
}

KSSTATE MasterClock::state() const {
    std::lock_guard<host::sched::Mutex> guard(impl_->lock);
    return impl_->state;
}

int64_t MasterClock::stream_time() const { return impl_->stream_time_at(host::now_100ns()); }
int64_t MasterClock::physical_time() const { return host::now_100ns(); }
uint32_t MasterClock::outstanding_references() const { return impl_->references.load(); }
void MasterClock::on_reference_released(std::function<void()> hook) { impl_->released_hook = std::move(hook); }

NTSTATUS set_master_clock(PKSPIN ks, std::shared_ptr<MasterClock> clock) {
    PinObj* pin = as_pin(ks);
    if (!pin) return STATUS_INVALID_PARAMETER;
    // The master clock can only be assigned or replaced while the pin is stopped.
    if (pin->reached.load() != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
    std::lock_guard<host::sched::Mutex> guard(pin->clock_lock);
    pin->clock = std::move(clock);
    return STATUS_SUCCESS;
}

void release_clock_refs(PinObj* pin) {
    std::lock_guard<host::sched::Mutex> guard(pin->clock_lock);
    for (ClockRef* ref : pin->clock_refs) {
        ref->retired.store(true);
        if (ref->count.load() > 0) record("KsClockReference", "clock interface still referenced at pin close");
        std::lock_guard<host::sched::Mutex> retired(g_retired_lock);
        g_retired.emplace_back(ref);
    }
    pin->clock_refs.clear();
}

}  // namespace host::ks

using namespace host::ks;

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) record("KsIrql", "KsPinGetReferenceClockInterface above PASSIVE_LEVEL");
    PinObj* pin = as_pin(Pin);
    if (!pin || !Interface) return STATUS_INVALID_PARAMETER;
    std::lock_guard<host::sched::Mutex> guard(pin->clock_lock);
    // No master clock: the output is left as it was.
    if (!pin->clock) return STATUS_DEVICE_NOT_READY;
    auto* ref = new ClockRef;
    ref->clock = std::shared_ptr<MasterClock::Impl>(pin->clock, pin->clock->impl());
    ref->clock->references.fetch_add(1);
    pin->clock_refs.push_back(ref);
    *Interface = ref;
    return STATUS_SUCCESS;
}
