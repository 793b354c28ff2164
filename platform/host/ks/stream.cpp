// The standard transport: the pin's frame queue with its leading-edge stream pointer, frame
// completion, and pin-centric processing (one worker per pin, the processing mutex, the gate).
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"
#include "platform/host/kernel/priority.h"

#include "platform/host/measure/cost.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/verifier.h"

#include <algorithm>
#include <map>
#include <sys/mman.h>
#include <chrono>
#include <cstdio>
#include <deque>

namespace host::ks {

namespace {

// Completions of one pin are serialised so that the client sees them in queue order even when
// two contexts (a DPC and the pin worker) complete frames at the same time: the completion
// lock is taken while the queue lock is still held, then the queue lock is dropped before the
// client's routine runs.

host::sched::Mutex& completion_lock(PinObj* pin) { return pin->completion_lock; }

void deliver(PinObj* pin, std::unique_lock<host::sched::Mutex>& queue_guard, std::vector<Frame> frames,
             NTSTATUS status) {
    if (frames.empty()) {
        queue_guard.unlock();
        return;
    }
    std::unique_lock<host::sched::Mutex> order(completion_lock(pin));
    CompletionRoutine routine = pin->completion;
    queue_guard.unlock();
    for (Frame& f : frames) {
        end_frame_data(f);  // the frame is the client's again: the kernel's mapping of it ends
        if (status == STATUS_SUCCESS) cost::count_completion(&pin->ks, f.header->DataUsed);
        if (routine) {
            cost::Scope measured(cost::Kind::Completion, &pin->ks);
            routine(f.header, f.cookie, status);
        }
    }
}

void fill_edge(PinObj* pin) {
    const Frame& frame = pin->queue.front();
    PKSSTREAM_HEADER h = frame.header;
    KSSTREAM_POINTER& sp = pin->edge.ks;
    sp.StreamHeader = h;
    sp.OffsetIn = {};
    sp.OffsetOut = {};
    KSSTREAM_POINTER_OFFSET& o = pin->ks.DataFlow == KSPIN_DATAFLOW_IN ? sp.OffsetIn : sp.OffsetOut;
    // The kernel's mapping of the buffer, never the client's own address in h->Data.
    o.Data = frame.system_data ? frame.system_data : static_cast<PUCHAR>(h->Data);
    o.Count = h->Data ? (pin->ks.DataFlow == KSPIN_DATAFLOW_IN ? h->DataUsed : h->FrameExtent) : 0;
    o.Remaining = o.Count;
    sp.Offset = &o;
}

void clear_edge(PinObj* pin) {
    KSSTREAM_POINTER& sp = pin->edge.ks;
    sp.StreamHeader = nullptr;
    sp.Offset = nullptr;
    sp.OffsetIn = {};
    sp.OffsetOut = {};
}

PinObj* pin_of_pointer(PKSSTREAM_POINTER sp, const char* service) {
    if (!sp) {
        record("KsInvalidStreamPointer", std::string(service) + "(NULL)");
        return nullptr;
    }
    PinObj* pin = as_pin(sp->Pin);
    if (!pin || sp != &pin->edge.ks) {
        record("KsInvalidStreamPointer", std::string(service) + ": not a live stream pointer");
        return nullptr;
    }
    return pin;
}

void check_dispatch(const char* service) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
        char text[96];
        std::snprintf(text, sizeof text, "%s called at IRQL %u", service, unsigned(KeGetCurrentIrql()));
        record("KsIrql", text);
    }
}

bool gate_open_locked(PinObj* pin) { return pin->gate.load() >= min_processing_state(pin) && !pin->queue.empty(); }

// The processing mutex. It is not recursive: a thread that takes it again waits for itself
// forever. That is reported as the deadlock it is; inside a verifier capture the call goes on as
// a nested acquisition so the test can continue.
void pm_acquire(PinObj* pin, const char* holder) {
    std::unique_lock<host::sched::Mutex> guard(pin->pm_lock);
    auto self = std::this_thread::get_id();
    if (pin->pm_count > 0 && pin->pm_owner == self) {
        ++pin->pm_count;
        guard.unlock();
        record("KsProcessingMutex",
               std::string(holder) + ": processing mutex acquired by the thread that already holds it (deadlock)");
        return;
    }
    pin->pm_cv.wait(guard, [&] { return pin->pm_count == 0; });
    pin->pm_owner = self;
    pin->pm_count = 1;
    pin->pm_holder = holder;
    pin->pm_since = std::chrono::steady_clock::now();
    pin->pm_since_cpu_ns = cost::thread_cpu_ns();
}

