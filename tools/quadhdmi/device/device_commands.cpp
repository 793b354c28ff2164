#include "tools/quadhdmi/device/device_commands.h"

#include "client/enumerate.h"
#include "driver/public.h"
#include "tools/quadhdmi/describe.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qh::tool {

namespace {

const char* dataflow_text(KSPIN_DATAFLOW flow) { return flow == KSPIN_DATAFLOW_IN ? "in" : "out"; }

const char* communication_text(KSPIN_COMMUNICATION c) {
    switch (c) {
    case KSPIN_COMMUNICATION_NONE: return "none";
    case KSPIN_COMMUNICATION_SINK: return "sink";
    case KSPIN_COMMUNICATION_SOURCE: return "source";
    case KSPIN_COMMUNICATION_BOTH: return "both";
    default: return "bridge";
    }
}

std::string endpoint_text(ULONG node, ULONG pin) {
    if (node == KSFILTER_NODE) return "filter pin " + std::to_string(pin);
    return "node " + std::to_string(node) + " pin " + std::to_string(pin);
}

std::vector<uint8_t> register_request(ULONG flags, uint32_t offset, uint32_t value) {
    std::vector<uint8_t> request = client::make_property(kPropsetRegisterAccess, KSPROPERTY_REGISTER_VALUE, flags);
    request.resize(sizeof(KSPROPERTY_REGISTER_VALUE_S));
    std::memcpy(request.data() + offsetof(KSPROPERTY_REGISTER_VALUE_S, Offset), &offset, 4);
    std::memcpy(request.data() + offsetof(KSPROPERTY_REGISTER_VALUE_S, Value), &value, 4);
    return request;
}

}  // namespace

std::optional<uint32_t> parse_u32(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFull || text[0] == '-') return std::nullopt;
    return uint32_t(v);
}

NTSTATUS open_input_filter(client::Device& device, uint32_t input, bool video,
                           std::unique_ptr<client::Filter>& filter) {
    for (const client::FilterInfo& info : device.filters()) {
        uint32_t in = 0;
        bool is_video = false;
        if (filter_identity(info.reference, in, is_video) && in == input && is_video == video) {
            return device.open_filter(info.index, filter);
        }
    }
    return STATUS_NOT_FOUND;
}

int list_filters(client::Device& device) {
    const std::vector<client::FilterInfo> filters = device.filters();
    std::printf("%zu filters\n", filters.size());
    int code = 0;
    for (const client::FilterInfo& info : filters) {
        uint32_t input = 0;
        bool video = false;
        const bool ours = filter_identity(info.reference, input, video);
        std::printf("\n[%u] %s\n", info.index,
                    ours ? (std::string(video ? "Video" : "Audio") + " of input " + std::to_string(input)).c_str()
                         : "unknown filter");
        std::printf("    reference  %s\n", guid_text(info.reference).c_str());
        std::printf("    categories");
        for (const GUID& category : info.categories)
            std::printf(" %s", guid_label(category).c_str());
        std::printf("\n");

        std::unique_ptr<client::Filter> filter;
        const NTSTATUS status = device.open_filter(info.index, filter);
        if (status != STATUS_SUCCESS) {
            std::printf("    (cannot open: %s)\n", status_text(status).c_str());
            code = 1;
            continue;
        }
        for (const client::PinInfo& pin : filter->pins()) {
            std::printf("    pin %u: %s, communication %s, category %s, instances %u\n", pin.id,
                        dataflow_text(pin.dataflow), communication_text(pin.communication),
                        guid_label(pin.category).c_str(), pin.instances_possible);
            if (!pin.name.empty()) std::printf("           name %s\n", client::to_utf8(pin.name).c_str());
            for (size_t r = 0; r < pin.ranges.size(); ++r) {
                std::printf("           range %2zu: %s%s\n", r, describe_range(pin.ranges[r]).c_str(),
                            r == 0 && video ? "  (detected signal)" : "");
            }
        }
        const client::Topology topology = filter->topology();
        for (size_t n = 0; n < topology.node_types.size(); ++n) {
            std::printf("    node %zu: %s\n", n, guid_label(topology.node_types[n]).c_str());
        }
        for (const KSTOPOLOGY_CONNECTION& c : topology.connections) {
            std::printf("    connection: %s -> %s\n", endpoint_text(c.FromNode, c.FromNodePin).c_str(),
                        endpoint_text(c.ToNode, c.ToNodePin).c_str());
        }
        filter->close();
    }
    return code;
}

int register_access(client::Filter& filter, uint32_t offset, std::optional<uint32_t> value) {
    if (!value) {
        const std::vector<uint8_t> request = register_request(KSPROPERTY_TYPE_GET, offset, 0);
        const client::PropertyResult result = filter.property(request, sizeof(KSPROPERTY_REGISTER_VALUE_S));
        if (result.status != STATUS_SUCCESS || result.bytes_returned < sizeof(KSPROPERTY_REGISTER_VALUE_S)) {
            std::fprintf(stderr, "quadhdmi: reading register 0x%04X failed: %s (%u bytes returned)\n", offset,
                         status_text(result.status).c_str(), result.bytes_returned);
            return 1;
        }
        uint32_t read = 0;
        std::memcpy(&read, result.data.data() + offsetof(KSPROPERTY_REGISTER_VALUE_S, Value), 4);
        std::printf("0x%04X = 0x%08X\n", offset, read);
        return 0;
    }
    const std::vector<uint8_t> request = register_request(KSPROPERTY_TYPE_SET, offset, *value);
    const client::PropertyResult result = filter.property(request, sizeof(KSPROPERTY_REGISTER_VALUE_S), request);
    if (result.status != STATUS_SUCCESS) {
        std::fprintf(stderr, "quadhdmi: writing register 0x%04X refused: %s\n", offset,
                     status_text(result.status).c_str());
        return 1;
    }
    std::printf("0x%04X <- 0x%08X\n", offset, *value);
    return 0;
}

int print_dropped_frames(client::Filter& filter, uint32_t input, bool running) {
    std::vector<uint8_t> request =
        client::make_property(kPropsetDroppedFrames, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET);
    request.resize(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
    const client::PropertyResult result = filter.property(request, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
    if (result.status != STATUS_SUCCESS) {
        std::fprintf(stderr, "quadhdmi: input %u's video filter does not answer the dropped-frames property: %s\n",
                     input, status_text(result.status).c_str());
        if (input == 0) std::fprintf(stderr, "  (input 0 offers register access instead)\n");
        return 1;
    }
    if (result.bytes_returned < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
        std::fprintf(stderr, "quadhdmi: the answer had only %u bytes\n", result.bytes_returned);
        return 1;
    }
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer;
    std::memcpy(&answer, result.data.data(), sizeof answer);
    std::printf("input %u %s: frames %lld, dropped %lld, average frame size %u bytes\n", input,
                running ? "while running" : "(not streaming)", static_cast<long long>(answer.PictureNumber),
                static_cast<long long>(answer.DropCount), unsigned(answer.AverageFrameSize));
    return 0;
}

}  // namespace qh::tool
