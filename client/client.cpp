// The user-mode client over the host class layer: requests go through the same paths IOCTLs
// from user mode take (system buffers, only the returned byte count copied back), frames are
// submitted with guard bytes and given back as the driver left them.
#include "client/client.h"

#include "client/enumerate.h"
#include "driver/public.h"

#include "platform/host/kernel/kernel.h"
#include "platform/host/ks/ks.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>

namespace qh::client {

namespace {

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint8_t kDataFill = 0xCD;

PropertyResult user_property(bool pin, void* object, const std::vector<uint8_t>& request, uint32_t output_length,
                             const std::vector<uint8_t>& input_data) {
    PropertyResult result{};
    result.data.assign(output_length, 0);
    size_t preset = std::min<size_t>(input_data.size(), output_length);
    if (preset) std::memcpy(result.data.data(), input_data.data(), preset);
    host::ks::PropertyCall call;
    call.input = request.data();
    call.input_length = static_cast<uint32_t>(request.size());
    call.output = output_length ? result.data.data() : nullptr;
    call.output_length = output_length;
    call.user_mode = true;
    ULONG_PTR information = 0;
    result.status = pin ? host::ks::pin_property(static_cast<PKSPIN>(object), call, &information)
                        : host::ks::filter_property(static_cast<PKSFILTER>(object), call, &information);
    result.bytes_returned = static_cast<uint32_t>(information);
    return result;
}

// Guarded storage: kGuard bytes of pattern on each side of `size` usable bytes. Data buffers
// are user buffers, as a user-mode process's memory: the header carries the client's own
// address, and the driver reaches the bytes only through the kernel's mapping.
struct Guarded {
    std::vector<uint8_t> heap;
    std::unique_ptr<host::ks::UserBuffer> user;
    size_t size = 0;
    void allocate(size_t n, uint8_t fill, bool user_memory = false) {
        size = n;
        if (user_memory) {
            user = std::make_unique<host::ks::UserBuffer>(n + 2 * kGuard + 8);
            std::memset(base(), kGuardByte, user->size());
        } else {
            heap.assign(n + 2 * kGuard + 8, kGuardByte);
        }
        std::memset(data(), fill, n);
    }
    uint8_t* base() { return user ? user->memory() : heap.data(); }
    size_t length() { return user ? user->size() : heap.size(); }
    // 8-byte aligned start of the usable part.
    uint8_t* data() {
        auto start = reinterpret_cast<uintptr_t>(base()) + kGuard;
        return reinterpret_cast<uint8_t*>((start + 7) & ~uintptr_t(7));
    }
    // The address the header carries: the client's user-mode address of data().
    void* address() { return user ? user->user(size_t(data() - base())) : data(); }
    bool intact() {
        uint8_t* d = data();
        for (uint8_t* p = base(); p < d; ++p)
            if (*p != kGuardByte) return false;
        for (uint8_t* p = d + size; p < base() + length(); ++p)
            if (*p != kGuardByte) return false;
        return true;
    }
};

struct FrameRecord {
    Guarded header;
    Guarded data;
    bool with_data = true;
    uint64_t sequence = 0;
};

class ClockImpl final : public Clock {
public:
    ClockImpl() : clock_(std::make_shared<host::ks::MasterClock>()) {}
    void run() override { clock_->run(); }
    void pause() override { clock_->pause(); }
    int64_t stream_time() const override { return clock_->stream_time(); }
    uint32_t outstanding_references() const override { return clock_->outstanding_references(); }
    void on_reference_released(std::function<void()> hook) override { clock_->on_reference_released(std::move(hook)); }
    std::shared_ptr<host::ks::MasterClock> master() const { return clock_; }

private:
    std::shared_ptr<host::ks::MasterClock> clock_;
};

class FilterImpl;

class PinImpl final : public Pin {
public:
    PinImpl(FilterImpl* filter, PKSPIN pin, uint32_t id);
    ~PinImpl() override;

    uint32_t id() const override { return id_; }
    PKSPIN kspin() const override { return pin_; }

    NTSTATUS set_state(KSSTATE state) override {
        if (closed_) return STATUS_INVALID_DEVICE_STATE;
        auto request = make_property(host::ks::kPropsetConnection, host::ks::kConnectionState, KSPROPERTY_TYPE_SET);
        std::vector<uint8_t> value(sizeof(KSSTATE));
        std::memcpy(value.data(), &state, sizeof state);
        return property(request, sizeof(KSSTATE), value).status;
    }

