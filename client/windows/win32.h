// The client on Windows: a transport over the handles the system gives (filters opened by their
// interface paths, pins made by KsCreatePin), and the cards found through SetupAPI.
//
// Statuses. The client speaks NTSTATUS; Win32 hands most results back as Win32 errors, which
// RtlNtStatusToDosError folded from the driver's NTSTATUS, often many to one. Every handle is
// opened for overlapped I/O, and every request, synchronous ones included, goes with an OVERLAPPED:
// once the I/O manager has completed the request through its I/O status block, the OVERLAPPED's
// Internal field holds the driver's own NTSTATUS and InternalHigh its Information, and that is
// what the client gets (also for warnings such as STATUS_BUFFER_OVERFLOW, which DeviceIoControl
// reports as ERROR_MORE_DATA). A request refused before it completed through the status block
// (a bad handle, or a driver failing it at once, for which the I/O manager writes no status back
// to an overlapped caller) leaves Internal at STATUS_PENDING; only then is the Win32 error mapped
// back (status_from_win32): the common ones to the NTSTATUS they come from, any other to the
// NTSTATUS that carries a Win32 error (facility 7).
#pragma once

#include "client/client.h"
#include "client/transport.h"
#include "platform/platform.h"

#include <memory>
#include <string>
#include <vector>

namespace qh::client::win32 {

NTSTATUS status_from_win32(unsigned long error);

// The transport over real handles. Overlapped requests complete on one thread of its own, which
// waits on an I/O completion port every handle the transport carries requests for is attached to.
class Win32Transport final : public Transport {
public:
    Win32Transport();
    ~Win32Transport() override;
    Win32Transport(const Win32Transport&) = delete;
    Win32Transport& operator=(const Win32Transport&) = delete;

    // A filter's interface, opened for overlapped I/O and attached to the port.
    NTSTATUS open(const std::wstring& path, Handle* handle);

    NTSTATUS create_pin(Handle filter, const std::vector<uint8_t>& connect, Handle* pin) override;
    IoStatus control(Handle handle, uint32_t code, const void* input, uint32_t input_length, void* output,
                     uint32_t output_length) override;
    NTSTATUS control_async(Handle handle, uint32_t code, const void* input, uint32_t input_length, void* output,
                           uint32_t output_length, IoCompletion done) override;
    NTSTATUS close(Handle handle) override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// One card: the interfaces of our filters that belong to one device instance.
struct Card {
    std::string instance;  // the device instance id, e.g. PCI\VEN_...\...
    std::unique_ptr<Device> device;
};

// Every card present: the interfaces registered under KSCATEGORY_CAPTURE, KSCATEGORY_VIDEO,
// KSCATEGORY_AUDIO (and KSCATEGORY_VIDEO_CAMERA, for the camera variant) whose reference string is one of the driver's
// filters' reference GUIDs, grouped by device instance (in the order SetupAPI gives the instances). `searched` receives
// a sentence naming what was looked at, for a message when nothing is found; `error` a failure of SetupAPI itself (an
// empty result with an error is not "no card").
std::vector<Card> find_cards(std::string& searched, std::string& error);

// The filter an interface path names: the reference string after the interface class GUID, one of
// the eight filters' reference GUIDs (in either case). False for any other path.
bool interface_filter(const std::wstring& path, uint32_t& index);

}  // namespace qh::client::win32
