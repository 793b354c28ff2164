// Requests as user mode sends them, malformed the ways a careless or hostile process can: the
// class refuses each with the status ks.sys gives, before the driver sees it, and nothing of
// the caller's memory or the pin's queue changes.
#include "tests/ks/minidriver.h"

#include "platform/host/ks/ks.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <cstring>
#include <string>

namespace {

using namespace ksmini;
using host::ks::File;

std::u16string reference_string() {
    const std::string text = "{99999999-9999-9999-0909-090909090909}";
    return std::u16string(text.begin(), text.end());
}

std::vector<uint8_t> pin_name(const std::vector<uint8_t>& connect) {
    const size_t prefix = sizeof(host::ks::kPinCreatePrefix) - sizeof(char16_t);
    std::vector<uint8_t> name(prefix);
    std::memcpy(name.data(), host::ks::kPinCreatePrefix, prefix);
    name.insert(name.end(), connect.begin(), connect.end());
    return name;
}

size_t calls_named(const std::vector<std::string>& calls, const std::string& prefix) {
    size_t n = 0;
    for (const auto& c : calls)
        n += c.compare(0, prefix.size(), prefix) == 0;
    return n;
}

// A property request in user memory.
struct UserRequest {
    host::ks::UserBuffer in;
    host::ks::UserBuffer out;
    UserRequest(const std::vector<uint8_t>& request, size_t output) : in(request.size()), out(output) {
        std::memcpy(in.memory(), request.data(), request.size());
    }
};

NTSTATUS control(File* file, uint32_t code, const void* input, uint32_t input_length, void* output,
                 uint32_t output_length, ULONG_PTR* information = nullptr, host::ks::RequestCompletion done = nullptr) {
    host::ks::DeviceControl request{code, input, input_length, output, output_length};
    return host::ks::device_control(file, request, information, std::move(done));
}

struct Files {
    Bed bed;
    File* filter = nullptr;
    Files() {
        EXPECT_EQ(host::ks::create_filter_file(bed.device->ksdevice(), reference_string(), &filter), STATUS_SUCCESS);
    }
    ~Files() {
        if (filter) host::ks::close_file(filter);
    }
};

TEST(KsRequests, MalformedCreateRequestsAreRefusedBeforeTheDriverSeesThem) {
    Files f;
    ASSERT_NE(f.filter, nullptr);
    File* other = nullptr;
    EXPECT_EQ(host::ks::create_filter_file(f.bed.device->ksdevice(), u"{00000000-0000-0000-0000-000000000000}", &other),
              STATUS_OBJECT_NAME_NOT_FOUND);

    const std::vector<uint8_t> good = qh::client::make_connect(0, format(kSubA, 1));
    auto with = [&](auto change) {
        std::vector<uint8_t> c = good;
        change(c, reinterpret_cast<KSPIN_CONNECT*>(c.data()), reinterpret_cast<KSDATAFORMAT*>(c.data() + 72));
        return pin_name(c);
    };
    state().take();
    struct Case {
        const char* what;
        std::vector<uint8_t> name;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"not a pin's name", std::vector<uint8_t>(good.begin(), good.end()), STATUS_OBJECT_NAME_NOT_FOUND},
        {"connect cut short", with([](auto& c, auto*, auto*) { c.resize(40); }), STATUS_INVALID_BUFFER_SIZE},
        {"format cut short", with([](auto& c, auto*, auto*) { c.resize(72 + 64); }), STATUS_INVALID_BUFFER_SIZE},
        {"format size below a format", with([](auto&, auto*, KSDATAFORMAT* d) { d->FormatSize = 32; }),
         STATUS_INVALID_BUFFER_SIZE},
        {"format size past the request", with([](auto&, auto*, KSDATAFORMAT* d) { d->FormatSize = 4096; }),
         STATUS_INVALID_BUFFER_SIZE},
        {"pin id out of range", with([](auto&, KSPIN_CONNECT* k, auto*) { k->PinId = 7; }), STATUS_INVALID_PARAMETER},
        {"foreign interface", with([](auto&, KSPIN_CONNECT* k, auto*) { k->Interface.Set = kOther; }), STATUS_NO_MATCH},
        {"foreign medium", with([](auto&, KSPIN_CONNECT* k, auto*) { k->Medium.Id = 5; }), STATUS_NO_MATCH},
        {"peer handle that is no pin",
         with([](auto&, KSPIN_CONNECT* k, auto*) { k->PinToHandle = reinterpret_cast<HANDLE>(0x1234); }),
         STATUS_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        File* pin = reinterpret_cast<File*>(0x1);
        EXPECT_EQ(host::ks::create_pin_file(f.filter, c.name, &pin), c.expected) << c.what;
        EXPECT_EQ(pin, nullptr) << c.what;
    }
    const auto calls = state().take();
    EXPECT_EQ(calls_named(calls, "SetDataFormat"), 0u);
    EXPECT_EQ(calls_named(calls, "Create"), 0u);
    EXPECT_EQ(host::ks::pin_instances(host::ks::file_filter(f.filter), 0), 0u);

    // The same request, whole, creates the pin although its connect lies unaligned in the name.
    File* pin = nullptr;
    ASSERT_EQ(host::ks::create_pin_file(f.filter, pin_name(good), &pin), STATUS_SUCCESS);
    ASSERT_NE(host::ks::file_pin(pin), nullptr);
    EXPECT_EQ(host::ks::file_pin(pin)->ConnectionFormat->FormatSize, kFormatSize);
    // A pin's create request sent to a pin handle names no filter.
    File* nested = nullptr;
    EXPECT_EQ(host::ks::create_pin_file(pin, pin_name(good), &nested), STATUS_INVALID_HANDLE);
    EXPECT_EQ(host::ks::close_file(pin), STATUS_SUCCESS);
    EXPECT_EQ(host::ks::close_file(pin), STATUS_INVALID_HANDLE);  // a handle closed once is gone
}

TEST(KsRequests, PropertyBuffersOutsideUserMemoryOrTooShortNeverReachTheHandler) {
    Files f;
    ASSERT_NE(f.filter, nullptr);
    KSP_NODE node{};
    node.Property.Set = kPropset;
    node.Property.Id = kPropCounter;
    node.Property.Flags = KSPROPERTY_TYPE_GET;
    std::vector<uint8_t> request(sizeof node);
    std::memcpy(request.data(), &node, sizeof node);
    UserRequest r(request, 8);
    const uint64_t handled = state().property_handler_calls.load();

    // The request itself in the caller's own (kernel-side) memory, not at a user address.
    ULONG_PTR info = 77;
    EXPECT_EQ(control(f.filter, IOCTL_KS_PROPERTY, r.in.memory(), 32, r.out.user(), 8, &info), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(info, 0u);
    EXPECT_EQ(control(f.filter, IOCTL_KS_PROPERTY, r.in.user(), 32, r.out.memory(), 8), STATUS_ACCESS_VIOLATION);
    // Lengths past the end of the caller's buffers.
    EXPECT_EQ(control(f.filter, IOCTL_KS_PROPERTY, r.in.user(), 33, r.out.user(), 8), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(control(f.filter, IOCTL_KS_PROPERTY, r.in.user(), 32, r.out.user(), 9), STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(control(f.filter, IOCTL_KS_PROPERTY, r.in.user(12), 24, r.out.user(), 8), STATUS_ACCESS_VIOLATION);
    // Shorter than a property request, and no request at all.
    EXPECT_EQ(control(f.filter, IOCTL_KS_PROPERTY, r.in.user(), 20, r.out.user(), 8), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(control(f.filter, IOCTL_KS_PROPERTY, nullptr, 0, r.out.user(), 8), STATUS_INVALID_BUFFER_SIZE);
    // Requests the class has no use for on a filter, and a handle that is no handle.
    EXPECT_EQ(control(f.filter, IOCTL_KS_READ_STREAM, nullptr, 0, r.out.user(), 8), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(control(f.filter, 0x12345, r.in.user(), 32, r.out.user(), 8), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(control(reinterpret_cast<File*>(r.in.memory()), IOCTL_KS_PROPERTY, r.in.user(), 32, r.out.user(), 8),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(state().property_handler_calls.load(), handled);
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(r.out.memory()[i], 0) << "output byte " << i << " written by a refused request";

    // Whole, the same request is answered, into the caller's memory.
    info = 0;
    EXPECT_EQ(control(f.filter, IOCTL_KS_PROPERTY, r.in.user(), 32, r.out.user(), 8, &info), STATUS_SUCCESS);
    EXPECT_EQ(info, 8u);
    EXPECT_EQ(state().property_handler_calls.load(), handled + 1);
}

// A read request of `count` headers of `size` bytes, each with its own data buffer.
struct Read {
    host::ks::UserBuffer headers;
    std::vector<std::unique_ptr<host::ks::UserBuffer>> data;
    std::atomic<int> done{0};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<ULONG_PTR> information{0};
    std::mutex lock;
    std::condition_variable completed;
    Read(uint32_t count, uint32_t size, uint32_t extent) : headers(size_t(count) * size + 64) {
        std::memset(headers.memory(), 0, headers.size());
        for (uint32_t i = 0; i < count; ++i) {
            data.push_back(std::make_unique<host::ks::UserBuffer>(extent));
            std::memset(data.back()->memory(), 0xCD, extent);
            KSSTREAM_HEADER* h = header(i, size);
            h->Size = size;
            h->FrameExtent = extent;
            h->Data = data.back()->user();
        }
    }
    KSSTREAM_HEADER* header(uint32_t i, uint32_t size) {
        return reinterpret_cast<KSSTREAM_HEADER*>(headers.memory() + size_t(i) * size);
    }
    host::ks::RequestCompletion completion() {
        return [this](NTSTATUS s, ULONG_PTR bytes) {
            std::lock_guard<std::mutex> guard(lock);
            status = s;
            information = bytes;
            done.fetch_add(1);
            completed.notify_all();
        };
    }
    bool wait_done(uint32_t timeout_ms) {
        std::unique_lock<std::mutex> guard(lock);
        return completed.wait_for(guard, std::chrono::milliseconds(timeout_ms), [&] { return done.load() > 0; });
    }
    NTSTATUS send(File* pin, uint32_t length, size_t offset = 0) {
        return control(pin, IOCTL_KS_READ_STREAM, nullptr, 0, headers.user(offset), length, nullptr, completion());
    }
};

TEST(KsRequests, ReadsWithBadHeadersAreRefusedWholeAndAGoodOneCompletesOnceWithAllItsHeaders) {
    Files f;
    ASSERT_NE(f.filter, nullptr);
    File* pin = nullptr;
    ASSERT_EQ(host::ks::create_pin_file(f.filter, pin_name(qh::client::make_connect(0, format(kSubA, 1))), &pin),
              STATUS_SUCCESS);
    PKSPIN kspin = host::ks::file_pin(pin);

    {
        Read stopped(1, 56, 4096);
        EXPECT_EQ(stopped.send(pin, 56), STATUS_DEVICE_NOT_READY);  // a stopped pin takes no reads
        EXPECT_EQ(stopped.done.load(), 0);
    }
    UserRequest state_set(
        qh::client::make_property(host::ks::kPropsetConnection, host::ks::kConnectionState, KSPROPERTY_TYPE_SET),
        sizeof(KSSTATE));
    for (const KSSTATE s : {KSSTATE_ACQUIRE, KSSTATE_PAUSE}) {
        std::memcpy(state_set.out.memory(), &s, sizeof s);
        ASSERT_EQ(control(pin, IOCTL_KS_PROPERTY, state_set.in.user(), 24, state_set.out.user(), 4), STATUS_SUCCESS);
    }

    struct Bad {
        const char* what;
        std::function<void(Read&)> change;
        uint32_t length;
        size_t offset;
        NTSTATUS expected;
    };
    const Bad bad[] = {
        {"array shorter than a header", [](Read&) {}, 48, 0, STATUS_INVALID_BUFFER_SIZE},
        {"header size below a header",
         [](Read& r) {
             // A 48-byte header followed by a well-formed one: only the first is short.
             r.header(0, 128)->Size = 48;
             auto* next = reinterpret_cast<KSSTREAM_HEADER*>(r.headers.memory() + 48);
             std::memset(next, 0, 80);
             next->Size = 80;
         },
         128, 0, STATUS_INVALID_BUFFER_SIZE},
        {"header size not a multiple of eight", [](Read& r) { r.header(0, 128)->Size = 60; }, 60, 0,
         STATUS_INVALID_BUFFER_SIZE},
        {"second header reaching past the array", [](Read& r) { r.header(1, 128)->Size = 136; }, 256, 0,
         STATUS_INVALID_BUFFER_SIZE},
        {"array not filled by its headers", [](Read&) {}, 264, 0, STATUS_INVALID_BUFFER_SIZE},
        {"misaligned array", [](Read&) {}, 128, 4, STATUS_DATATYPE_MISALIGNMENT},
        {"data at a kernel address", [](Read& r) { r.header(1, 128)->Data = r.data[1]->memory(); }, 256, 0,
         STATUS_ACCESS_VIOLATION},
        {"data longer than its buffer", [](Read& r) { r.header(1, 128)->FrameExtent = 8192; }, 256, 0,
         STATUS_ACCESS_VIOLATION},
        {"array past the caller's memory", [](Read&) {}, 2 * 128 + 64 + 8, 0, STATUS_ACCESS_VIOLATION},
    };
    for (const Bad& b : bad) {
        Read r(2, 128, 4096);
        b.change(r);
        std::vector<uint8_t> before(r.headers.memory(), r.headers.memory() + r.headers.size());
        EXPECT_EQ(r.send(pin, b.length, b.offset), b.expected) << b.what;
        EXPECT_EQ(host::ks::queued_frames(kspin), 0u) << b.what;
        EXPECT_EQ(r.done.load(), 0) << b.what;
        EXPECT_TRUE(std::equal(before.begin(), before.end(), r.headers.memory())) << b.what;
    }

    // Three frames in one request, two of them sharing one buffer: queued together, completed
    // once with every header as the driver left it.
    Read good(3, 128, 4096);
    good.header(2, 128)->Data = good.data[1]->user();
    ASSERT_EQ(good.send(pin, 3 * 128), STATUS_PENDING);
    EXPECT_EQ(host::ks::queued_frames(kspin), 3u);
    const KSSTATE run = KSSTATE_RUN;
    std::memcpy(state_set.out.memory(), &run, sizeof run);
    ASSERT_EQ(control(pin, IOCTL_KS_PROPERTY, state_set.in.user(), 24, state_set.out.user(), 4), STATUS_SUCCESS);
    ASSERT_TRUE(good.wait_done(10000));
    EXPECT_EQ(good.status.load(), STATUS_SUCCESS);
    EXPECT_EQ(good.information.load(), 3u * 128);
    for (uint32_t i = 0; i < 3; ++i)
        EXPECT_EQ(good.header(i, 128)->DataUsed, kFillBytes) << i;
    EXPECT_EQ(good.data[0]->memory()[4095], 0xCD);  // nothing past what the driver filled

    // A request still queued when the pin stops completes cancelled, and its headers come back as
    // they were sent: an error carries no output.
    KSSTATE pause = KSSTATE_PAUSE;
    std::memcpy(state_set.out.memory(), &pause, sizeof pause);
    ASSERT_EQ(control(pin, IOCTL_KS_PROPERTY, state_set.in.user(), 24, state_set.out.user(), 4), STATUS_SUCCESS);
    ASSERT_TRUE(host::ks::wait_processing_idle(kspin, 10000));
    Read late(2, 56, 1024);
    late.header(0, 56)->DataUsed = 0;
    ASSERT_EQ(late.send(pin, 112), STATUS_PENDING);
    late.header(0, 56)->OptionsFlags = 0x5A5A;  // the caller's own memory, changed while pending
    EXPECT_EQ(host::ks::close_file(pin), STATUS_SUCCESS);
    EXPECT_EQ(late.done.load(), 1);  // given back before the close returned
    EXPECT_EQ(late.status.load(), STATUS_CANCELLED);
    EXPECT_EQ(late.information.load(), 0u);
    EXPECT_EQ(late.header(1, 56)->Size, 56u);
    EXPECT_EQ(late.header(1, 56)->Data, late.data[1]->user());
    EXPECT_EQ(late.header(0, 56)->OptionsFlags, 0x5A5Au);  // nothing was copied over it
}

}  // namespace