    KSSTATE state() const override { return closed_ ? KSSTATE_STOP : host::ks::pin_state(pin_); }

    NTSTATUS set_format(const std::vector<uint8_t>& format) override {
        if (closed_) return STATUS_INVALID_DEVICE_STATE;
        auto request =
            make_property(host::ks::kPropsetConnection, host::ks::kConnectionDataFormat, KSPROPERTY_TYPE_SET);
        return property(request, static_cast<uint32_t>(format.size()), format).status;
    }

    NTSTATUS set_master_clock(std::shared_ptr<Clock> clock) override {
        if (closed_) return STATUS_INVALID_DEVICE_STATE;
        std::shared_ptr<host::ks::MasterClock> master;
        if (clock) {
            auto* impl = dynamic_cast<ClockImpl*>(clock.get());
            if (!impl) return STATUS_INVALID_PARAMETER;
            master = impl->master();
        }
        return host::ks::set_master_clock(pin_, std::move(master));
    }

    NTSTATUS submit(uint32_t frame_extent, uint32_t header_size, bool with_data) override {
        if (closed_) return STATUS_INVALID_DEVICE_STATE;
        if (header_size < sizeof(KSSTREAM_HEADER)) return STATUS_INVALID_PARAMETER;
        auto record = std::make_unique<FrameRecord>();
        record->header.allocate(header_size, 0);
        record->with_data = with_data;
        if (with_data) record->data.allocate(frame_extent, kDataFill, true);
        auto* h = reinterpret_cast<PKSSTREAM_HEADER>(record->header.data());
        h->Size = header_size;
        h->FrameExtent = frame_extent;
        h->DataUsed = 0;
        h->Data = with_data ? record->data.address() : nullptr;
        if (header_size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
            auto* info = reinterpret_cast<PKS_FRAME_INFO>(record->header.data() + sizeof(KSSTREAM_HEADER));
            info->ExtendedHeaderSize = header_size - sizeof(KSSTREAM_HEADER);
        }
        FrameRecord* raw = record.get();
        uint64_t raw_sequence;
        {
            std::lock_guard<std::mutex> guard(lock_);
            raw_sequence = raw->sequence = next_sequence_++;
            outstanding_[raw] = std::move(record);
        }
        NTSTATUS status = host::ks::submit_frame(pin_, h, raw);
        if (status == STATUS_DEVICE_NOT_READY) {
            // A refused frame is not a submission: the numbering counts queued frames only.
            std::lock_guard<std::mutex> guard(lock_);
            if (next_sequence_ == raw_sequence + 1) --next_sequence_;
        }
        return status == STATUS_PENDING ? STATUS_SUCCESS : status;
    }

    bool wait_completed(CompletedFrame& out, uint32_t timeout_ms) override {
        std::unique_lock<std::mutex> guard(lock_);
        if (!cv_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return !completed_.empty(); }))
            return false;
        out = std::move(completed_.front());
        completed_.pop_front();
        return true;
    }

    size_t queued() const override {
        std::lock_guard<std::mutex> guard(lock_);
        return outstanding_.size();
    }

    uint64_t stray_completions() const override {
        std::lock_guard<std::mutex> guard(lock_);
        return stray_;
    }

    PropertyResult property(const std::vector<uint8_t>& request, uint32_t output_length,
                            const std::vector<uint8_t>& input_data) override {
        if (closed_) return PropertyResult{STATUS_INVALID_DEVICE_STATE, 0, {}};
        return user_property(true, pin_, request, output_length, input_data);
    }

    NTSTATUS close() override;

    // Called by the class layer whenever a frame completes (any thread, any IRQL up to DISPATCH).
    void completed(PKSSTREAM_HEADER header, void* cookie, NTSTATUS status) {
        (void)header;
        std::lock_guard<std::mutex> guard(lock_);
        auto it = outstanding_.find(static_cast<FrameRecord*>(cookie));
        if (it == outstanding_.end()) {
            ++stray_;
            return;
        }
        std::unique_ptr<FrameRecord> record = std::move(it->second);
        outstanding_.erase(it);
        // A frame refused in STOP is reported by submit's status, not as a completion.
        if (status == STATUS_DEVICE_NOT_READY) return;
        CompletedFrame frame;
        frame.status = status;
        frame.sequence = record->sequence;
        frame.completed_ns = static_cast<uint64_t>(host::now_100ns()) * 100;
        frame.header.assign(record->header.data(), record->header.data() + record->header.size);
        frame.guards_intact = record->header.intact();
        if (record->with_data) {
            frame.data.assign(record->data.data(), record->data.data() + record->data.size);
            frame.guards_intact = frame.guards_intact && record->data.intact();
        }
        const auto& h = frame.stream_header();
        if (h.DataUsed > h.FrameExtent) frame.guards_intact = false;
        completed_.push_back(std::move(frame));
        cv_.notify_all();
        // The record is freed here: a driver that touches the header or data after completion
        // is caught by the address sanitizer.
    }

