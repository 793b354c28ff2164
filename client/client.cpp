// The client over a transport: every request is encoded once, as user mode encodes it (a pin's
// KSPIN_CONNECT with its format, property requests, reads carrying stream-header arrays), in the
// process's own memory; frames are submitted with guard bytes around header and data and given
// back as the driver left them.
#include "client/client.h"
#if !defined(_WIN32)
#include "platform/host/sched/sched.h"
#endif

#include "client/enumerate.h"
#include "driver/public.h"

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

// The host's client threads take part in controlled runs (host/sched); on Windows these are the
// standard library's.
#if defined(_WIN32)
using Mutex = std::mutex;
using CondVar = std::condition_variable;
using CompletionClock = std::chrono::steady_clock;
#else
using Mutex = host::sched::Mutex;
using CondVar = host::sched::CondVar;
using CompletionClock = host::sched::Clock;
#endif

constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint8_t kDataFill = 0xCD;

// KSPROPERTY_STREAM_MASTERCLOCK of KSPROPSETID_Stream.
constexpr GUID kPropsetStream = {0x65AABA60, 0x98AE, 0x11CF, {0xA1, 0x0D, 0x00, 0x20, 0xAF, 0xD1, 0x56, 0xE4}};
constexpr ULONG kStreamMasterClock = 3;
constexpr GUID kPropsetConnection = {0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG kConnectionState = 0;
constexpr ULONG kConnectionDataFormat = 2;
constexpr GUID kPropsetPin = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
constexpr ULONG kPinDataIntersection = 4;

// Guarded storage in the process's memory: kGuard bytes of pattern on each side of `size` usable
// bytes, the usable part 8-byte aligned.
struct Guarded {
    std::unique_ptr<UserMemory> memory;
    size_t size = 0;
    size_t start = 0;
    void allocate(Transport& transport, size_t n, uint8_t fill) {
        size = n;
        memory = transport.allocate(n + 2 * kGuard + 8);
        std::memset(memory->bytes(), kGuardByte, memory->size());
        auto at = reinterpret_cast<uintptr_t>(memory->address()) + kGuard;
        start = size_t(((at + 7) & ~uintptr_t(7)) - reinterpret_cast<uintptr_t>(memory->address()));
        std::memset(data(), fill, n);
    }
    uint8_t* data() { return memory->bytes() + start; }
    // The address a request carries for data().
    void* address() { return memory->address(start); }
    bool intact() {
        const uint8_t* base = memory->bytes();
        for (size_t i = 0; i < start; ++i)
            if (base[i] != kGuardByte) return false;
        for (size_t i = start + size; i < memory->size(); ++i)
            if (base[i] != kGuardByte) return false;
        return true;
    }
};

// One read request: its header array (one header) and its data buffer.
struct FrameRecord {
    Guarded header;
    Guarded data;
    bool with_data = true;
    uint64_t sequence = 0;
};

PropertyResult send_property(Transport& transport, Handle handle, const std::vector<uint8_t>& request,
                             uint32_t output_length, const std::vector<uint8_t>& input_data) {
    PropertyResult result{};
    auto in = transport.allocate(request.size());
    if (!request.empty()) std::memcpy(in->bytes(), request.data(), request.size());
    auto out = transport.allocate(output_length);
    size_t preset = std::min<size_t>(input_data.size(), output_length);
    if (preset) std::memcpy(out->bytes(), input_data.data(), preset);
    IoStatus io = transport.control(handle, IOCTL_KS_PROPERTY, request.empty() ? nullptr : in->address(),
                                    static_cast<uint32_t>(request.size()), output_length ? out->address() : nullptr,
                                    output_length);
    result.status = io.status;
    result.bytes_returned = io.information;
    result.data.assign(out->bytes(), out->bytes() + output_length);
    return result;
}

class FilterImpl;

class PinImpl final : public Pin {
public:
    PinImpl(FilterImpl* filter, std::shared_ptr<Transport> transport, Handle handle, uint32_t id);
    ~PinImpl() override;

    uint32_t id() const override { return id_; }
#if !defined(QH_USER_MODE)
    PKSPIN kspin() const override { return static_cast<PKSPIN>(transport_->inspect(handle_)); }
#endif

    NTSTATUS set_state(KSSTATE state) override {
        if (closed_) return STATUS_INVALID_DEVICE_STATE;
        auto request = make_property(kPropsetConnection, kConnectionState, KSPROPERTY_TYPE_SET);
        std::vector<uint8_t> value(sizeof(KSSTATE));
        std::memcpy(value.data(), &state, sizeof state);
        return property(request, sizeof(KSSTATE), value).status;
    }

    KSSTATE state() const override {
        if (closed_) return KSSTATE_STOP;
        auto request = make_property(kPropsetConnection, kConnectionState, KSPROPERTY_TYPE_GET);
        PropertyResult r = send_property(*transport_, handle_, request, sizeof(KSSTATE), {});
        KSSTATE state = KSSTATE_STOP;
        if (NT_SUCCESS(r.status) && r.bytes_returned >= sizeof state) std::memcpy(&state, r.data.data(), sizeof state);
        return state;
    }

    NTSTATUS set_format(const std::vector<uint8_t>& format) override {
        if (closed_) return STATUS_INVALID_DEVICE_STATE;
        auto request = make_property(kPropsetConnection, kConnectionDataFormat, KSPROPERTY_TYPE_SET);
        return property(request, static_cast<uint32_t>(format.size()), format).status;
    }

    NTSTATUS set_master_clock(std::shared_ptr<Clock> clock) override {
        if (closed_) return STATUS_INVALID_DEVICE_STATE;
        auto request = make_property(kPropsetStream, kStreamMasterClock, KSPROPERTY_TYPE_SET);
        Handle handle = clock ? clock->handle() : nullptr;
        std::vector<uint8_t> value(sizeof handle);
        std::memcpy(value.data(), &handle, sizeof handle);
        NTSTATUS status = property(request, sizeof handle, value).status;
        // The pin's clock object stays referenced by the class; the client keeps it alive too.
        if (NT_SUCCESS(status)) clock_ = std::move(clock);
        return status;
    }

    NTSTATUS submit(uint32_t frame_extent, uint32_t header_size, bool with_data) override {
        if (closed_) return STATUS_INVALID_DEVICE_STATE;
        if (header_size < sizeof(KSSTREAM_HEADER)) return STATUS_INVALID_PARAMETER;
        auto record = std::make_unique<FrameRecord>();
        record->header.allocate(*transport_, header_size, 0);
        record->with_data = with_data;
        if (with_data) record->data.allocate(*transport_, frame_extent, kDataFill);
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
            std::lock_guard<Mutex> guard(lock_);
            raw_sequence = raw->sequence = next_sequence_++;
            outstanding_[raw] = std::move(record);
        }
        NTSTATUS status =
            transport_->control_async(handle_, IOCTL_KS_READ_STREAM, nullptr, 0, raw->header.address(), header_size,
                                      [this, raw](IoStatus io) { completed(raw, io.status); });
        if (status != STATUS_PENDING) {
            // A refused read is not a submission: the numbering counts queued frames only.
            std::lock_guard<Mutex> guard(lock_);
            outstanding_.erase(raw);
            if (next_sequence_ == raw_sequence + 1) --next_sequence_;
            return status;
        }
        return STATUS_SUCCESS;
    }

    bool wait_completed(CompletedFrame& out, uint32_t timeout_ms) override {
        std::unique_lock<Mutex> guard(lock_);
        if (!cv_.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return !completed_.empty(); }))
            return false;
        out = std::move(completed_.front());
        completed_.pop_front();
        return true;
    }

    size_t queued() const override {
        std::lock_guard<Mutex> guard(lock_);
        return outstanding_.size();
    }

    uint64_t stray_completions() const override {
        std::lock_guard<Mutex> guard(lock_);
        return stray_;
    }

    PropertyResult property(const std::vector<uint8_t>& request, uint32_t output_length,
                            const std::vector<uint8_t>& input_data) override {
        if (closed_) return PropertyResult{STATUS_INVALID_DEVICE_STATE, 0, {}};
        return send_property(*transport_, handle_, request, output_length, input_data);
    }

    NTSTATUS close() override;

    // A read request completed (any thread, any IRQL up to DISPATCH): its header array holds the
    // header as the driver left it.
    void completed(FrameRecord* key, NTSTATUS status) {
        std::lock_guard<Mutex> guard(lock_);
        auto it = outstanding_.find(key);
        if (it == outstanding_.end()) {
            ++stray_;
            return;
        }
        std::unique_ptr<FrameRecord> record = std::move(it->second);
        outstanding_.erase(it);
        CompletedFrame frame;
        frame.status = status;
        frame.sequence = record->sequence;
        frame.completed_ns = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(CompletionClock::now().time_since_epoch()).count());
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
        // The record is freed here: a driver that touches the buffer after completion is caught.
    }

    void detach() { filter_ = nullptr; }