void pm_release(PinObj* pin) {
    std::unique_lock<host::sched::Mutex> guard(pin->pm_lock);
    if (pin->pm_count == 0 || pin->pm_owner != std::this_thread::get_id()) {
        guard.unlock();
        record("KsProcessingMutex", "processing mutex released by a thread that does not own it");
        return;
    }
    if (--pin->pm_count == 0) {
        auto held =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - pin->pm_since)
                .count();
        const uint64_t held_cpu_ns = cost::thread_cpu_ns() - pin->pm_since_cpu_ns;
        const char* holder = pin->pm_holder;
        pin->pm_owner = std::thread::id();
        pin->pm_cv.notify_all();
        guard.unlock();
        const uint64_t limit_us = uint64_t(processing_mutex_limit_ms()) * 1000;
        if (held > int64_t(limit_us) && !host::sched::controlled())  // real time means nothing in a controlled run
            host::verifier::note_overrun("KsProcessingMutexHold", holder, limit_us, held_cpu_ns > limit_us * 1000);
    }
}

// Calls Process while the gate is open, under the processing mutex. The caller has made the pin
// busy, so calls of one pin never overlap.
void run_processing(PinObj* pin) {
    pm_acquire(pin, "pin Process");
    bool dispatch = (pin->flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING) != 0;
    for (;;) {
        {
            std::lock_guard<host::sched::Mutex> guard(pin->queue_lock);
            if (!gate_open_locked(pin)) break;
        }
        {
            std::lock_guard<host::sched::Mutex> guard(pin->work_lock);
            if (pin->quit) break;
            // This call answers every attempt made so far; one made during it asks again.
            pin->wanted = false;
        }
        NTSTATUS status;
        pin->in_process.store(true);
        if (dispatch) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            status = invoke_callback("pin Process", true, [&] {
                cost::Scope measured(cost::Kind::Process, &pin->ks);
                return pin->process(&pin->ks);
            });
            KeLowerIrql(old);
        } else {
            status = invoke_callback("pin Process", true, [&] {
                cost::Scope measured(cost::Kind::Process, &pin->ks);
                return pin->process(&pin->ks);
            });
        }
        pin->in_process.store(false);
        pin->process_calls.fetch_add(1);
        // STATUS_PENDING (and any failure) stops processing until the next trigger.
        if (status != STATUS_SUCCESS) break;
    }
    pm_release(pin);
}

// Asynchronous processing: the pin's own thread (a work item on Windows).
void worker_loop(PinObj* pin) {
    run_at_level(ThreadLevel::Worker);
    for (;;) {
        {
            std::unique_lock<host::sched::Mutex> guard(pin->work_lock);
            // A synchronous run in another thread goes first; an attempt made during it is
            // served here afterwards.
            pin->work_cv.wait(guard, [&] { return (pin->wanted && !pin->busy) || pin->quit; });
            if (pin->quit) return;
            pin->wanted = false;
            pin->busy = true;
        }
        run_processing(pin);
        {
            std::lock_guard<host::sched::Mutex> guard(pin->work_lock);
            pin->busy = false;
            pin->work_cv.notify_all();
        }
    }
}

}  // namespace

void start_worker(PinObj* pin) {
    if (!pin->process) return;
    pin->worker = host::sched::Thread("pin worker", [pin] { worker_loop(pin); });
}

void stop_worker(PinObj* pin) {
    {
        std::lock_guard<host::sched::Mutex> guard(pin->work_lock);
        pin->quit = true;
        pin->work_cv.notify_all();
    }
    if (pin->worker.joinable()) pin->worker.join();
    // A synchronous run in a caller's thread sees `quit` before its next call.
    std::unique_lock<host::sched::Mutex> guard(pin->work_lock);
    pin->work_cv.wait(guard, [&] { return !pin->busy; });
}

void trigger_processing(PinObj* pin, bool synchronous) {
    if (!pin->process) return;
    // As ks.sys does: a pin without asynchronous processing is processed in the thread that
    // caused the trigger, when its IRQL allows the pin's Process (a passive pin from a passive
    // caller, a dispatch-level pin from any caller up to DISPATCH_LEVEL) and no call is running.
    const KIRQL limit = (pin->flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING) ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    if (synchronous && !(pin->flags & KSPIN_FLAG_ASYNCHRONOUS_PROCESSING) && KeGetCurrentIrql() <= limit) {
        std::unique_lock<host::sched::Mutex> guard(pin->work_lock);
        if (!pin->busy && !pin->quit) {
            pin->busy = true;
            pin->wanted = false;
            guard.unlock();
            run_processing(pin);
            guard.lock();
            pin->busy = false;
            pin->work_cv.notify_all();
            return;
        }
    }
    std::lock_guard<host::sched::Mutex> guard(pin->work_lock);
    pin->wanted = true;
    pin->work_cv.notify_all();
}

