// The installation's camera option: the value the camera variant of the INF writes under the
// device's hardware key makes each video filter register under KSCATEGORY_VIDEO_CAMERA as well;
// without it (or with anything but a nonzero REG_DWORD) the filters register as they always have.
#include "driver/public.h"
#include "driver/device/install_options.h"
#include "platform/host/pnp/registry.h"
#include "platform/host/diag/trace.h"
#include "tests/support/testbed_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

using host::registry::Value;

bool same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::u16string wide(const char* text) { return std::u16string(text, text + std::strlen(text)); }

const std::u16string kName = wide(QH_CAMERA_VALUE_NAME);

const GUID* const kDeviceOrder[] = {&kRefAudio0, &kRefVideo0, &kRefAudio1, &kRefVideo1,
                                    &kRefAudio2, &kRefVideo2, &kRefAudio3, &kRefVideo3};

// The device as the PnP manager adds it with `key` in its hardware key, not started (the
// categories are fixed when the device is added).
std::unique_ptr<qh::Testbed> added_with(std::vector<Value> key) {
    qh::TestbedOptions options = qh::testing::manual_options();
    options.start = false;
    options.hardware_key = std::move(key);
    return std::make_unique<qh::Testbed>(options);
}

// Each filter's categories in device order, as an application enumerating them sees them.
std::vector<std::vector<GUID>> categories_of(qh::Testbed& bed) {
    std::vector<std::vector<GUID>> out;
    auto device = qh::client::open_device(bed.ksdevice());
    const auto filters = device->filters();
    for (size_t i = 0; i < filters.size(); ++i) {
        EXPECT_TRUE(same(filters[i].reference, *kDeviceOrder[i])) << "filter " << i;
        out.push_back(filters[i].categories);
    }
    return out;
}

::testing::AssertionResult categories_are(const std::vector<GUID>& got, std::vector<GUID> want) {
    if (got.size() != want.size())
        return ::testing::AssertionFailure() << got.size() << " categories, not " << want.size();
    for (size_t i = 0; i < want.size(); ++i)
        if (!same(got[i], want[i])) return ::testing::AssertionFailure() << "category " << i << " differs";
    return ::testing::AssertionSuccess();
}

Value raw(std::u16string name, ULONG type, std::vector<uint8_t> data) {
    Value v;
    v.name = std::move(name);
    v.type = type;
    v.data = std::move(data);
    return v;
}

TEST(CameraOption, WithoutTheOptionEveryFilterRegistersAsBefore) {
    // No value; the default INF's 0; and values that are not the option's DWORD: a string, a
    // QWORD, a bare DWORD of another name.
    const std::vector<std::pair<const char*, std::vector<Value>>> cases = {
        {"no value", {}},
        {"value 0", {Value::dword(kName, 0)}},
        {"REG_SZ \"1\"", {raw(kName, REG_SZ, {'1', 0, 0, 0})}},
        {"8-byte value", {raw(kName, REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0})}},
        {"DWORD 1 with type REG_BINARY", {raw(kName, REG_BINARY, {1, 0, 0, 0})}},
        {"another name", {Value::dword(u"RegisterAsCameras", 1)}},
    };
    for (const auto& [what, key] : cases) {
        SCOPED_TRACE(what);
        auto bed = added_with(key);
        ASSERT_TRUE(bed->added());
        const auto categories = categories_of(*bed);
        ASSERT_EQ(categories.size(), 8u);
        for (size_t i = 0; i < categories.size(); ++i) {
            const bool video = i % 2 == 1;
            EXPECT_TRUE(categories_are(categories[i], {kCategoryCapture, video ? kCategoryVideo : kCategoryAudio}))
                << "filter " << i;
        }
        // The driver closed the key it opened.
        EXPECT_EQ(host::registry::open_handles(), 0u);
        EXPECT_EQ(
            host::trace::count_exact(bed->trace_mark(), "DeviceAdd(): video filters also under the camera category\n"),
            0u);
    }
}

TEST(CameraOption, TheOptionAddsTheCameraCategoryToEachVideoFilterAndLeavesTheAudioFilters) {
    // The value's name is matched as the registry matches names: without regard to case.
    for (const std::u16string& name : {kName, wide("REGISTERASCAMERA")}) {
        auto bed = added_with({Value::dword(u"MSISupported", 1), Value::dword(name, 1)});
        ASSERT_TRUE(bed->added());
        const auto categories = categories_of(*bed);
        ASSERT_EQ(categories.size(), 8u);
        for (size_t i = 0; i < categories.size(); ++i) {
            if (i % 2 == 1) {
                EXPECT_TRUE(categories_are(categories[i], {kCategoryCapture, kCategoryVideo, kCategoryVideoCamera}))
                    << "video filter " << i;
            } else {
                EXPECT_TRUE(categories_are(categories[i], {kCategoryCapture, kCategoryAudio})) << "audio filter " << i;
            }
        }
        EXPECT_EQ(host::registry::open_handles(), 0u);
        EXPECT_EQ(
            host::trace::count_exact(bed->trace_mark(), "DeviceAdd(): video filters also under the camera category\n"),
            1u);

        // A camera application finds the four video filters, and what it opens through that
        // category is the same filter: it starts and its pin is the video capture pin.
        ASSERT_EQ(bed->start(), STATUS_SUCCESS);
        auto device = qh::client::open_device(bed->ksdevice());
        const auto cameras = device->filters_in_category(kCategoryVideoCamera);
        ASSERT_EQ(cameras.size(), 4u);
        for (size_t n = 0; n < cameras.size(); ++n) {
            SCOPED_TRACE("camera " + std::to_string(n));
            EXPECT_TRUE(same(cameras[n].reference, *kDeviceOrder[2 * n + 1]));
            std::unique_ptr<qh::client::Filter> filter;
            ASSERT_EQ(device->open_filter(cameras[n].index, filter), STATUS_SUCCESS);
            const auto pins = filter->pins();
            ASSERT_EQ(pins.size(), 1u);
            EXPECT_EQ(pins[0].dataflow, KSPIN_DATAFLOW_OUT);
            // The pin type the driver describes for that filter: named by the filter's reference.
            const KSFILTER_DESCRIPTOR* fd = filter->ksfilter()->Descriptor;
            ASSERT_EQ(fd->PinDescriptorsCount, 1u);
            const GUID* name = fd->PinDescriptors[0].PinDescriptor.Name;
            EXPECT_TRUE(name && same(*name, *kDeviceOrder[2 * n + 1]));
        }
        EXPECT_TRUE(device->filters_in_category(kCategoryAudio).size() == 4u);
    }
}

}  // namespace