private:
    FilterImpl* filter_;
    std::shared_ptr<Transport> transport_;
    Handle handle_;
    uint32_t id_;
    bool closed_ = false;
    std::shared_ptr<Clock> clock_;
    mutable Mutex lock_;
    CondVar cv_;
    std::map<FrameRecord*, std::unique_ptr<FrameRecord>> outstanding_;
    std::deque<CompletedFrame> completed_;
    uint64_t next_sequence_ = 0;
    uint64_t stray_ = 0;
};

class FilterImpl final : public Filter {
public:
    FilterImpl(std::shared_ptr<Transport> transport, Handle handle, FilterInfo info)
        : transport_(std::move(transport)), handle_(handle), info_(std::move(info)) {}
    ~FilterImpl() override { close(); }

#if !defined(QH_USER_MODE)
    PKSFILTER ksfilter() const override {
        return handle_ ? static_cast<PKSFILTER>(transport_->inspect(handle_)) : nullptr;
    }
#endif
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
        ksp->Property.Set = kPropsetPin;
        ksp->Property.Id = kPinDataIntersection;
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
        if (!handle_) return STATUS_INVALID_DEVICE_STATE;
        Handle pin_handle = nullptr;
        NTSTATUS status = transport_->create_pin(handle_, make_connect(pin_id, format), &pin_handle);
        if (!NT_SUCCESS(status)) return status;
        pin = std::make_unique<PinImpl>(this, transport_, pin_handle, pin_id);
        return STATUS_SUCCESS;
    }

    PropertyResult property(const std::vector<uint8_t>& request, uint32_t output_length,
                            const std::vector<uint8_t>& input_data) override {
        if (!handle_) return PropertyResult{STATUS_INVALID_DEVICE_STATE, 0, {}};
        return send_property(*transport_, handle_, request, output_length, input_data);
    }

    NTSTATUS close() override {
        if (!handle_) return STATUS_SUCCESS;
        std::set<PinImpl*> pins;
        {
            std::lock_guard<Mutex> guard(lock_);
            pins.swap(pins_);
        }
        for (PinImpl* p : pins) {
            p->close();
            p->detach();
        }
        NTSTATUS status = transport_->close(handle_);
        handle_ = nullptr;
        return status;
    }

    void add_pin(PinImpl* p) {
        std::lock_guard<Mutex> guard(lock_);
        pins_.insert(p);
    }
    void remove_pin(PinImpl* p) {
        std::lock_guard<Mutex> guard(lock_);
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

    std::shared_ptr<Transport> transport_;
    Handle handle_;
    FilterInfo info_;
    Mutex lock_;
    std::set<PinImpl*> pins_;
};