    void detach() { filter_ = nullptr; }

private:
    FilterImpl* filter_;
    PKSPIN pin_;
    uint32_t id_;
    bool closed_ = false;
    mutable std::mutex lock_;
    std::condition_variable cv_;
    std::map<FrameRecord*, std::unique_ptr<FrameRecord>> outstanding_;
    std::deque<CompletedFrame> completed_;
    uint64_t next_sequence_ = 0;
    uint64_t stray_ = 0;
};

class FilterImpl final : public Filter {
public:
    FilterImpl(PKSFILTER filter, FilterInfo info) : filter_(filter), info_(std::move(info)) {}
    ~FilterImpl() override { close(); }

    PKSFILTER ksfilter() const override { return filter_; }
    const FilterInfo& info() const override { return info_; }

    std::vector<PinInfo> pins() const override {
        std::vector<PinInfo> out;
        query_pins(filter_property(), out);
        return out;
    }

    Topology topology() const override {
        Topology t;
        query_topology(filter_property(), t);
        return t;
    }

    PropertyResult intersect_raw(uint32_t pin_id, const std::vector<std::vector<uint8_t>>& client_ranges,
                                 uint32_t output_length) override {
        std::vector<uint8_t> request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM));
        auto* ksp = reinterpret_cast<PKSP_PIN>(request.data());
        ksp->Property.Set = host::ks::kPropsetPin;
        ksp->Property.Id = host::ks::kPinDataIntersection;
        ksp->Property.Flags = KSPROPERTY_TYPE_GET;
        ksp->PinId = pin_id;
        for (const auto& range : client_ranges) {
            request.insert(request.end(), range.begin(), range.end());
            request.resize((request.size() + 7) & ~size_t(7), 0);
        }
        auto* items = reinterpret_cast<PKSMULTIPLE_ITEM>(request.data() + sizeof(KSP_PIN));
        items->Size = static_cast<ULONG>(request.size() - sizeof(KSP_PIN));
        items->Count = static_cast<ULONG>(client_ranges.size());
        return property(request, output_length, {});
    }

    NTSTATUS intersect(uint32_t pin_id, const std::vector<std::vector<uint8_t>>& client_ranges,
                       std::vector<uint8_t>& format) override {
        // The size query first, then the real call with the size it gave.
        PropertyResult query = intersect_raw(pin_id, client_ranges, 0);
        if (query.status != STATUS_BUFFER_OVERFLOW)
            return NT_SUCCESS(query.status) ? STATUS_UNSUCCESSFUL : query.status;
        PropertyResult result = intersect_raw(pin_id, client_ranges, query.bytes_returned);
        if (!NT_SUCCESS(result.status)) return result.status;
        format.assign(result.data.begin(), result.data.begin() + result.bytes_returned);
        return STATUS_SUCCESS;
    }

    NTSTATUS create_pin(uint32_t pin_id, const std::vector<uint8_t>& format, std::unique_ptr<Pin>& pin) override {
        if (!filter_) return STATUS_INVALID_DEVICE_STATE;
        PKSPIN kspin = nullptr;
        NTSTATUS status =
            host::ks::create_pin(filter_, pin_id, format.data(), static_cast<uint32_t>(format.size()), &kspin);
        if (!NT_SUCCESS(status)) return status;
        pin = std::make_unique<PinImpl>(this, kspin, pin_id);
        return STATUS_SUCCESS;
    }

    PropertyResult property(const std::vector<uint8_t>& request, uint32_t output_length,
                            const std::vector<uint8_t>& input_data) override {
        if (!filter_) return PropertyResult{STATUS_INVALID_DEVICE_STATE, 0, {}};
        return user_property(false, filter_, request, output_length, input_data);
    }

    NTSTATUS close() override {
        if (!filter_) return STATUS_SUCCESS;
        std::set<PinImpl*> pins;
        {
            std::lock_guard<std::mutex> guard(lock_);
            pins.swap(pins_);
        }
        for (PinImpl* p : pins) {
            p->close();
            p->detach();
        }
        NTSTATUS status = host::ks::close_filter(filter_);
        filter_ = nullptr;
        return status;
    }

    void add_pin(PinImpl* p) {
        std::lock_guard<std::mutex> guard(lock_);
        pins_.insert(p);
    }
    void remove_pin(PinImpl* p) {
        std::lock_guard<std::mutex> guard(lock_);
        pins_.erase(p);
    }

