// Requests on real handles; see win32.h for how statuses are told apart.
#include "client/windows/win32.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace qh::client::win32 {

namespace {

// The completion key of the packet that ends the port's thread; requests carry key 0.
constexpr ULONG_PTR kQuitKey = 1;

// One overlapped request in flight. The OVERLAPPED comes first: the port gives its address back.
struct Request {
    OVERLAPPED overlapped{};
    IoCompletion done;
    bool issued = false;  // the issuing thread has decided; guarded by the transport's lock
};
static_assert(offsetof(Request, overlapped) == 0);

// What the request left: the status block when the I/O manager wrote it, the Win32 error otherwise.
IoStatus outcome(const OVERLAPPED& overlapped, DWORD error) {
    if (static_cast<NTSTATUS>(overlapped.Internal) != STATUS_PENDING)
        return IoStatus{static_cast<NTSTATUS>(overlapped.Internal), static_cast<uint32_t>(overlapped.InternalHigh)};
    return IoStatus{status_from_win32(error), 0};
}

}  // namespace

NTSTATUS status_from_win32(unsigned long error) {
    switch (error) {
    case ERROR_SUCCESS: return STATUS_SUCCESS;
    case ERROR_IO_PENDING: return STATUS_PENDING;
    case ERROR_MORE_DATA: return STATUS_BUFFER_OVERFLOW;
    case ERROR_INSUFFICIENT_BUFFER: return STATUS_BUFFER_TOO_SMALL;
    case ERROR_INVALID_PARAMETER: return STATUS_INVALID_PARAMETER;
    case ERROR_INVALID_HANDLE: return STATUS_INVALID_HANDLE;
    case ERROR_NOT_FOUND: return STATUS_NOT_FOUND;
    case ERROR_SET_NOT_FOUND: return STATUS_NOT_FOUND;
    case ERROR_FILE_NOT_FOUND: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ERROR_PATH_NOT_FOUND: return STATUS_OBJECT_PATH_NOT_FOUND;
    case ERROR_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case ERROR_INVALID_FUNCTION: return STATUS_INVALID_DEVICE_REQUEST;
    case ERROR_ACCESS_DENIED: return STATUS_ACCESS_DENIED;
    case ERROR_NO_MATCH: return STATUS_NO_MATCH;
    case ERROR_NOT_READY: return STATUS_DEVICE_NOT_READY;
    case ERROR_BUSY: return STATUS_DEVICE_BUSY;
    case ERROR_BAD_COMMAND: return STATUS_INVALID_DEVICE_STATE;
    case ERROR_OPERATION_ABORTED: return STATUS_CANCELLED;
    case ERROR_DEVICE_REMOVED: return STATUS_DEVICE_REMOVED;
    case ERROR_DEV_NOT_EXIST: return STATUS_DEVICE_DOES_NOT_EXIST;
    case ERROR_SHARING_VIOLATION: return STATUS_SHARING_VIOLATION;
    case ERROR_NOT_ENOUGH_MEMORY: return STATUS_NO_MEMORY;
    case ERROR_NO_SYSTEM_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case ERROR_GEN_FAILURE: return STATUS_UNSUCCESSFUL;
    default:
        // The NTSTATUS that carries a Win32 error: severity error, facility 7 (FACILITY_NTWIN32).
        return static_cast<NTSTATUS>(0xC0070000u | (error & 0xFFFFu));
    }
}

struct Win32Transport::State {
    HANDLE port = nullptr;
    std::thread completions;
    std::mutex lock;
    std::condition_variable decided;

    // Attaches a handle to the port; every handle of the transport is, so that its overlapped
    // requests complete on the port's thread.
    NTSTATUS attach(HANDLE handle) {
        if (!CreateIoCompletionPort(handle, port, 0, 0)) return status_from_win32(GetLastError());
        return STATUS_SUCCESS;
    }

    void run() {
        for (;;) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            // FALSE with an OVERLAPPED is a request that failed: its status is in the OVERLAPPED.
            const BOOL dequeued = GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, INFINITE);
            if (!overlapped) {
                if (key == kQuitKey || !dequeued) return;
                continue;
            }
            auto* request = reinterpret_cast<Request*>(overlapped);
            {
                // The issuing thread may still be reading the request's fields to decide whether
                // the completion is its to report; it owns the request until it has.
                std::unique_lock<std::mutex> guard(lock);
                decided.wait(guard, [&] { return request->issued; });
            }
            request->done(
                IoStatus{static_cast<NTSTATUS>(overlapped->Internal), static_cast<uint32_t>(overlapped->InternalHigh)});
            delete request;
        }
    }
};

