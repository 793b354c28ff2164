// Requests as user mode sends them: the create requests of filters and pins, property requests
// and stream reads on the handles they give, and their close. What ks.sys checks before a
// driver sees anything is checked here, with the statuses ks.sys gives; user buffers are probed
// and copied in and out, never handed to the driver.
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/diag/guarded.h"

#include <sys/mman.h>

#include <cstdio>
#include <deque>

namespace host::ks {

struct File {
    enum class Type { Filter, Pin, Clock } type;
    PKSFILTER filter = nullptr;
    PKSPIN pin = nullptr;
    File* parent = nullptr;  // a pin's filter
    std::shared_ptr<MasterClock> clock;
    uint32_t children = 0;         // pins open on a filter
    bool close_requested = false;  // a filter's handle closed while its pins were still open
};

namespace {

host::sched::Mutex g_files_lock;
std::set<File*> g_files;

bool live(File* file) {
    std::lock_guard<host::sched::Mutex> guard(g_files_lock);
    return g_files.count(file) != 0;
}

File* add_file(File* file) {
    std::lock_guard<host::sched::Mutex> guard(g_files_lock);
    g_files.insert(file);
    return file;
}

// Probing: user memory is what lies in a UserBuffer, and only there. The kernel reaches it
// through the mapping, never through the caller's address.
NTSTATUS probe(const void* address, size_t length, size_t alignment, uint8_t** system) {
    *system = nullptr;
    if (length == 0) return STATUS_SUCCESS;
    if (!address) return STATUS_ACCESS_VIOLATION;
    if (reinterpret_cast<uintptr_t>(address) % alignment) return STATUS_DATATYPE_MISALIGNMENT;
    UserMapping m = find_user_mapping(address);
    if (!m.user) return STATUS_ACCESS_VIOLATION;
    size_t offset = static_cast<const uint8_t*>(address) - m.user;
    if (length > m.length - offset) return STATUS_ACCESS_VIOLATION;
    *system = m.system + offset;
    return STATUS_SUCCESS;
}

// The system buffer a read request's headers are copied into. After completion its pages stay
// inaccessible for a while, so a driver that writes a header it has already completed stops at
// once instead of writing into the client's copy.
class HeaderBuffers {
public:
    void* allocate(size_t size) {
        size_t pages = round(size);
        void* p = mmap(nullptr, pages, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            std::perror("stream header buffer");
            std::abort();
        }
        return p;
    }
    void complete(void* p, size_t size) {
        size_t pages = round(size);
        host::guarded::protect(p, pages, "stream header of a completed read request touched");
        retired_.add(p, pages);
    }

private:
    static size_t round(size_t size) {
        size_t page = host::guarded::page_size();
        return (size + page - 1) & ~(page - 1);
    }
    RetiredMappings retired_;
};
HeaderBuffers g_header_buffers;

// One IOCTL_KS_READ_STREAM: its headers in a system buffer, completed when its last frame is.
struct ReadRequest {
    uint8_t* user_headers = nullptr;  // the caller's array, through its mapping
    uint8_t* system = nullptr;
    uint32_t length = 0;
    std::atomic<uint32_t> remaining{0};
    std::atomic<NTSTATUS> status{STATUS_SUCCESS};
    RequestCompletion done;

