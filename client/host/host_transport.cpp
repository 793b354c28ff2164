// The host build's transport: the client's encoded requests enter the host class layer as the
// requests user mode sends (create, device control, close), and the process's memory is user
// memory whose user-mode addresses kernel code cannot touch.
#include "client/client.h"

#include "platform/host/ks/ks.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace qh::client {

namespace {

class HostMemory final : public UserMemory {
public:
    explicit HostMemory(size_t size) : buffer_(size) {}
    uint8_t* bytes() override { return buffer_.memory(); }
    void* address(size_t offset) override { return buffer_.user(offset); }
    size_t size() const override { return buffer_.size(); }

private:
    host::ks::UserBuffer buffer_;
};

host::ks::File* file(Handle handle) { return static_cast<host::ks::File*>(handle); }

class HostTransport final : public Transport {
public:
    std::unique_ptr<UserMemory> allocate(size_t size) override { return std::make_unique<HostMemory>(size); }

    void* inspect(Handle handle) const override {
        if (PKSPIN pin = host::ks::file_pin(file(handle))) return pin;
        return host::ks::file_filter(file(handle));
    }

    NTSTATUS create_pin(Handle filter, const std::vector<uint8_t>& connect, Handle* pin) override {
        // The object name as KsCreatePin builds it: the pin's name string, then the request.
        const size_t prefix = sizeof(host::ks::kPinCreatePrefix) - sizeof(char16_t);
        // Sized once and filled in place (an insert after the prefix trips GCC 12's bounds
        // analysis at -O3).
        std::vector<uint8_t> name(prefix + connect.size());
        std::memcpy(name.data(), host::ks::kPinCreatePrefix, prefix);
        if (!connect.empty()) std::memcpy(name.data() + prefix, connect.data(), connect.size());
        host::ks::File* created = nullptr;
        NTSTATUS status = host::ks::create_pin_file(file(filter), name, &created);
        *pin = created;
        return status;
    }

    IoStatus control(Handle handle, uint32_t code, const void* input, uint32_t input_length, void* output,
                     uint32_t output_length) override {
        host::ks::DeviceControl request{code, input, input_length, output, output_length};
        ULONG_PTR information = 0;
        IoStatus io;
        io.status = host::ks::device_control(file(handle), request, &information, nullptr);
        io.information = static_cast<uint32_t>(information);
        return io;
    }

    NTSTATUS control_async(Handle handle, uint32_t code, const void* input, uint32_t input_length, void* output,
                           uint32_t output_length, IoCompletion done) override {
        host::ks::DeviceControl request{code, input, input_length, output, output_length};
        ULONG_PTR information = 0;
        return host::ks::device_control(file(handle), request, &information,
                                        [done = std::move(done)](NTSTATUS status, ULONG_PTR bytes) {
                                            done(IoStatus{status, static_cast<uint32_t>(bytes)});
                                        });
    }

    NTSTATUS close(Handle handle) override { return host::ks::close_file(file(handle)); }
};

std::shared_ptr<Transport> host_transport() {
    static std::shared_ptr<Transport> transport = std::make_shared<HostTransport>();
    return transport;
}

class ClockImpl final : public Clock {
public:
    ClockImpl() : clock_(std::make_shared<host::ks::MasterClock>()), file_(host::ks::create_clock_file(clock_)) {}
    ~ClockImpl() override { host::ks::close_file(file_); }
    void run() override { clock_->run(); }
    void pause() override { clock_->pause(); }
    int64_t stream_time() const override { return clock_->stream_time(); }
    uint32_t outstanding_references() const override { return clock_->outstanding_references(); }
    void on_reference_released(std::function<void()> hook) override { clock_->on_reference_released(std::move(hook)); }
    Handle handle() const override { return file_; }

private:
    std::shared_ptr<host::ks::MasterClock> clock_;
    host::ks::File* file_;
};

// The device as the interface registry shows it: one filter per factory, found by the
// factories' reference GUIDs and categories.
class DeviceImpl final : public Device {
public:
    explicit DeviceImpl(PKSDEVICE device) : device_(device) {}

    std::vector<FilterInfo> filters() const override {
        std::vector<FilterInfo> out;
        const KSDEVICE_DESCRIPTOR* dd = device_->Descriptor;
        for (uint32_t i = 0; dd && i < dd->FilterDescriptorsCount; ++i) {
            const KSFILTER_DESCRIPTOR* fd = dd->FilterDescriptors[i];
            FilterInfo info{};
            info.index = i;
            info.reference = fd->ReferenceGuid ? *fd->ReferenceGuid : host::ks::kGuidNull;
            for (ULONG c = 0; c < fd->CategoriesCount; ++c)
                info.categories.push_back(fd->Categories[c]);
            out.push_back(std::move(info));
        }
        return out;
    }

    bool removed() const override { return host::ks::removed(device_); }
    bool wait_removed(uint32_t timeout_ms) const override { return host::ks::wait_removed(device_, timeout_ms); }

    NTSTATUS open_filter(uint32_t index, std::unique_ptr<Filter>& filter) override {
        auto all = filters();
        if (index >= all.size()) return STATUS_NOT_FOUND;
        host::ks::File* handle = nullptr;
        NTSTATUS status =
            host::ks::create_filter_file(device_, host::ks::reference_string(all[index].reference), &handle);
        if (!NT_SUCCESS(status)) return status;
        filter = make_filter(host_transport(), handle, all[index]);
        return STATUS_SUCCESS;
    }

private:
    PKSDEVICE device_;
};

}  // namespace

std::unique_ptr<Device> open_device(PKSDEVICE device) {
    if (!device) return nullptr;
    return std::make_unique<DeviceImpl>(device);
}

std::shared_ptr<Clock> make_clock() { return std::make_shared<ClockImpl>(); }

}  // namespace qh::client