Win32Transport::Win32Transport() : state_(std::make_unique<State>()) {
    state_->port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (state_->port) state_->completions = std::thread([s = state_.get()] { s->run(); });
}

Win32Transport::~Win32Transport() {
    if (!state_->port) return;
    // Packets already queued (the reads a pin's close cancelled) are handed out before this one.
    PostQueuedCompletionStatus(state_->port, 0, kQuitKey, nullptr);
    state_->completions.join();
    CloseHandle(state_->port);
}

NTSTATUS Win32Transport::open(const std::wstring& path, Handle* handle) {
    *handle = nullptr;
    if (!state_->port) return STATUS_INSUFFICIENT_RESOURCES;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) return status_from_win32(GetLastError());
    const NTSTATUS status = state_->attach(h);
    if (!NT_SUCCESS(status)) {
        CloseHandle(h);
        return status;
    }
    *handle = h;
    return STATUS_SUCCESS;
}

NTSTATUS Win32Transport::create_pin(Handle filter, const std::vector<uint8_t>& connect, Handle* pin) {
    *pin = nullptr;
    if (!state_->port) return STATUS_INSUFFICIENT_RESOURCES;
    if (connect.size() < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
    // KsCreatePin takes the request as writable memory; the caller's stays as it was.
    std::vector<uint8_t> request(connect);
    HANDLE h = nullptr;
    const DWORD result = KsCreatePin(filter, reinterpret_cast<PKSPIN_CONNECT>(request.data()), GENERIC_READ, &h);
    // KsCreatePin answers with the create request's NTSTATUS, or with a Win32 error when it failed
    // before the request reached the driver; an NTSTATUS failure has its top bit set, a Win32
    // error never has.
    if (result != 0) return (result & 0x80000000u) ? static_cast<NTSTATUS>(result) : status_from_win32(result);
    const NTSTATUS status = state_->attach(h);
    if (!NT_SUCCESS(status)) {
        CloseHandle(h);
        return status;
    }
    *pin = h;
    return STATUS_SUCCESS;
}

IoStatus Win32Transport::control(Handle handle, uint32_t code, const void* input, uint32_t input_length, void* output,
                                 uint32_t output_length) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) return IoStatus{STATUS_INSUFFICIENT_RESOURCES, 0};
    OVERLAPPED overlapped{};
    // The low bit of the event keeps the completion off the port: this thread waits for it itself.
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
    IoStatus result;
    DWORD bytes = 0;
    if (DeviceIoControl(handle, code, const_cast<void*>(input), input_length, output, output_length, nullptr,
                        &overlapped)) {
        result = outcome(overlapped, ERROR_SUCCESS);
    } else {
        DWORD error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            if (!GetOverlappedResult(handle, &overlapped, &bytes, TRUE)) error = GetLastError();
        }
        result = outcome(overlapped, error);
    }
    CloseHandle(event);
    return result;
}

NTSTATUS Win32Transport::control_async(Handle handle, uint32_t code, const void* input, uint32_t input_length,
                                       void* output, uint32_t output_length, IoCompletion done) {
    if (!state_->port) return STATUS_INSUFFICIENT_RESOURCES;
    auto* request = new Request;
    request->done = std::move(done);
    const BOOL completed = DeviceIoControl(handle, code, const_cast<void*>(input), input_length, output, output_length,
                                           nullptr, &request->overlapped);
    const DWORD error = completed ? ERROR_SUCCESS : GetLastError();
    // Accepted: pending, or completed through the status block (a packet is queued either way, and
    // the port's thread reports it). Refused at once: no packet comes, the status is final here.
    const bool accepted =
        completed || error == ERROR_IO_PENDING || static_cast<NTSTATUS>(request->overlapped.Internal) != STATUS_PENDING;
    if (!accepted) {
        delete request;
        return status_from_win32(error);
    }
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        request->issued = true;
    }
    state_->decided.notify_all();
    return STATUS_PENDING;
}

NTSTATUS Win32Transport::close(Handle handle) {
    if (!CloseHandle(handle)) return status_from_win32(GetLastError());
    return STATUS_SUCCESS;
}

}  // namespace qh::client::win32
