// The client's reading of pin and topology answers: what it asks, and that an answer which does
// not hold what it claims is refused instead of being read past its end.
#include "client/enumerate.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>

namespace {

using qh::client::PropertyResult;

// A filter that answers from a table of (id, pin id) -> bytes, like the class: a zero-length
// buffer gets the size, a short one nothing. Records what it was asked.
struct FakeFilter {
    std::map<std::pair<ULONG, ULONG>, std::vector<uint8_t>> answers;  // pin set
    std::map<ULONG, std::vector<uint8_t>> topology;
    std::map<std::pair<ULONG, ULONG>, NTSTATUS> failures;
    // Claimed sizes that differ from the bytes given back (a faulty answer).
    std::map<std::pair<ULONG, ULONG>, uint32_t> claimed;
    std::vector<std::pair<ULONG, uint32_t>> asked;  // (id, output length)

    PropertyResult operator()(const std::vector<uint8_t>& request, uint32_t length) {
        KSPROPERTY property;
        std::memcpy(&property, request.data(), sizeof property);
        ULONG index = 0;
        if (request.size() >= sizeof(KSP_PIN)) std::memcpy(&index, request.data() + offsetof(KSP_PIN, PinId), 4);
        asked.emplace_back(property.Id, length);
        const bool pin_set = property.Set.Data1 == 0x8C134960;
        const auto key = std::make_pair(property.Id, pin_set ? index : ~0u);
        if (auto f = failures.find(key); f != failures.end()) return PropertyResult{f->second, 0, {}};
        const std::vector<uint8_t>* value = nullptr;
        if (pin_set) {
            auto it = answers.find(key);
            if (it != answers.end()) value = &it->second;
        } else {
            auto it = topology.find(property.Id);
            if (it != topology.end()) value = &it->second;
        }
        if (!value) return PropertyResult{STATUS_NOT_FOUND, 0, {}};
        uint32_t size = static_cast<uint32_t>(value->size());
        if (auto c = claimed.find(key); c != claimed.end()) size = c->second;
        if (length == 0) return PropertyResult{STATUS_BUFFER_OVERFLOW, size, {}};
        if (length < value->size()) return PropertyResult{STATUS_BUFFER_TOO_SMALL, 0, std::vector<uint8_t>(length)};
        PropertyResult r{STATUS_SUCCESS, size, std::vector<uint8_t>(length)};
        std::memcpy(r.data.data(), value->data(), value->size());
        if (claimed.count(key)) r.data.resize(value->size());  // fewer bytes than it says
        return r;
    }
    qh::client::PropertyFn fn() {
        return [this](const std::vector<uint8_t>& request, uint32_t length) { return (*this)(request, length); };
    }
};

std::vector<uint8_t> ulong(ULONG v) {
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

// A list of ranges as the class lays it out, each range `size` bytes of `fill`.
std::vector<uint8_t> ranges_list(const std::vector<ULONG>& sizes) {
    std::vector<uint8_t> list(8, 0);
    for (ULONG size : sizes) {
        size_t at = list.size();
        list.resize(at + ((size + 7) & ~7u), 0);
        std::memset(list.data() + at, 0x5A, size);
        std::memcpy(list.data() + at, &size, 4);
    }
    ULONG header[2] = {static_cast<ULONG>(list.size()), static_cast<ULONG>(sizes.size())};
    std::memcpy(list.data(), header, 8);
    return list;
}

// One pin type with two ranges, a name and a category.
FakeFilter one_pin() {
    FakeFilter f;
    f.answers[{KSPROPERTY_PIN_CTYPES, 0}] = ulong(1);
    f.answers[{KSPROPERTY_PIN_DATAFLOW, 0}] = ulong(KSPIN_DATAFLOW_OUT);
    f.answers[{KSPROPERTY_PIN_COMMUNICATION, 0}] = ulong(KSPIN_COMMUNICATION_SINK);
    f.answers[{KSPROPERTY_PIN_CINSTANCES, 0}] = {3, 0, 0, 0, 1, 0, 0, 0};
    f.answers[{KSPROPERTY_PIN_CATEGORY, 0}] = std::vector<uint8_t>(16, 0x11);
    const char16_t name[] = u"Out";
    f.answers[{KSPROPERTY_PIN_NAME, 0}] =
        std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(name), reinterpret_cast<const uint8_t*>(name) + 8);
    f.answers[{KSPROPERTY_PIN_DATARANGES, 0}] = ranges_list({70, 64});
    return f;
}

TEST(ClientEnumerate, PinTypesAreReadFromTheAnswersWithTheSizeAskedFirstAndAbsentCategoryOrNameAreNoFailure) {
    FakeFilter f = one_pin();
    std::vector<qh::client::PinInfo> pins;
    ASSERT_EQ(qh::client::query_pins(f.fn(), pins), STATUS_SUCCESS);
    ASSERT_EQ(pins.size(), 1u);
    EXPECT_EQ(pins[0].dataflow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(pins[0].communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(pins[0].instances_possible, 3u);
    EXPECT_EQ(pins[0].name, u"Out");
    EXPECT_EQ(pins[0].category.Data1, 0x11111111u);
    ASSERT_EQ(pins[0].ranges.size(), 2u);
    EXPECT_EQ(pins[0].ranges[0].size(), 70u);
    EXPECT_EQ(pins[0].ranges[1].size(), 64u);
    EXPECT_EQ(pins[0].ranges[1][4], 0x5A);
    // The variable-sized answers were asked for their size first.
    for (ULONG id : {KSPROPERTY_PIN_NAME, KSPROPERTY_PIN_DATARANGES}) {
        auto first = std::find_if(f.asked.begin(), f.asked.end(), [&](const auto& a) { return a.first == id; });
        ASSERT_NE(first, f.asked.end());
        EXPECT_EQ(first->second, 0u) << "property " << id;
    }

    // No category and no registered name: listed all the same.
    f.failures[{KSPROPERTY_PIN_CATEGORY, 0}] = STATUS_NOT_FOUND;
    f.failures[{KSPROPERTY_PIN_NAME, 0}] = STATUS_OBJECT_NAME_NOT_FOUND;
    ASSERT_EQ(qh::client::query_pins(f.fn(), pins), STATUS_SUCCESS);
    ASSERT_EQ(pins.size(), 1u);
    EXPECT_TRUE(pins[0].name.empty());
    EXPECT_EQ(pins[0].category.Data1, 0u);
    // Any other failure is the caller's to see, and lists nothing.
    f.failures[{KSPROPERTY_PIN_NAME, 0}] = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(qh::client::query_pins(f.fn(), pins), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(pins.empty());
}

TEST(ClientEnumerate, AnAnswerThatDoesNotHoldWhatItClaimsIsRefused) {
    std::vector<qh::client::PinInfo> pins;
    const std::pair<const char*, std::function<void(FakeFilter&)>> faults[] = {
        {"list Size beyond the bytes",
         [](FakeFilter& f) {
             auto& l = f.answers[{KSPROPERTY_PIN_DATARANGES, 0}];
             ULONG size = static_cast<ULONG>(l.size()) + 64;
             std::memcpy(l.data(), &size, 4);
         }},
        {"Count beyond the list",
         [](FakeFilter& f) {
             ULONG count = 3;
             std::memcpy(f.answers[{KSPROPERTY_PIN_DATARANGES, 0}].data() + 4, &count, 4);
         }},
        {"FormatSize below a data range",
         [](FakeFilter& f) {
             ULONG size = 16;
             std::memcpy(f.answers[{KSPROPERTY_PIN_DATARANGES, 0}].data() + 8, &size, 4);
         }},
        {"last FormatSize past the list",
         [](FakeFilter& f) {
             ULONG size = 4096;
             std::memcpy(f.answers[{KSPROPERTY_PIN_DATARANGES, 0}].data() + 8 + 72, &size, 4);
         }},
        {"list shorter than its header",
         [](FakeFilter& f) {
             f.answers[{KSPROPERTY_PIN_DATARANGES, 0}] = {8, 0, 0};
         }},
        {"fixed value of the wrong size",
         [](FakeFilter& f) {
             f.answers[{KSPROPERTY_PIN_DATAFLOW, 0}] = {2, 0};
         }},
        {"more bytes claimed than given back",
         [](FakeFilter& f) {
             f.claimed[{KSPROPERTY_PIN_NAME, 0}] = 4096;
         }},
    };
    for (const auto& [what, fault] : faults) {
        SCOPED_TRACE(what);
        FakeFilter f = one_pin();
        fault(f);
        NTSTATUS status = qh::client::query_pins(f.fn(), pins);
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_TRUE(pins.empty());
    }

    // Topology: nodes and connections, and a connection list cut short.
    FakeFilter f;
    std::vector<uint8_t> nodes(8 + 16, 0x22);
    ULONG header[2] = {24, 1};
    std::memcpy(nodes.data(), header, 8);
    f.topology[KSPROPERTY_TOPOLOGY_NODES] = nodes;
    std::vector<uint8_t> connections(8 + 32, 0);
    ULONG cheader[2] = {40, 2};
    std::memcpy(connections.data(), cheader, 8);
    const KSTOPOLOGY_CONNECTION c[2] = {{KSFILTER_NODE, 1, 0, 1}, {0, 0, KSFILTER_NODE, 0}};
    std::memcpy(connections.data() + 8, c, sizeof c);
    f.topology[KSPROPERTY_TOPOLOGY_CONNECTIONS] = connections;
    qh::client::Topology topology;
    ASSERT_EQ(qh::client::query_topology(f.fn(), topology), STATUS_SUCCESS);
    ASSERT_EQ(topology.node_types.size(), 1u);
    EXPECT_EQ(topology.node_types[0].Data1, 0x22222222u);
    ASSERT_EQ(topology.connections.size(), 2u);
    EXPECT_EQ(topology.connections[0].FromNode, KSFILTER_NODE);
    EXPECT_EQ(topology.connections[1].ToNode, KSFILTER_NODE);
    cheader[1] = 3;  // three claimed, two present
    std::memcpy(f.topology[KSPROPERTY_TOPOLOGY_CONNECTIONS].data(), cheader, 8);
    EXPECT_EQ(qh::client::query_topology(f.fn(), topology), STATUS_INVALID_BUFFER_SIZE);
    EXPECT_TRUE(topology.node_types.empty());
    EXPECT_TRUE(topology.connections.empty());
}

}  // namespace