PinImpl::PinImpl(FilterImpl* filter, std::shared_ptr<Transport> transport, Handle handle, uint32_t id)
    : filter_(filter), transport_(std::move(transport)), handle_(handle), id_(id) {
    filter_->add_pin(this);
}

PinImpl::~PinImpl() {
    close();
    if (filter_) filter_->remove_pin(this);
}

NTSTATUS PinImpl::close() {
    if (closed_) return STATUS_SUCCESS;
    closed_ = true;
    // The reads the close gives back complete here; after it none can.
    return transport_->close(handle_);
}

}  // namespace

std::vector<FilterInfo> Device::filters_in_category(const GUID& category) const {
    std::vector<FilterInfo> out;
    for (auto& f : filters())
        if (std::find(f.categories.begin(), f.categories.end(), category) != f.categories.end()) out.push_back(f);
    return out;
}

std::unique_ptr<Filter> make_filter(std::shared_ptr<Transport> transport, Handle handle, FilterInfo info) {
    return std::make_unique<FilterImpl>(std::move(transport), handle, std::move(info));
}

std::unique_ptr<UserMemory> Transport::allocate(size_t size) {
    // Ordinary memory of the process: what it writes is what a request points at.
    class HeapMemory final : public UserMemory {
    public:
        explicit HeapMemory(size_t n) : words_((n + 7) / 8 + 1, 0), size_(n) {}
        uint8_t* bytes() override { return reinterpret_cast<uint8_t*>(words_.data()); }
        void* address(size_t offset) override { return bytes() + offset; }
        size_t size() const override { return size_; }

    private:
        std::vector<uint64_t> words_;
        size_t size_;
    };
    return std::make_unique<HeapMemory>(size);
}

std::vector<uint8_t> make_connect(uint32_t pin_id, const std::vector<uint8_t>& format) {
    KSPIN_CONNECT connect{};
    connect.Interface.Set = KSINTERFACESETID_Standard;
    connect.Interface.Id = KSINTERFACE_STANDARD_STREAMING;
    connect.Medium.Set = KSMEDIUMSETID_Standard;
    connect.Medium.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    connect.PinId = pin_id;
    connect.PinToHandle = nullptr;
    connect.Priority.PriorityClass = KSPRIORITY_NORMAL;
    connect.Priority.PrioritySubClass = 1;
    // Sized once and filled in place: growing the vector by an insert after the header trips
    // GCC 12's bounds analysis at -O3 (a false -Warray-bounds in the release build).
    std::vector<uint8_t> out(sizeof connect + format.size());
    std::memcpy(out.data(), &connect, sizeof connect);
    if (!format.empty()) std::memcpy(out.data() + sizeof connect, format.data(), format.size());
    return out;
}

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
