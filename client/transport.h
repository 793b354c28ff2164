// How the client's requests reach the system. The client encodes every request once, as user
// mode does (a pin's create request, property requests, stream reads with arrays of stream
// headers); a transport carries those bytes to the class driver and brings back its answer. The
// host build's transport hands them to the host class layer as requests with the documented
// buffer layouts; the Windows build's passes them to the system on the handles it opened.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace qh::client {

// A filter, pin or clock as user mode holds it: on Windows a file handle, on the host the class
// layer's file object.
using Handle = void*;

// What a completed request leaves in its I/O status block.
struct IoStatus {
    NTSTATUS status = STATUS_SUCCESS;
    uint32_t information = 0;
};
using IoCompletion = std::function<void(IoStatus)>;

// Memory of the calling process that requests point into: bytes() is where the process reads
// and writes it, address() what it puts in a request. On Windows the two are the same; on the
// host address() is a user-mode address kernel code cannot touch.
class UserMemory {
public:
    virtual ~UserMemory() = default;
    virtual uint8_t* bytes() = 0;
    virtual void* address(size_t offset = 0) = 0;
    virtual size_t size() const = 0;
};

class Transport {
public:
    virtual ~Transport() = default;

    // `size` bytes of the process's memory for requests to point into (zeroed).
    virtual std::unique_ptr<UserMemory> allocate(size_t size);

    // The class driver's object behind a handle, for tests that look inside; nothing where the
    // transport cannot see the other side.
    virtual void* inspect(Handle handle) const {
        (void)handle;
        return nullptr;
    }

    // The create request of a pin on an open filter: `connect` is a KSPIN_CONNECT immediately
    // followed by its data format (FormatSize bytes), what KsCreatePin sends.
    virtual NTSTATUS create_pin(Handle filter, const std::vector<uint8_t>& connect, Handle* pin) = 0;

    // A device I/O control request that completes before the call returns (IOCTL_KS_PROPERTY):
    // METHOD_NEITHER, so `input` and `output` are the caller's own buffers, as user mode passes
    // them. The output buffer is read for a SET and written for a GET.
    virtual IoStatus control(Handle handle, uint32_t code, const void* input, uint32_t input_length, void* output,
                             uint32_t output_length) = 0;

    // An overlapped request (IOCTL_KS_READ_STREAM). Returns STATUS_PENDING when the request was
    // queued: `done` then runs exactly once, in any thread, possibly before this call returns.
    // Any other return is the request's final status, and `done` is not called. The buffers
    // belong to the request until it completes.
    virtual NTSTATUS control_async(Handle handle, uint32_t code, const void* input, uint32_t input_length, void* output,
                                   uint32_t output_length, IoCompletion done) = 0;

    // Closes the handle. A pin walks down to STOP and gives every pending read back first.
    virtual NTSTATUS close(Handle handle) = 0;
};

}  // namespace qh::client
