// What a capture application sees when it enumerates the device: eight filters, their
// categories, pins, ranges and topology, and what opening each filter does.
#include "driver/audio/audio.h"
#include "driver/public.h"
#include "driver/video/video.h"
#include "platform/host/diag/trace.h"
#include "tests/filter/filter_bed.h"

#include <cstring>
#include <set>
#include <string>

namespace {

using filtertest::FilterTest;

bool same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

std::string key(const GUID& g) { return std::string(reinterpret_cast<const char*>(&g), sizeof g); }

std::vector<uint8_t> bytes_of(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

// The input and medium each reference GUID stands for.
struct Expected {
    const GUID* reference;
    uint32_t input;
    bool video;
};
const Expected kDeviceOrder[] = {
    {&kRefAudio0, 0, false}, {&kRefVideo0, 0, true}, {&kRefAudio1, 1, false}, {&kRefVideo1, 1, true},
    {&kRefAudio2, 2, false}, {&kRefVideo2, 2, true}, {&kRefAudio3, 3, false}, {&kRefVideo3, 3, true},
};

KS_DATARANGE_VIDEO* video_table(uint32_t input) {
    KS_DATARANGE_VIDEO* tables[] = {channel0VideoFormats, channel1VideoFormats, channel2VideoFormats,
                                    channel3VideoFormats};
    return tables[input];
}
KSDATARANGE_AUDIO* audio_table(uint32_t input) {
    KSDATARANGE_AUDIO* tables[] = {channel0AudioRanges, channel1AudioRanges, channel2AudioRanges, channel3AudioRanges};
    return tables[input];
}

// The pin type's descriptor as the driver handed it to the class (what a client cannot see).
const KSPIN_DESCRIPTOR& descriptor_of(const qh::client::Filter& filter, uint32_t pin_id) {
    const KSFILTER_DESCRIPTOR* fd = filter.ksfilter()->Descriptor;
    const auto* bytes = reinterpret_cast<const char*>(fd->PinDescriptors) + size_t(pin_id) * fd->PinDescriptorSize;
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(bytes)->PinDescriptor;
}

size_t lines_starting(const std::vector<host::trace::Line>& lines, const std::string& prefix) {
    size_t n = 0;
    for (const auto& line : lines)
        n += line.text.compare(0, prefix.size(), prefix) == 0;
    return n;
}

class Enumeration : public FilterTest {};

TEST_F(Enumeration, EightFiltersInDeviceOrderEachBoundToItsInputWithItsPins) {
    auto& dev = device();
    const auto filters = dev.filters();
    ASSERT_EQ(filters.size(), 8u);

    std::set<std::string> references;
    for (size_t i = 0; i < filters.size(); ++i) {
        const auto& info = filters[i];
        const Expected& want = kDeviceOrder[i];
        SCOPED_TRACE("filter " + std::to_string(i));
        EXPECT_EQ(info.index, i);
        EXPECT_TRUE(same(info.reference, *want.reference));
        references.insert(key(info.reference));
        ASSERT_EQ(info.categories.size(), 2u);
        EXPECT_TRUE(same(info.categories[0], kCategoryCapture));
        EXPECT_TRUE(same(info.categories[1], want.video ? kCategoryVideo : kCategoryAudio));

        std::unique_ptr<qh::client::Filter> filter;
        ASSERT_EQ(dev.open_filter(info.index, filter), STATUS_SUCCESS);
        const auto pins = filter->pins();
        if (want.video) {
            // One capture pin named by the filter's reference, listing exactly this input's table.
            ASSERT_EQ(pins.size(), 1u);
            const auto& pin = pins[0];
            EXPECT_EQ(pin.dataflow, KSPIN_DATAFLOW_OUT);
            EXPECT_EQ(pin.communication, KSPIN_COMMUNICATION_BOTH);
            EXPECT_TRUE(same(pin.category, kPinCategoryCapture));
            ASSERT_NE(descriptor_of(*filter, 0).Name, nullptr);
            EXPECT_TRUE(same(*descriptor_of(*filter, 0).Name, *want.reference));
            EXPECT_TRUE(pin.name.empty()) << "no name is registered for the reference GUID";
            EXPECT_EQ(pin.instances_possible, 1u);
            ASSERT_EQ(pin.ranges.size(), kVideoFormatCount);
            for (uint32_t r = 0; r < kVideoFormatCount; ++r) {
                EXPECT_EQ(pin.ranges[r], bytes_of(&video_table(want.input)[r], sizeof(KS_DATARANGE_VIDEO)))
                    << "range " << r;
            }
            // No topology of its own: the class reports the default connection of its one pin.
            EXPECT_EQ(filter->ksfilter()->Descriptor->NodeDescriptorsCount, 0u);
            EXPECT_EQ(filter->ksfilter()->Descriptor->ConnectionsCount, 0u);
            const auto topology = filter->topology();
            EXPECT_TRUE(topology.node_types.empty());
            ASSERT_EQ(topology.connections.size(), 1u);
            EXPECT_EQ(topology.connections[0].FromNode, 0u);
            EXPECT_EQ(topology.connections[0].FromNodePin, 0u);
            EXPECT_EQ(topology.connections[0].ToNode, KSFILTER_NODE);
            EXPECT_EQ(topology.connections[0].ToNodePin, 0u);
        } else {
            // Capture pin 0 with this input's three ranges; bridge pin 1, analog, not instantiable.
            ASSERT_EQ(pins.size(), 2u);
            EXPECT_EQ(pins[0].dataflow, KSPIN_DATAFLOW_OUT);
            EXPECT_EQ(pins[0].communication, KSPIN_COMMUNICATION_SINK);
            EXPECT_TRUE(same(pins[0].category, kPinCategoryCapture));
            EXPECT_EQ(descriptor_of(*filter, 0).Name, nullptr);
            EXPECT_TRUE(pins[0].name.empty());
            EXPECT_EQ(pins[0].instances_possible, 1u);
            ASSERT_EQ(pins[0].ranges.size(), kAudioRangeCount);
            for (uint32_t r = 0; r < kAudioRangeCount; ++r) {
                EXPECT_EQ(pins[0].ranges[r], bytes_of(&audio_table(want.input)[r], sizeof(KSDATARANGE_AUDIO)))
                    << "range " << r;
            }
            EXPECT_EQ(pins[1].dataflow, KSPIN_DATAFLOW_IN);
            EXPECT_EQ(pins[1].communication, KSPIN_COMMUNICATION_NONE);
            EXPECT_TRUE(same(pins[1].category, kNodeTypeMicrophoneArray));
            ASSERT_NE(descriptor_of(*filter, 1).Name, nullptr);
            EXPECT_TRUE(same(*descriptor_of(*filter, 1).Name, *want.reference));
            EXPECT_TRUE(pins[1].name.empty());
            EXPECT_EQ(pins[1].instances_possible, 0u);
            ASSERT_EQ(pins[1].ranges.size(), 1u);
            ASSERT_EQ(pins[1].ranges[0].size(), sizeof(KSDATARANGE));
            KSDATARANGE bridge;
            std::memcpy(&bridge, pins[1].ranges[0].data(), sizeof bridge);
            EXPECT_EQ(bridge.FormatSize, sizeof(KSDATARANGE));
            EXPECT_TRUE(same(bridge.MajorFormat, kTypeAudio));
            EXPECT_TRUE(same(bridge.SubFormat, kSubtypeAnalog));
            EXPECT_TRUE(same(bridge.Specifier, kSpecifierNone));

            // The analog input reaches the capture pin through the ADC node.
            const auto topology = filter->topology();
            ASSERT_EQ(topology.node_types.size(), 1u);
            EXPECT_TRUE(same(topology.node_types[0], kNodeTypeAdc));
            ASSERT_EQ(topology.connections.size(), 2u);
            const KSTOPOLOGY_CONNECTION& in = topology.connections[0];
            const KSTOPOLOGY_CONNECTION& out = topology.connections[1];
            EXPECT_EQ(in.FromNode, KSFILTER_NODE);
            EXPECT_EQ(in.FromNodePin, 1u);
            EXPECT_EQ(in.ToNode, 0u);
            EXPECT_EQ(in.ToNodePin, 1u);
            EXPECT_EQ(out.FromNode, 0u);
            EXPECT_EQ(out.FromNodePin, 0u);
            EXPECT_EQ(out.ToNode, KSFILTER_NODE);
            EXPECT_EQ(out.ToNodePin, 0u);
        }
        EXPECT_EQ(filter->close(), STATUS_SUCCESS);
    }
    EXPECT_EQ(references.size(), 8u) << "reference GUIDs must be distinct";

    // A lister looking by category finds four of each medium.
    EXPECT_EQ(dev.filters_in_category(kCategoryCapture).size(), 8u);
    EXPECT_EQ(dev.filters_in_category(kCategoryVideo).size(), 4u);
    EXPECT_EQ(dev.filters_in_category(kCategoryAudio).size(), 4u);
}

TEST_F(Enumeration, OpeningEachFilterRunsOnlyItsOwnInputsDetectionOnce) {
    auto& dev = device();
    const auto filters = dev.filters();
    ASSERT_EQ(filters.size(), 8u);
    for (size_t i = 0; i < filters.size(); ++i) {
        const Expected& want = kDeviceOrder[i];
        SCOPED_TRACE("filter " + std::to_string(i));
        // The interrupt routine reads an I2C master's command register when its chunk-done
        // interrupt arrives; let the previous open's interrupts be delivered before logging.
        ASSERT_TRUE(bed().card().interrupt_line().wait_quiet(10000));
        bed().card().set_access_log(true);
        bed().card().clear_access_log();
        const auto mark = host::trace::mark();

        std::unique_ptr<qh::client::Filter> filter;
        ASSERT_EQ(dev.open_filter(filters[i].index, filter), STATUS_SUCCESS);
        ASSERT_TRUE(bed().card().interrupt_line().wait_quiet(10000));
        const auto lines = host::trace::since(mark);
        const auto log = bed().card().access_log();
        bed().card().set_access_log(false);

        EXPECT_EQ(host::trace::count_exact(mark, "FilterCreate()\n"), 1u);
        // Exactly one detection routine ran, and it was this input's, of this medium.
        const std::string mine = want.video ? "temp connect video" + std::to_string(want.input)
                                            : "audio" + std::to_string(want.input) + " connect:";
        EXPECT_EQ(lines_starting(lines, mine), 1u);
        EXPECT_EQ(lines_starting(lines, "temp connect video"), want.video ? 1u : 0u);
        size_t audio_detections = 0;
        for (uint32_t n = 0; n < 4; ++n)
            audio_detections += lines_starting(lines, "audio" + std::to_string(n) + " connect:");
        EXPECT_EQ(audio_detections, want.video ? 0u : 1u);

        // Only this input's I2C master was used.
        const uint32_t own_block = 0x4000 + 0x1000 * want.input;
        size_t own = 0;
        for (const auto& access : log) {
            if (access.offset >= 0x4000 && access.offset < 0x8000) {
                EXPECT_EQ(access.offset & 0xF000, own_block) << "access to 0x" << std::hex << access.offset;
                ++own;
            }
        }
        EXPECT_GT(own, 0u);
        filter->close();
    }
}

TEST_F(Enumeration, OpeningInputTwosVideoFilterRewritesOnlyItsDetectedRange) {
    // The default card shows 1280x720 on input 2; the other tables stay as they were.
    std::vector<std::vector<uint8_t>> before;
    for (uint32_t n = 0; n < 4; ++n)
        before.push_back(bytes_of(&video_table(n)[0], sizeof(KS_DATARANGE_VIDEO)));

    auto& dev = device();
    std::unique_ptr<qh::client::Filter> filter;
    ASSERT_EQ(dev.open_filter(5, filter), STATUS_SUCCESS);
    const KS_DATARANGE_VIDEO& detected = video_table(2)[0];
    EXPECT_EQ(detected.VideoInfoHeader.bmiHeader.biWidth, 1280);
    EXPECT_EQ(std::abs(detected.VideoInfoHeader.bmiHeader.biHeight), 720);
    for (uint32_t n : {0u, 1u, 3u}) {
        EXPECT_EQ(bytes_of(&video_table(n)[0], sizeof(KS_DATARANGE_VIDEO)), before[n]) << "input " << n;
    }
    // What the pin offers is the rewritten table.
    EXPECT_EQ(filter->pins()[0].ranges[0], bytes_of(&detected, sizeof detected));
    filter->close();
}

class PinInstances : public FilterTest {};

TEST_F(PinInstances, ASecondCapturePinOnAFilterIsRefusedUntilTheFirstCloses) {
    auto& dev = device();
    for (uint32_t index : {1u, 0u}) {  // video filter of input 0, then its audio filter
        SCOPED_TRACE("filter " + std::to_string(index));
        std::unique_ptr<qh::client::Filter> filter;
        ASSERT_EQ(dev.open_filter(index, filter), STATUS_SUCCESS);
        std::vector<uint8_t> format;
        ASSERT_EQ(filter->intersect(0, {filter->pins()[0].ranges[0]}, format), STATUS_SUCCESS);

        std::unique_ptr<qh::client::Pin> first, second, third;
        ASSERT_EQ(filter->create_pin(0, format, first), STATUS_SUCCESS);
        EXPECT_NE(filter->create_pin(0, format, second), STATUS_SUCCESS);
        EXPECT_EQ(second, nullptr);
        // The refusal left the first pin working.
        EXPECT_EQ(first->set_state(KSSTATE_PAUSE), STATUS_SUCCESS);
        EXPECT_EQ(first->state(), KSSTATE_PAUSE);
        EXPECT_EQ(first->close(), STATUS_SUCCESS);
        first.reset();
        EXPECT_EQ(filter->create_pin(0, format, third), STATUS_SUCCESS);
        if (third) third->close();

        // The bridge pin of an audio filter cannot be instantiated at all.
        if (index == 0) {
            std::unique_ptr<qh::client::Pin> bridge;
            EXPECT_NE(filter->create_pin(1, filter->pins()[1].ranges[0], bridge), STATUS_SUCCESS);
        }
        filter->close();
    }
}

}  // namespace
