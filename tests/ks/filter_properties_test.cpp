// What the class answers about a filter's pin types and topology (the pin and topology property
// sets on a filter handle): size queries and refusals, the layout of the lists, names from the
// media categories, the driver's own items taking precedence, and the real driver's filters
// answering what their descriptors say.
#include "client/enumerate.h"
#include "driver/public.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/ks/ks.h"
#include "platform/host/pnp/pnp.h"
#include "platform/host/pnp/registry.h"
#include "tests/support/testbed_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

namespace {

using qh::client::PropertyResult;

// ---------------------------------------------------------------------------------------------
// A probe driver: one filter whose pin types cover what the descriptors may leave out (category,
// name, interfaces, mediums, constrained ranges) and ranges whose sizes are not multiples of
// eight; a second filter with no topology of its own.

constexpr GUID kMajor = {0xA0A0A0A0, 0xA0A0, 0xA0A0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSub = {0xA1A1A1A1, 0xA1A1, 0xA1A1, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kSpec = {0xA2A2A2A2, 0xA2A2, 0xA2A2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kPinCategory = {0xB0B0B0B0, 0xB0B0, 0xB0B0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kOtherPinCategory = {0xB1B1B1B1, 0xB1B1, 0xB1B1, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kPinName = {0xB2B2B2B2, 0xB2B2, 0xB2B2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kNodeTypeA = {0xC0C0C0C0, 0xC0C0, 0xC0C0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kNodeTypeB = {0xC1C1C1C1, 0xC1C1, 0xC1C1, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kNodeName = {0xC2C2C2C2, 0xC2C2, 0xC2C2, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kFilterCategoryA = {0xD0D0D0D0, 0xD0D0, 0xD0D0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kFilterCategoryB = {0xD1D1D1D1, 0xD1D1, 0xD1D1, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kReferenceA = {0xE0E0E0E0, 0xE0E0, 0xE0E0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kReferenceB = {0xE1E1E1E1, 0xE1E1, 0xE1E1, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kInterfaceSet = {0xF0F0F0F0, 0xF0F0, 0xF0F0, {1, 2, 3, 4, 5, 6, 7, 8}};
constexpr GUID kMediumSet = {0xF1F1F1F1, 0xF1F1, 0xF1F1, {1, 2, 3, 4, 5, 6, 7, 8}};

constexpr ULONG kDriversNecessaryInstances = 77;  // what the driver's own item answers

// A range and the bytes after it: the tail past FormatSize is not part of the range, and is
// filled so that a copy of more than FormatSize shows.
struct Range {
    KSDATARANGE range;
    uint8_t tail[40];
};
Range g_ranges[4];
PKSDATARANGE g_range_table[3] = {&g_ranges[0].range, &g_ranges[1].range, &g_ranges[2].range};
PKSDATARANGE g_constrained_table[1] = {&g_ranges[3].range};

const KSPIN_INTERFACE g_interfaces[2] = {{{{kInterfaceSet, 5, 0}}}, {{{kInterfaceSet, 6, 0}}}};
const KSPIN_MEDIUM g_mediums[1] = {{{{kMediumSet, 9, 3}}}};

std::atomic<int> g_driver_item_calls{0};

NTSTATUS NTAPI GetNecessaryInstances(PIRP irp, PKSIDENTIFIER, PVOID data) {
    ++g_driver_item_calls;
    ULONG value = kDriversNecessaryInstances;
    std::memcpy(data, &value, sizeof value);
    irp->IoStatus.Information = sizeof value;
    return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM g_pin_set_items[] = {
    DEFINE_KSPROPERTY_ITEM(KSPROPERTY_PIN_NECESSARYINSTANCES, GetNecessaryInstances, sizeof(KSP_PIN), sizeof(ULONG),
                           nullptr, nullptr, 0, nullptr, nullptr, 0),
};
const KSPROPERTY_SET g_filter_sets[] = {DEFINE_KSPROPERTY_SET(&host::ks::kPropsetPin, 1, g_pin_set_items, 0, nullptr)};
const KSAUTOMATION_TABLE g_filter_automation = {
    1, sizeof(KSPROPERTY_ITEM), g_filter_sets, 0, sizeof(KSMETHOD_ITEM), nullptr, 0, sizeof(KSEVENT_ITEM), nullptr};

// Pin 0: category, name, three ranges, the standard interface and medium, two instances.
// Pin 1: no category, no name, its own interfaces and mediums, a constrained range.
// Pin 2: a category and no name.
KSPIN_DESCRIPTOR_EX g_pins_a[3] = {
    {nullptr,
     nullptr,
     {0,
      nullptr,
      0,
      nullptr,
      3,
      g_range_table,
      KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_SINK,
      &kPinCategory,
      &kPinName,
      {}},
     0,
     2,
     0,
     nullptr,
     nullptr},
    {nullptr,
     nullptr,
     {2,
      g_interfaces,
      1,
      g_mediums,
      2,
      g_range_table,
      KSPIN_DATAFLOW_IN,
      KSPIN_COMMUNICATION_NONE,
      nullptr,
      nullptr,
      {}},
     0,
     0,
     1,
     nullptr,
     nullptr},
    {nullptr,
     nullptr,
     {0,
      nullptr,
      0,
      nullptr,
      1,
      g_range_table,
      KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_BOTH,
      &kOtherPinCategory,
      nullptr,
      {}},
     0,
     KSINSTANCE_INDETERMINATE,
     0,
     nullptr,
     nullptr},
};
KSPIN_DESCRIPTOR_EX g_pins_b[2] = {
    {nullptr,
     nullptr,
     {0, nullptr, 0, nullptr, 1, g_range_table, KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_NONE, nullptr, nullptr, {}},
     0,
     0,
     0,
     nullptr,
     nullptr},
    {nullptr,
     nullptr,
     {0, nullptr, 0, nullptr, 1, g_range_table, KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_SINK, nullptr, nullptr, {}},
     0,
     1,
     0,
     nullptr,
     nullptr},
};

const KSNODE_DESCRIPTOR g_nodes[2] = {{nullptr, &kNodeTypeA, nullptr}, {nullptr, &kNodeTypeB, &kNodeName}};
const KSTOPOLOGY_CONNECTION g_connections[3] = {{KSFILTER_NODE, 1, 0, 1}, {0, 0, 1, 1}, {1, 0, KSFILTER_NODE, 0}};
const GUID g_categories[2] = {kFilterCategoryA, kFilterCategoryB};

const KSFILTER_DESCRIPTOR g_filter_a = {nullptr,
                                        &g_filter_automation,
                                        KSFILTER_DESCRIPTOR_VERSION,
                                        0,
                                        &kReferenceA,
                                        3,
                                        sizeof(KSPIN_DESCRIPTOR_EX),
                                        g_pins_a,
                                        2,
                                        g_categories,
                                        2,
                                        sizeof(KSNODE_DESCRIPTOR),
                                        g_nodes,
                                        3,
                                        g_connections,
                                        nullptr};
const KSFILTER_DESCRIPTOR g_filter_b = {nullptr,
                                        nullptr,
                                        KSFILTER_DESCRIPTOR_VERSION,
                                        0,
                                        &kReferenceB,
                                        2,
                                        sizeof(KSPIN_DESCRIPTOR_EX),
                                        g_pins_b,
                                        0,
                                        nullptr,
                                        0,
                                        sizeof(KSNODE_DESCRIPTOR),
                                        nullptr,
                                        0,
                                        nullptr,
                                        nullptr};
const KSFILTER_DESCRIPTOR* const g_filters[2] = {&g_filter_a, &g_filter_b};
const KSDEVICE_DESCRIPTOR g_device = {nullptr, 2, g_filters, KSDEVICE_DESCRIPTOR_VERSION};

void lay_out_ranges() {
    const ULONG sizes[4] = {70, 64, 90, 66};  // three of them not multiples of eight
    for (int i = 0; i < 4; ++i) {
        std::memset(&g_ranges[i], 0xEE, sizeof g_ranges[i]);
        KSDATARANGE& r = g_ranges[i].range;
        r.FormatSize = sizes[i];
        r.Flags = 0;
        r.SampleSize = 0;
        r.Reserved = 0;
        r.MajorFormat = kMajor;
        r.SubFormat = kSub;
        r.Specifier = kSpec;
        // Bytes of the range past the header carry its index, so a misplaced range shows.
        auto* bytes = reinterpret_cast<uint8_t*>(&r);
        for (ULONG b = sizeof(KSDATARANGE); b < sizes[i]; ++b)
            bytes[b] = static_cast<uint8_t>(0x10 * (i + 1) + b % 16);
    }
    g_pins_a[1].PinDescriptor.ConstrainedDataRangesCount = 1;
    g_pins_a[1].PinDescriptor.ConstrainedDataRanges = g_constrained_table;
}

NTSTATUS NTAPI ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry) {
    return KsInitializeDriver(driver, registry, &g_device);
}

struct ProbeBed {
    std::shared_ptr<host::pnp::Driver> driver;
    std::unique_ptr<host::pnp::Device> device;
    std::unique_ptr<qh::client::Device> client;
    std::unique_ptr<qh::client::Filter> filter;
    ProbeBed() {
        lay_out_ranges();
        g_driver_item_calls = 0;
        host::reset();
        EXPECT_EQ(host::pnp::Driver::load(ProbeEntry, driver), STATUS_SUCCESS);
        EXPECT_EQ(host::pnp::Device::add(driver, nullptr, 3, device), STATUS_SUCCESS);
        host::pnp::ResourceList resources;
        resources.add_memory(0xF0000000, 0x10000).add_line_interrupt(5, 0x50, 1);
        EXPECT_EQ(device->start(&resources, &resources), STATUS_SUCCESS);
        client = qh::client::open_device(device->ksdevice());
        EXPECT_EQ(client->open_filter(0, filter), STATUS_SUCCESS);
    }
    ~ProbeBed() {
        if (filter) filter->close();
        client.reset();
        if (device) device->remove();
    }
};

// Names registered for the test's length only.
struct Registered {
    std::vector<GUID> guids;
    void name(const GUID& guid, const std::u16string& text) {
        host::registry::set_media_category_name(guid, text);
        guids.push_back(guid);
    }
    ~Registered() {
        for (const GUID& g : guids)
            host::registry::forget_media_category(g);
    }
};

// ---------------------------------------------------------------------------------------------
// Requests and answers

std::vector<uint8_t> indexed(const GUID& set, ULONG id, ULONG index, ULONG flags = KSPROPERTY_TYPE_GET) {
    auto request = qh::client::make_property(set, id, flags);
    request.resize(sizeof(KSP_PIN), 0);
    std::memcpy(request.data() + offsetof(KSP_PIN, PinId), &index, sizeof index);
    return request;
}
std::vector<uint8_t> pin_request(ULONG id, ULONG pin_id, ULONG flags = KSPROPERTY_TYPE_GET) {
    return indexed(host::ks::kPropsetPin, id, pin_id, flags);
}
std::vector<uint8_t> topology_request(ULONG id) {
    return qh::client::make_property(host::ks::kPropsetTopology, id, KSPROPERTY_TYPE_GET);
}
std::vector<uint8_t> node_name_request(ULONG node_id) {
    return indexed(host::ks::kPropsetTopology, KSPROPERTY_TOPOLOGY_NAME, node_id);
}

uint32_t u32(const PropertyResult& r, size_t at = 0) {
    uint32_t v = 0;
    if (r.data.size() >= at + 4) std::memcpy(&v, r.data.data() + at, 4);
    return v;
}
GUID guid_at(const PropertyResult& r, size_t at = 0) {
    GUID g{};
    if (r.data.size() >= at + sizeof g) std::memcpy(&g, r.data.data() + at, sizeof g);
    return g;
}
std::u16string text_of(const PropertyResult& r) {
    std::u16string s(r.bytes_returned / 2, u'\0');
    std::memcpy(s.data(), r.data.data(), s.size() * 2);
    return s;
}
std::vector<uint8_t> bytes_of(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return std::vector<uint8_t>(b, b + n);
}

// The whole answer, asked the way a proxy asks: the size first.
PropertyResult sized(qh::client::Filter& filter, const std::vector<uint8_t>& request) {
    PropertyResult query = filter.property(request, 0);
    EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
    PropertyResult result = filter.property(request, query.bytes_returned);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes_returned, query.bytes_returned);
    return result;
}

// ---------------------------------------------------------------------------------------------

TEST(KsFilterProperties, PinTypesAnswerFromTheDescriptorAfterTheSizeChecksAndRefuseWhatIsNotAsked) {
    ProbeBed bed;
    auto& filter = *bed.filter;

    // The number of pin types: a plain KSPROPERTY request is enough.
    auto count = filter.property(
        qh::client::make_property(host::ks::kPropsetPin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_GET), sizeof(ULONG));
    EXPECT_EQ(count.status, STATUS_SUCCESS);
    EXPECT_EQ(count.bytes_returned, sizeof(ULONG));
    EXPECT_EQ(u32(count), 3u);
    // Size query and short buffer, before any answer is made.
    auto query = filter.property(pin_request(KSPROPERTY_PIN_CINSTANCES, 0), 0);
    EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.bytes_returned, sizeof(KSPIN_CINSTANCES));
    auto shorter = filter.property(pin_request(KSPROPERTY_PIN_CINSTANCES, 0), sizeof(ULONG));
    EXPECT_EQ(shorter.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shorter.bytes_returned, 0u);
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_CATEGORY, 0), 0).bytes_returned, sizeof(GUID));

    // Data flow and communication per pin type.
    EXPECT_EQ(u32(filter.property(pin_request(KSPROPERTY_PIN_DATAFLOW, 0), 4)), ULONG(KSPIN_DATAFLOW_OUT));
    EXPECT_EQ(u32(filter.property(pin_request(KSPROPERTY_PIN_DATAFLOW, 1), 4)), ULONG(KSPIN_DATAFLOW_IN));
    EXPECT_EQ(u32(filter.property(pin_request(KSPROPERTY_PIN_COMMUNICATION, 0), 4)), ULONG(KSPIN_COMMUNICATION_SINK));
    EXPECT_EQ(u32(filter.property(pin_request(KSPROPERTY_PIN_COMMUNICATION, 2), 4)), ULONG(KSPIN_COMMUNICATION_BOTH));

    // Instances: the limit, and the pins of the type open on this filter now.
    auto instances = [&](ULONG pin_id) {
        auto r = filter.property(pin_request(KSPROPERTY_PIN_CINSTANCES, pin_id), sizeof(KSPIN_CINSTANCES));
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.bytes_returned, sizeof(KSPIN_CINSTANCES));
        return std::make_pair(u32(r, 0), u32(r, 4));
    };
    EXPECT_EQ(instances(0), std::make_pair(2u, 0u));
    EXPECT_EQ(instances(2), std::make_pair(KSINSTANCE_INDETERMINATE, 0u));
    std::vector<uint8_t> format = bytes_of(&g_ranges[1].range, sizeof(KSDATARANGE));
    std::unique_ptr<qh::client::Pin> pin;
    ASSERT_EQ(filter.create_pin(0, format, pin), STATUS_SUCCESS);
    EXPECT_EQ(instances(0), std::make_pair(2u, 1u));
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
    EXPECT_EQ(instances(0), std::make_pair(2u, 0u));

    // The category, or none: a size query still learns the GUID's size first.
    auto category = filter.property(pin_request(KSPROPERTY_PIN_CATEGORY, 0), sizeof(GUID));
    EXPECT_EQ(category.status, STATUS_SUCCESS);
    EXPECT_EQ(category.bytes_returned, sizeof(GUID));
    EXPECT_EQ(guid_at(category), kPinCategory);
    auto no_category = filter.property(pin_request(KSPROPERTY_PIN_CATEGORY, 1), sizeof(GUID));
    EXPECT_EQ(no_category.status, STATUS_NOT_FOUND);
    EXPECT_EQ(no_category.bytes_returned, 0u);

    // A pin id past the descriptor's pin types, for every property that names one.
    for (ULONG id : {KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_PIN_COMMUNICATION,
                     KSPROPERTY_PIN_CATEGORY, KSPROPERTY_PIN_NAME, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_PIN_INTERFACES,
                     KSPROPERTY_PIN_MEDIUMS, KSPROPERTY_PIN_CONSTRAINEDDATARANGES}) {
        for (ULONG pin_id : {3u, 0xFFFFFFFFu}) {
            auto r = filter.property(pin_request(id, pin_id), 512);
            EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER) << "property " << id << " pin " << pin_id;
            EXPECT_EQ(r.bytes_returned, 0u);
        }
    }
    // A request without the pin id; a SET; neither GET nor SET; the support query.
    auto bare = qh::client::make_property(host::ks::kPropsetPin, KSPROPERTY_PIN_DATAFLOW, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(filter.property(bare, 4).status, STATUS_INVALID_BUFFER_SIZE);
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_DATAFLOW, 0, KSPROPERTY_TYPE_SET), 4, {1, 0, 0, 0}).status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(u32(filter.property(pin_request(KSPROPERTY_PIN_DATAFLOW, 0), 4)), ULONG(KSPIN_DATAFLOW_OUT));
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_CATEGORY, 0, 0), sizeof(GUID)).status,
              STATUS_INVALID_PARAMETER);
    auto support = filter.property(pin_request(KSPROPERTY_PIN_DATARANGES, 0, KSPROPERTY_TYPE_BASICSUPPORT),
                                   sizeof(host::ks::PropertyDescription));
    EXPECT_EQ(support.status, STATUS_SUCCESS);
    EXPECT_EQ(u32(support), ULONG(KSPROPERTY_TYPE_GET));
    // An id the class does not answer is not found in a set it knows.
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_PHYSICALCONNECTION, 0), 64).status, STATUS_NOT_FOUND);