    void frame_done(NTSTATUS frame_status) {
        if (frame_status != STATUS_SUCCESS) {
            NTSTATUS expected = STATUS_SUCCESS;
            status.compare_exchange_strong(expected, frame_status);
        }
        if (remaining.fetch_sub(1) != 1) return;
        // The I/O manager copies the system buffer back as the headers' Information bytes, which
        // a request completed with an error does not have: the caller then sees its headers as it
        // sent them. The system copy goes either way.
        const NTSTATUS final_status = status.load();
        const bool error = (static_cast<ULONG>(final_status) >> 30) == 3;
        const ULONG_PTR information = error ? 0 : length;
        if (information) std::memcpy(user_headers, system, length);
        g_header_buffers.complete(system, length);
        RequestCompletion routine = std::move(done);
        delete this;
        routine(final_status, information);
    }
};

NTSTATUS read_stream(File* file, const DeviceControl& request, RequestCompletion done) {
    PinObj* pin = as_pin(file->pin);
    if (!pin) return STATUS_INVALID_HANDLE;
    if (pin->ks.DataFlow != KSPIN_DATAFLOW_OUT) return STATUS_INVALID_DEVICE_REQUEST;
    if (request.output_length < sizeof(KSSTREAM_HEADER)) return STATUS_INVALID_BUFFER_SIZE;
    uint8_t* user = nullptr;
    // The array is probed for writing: the headers come back into it.
    if (NTSTATUS s = probe(request.output, request.output_length, alignof(KSSTREAM_HEADER), &user); !NT_SUCCESS(s))
        return s;

    auto* r = new ReadRequest;
    r->user_headers = user;
    r->length = request.output_length;
    r->system = static_cast<uint8_t*>(g_header_buffers.allocate(r->length));
    // One copy: later changes the caller makes to its array cannot change what was checked.
    std::memcpy(r->system, user, r->length);
    std::vector<Frame> frames;
    NTSTATUS status = STATUS_SUCCESS;
    for (uint32_t offset = 0; offset < r->length;) {
        auto* h = reinterpret_cast<PKSSTREAM_HEADER>(r->system + offset);
        // Each header holds at least the plain header, keeps the next one aligned, and the
        // headers fill the array exactly.
        if (r->length - offset < sizeof(KSSTREAM_HEADER) || h->Size < sizeof(KSSTREAM_HEADER) ||
            h->Size % alignof(KSSTREAM_HEADER) || h->Size > r->length - offset) {
            status = STATUS_INVALID_BUFFER_SIZE;
            break;
        }
        Frame frame{h, r};
        if (h->Data && h->FrameExtent) {
            uint8_t* checked = nullptr;
            if (NTSTATUS s = probe(h->Data, h->FrameExtent, 1, &checked); !NT_SUCCESS(s)) {
                status = s;
                break;
            }
            // Locked for the kernel: a mapping of its own, which ends when the frame completes.
            map_frame_data(h->Data, h->FrameExtent, frame);
        }
        frames.push_back(frame);
        offset += h->Size;
    }
    if (NT_SUCCESS(status)) {
        r->remaining = static_cast<uint32_t>(frames.size());
        r->done = std::move(done);
        status = queue_frames(pin, std::move(frames));
        if (status == STATUS_PENDING) return STATUS_PENDING;
    } else {
        for (Frame& f : frames)
            drop_frame_data(f);
    }
    g_header_buffers.complete(r->system, r->length);
    delete r;
    return status;
}

NTSTATUS property(File* file, const DeviceControl& request, ULONG_PTR* information) {
    if (request.input_length < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
    uint8_t* input = nullptr;
    uint8_t* output = nullptr;
    if (NTSTATUS s = probe(request.input, request.input_length, 1, &input); !NT_SUCCESS(s)) return s;
    if (NTSTATUS s = probe(request.output, request.output_length, 1, &output); !NT_SUCCESS(s)) return s;
    const auto* req = reinterpret_cast<const KSPROPERTY*>(input);
    if (file->type == File::Type::Pin && req->Set == kPropsetStream && req->Id == kStreamMasterClock &&
        (req->Flags & KSPROPERTY_TYPE_SET) && !(req->Flags & KSPROPERTY_TYPE_GET)) {
        // The class answers the master clock itself: the value is a handle of a clock object.
        if (request.output_length < sizeof(HANDLE)) return STATUS_BUFFER_TOO_SMALL;
        HANDLE handle;
        std::memcpy(&handle, output, sizeof handle);
        std::shared_ptr<MasterClock> clock;
        if (handle) {
            auto* clock_file = static_cast<File*>(handle);
            if (!live(clock_file) || clock_file->type != File::Type::Clock) return STATUS_INVALID_HANDLE;
            clock = clock_file->clock;
        }
        return set_master_clock(file->pin, std::move(clock));
    }
    PropertyCall call;
    call.input = input;
    call.input_length = request.input_length;
    call.output = output;
    call.output_length = request.output_length;
    call.user_mode = true;
    switch (file->type) {
    case File::Type::Filter: return filter_property(file->filter, call, information);
    case File::Type::Pin: return pin_property(file->pin, call, information);
    case File::Type::Clock: break;
    }
    return STATUS_INVALID_DEVICE_REQUEST;
}

bool same_text(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = char16_t(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z') y = char16_t(y - u'a' + u'A');
        if (x != y) return false;
    }
    return true;
}

}  // namespace

std::u16string reference_string(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return std::u16string(text, text + std::strlen(text));
}

NTSTATUS create_filter_file(PKSDEVICE device, const std::u16string& name, File** file) {
    if (!file) return STATUS_INVALID_PARAMETER;
    *file = nullptr;
    DeviceObj* dev = as_device(device);
    if (!dev) return STATUS_NO_SUCH_DEVICE;
    const KSDEVICE_DESCRIPTOR* dd = dev->ks.Descriptor;
    // The reference string of each factory's interfaces is its reference GUID.
    for (ULONG i = 0; dd && i < dd->FilterDescriptorsCount; ++i) {
        const KSFILTER_DESCRIPTOR* fd = dd->FilterDescriptors[i];
        if (!fd || !fd->ReferenceGuid || !same_text(name, reference_string(*fd->ReferenceGuid))) continue;
        PKSFILTER filter = nullptr;
        NTSTATUS status = open_filter(device, i, &filter);
        if (!NT_SUCCESS(status)) return status;
        auto* f = new File{File::Type::Filter};
        f->filter = filter;
        *file = add_file(f);
        return STATUS_SUCCESS;
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS create_pin_file(File* filter_file, const std::vector<uint8_t>& name, File** file) {
    if (!file) return STATUS_INVALID_PARAMETER;
    *file = nullptr;
    if (!live(filter_file) || filter_file->type != File::Type::Filter) return STATUS_INVALID_HANDLE;
    const size_t prefix = sizeof(kPinCreatePrefix) - sizeof(char16_t);
    if (name.size() < prefix || std::memcmp(name.data(), kPinCreatePrefix, prefix) != 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    // The connect request follows the name unaligned; it is read from an aligned copy.
    const size_t length = name.size() - prefix;
    if (length < sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
    std::vector<uint64_t> aligned((length + 7) / 8);
    std::memcpy(aligned.data(), name.data() + prefix, length);
    const auto* connect = reinterpret_cast<const KSPIN_CONNECT*>(aligned.data());
    const auto* format = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
    const size_t format_room = length - sizeof(KSPIN_CONNECT);
    if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > format_room)
        return STATUS_INVALID_BUFFER_SIZE;

    FilterObj* filter = as_filter(filter_file->filter);
    if (!filter) return STATUS_INVALID_HANDLE;
    const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
    if (!fd || connect->PinId >= fd->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
    ULONG stride = fd->PinDescriptorSize ? fd->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
    const auto* desc = reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const char*>(fd->PinDescriptors) +
                                                                    size_t(connect->PinId) * stride);
    // A pin that lists no interfaces or mediums offers the standard ones only.
    auto offered = [](const KSIDENTIFIER& wanted, const KSIDENTIFIER* list, ULONG count, const GUID& standard) {
        if (!list || count == 0) return wanted.Set == standard && wanted.Id == 0;
        for (ULONG i = 0; i < count; ++i)
            if (list[i].Set == wanted.Set && list[i].Id == wanted.Id) return true;
        return false;
    };
    const KSPIN_DESCRIPTOR& pd = desc->PinDescriptor;
    if (!offered(connect->Interface, pd.Interfaces, pd.InterfacesCount, KSINTERFACESETID_Standard) ||
        !offered(connect->Medium, pd.Mediums, pd.MediumsCount, KSMEDIUMSETID_Standard))
        return STATUS_NO_MATCH;
    if (connect->PinToHandle) {
        auto* peer = static_cast<File*>(connect->PinToHandle);
        if (!live(peer) || peer->type != File::Type::Pin) return STATUS_INVALID_HANDLE;
    }

    PKSPIN pin = nullptr;
    NTSTATUS status = create_pin(filter_file->filter, connect->PinId, format, format->FormatSize, &pin);
    if (!NT_SUCCESS(status)) return status;
    set_completion_routine(pin, [](PKSSTREAM_HEADER, void* cookie, NTSTATUS frame_status) {
        static_cast<ReadRequest*>(cookie)->frame_done(frame_status);
    });
    auto* f = new File{File::Type::Pin};
    f->pin = pin;
    f->parent = filter_file;
    {
        std::lock_guard<host::sched::Mutex> guard(g_files_lock);
        ++filter_file->children;
    }
    *file = add_file(f);
    return STATUS_SUCCESS;
}

File* create_clock_file(std::shared_ptr<MasterClock> clock) {
    auto* f = new File{File::Type::Clock};
    f->clock = std::move(clock);
    return add_file(f);
}

NTSTATUS device_control(File* file, const DeviceControl& request, ULONG_PTR* information, RequestCompletion done) {
    ULONG_PTR scratch;
    if (!information) information = &scratch;
    *information = 0;
    if (!live(file)) return STATUS_INVALID_HANDLE;
    switch (request.code) {
    case IOCTL_KS_PROPERTY: return property(file, request, information);
    case IOCTL_KS_READ_STREAM:
        if (file->type != File::Type::Pin) return STATUS_INVALID_DEVICE_REQUEST;
        return read_stream(file, request, std::move(done));
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
}

NTSTATUS close_file(File* file) {
    {
        std::lock_guard<host::sched::Mutex> guard(g_files_lock);
        if (!g_files.count(file)) return STATUS_INVALID_HANDLE;
        if (file->type == File::Type::Filter && file->children) {
            // Its pins' file objects still refer to it: the close comes with the last of them.
            file->close_requested = true;
            g_files.erase(file);
            return STATUS_SUCCESS;
        }
        g_files.erase(file);
    }
    NTSTATUS status = STATUS_SUCCESS;
    File* filter_to_close = nullptr;
    if (file->type == File::Type::Pin) {
        status = close_pin(file->pin);
        std::lock_guard<host::sched::Mutex> guard(g_files_lock);
        File* parent = file->parent;
        if (--parent->children == 0 && parent->close_requested) filter_to_close = parent;
    } else if (file->type == File::Type::Filter) {
        status = close_filter(file->filter);
    }
    delete file;
    if (filter_to_close) {
        close_filter(filter_to_close->filter);
        delete filter_to_close;
    }
    return status;
}

PKSFILTER file_filter(File* file) { return live(file) && file->type == File::Type::Filter ? file->filter : nullptr; }
PKSPIN file_pin(File* file) { return live(file) && file->type == File::Type::Pin ? file->pin : nullptr; }

}  // namespace host::ks