void flush_queue(PinObj* pin, NTSTATUS status) {
    std::unique_lock<host::sched::Mutex> guard(pin->queue_lock);
    std::vector<Frame> cancelled;
    // A frame under a locked stream pointer is not cancelled until it is unlocked.
    size_t keep = pin->edge.locked ? 1 : 0;
    while (pin->queue.size() > keep) {
        cancelled.push_back(pin->queue.back());
        pin->queue.pop_back();
    }
    std::reverse(cancelled.begin(), cancelled.end());
    if (!pin->edge.locked) clear_edge(pin);
    deliver(pin, guard, std::move(cancelled), status);
}

void set_completion_routine(PKSPIN ks, CompletionRoutine routine) {
    PinObj* pin = as_pin(ks);
    if (!pin) return;
    std::lock_guard<host::sched::Mutex> guard(pin->queue_lock);
    std::lock_guard<host::sched::Mutex> order(completion_lock(pin));
    pin->completion = std::move(routine);
}

NTSTATUS submit_frame(PKSPIN ks, PKSSTREAM_HEADER header, void* cookie) {
    PinObj* pin = as_pin(ks);
    if (!pin || !header) return STATUS_INVALID_PARAMETER;
    if (header->Size < sizeof(KSSTREAM_HEADER)) return STATUS_INVALID_BUFFER_SIZE;
    std::unique_lock<host::sched::Mutex> guard(pin->queue_lock);
    if (pin->reached.load() == KSSTATE_STOP) {
        // Clients start submitting in PAUSE; a frame sent to a stopped pin goes straight back.
        deliver(pin, guard, {Frame{header, cookie}}, STATUS_DEVICE_NOT_READY);
        return STATUS_DEVICE_NOT_READY;
    }
    Frame frame{header, cookie};
    if (header->Data) {
        // Probe and lock: a user buffer gets its kernel mapping; its user address stays as the
        // client gave it in the header. An extent past the buffer's end maps what there is.
        UserMapping m = find_user_mapping(header->Data);
        if (m.user) {
            const size_t room = m.length - (static_cast<uint8_t*>(header->Data) - m.user);
            map_frame_data(header->Data, std::min<size_t>(header->FrameExtent, room), frame);
        }
    }
    bool was_empty = pin->queue.empty();
    pin->queue.push_back(frame);
    guard.unlock();
    if (pin->flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) return STATUS_PENDING;
    if (was_empty || (pin->flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL)) trigger_processing(pin, true);
    return STATUS_PENDING;
}

NTSTATUS queue_frames(PinObj* pin, std::vector<Frame> frames) {
    std::unique_lock<host::sched::Mutex> guard(pin->queue_lock);
    // Clients start submitting in PAUSE; a request sent to a stopped pin goes straight back.
    if (pin->reached.load() == KSSTATE_STOP) {
        guard.unlock();
        for (Frame& f : frames)
            drop_frame_data(f);
        return STATUS_DEVICE_NOT_READY;
    }
    const bool was_empty = pin->queue.empty();
    for (const Frame& f : frames)
        pin->queue.push_back(f);
    guard.unlock();
    if (pin->flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING) return STATUS_PENDING;
    if (was_empty || (pin->flags & KSPIN_FLAG_INITIATE_PROCESSING_ON_EVERY_ARRIVAL)) trigger_processing(pin, true);
    return STATUS_PENDING;
}

size_t queued_frames(PKSPIN ks) {
    PinObj* pin = as_pin(ks);
    if (!pin) return 0;
    std::lock_guard<host::sched::Mutex> guard(pin->queue_lock);
    return pin->queue.size();
}

uint64_t process_calls(PKSPIN ks) {
    PinObj* pin = as_pin(ks);
    return pin ? pin->process_calls.load() : 0;
}

bool process_in_progress(PKSPIN ks) {
    PinObj* pin = as_pin(ks);
    return pin && pin->in_process.load();
}

bool wait_processing_idle(PKSPIN ks, uint32_t timeout_ms) {
    PinObj* pin = as_pin(ks);
    if (!pin) return false;
    std::unique_lock<host::sched::Mutex> guard(pin->work_lock);
    return pin->work_cv.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                                 [&] { return !pin->busy && !pin->wanted; });
}