    // The driver's own item of the set answers instead of the class's; the rest stay the class's.
    auto necessary = filter.property(pin_request(KSPROPERTY_PIN_NECESSARYINSTANCES, 1), sizeof(ULONG));
    EXPECT_EQ(necessary.status, STATUS_SUCCESS);
    EXPECT_EQ(u32(necessary), kDriversNecessaryInstances);
    EXPECT_EQ(g_driver_item_calls.load(), 1);
    // The other filter has no such item: the class answers from its descriptor.
    std::unique_ptr<qh::client::Filter> other;
    ASSERT_EQ(bed.client->open_filter(1, other), STATUS_SUCCESS);
    auto class_necessary = other->property(pin_request(KSPROPERTY_PIN_NECESSARYINSTANCES, 0), sizeof(ULONG));
    EXPECT_EQ(class_necessary.status, STATUS_SUCCESS);
    EXPECT_EQ(u32(class_necessary), 0u);
    EXPECT_EQ(g_driver_item_calls.load(), 1);
    other->close();
}

TEST(KsFilterProperties, ListsCarryTheirSizeAndCountAndEachDataRangeStartsOnAnEightByteBoundary) {
    ProbeBed bed;
    auto& filter = *bed.filter;

    // Ranges of 70, 64 and 90 bytes: at 8, 80 and 144, the list 240 bytes with zero padding.
    auto ranges = sized(filter, pin_request(KSPROPERTY_PIN_DATARANGES, 0));
    ASSERT_EQ(ranges.bytes_returned, 240u);
    EXPECT_EQ(u32(ranges, 0), 240u);  // Size
    EXPECT_EQ(u32(ranges, 4), 3u);    // Count
    const size_t offsets[3] = {8, 80, 144};
    for (int i = 0; i < 3; ++i) {
        const ULONG size = g_ranges[i].range.FormatSize;
        EXPECT_EQ(std::vector<uint8_t>(ranges.data.begin() + offsets[i], ranges.data.begin() + offsets[i] + size),
                  bytes_of(&g_ranges[i].range, size))
            << "range " << i;
        const size_t end = i < 2 ? offsets[i + 1] : 240;
        for (size_t b = offsets[i] + size; b < end; ++b)
            EXPECT_EQ(ranges.data[b], 0) << "padding byte " << b;
    }
    // Short buffers: a ULONG gets the size, a header gets size and count, anything else between
    // gets nothing.
    auto size_only = filter.property(pin_request(KSPROPERTY_PIN_DATARANGES, 0), sizeof(ULONG));
    EXPECT_EQ(size_only.status, STATUS_SUCCESS);
    EXPECT_EQ(size_only.bytes_returned, sizeof(ULONG));
    EXPECT_EQ(u32(size_only), 240u);
    auto header = filter.property(pin_request(KSPROPERTY_PIN_DATARANGES, 0), sizeof(KSMULTIPLE_ITEM));
    EXPECT_EQ(header.status, STATUS_SUCCESS);
    EXPECT_EQ(header.bytes_returned, sizeof(KSMULTIPLE_ITEM));
    EXPECT_EQ(u32(header, 0), 240u);
    EXPECT_EQ(u32(header, 4), 3u);
    for (uint32_t length : {2u, 12u, 239u}) {
        auto r = filter.property(pin_request(KSPROPERTY_PIN_DATARANGES, 0), length);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL) << length;
        EXPECT_EQ(r.bytes_returned, 0u) << length;
    }

    // Constrained ranges: the pin type's own list when it has one, all its ranges otherwise.
    EXPECT_EQ(sized(filter, pin_request(KSPROPERTY_PIN_CONSTRAINEDDATARANGES, 0)).data, ranges.data);
    auto constrained = sized(filter, pin_request(KSPROPERTY_PIN_CONSTRAINEDDATARANGES, 1));
    ASSERT_EQ(constrained.bytes_returned, 8u + 72u);
    EXPECT_EQ(u32(constrained, 4), 1u);
    EXPECT_EQ(std::vector<uint8_t>(constrained.data.begin() + 8, constrained.data.begin() + 8 + 66),
              bytes_of(&g_ranges[3].range, 66));

    // Interfaces and mediums: the standard ones for a pin type that lists none.
    auto interfaces = sized(filter, pin_request(KSPROPERTY_PIN_INTERFACES, 0));
    ASSERT_EQ(interfaces.bytes_returned, sizeof(KSMULTIPLE_ITEM) + sizeof(KSIDENTIFIER));
    EXPECT_EQ(u32(interfaces, 4), 1u);
    EXPECT_EQ(guid_at(interfaces, 8), host::ks::kInterfaceSetStandard);
    EXPECT_EQ(u32(interfaces, 24), ULONG(KSINTERFACE_STANDARD_STREAMING));
    auto mediums = sized(filter, pin_request(KSPROPERTY_PIN_MEDIUMS, 0));
    ASSERT_EQ(mediums.bytes_returned, sizeof(KSMULTIPLE_ITEM) + sizeof(KSIDENTIFIER));
    EXPECT_EQ(guid_at(mediums, 8), host::ks::kMediumSetStandard);
    EXPECT_EQ(u32(mediums, 24), ULONG(KSMEDIUM_TYPE_ANYINSTANCE));
    auto own_interfaces = sized(filter, pin_request(KSPROPERTY_PIN_INTERFACES, 1));
    ASSERT_EQ(own_interfaces.bytes_returned, sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(KSIDENTIFIER));
    EXPECT_EQ(u32(own_interfaces, 0), own_interfaces.bytes_returned);
    EXPECT_EQ(u32(own_interfaces, 4), 2u);
    EXPECT_EQ(std::vector<uint8_t>(own_interfaces.data.begin() + 8, own_interfaces.data.end()),
              bytes_of(g_interfaces, sizeof g_interfaces));
    auto own_mediums = sized(filter, pin_request(KSPROPERTY_PIN_MEDIUMS, 1));
    ASSERT_EQ(own_mediums.bytes_returned, sizeof(KSMULTIPLE_ITEM) + sizeof(KSIDENTIFIER));
    EXPECT_EQ(std::vector<uint8_t>(own_mediums.data.begin() + 8, own_mediums.data.end()),
              bytes_of(g_mediums, sizeof g_mediums));

    // What a client lists from these answers alone.
    std::vector<qh::client::PinInfo> pins;
    ASSERT_EQ(qh::client::query_pins([&](const std::vector<uint8_t>& request,
                                         uint32_t length) { return filter.property(request, length); },
                                     pins),
              STATUS_SUCCESS);
    ASSERT_EQ(pins.size(), 3u);
    ASSERT_EQ(pins[0].ranges.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(pins[0].ranges[i], bytes_of(&g_ranges[i].range, g_ranges[i].range.FormatSize)) << "range " << i;
    EXPECT_EQ(pins[0].instances_possible, 2u);
    EXPECT_EQ(pins[1].category, host::ks::kGuidNull);
    EXPECT_EQ(pins[1].dataflow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(pins[1].communication, KSPIN_COMMUNICATION_NONE);
    EXPECT_EQ(pins[2].category, kOtherPinCategory);
}

TEST(KsFilterProperties, NamesAreTheMediaCategoriesEntriesOfTheNameOrElseTheCategoryAndNothingIsMadeUp) {
    ProbeBed bed;
    auto& filter = *bed.filter;

    // Nothing registered: no name, for a named pin type, one named after its category, one with
    // neither; nor for the nodes.
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_NAME, 0), 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_NAME, 2), 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_NAME, 1), 0).status, STATUS_NOT_FOUND);
    EXPECT_EQ(filter.property(node_name_request(0), 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    for (const auto& pin : bed.filter->pins())
        EXPECT_TRUE(pin.name.empty()) << "pin " << pin.id;

    Registered registered;
    registered.name(kPinName, u"Probe output");
    registered.name(kPinCategory, u"Category of pin 0");  // not used: pin 0 has a name of its own
    registered.name(kOtherPinCategory, u"Other");
    registered.name(kNodeTypeA, u"Node A");
    registered.name(kNodeTypeB, u"Type B");  // not used: node 1 has a name of its own

    // The name's own entry, with its terminating NUL; a size query and a short buffer first.
    const std::u16string expected = std::u16string(u"Probe output") + u'\0';
    auto query = filter.property(pin_request(KSPROPERTY_PIN_NAME, 0), 0);
    EXPECT_EQ(query.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(query.bytes_returned, expected.size() * 2);
    auto shorter = filter.property(pin_request(KSPROPERTY_PIN_NAME, 0), query.bytes_returned - 2);
    EXPECT_EQ(shorter.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(shorter.bytes_returned, 0u);
    auto name = filter.property(pin_request(KSPROPERTY_PIN_NAME, 0), query.bytes_returned + 10);
    EXPECT_EQ(name.status, STATUS_SUCCESS);
    EXPECT_EQ(text_of(name), expected);
    EXPECT_EQ(text_of(sized(filter, pin_request(KSPROPERTY_PIN_NAME, 2))), std::u16string(u"Other") + u'\0');
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_NAME, 1), 64).status, STATUS_NOT_FOUND);
    EXPECT_EQ(filter.property(pin_request(KSPROPERTY_PIN_NAME, 0, KSPROPERTY_TYPE_SET), 64).status,
              STATUS_INVALID_DEVICE_REQUEST);

    // Nodes the same way: node 0 after its type, node 1 by its unregistered name.
    EXPECT_EQ(text_of(sized(filter, node_name_request(0))), std::u16string(u"Node A") + u'\0');
    EXPECT_EQ(filter.property(node_name_request(1), 64).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(filter.property(node_name_request(2), 64).status, STATUS_INVALID_PARAMETER);
    auto bare = qh::client::make_property(host::ks::kPropsetTopology, KSPROPERTY_TOPOLOGY_NAME, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(filter.property(bare, 64).status, STATUS_INVALID_BUFFER_SIZE);

    // What a client lists.
    const auto pins = filter.pins();
    ASSERT_EQ(pins.size(), 3u);
    EXPECT_EQ(pins[0].name, u"Probe output");
    EXPECT_TRUE(pins[1].name.empty());
    EXPECT_EQ(pins[2].name, u"Other");
    EXPECT_EQ(qh::client::to_utf8(u"Probe \u00e9\u20ac\U0001F600"), "Probe \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(KsFilterProperties, TopologyListsCategoriesNodesAndConnectionsAndTheDefaultConnectionsWithoutAny) {
    ProbeBed bed;
    auto& filter = *bed.filter;

    auto categories = sized(filter, topology_request(KSPROPERTY_TOPOLOGY_CATEGORIES));
    ASSERT_EQ(categories.bytes_returned, 8u + 2 * sizeof(GUID));
    EXPECT_EQ(u32(categories, 0), categories.bytes_returned);
    EXPECT_EQ(u32(categories, 4), 2u);
    EXPECT_EQ(guid_at(categories, 8), kFilterCategoryA);
    EXPECT_EQ(guid_at(categories, 24), kFilterCategoryB);
    auto nodes = sized(filter, topology_request(KSPROPERTY_TOPOLOGY_NODES));
    ASSERT_EQ(nodes.bytes_returned, 8u + 2 * sizeof(GUID));
    EXPECT_EQ(guid_at(nodes, 8), kNodeTypeA);
    EXPECT_EQ(guid_at(nodes, 24), kNodeTypeB);
    auto connections = sized(filter, topology_request(KSPROPERTY_TOPOLOGY_CONNECTIONS));
    ASSERT_EQ(connections.bytes_returned, 8u + sizeof g_connections);
    EXPECT_EQ(u32(connections, 4), 3u);
    EXPECT_EQ(std::vector<uint8_t>(connections.data.begin() + 8, connections.data.end()),
              bytes_of(g_connections, sizeof g_connections));
    // A buffer with room for the header and part of the list is refused; SET is.
    EXPECT_EQ(filter.property(topology_request(KSPROPERTY_TOPOLOGY_CONNECTIONS), 24).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(filter
                  .property(qh::client::make_property(host::ks::kPropsetTopology, KSPROPERTY_TOPOLOGY_NODES,
                                                      KSPROPERTY_TYPE_SET),
                            64)
                  .status,
              STATUS_INVALID_DEVICE_REQUEST);
    const auto topology = filter.topology();
    ASSERT_EQ(topology.node_types.size(), 2u);
    EXPECT_EQ(topology.node_types[1], kNodeTypeB);
    ASSERT_EQ(topology.connections.size(), 3u);
    EXPECT_EQ(topology.connections[1].ToNode, 1u);
    EXPECT_EQ(topology.connections[2].ToNode, KSFILTER_NODE);

    // The second filter lists no connections: each pin joins the same-numbered pin of one node,
    // inputs into it and outputs out of it. It has no nodes and no categories.
    std::unique_ptr<qh::client::Filter> plain;
    ASSERT_EQ(bed.client->open_filter(1, plain), STATUS_SUCCESS);
    const auto defaults = plain->topology();
    EXPECT_TRUE(defaults.node_types.empty());
    ASSERT_EQ(defaults.connections.size(), 2u);
    EXPECT_EQ(defaults.connections[0].FromNode, KSFILTER_NODE);
    EXPECT_EQ(defaults.connections[0].FromNodePin, 0u);
    EXPECT_EQ(defaults.connections[0].ToNode, 0u);
    EXPECT_EQ(defaults.connections[0].ToNodePin, 0u);
    EXPECT_EQ(defaults.connections[1].FromNode, 0u);
    EXPECT_EQ(defaults.connections[1].FromNodePin, 1u);
    EXPECT_EQ(defaults.connections[1].ToNode, KSFILTER_NODE);
    EXPECT_EQ(defaults.connections[1].ToNodePin, 1u);
    auto none = sized(*plain, topology_request(KSPROPERTY_TOPOLOGY_CATEGORIES));
    EXPECT_EQ(none.bytes_returned, sizeof(KSMULTIPLE_ITEM));
    EXPECT_EQ(u32(none, 0), 8u);
    EXPECT_EQ(u32(none, 4), 0u);
    plain->close();
}

// ---------------------------------------------------------------------------------------------
// The real driver's filters.

class KsDriverFilterProperties : public qh::testing::TestbedTest {};

const KSPIN_DESCRIPTOR_EX& pin_descriptor(const KSFILTER_DESCRIPTOR* fd, ULONG pin_id) {
    return *reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const char*>(fd->PinDescriptors) +
                                                         size_t(pin_id) * fd->PinDescriptorSize);
}

TEST_F(KsDriverFilterProperties, EachFilterAnswersWhatItsDescriptorSays) {
    auto device = qh::client::open_device(bed().ksdevice());
    const auto filters = device->filters();
    ASSERT_EQ(filters.size(), size_t(kFilterCount));
    for (const auto& info : filters) {
        SCOPED_TRACE("filter " + std::to_string(info.index));
        std::unique_ptr<qh::client::Filter> filter;
        ASSERT_EQ(device->open_filter(info.index, filter), STATUS_SUCCESS);
        const KSFILTER_DESCRIPTOR* fd = filter->ksfilter()->Descriptor;

        auto categories = sized(*filter, topology_request(KSPROPERTY_TOPOLOGY_CATEGORIES));
        ASSERT_EQ(categories.bytes_returned, 8u + fd->CategoriesCount * sizeof(GUID));
        EXPECT_EQ(std::vector<uint8_t>(categories.data.begin() + 8, categories.data.end()),
                  bytes_of(fd->Categories, fd->CategoriesCount * sizeof(GUID)));

        const auto pins = filter->pins();
        ASSERT_EQ(pins.size(), fd->PinDescriptorsCount);
        for (ULONG p = 0; p < fd->PinDescriptorsCount; ++p) {
            SCOPED_TRACE("pin " + std::to_string(p));
            const KSPIN_DESCRIPTOR_EX& d = pin_descriptor(fd, p);
            EXPECT_EQ(pins[p].dataflow, d.PinDescriptor.DataFlow);
            EXPECT_EQ(pins[p].communication, d.PinDescriptor.Communication);
            EXPECT_EQ(pins[p].category, *d.PinDescriptor.Category);
            EXPECT_EQ(pins[p].instances_possible, d.InstancesPossible);
            EXPECT_TRUE(pins[p].name.empty());
            // The ranges, each where the 8-byte rule puts it.
            auto list = sized(*filter, pin_request(KSPROPERTY_PIN_DATARANGES, p));
            EXPECT_EQ(u32(list, 0), list.bytes_returned);
            ASSERT_EQ(u32(list, 4), d.PinDescriptor.DataRangesCount);
            ASSERT_EQ(pins[p].ranges.size(), d.PinDescriptor.DataRangesCount);
            size_t offset = sizeof(KSMULTIPLE_ITEM);
            for (ULONG r = 0; r < d.PinDescriptor.DataRangesCount; ++r) {
                const KSDATARANGE* range = d.PinDescriptor.DataRanges[r];
                const auto expected = bytes_of(range, range->FormatSize);
                ASSERT_LE(offset + range->FormatSize, list.bytes_returned);
                EXPECT_EQ(
                    std::vector<uint8_t>(list.data.begin() + offset, list.data.begin() + offset + range->FormatSize),
                    expected)
                    << "range " << r;
                EXPECT_EQ(pins[p].ranges[r], expected) << "range " << r;
                offset = (offset + range->FormatSize + 7) & ~size_t(7);
            }
            EXPECT_EQ(offset, list.bytes_returned);
        }

        const auto topology = filter->topology();
        ASSERT_EQ(topology.node_types.size(), fd->NodeDescriptorsCount);
        for (ULONG n = 0; n < fd->NodeDescriptorsCount; ++n)
            EXPECT_EQ(topology.node_types[n], *fd->NodeDescriptors[n].Type);
        if (fd->ConnectionsCount) {
            ASSERT_EQ(topology.connections.size(), fd->ConnectionsCount);
            EXPECT_EQ(bytes_of(topology.connections.data(), fd->ConnectionsCount * sizeof(KSTOPOLOGY_CONNECTION)),
                      bytes_of(fd->Connections, fd->ConnectionsCount * sizeof(KSTOPOLOGY_CONNECTION)));
        }
        EXPECT_EQ(filter->close(), STATUS_SUCCESS);
    }
}

TEST_F(KsDriverFilterProperties, PinNamesFollowWhatIsRegisteredAndTheOpenCaptureCountsAsAnInstance) {
    auto device = qh::client::open_device(bed().ksdevice());
    std::unique_ptr<qh::client::Filter> audio, video;
    ASSERT_EQ(device->open_filter(0, audio), STATUS_SUCCESS);
    ASSERT_EQ(device->open_filter(1, video), STATUS_SUCCESS);

    Registered registered;
    registered.name(kPinCategoryCapture, u"Capture");
    registered.name(kRefVideo0, u"Video 1");
    // The audio capture pin has no name of its own and is called after its category; the bridge
    // pin is named by the audio filter's reference, which has no entry; the video pin by its own.
    const auto audio_pins = audio->pins();
    ASSERT_EQ(audio_pins.size(), 2u);
    EXPECT_EQ(audio_pins[0].name, u"Capture");
    EXPECT_TRUE(audio_pins[1].name.empty());
    EXPECT_EQ(audio->property(pin_request(KSPROPERTY_PIN_NAME, 1), 64).status, STATUS_OBJECT_NAME_NOT_FOUND);
    const auto video_pins = video->pins();
    ASSERT_EQ(video_pins.size(), 1u);
    EXPECT_EQ(video_pins[0].name, u"Video 1");

    // The ADC node is named after its type once that has an entry.
    EXPECT_EQ(audio->property(node_name_request(0), 64).status, STATUS_OBJECT_NAME_NOT_FOUND);
    registered.name(kNodeTypeAdc, u"ADC");
    EXPECT_EQ(text_of(sized(*audio, node_name_request(0))), std::u16string(u"ADC") + u'\0');

    // One capture pin open on the video filter counts; the limit is one.
    std::vector<uint8_t> format;
    ASSERT_EQ(video->intersect(0, {video_pins[0].ranges[0]}, format), STATUS_SUCCESS);
    std::unique_ptr<qh::client::Pin> pin;
    ASSERT_EQ(video->create_pin(0, format, pin), STATUS_SUCCESS);
    auto instances = video->property(pin_request(KSPROPERTY_PIN_CINSTANCES, 0), sizeof(KSPIN_CINSTANCES));
    EXPECT_EQ(instances.status, STATUS_SUCCESS);
    EXPECT_EQ(u32(instances, 0), 1u);
    EXPECT_EQ(u32(instances, 4), 1u);
    EXPECT_EQ(pin->close(), STATUS_SUCCESS);
    EXPECT_EQ(u32(video->property(pin_request(KSPROPERTY_PIN_CINSTANCES, 0), sizeof(KSPIN_CINSTANCES)), 4), 0u);
    video->close();
    audio->close();
}

}  // namespace