private:
    // The filter's property requests for what the class answers about it (they change nothing
    // of this object).
    PropertyFn filter_property() const {
        auto* self = const_cast<FilterImpl*>(this);
        return [self](const std::vector<uint8_t>& request, uint32_t output_length) {
            return self->property(request, output_length, {});
        };
    }

    PKSFILTER filter_;
    FilterInfo info_;
    std::mutex lock_;
    std::set<PinImpl*> pins_;
};

PinImpl::PinImpl(FilterImpl* filter, PKSPIN pin, uint32_t id) : filter_(filter), pin_(pin), id_(id) {
    filter_->add_pin(this);
    host::ks::set_completion_routine(
        pin_, [this](PKSSTREAM_HEADER header, void* cookie, NTSTATUS status) { completed(header, cookie, status); });
}

PinImpl::~PinImpl() {
    close();
    if (filter_) filter_->remove_pin(this);
}

NTSTATUS PinImpl::close() {
    if (closed_) return STATUS_SUCCESS;
    closed_ = true;
    // Completions of the flush still arrive here; after close_pin none can.
    return host::ks::close_pin(pin_);
}

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
        PKSFILTER ksfilter = nullptr;
        NTSTATUS status = host::ks::open_filter(device_, index, &ksfilter);
        if (!NT_SUCCESS(status)) return status;
        filter = std::make_unique<FilterImpl>(ksfilter, all[index]);
        return STATUS_SUCCESS;
    }

private:
    PKSDEVICE device_;
};

}  // namespace

std::vector<FilterInfo> Device::filters_in_category(const GUID& category) const {
    std::vector<FilterInfo> out;
    for (auto& f : filters())
        if (std::find(f.categories.begin(), f.categories.end(), category) != f.categories.end()) out.push_back(f);
    return out;
}

std::unique_ptr<Device> open_device(PKSDEVICE device) {
    if (!device) return nullptr;
    return std::make_unique<DeviceImpl>(device);
}

std::shared_ptr<Clock> make_clock() { return std::make_shared<ClockImpl>(); }

std::vector<uint8_t> make_property(const GUID& set, uint32_t id, uint32_t flags) {
    std::vector<uint8_t> out(sizeof(KSPROPERTY), 0);
    auto* p = reinterpret_cast<PKSPROPERTY>(out.data());
    p->Set = set;
    p->Id = id;
    p->Flags = flags;
    return out;
}

std::vector<uint8_t> make_node_property(const GUID& set, uint32_t id, uint32_t flags, uint32_t node_id) {
    std::vector<uint8_t> out(sizeof(KSP_NODE), 0);
    auto* p = reinterpret_cast<PKSP_NODE>(out.data());
    p->Property.Set = set;
    p->Property.Id = id;
    p->Property.Flags = flags | KSPROPERTY_TYPE_TOPOLOGY;
    p->NodeId = node_id;
    return out;
}

std::vector<uint8_t> make_pcm_format(uint16_t tag, uint32_t size) {
    KSDATAFORMAT_WAVEFORMATEX f{};
    f.DataFormat.FormatSize = size;
    f.DataFormat.SampleSize = 4;
    f.DataFormat.MajorFormat = kTypeAudio;
    f.DataFormat.SubFormat = kSubtypePcm;
    f.DataFormat.Specifier = kSpecifierWaveFormatEx;
    f.WaveFormatEx.wFormatTag = tag;
    f.WaveFormatEx.nChannels = 2;
    f.WaveFormatEx.nSamplesPerSec = 48000;
    f.WaveFormatEx.nAvgBytesPerSec = 192000;
    f.WaveFormatEx.nBlockAlign = 4;
    f.WaveFormatEx.wBitsPerSample = 16;
    std::vector<uint8_t> bytes(sizeof f);
    std::memcpy(bytes.data(), &f, sizeof f);
    bytes.resize(size);
    return bytes;
}

}  // namespace qh::client