// ---------------------------------------------------------------------------------------------
// User buffers: the client's memory, and a range of addresses standing for it as the client's
// own (user-mode) addresses. That range is never accessible: a user address means nothing to
// kernel code running in an arbitrary thread or at DISPATCH_LEVEL.

namespace {
host::sched::Mutex g_user_lock;
std::map<uintptr_t, UserMapping> g_user_mappings;  // by user address

const UserMapping* find_locked(uintptr_t a) {
    auto it = g_user_mappings.upper_bound(a);
    if (it == g_user_mappings.begin()) return nullptr;
    --it;
    if (a >= it->first + it->second.length) return nullptr;
    return &it->second;
}

size_t round_to_pages(size_t n) {
    const size_t page = host::guarded::page_size();
    return (n + page - 1) & ~(page - 1);
}

RetiredMappings g_ended_views;  // system views of completed frames
}  // namespace

void RetiredMappings::add(void* mapping, size_t bytes) {
    std::pair<void*, size_t> oldest{nullptr, 0};
    {
        std::lock_guard<host::sched::Mutex> guard(lock_);
        kept_.emplace_back(mapping, bytes);
        if (kept_.size() > kKept) {
            oldest = kept_.front();
            kept_.pop_front();
        }
    }
    if (oldest.first) {
        host::guarded::forget(oldest.first, oldest.second);
        munmap(oldest.first, oldest.second);
    }
}

UserMapping find_user_mapping(const void* address) {
    std::lock_guard<host::sched::Mutex> guard(g_user_lock);
    const UserMapping* m = find_locked(reinterpret_cast<uintptr_t>(address));
    return m ? *m : UserMapping{};
}

bool map_frame_data(const void* address, size_t length, Frame& frame) {
    std::lock_guard<host::sched::Mutex> guard(g_user_lock);  // the buffer stays while it is mapped again
    const UserMapping* m = find_locked(reinterpret_cast<uintptr_t>(address));
    if (!m) return false;
    const size_t offset = static_cast<const uint8_t*>(address) - m->user;
    if (length > m->length - offset) return false;
    const size_t page = host::guarded::page_size();
    const size_t first = offset & ~(page - 1);
    const size_t view_length = round_to_pages(offset + (length ? length : 1)) - first;
    // A shared mapping remapped with no old size gives a second mapping of the same pages.
    void* view = mremap(m->system + first, 0, view_length, MREMAP_MAYMOVE);
    if (view == MAP_FAILED) {
        std::perror("system view of a stream buffer");
        std::abort();
    }
    // Page tables filled in one call rather than by a fault per page at the driver's first touch
    // (an older kernel without the advice faults them in instead).
    (void)madvise(view, view_length, MADV_POPULATE_WRITE);
    // The first write through a new mapping still costs per page on some machines (page-table
    // entry upkeep): it is paid here, in the submitting thread, as Windows' probe-and-lock pays for
    // its mapping, rather than in the driver's first copy. An atomic OR of zero changes no byte,
    // even one a frame sharing the page is being given at the same time.
    for (size_t at = 0; at < view_length; at += page)
        __atomic_fetch_or(static_cast<uint8_t*>(view) + at, uint8_t{0}, __ATOMIC_RELAXED);
    frame.view = static_cast<uint8_t*>(view);
    frame.view_length = view_length;
    frame.system_data = frame.view + (offset - first);
    return true;
}

void end_frame_data(Frame& frame) {
    if (!frame.view) return;
    // The view is replaced by a reservation that holds none of the buffer's pages: a touch faults
    // and, inside a verifier capture, lands in scratch memory instead of the client's data.
    if (mmap(frame.view, frame.view_length, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1,
             0) == MAP_FAILED) {
        std::perror("ending the system view of a stream buffer");
        std::abort();
    }
    host::guarded::protect(frame.view, frame.view_length,
                           "data buffer of a completed frame touched through its system mapping");
    g_ended_views.add(frame.view, frame.view_length);
    frame.view = nullptr;
    frame.system_data = nullptr;
}

void drop_frame_data(Frame& frame) {
    if (!frame.view) return;
    munmap(frame.view, frame.view_length);
    frame.view = nullptr;
    frame.system_data = nullptr;
}

UserBuffer::UserBuffer(size_t size) : size_(size) {
    const size_t bytes = size ? size : 1;
    mapped_ = round_to_pages(bytes);
    reserved_ = mapped_;
    void* memory = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    void* alias = mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED || alias == MAP_FAILED) {
        std::perror("user address range");
        std::abort();
    }
    memory_ = static_cast<uint8_t*>(memory);
    user_ = static_cast<uint8_t*>(alias);
    host::guarded::protect(user_, reserved_,
                           "user-mode address of a stream buffer (StreamHeader->Data) touched by kernel code");
    std::lock_guard<host::sched::Mutex> guard(g_user_lock);
    g_user_mappings[reinterpret_cast<uintptr_t>(user_)] = UserMapping{user_, memory_, bytes};
}

UserBuffer::~UserBuffer() {
    {
        std::lock_guard<host::sched::Mutex> guard(g_user_lock);
        g_user_mappings.erase(reinterpret_cast<uintptr_t>(user_));
    }
    host::guarded::forget(user_, reserved_);
    munmap(user_, reserved_);
    munmap(memory_, mapped_);
}

}  // namespace host::ks

using namespace host::ks;

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
    host::sched::point("KsPinGetLeadingEdgeStreamPointer");
    check_dispatch("KsPinGetLeadingEdgeStreamPointer");
    PinObj* pin = as_pin(Pin);
    if (!pin) return nullptr;
    std::lock_guard<host::sched::Mutex> guard(pin->queue_lock);
    if (State == KSSTREAM_POINTER_STATE_LOCKED) {
        if (pin->queue.empty()) return nullptr;
        if (pin->edge.locked) {
            record("KsStreamPointerLock", "leading edge locked while already locked");
            return &pin->edge.ks;
        }
        pin->edge.locked = true;
        fill_edge(pin);
        return &pin->edge.ks;
    }
    return &pin->edge.ks;
}

void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
    host::sched::point("KsStreamPointerUnlock");
    check_dispatch("KsStreamPointerUnlock");
    PinObj* pin = pin_of_pointer(StreamPointer, "KsStreamPointerUnlock");
    if (!pin) return;
    std::unique_lock<host::sched::Mutex> guard(pin->queue_lock);
    if (!pin->edge.locked) {
        record("KsStreamPointerLock", "unlock of a stream pointer that is not locked");
        return;
    }
    pin->edge.locked = false;
    clear_edge(pin);
    std::vector<Frame> done;
    if (Eject && !pin->queue.empty()) {
        done.push_back(pin->queue.front());
        pin->queue.pop_front();
    }
    deliver(pin, guard, std::move(done), STATUS_SUCCESS);
}

NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer) {
    host::sched::point("KsStreamPointerAdvance");
    check_dispatch("KsStreamPointerAdvance");
    PinObj* pin = pin_of_pointer(StreamPointer, "KsStreamPointerAdvance");
    if (!pin) return STATUS_INVALID_PARAMETER;
    std::unique_lock<host::sched::Mutex> guard(pin->queue_lock);
    std::vector<Frame> done;
    if (!pin->queue.empty()) {
        done.push_back(pin->queue.front());
        pin->queue.pop_front();
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (pin->edge.locked) {
        if (pin->queue.empty()) {
            pin->edge.locked = false;
            clear_edge(pin);
            status = STATUS_DEVICE_NOT_READY;
        } else {
            fill_edge(pin);  // still locked, now on the next frame
        }
    }
    deliver(pin, guard, std::move(done), STATUS_SUCCESS);
    return status;
}

void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
    host::sched::point("KsPinAttemptProcessing");
    check_dispatch("KsPinAttemptProcessing");
    PinObj* pin = as_pin(Pin);
    if (!pin) return;
    {
        // An attempt while the gate is closed is not remembered.
        std::lock_guard<host::sched::Mutex> guard(pin->queue_lock);
        if (!gate_open_locked(pin)) return;
    }
    trigger_processing(pin, !Asynchronous);
}

void KsPinAcquireProcessingMutex(PKSPIN Pin) {
    host::sched::point("KsPinAcquireProcessingMutex");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) record("KsIrql", "KsPinAcquireProcessingMutex above PASSIVE_LEVEL");
    PinObj* pin = as_pin(Pin);
    if (pin) pm_acquire(pin, "KsPinAcquireProcessingMutex");
}

void KsPinReleaseProcessingMutex(PKSPIN Pin) {
    host::sched::point("KsPinReleaseProcessingMutex");
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) record("KsIrql", "KsPinReleaseProcessingMutex above PASSIVE_LEVEL");
    PinObj* pin = as_pin(Pin);
    if (pin) pm_release(pin);
}
