// Pin types and topology from the pin and topology property sets (see enumerate.h).
#include "client/enumerate.h"

#include <algorithm>
#include <cstring>

namespace qh::client {

namespace {

constexpr GUID kPinSet = {0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
constexpr GUID kTopologySet = {0x720D4AC0, 0x7533, 0x11D0, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};

// A GET of (set, id); with `index`, a KSP_PIN (or KSP_NODE: the same layout) naming it.
std::vector<uint8_t> get_request(const GUID& set, ULONG id, const ULONG* index = nullptr) {
    std::vector<uint8_t> request(index ? sizeof(KSP_PIN) : sizeof(KSPROPERTY), 0);
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = KSPROPERTY_TYPE_GET;
    std::memcpy(request.data(), &property, sizeof property);
    if (index) std::memcpy(request.data() + offsetof(KSP_PIN, PinId), index, sizeof *index);
    return request;
}

// A value of exactly `size` bytes.
NTSTATUS get_fixed(const PropertyFn& property, const std::vector<uint8_t>& request, void* value, uint32_t size) {
    PropertyResult result = property(request, size);
    if (!NT_SUCCESS(result.status)) return result.status;
    if (result.bytes_returned != size || result.data.size() < size) return STATUS_INVALID_BUFFER_SIZE;
    std::memcpy(value, result.data.data(), size);
    return STATUS_SUCCESS;
}

// A value whose size the size query tells. Asked again if it grew in between.
NTSTATUS get_sized(const PropertyFn& property, const std::vector<uint8_t>& request, std::vector<uint8_t>& value) {
    value.clear();
    for (int attempt = 0; attempt < 3; ++attempt) {
        PropertyResult query = property(request, 0);
        if (query.status != STATUS_BUFFER_OVERFLOW) {
            if (!NT_SUCCESS(query.status)) return query.status;
            // Nothing to hold: an empty value.
            return query.bytes_returned == 0 ? STATUS_SUCCESS : STATUS_INVALID_BUFFER_SIZE;
        }
        PropertyResult result = property(request, query.bytes_returned);
        if (result.status == STATUS_BUFFER_OVERFLOW || result.status == STATUS_BUFFER_TOO_SMALL) continue;
        if (!NT_SUCCESS(result.status)) return result.status;
        if (result.bytes_returned > result.data.size()) return STATUS_INVALID_BUFFER_SIZE;
        value.assign(result.data.begin(), result.data.begin() + result.bytes_returned);
        return STATUS_SUCCESS;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

// A list in the multiple-item format, cut to the Size its header gives.
NTSTATUS get_list(const PropertyFn& property, const std::vector<uint8_t>& request, std::vector<uint8_t>& list,
                  KSMULTIPLE_ITEM& header) {
    NTSTATUS status = get_sized(property, request, list);
    if (!NT_SUCCESS(status)) return status;
    if (list.size() < sizeof header) return STATUS_INVALID_BUFFER_SIZE;
    std::memcpy(&header, list.data(), sizeof header);
    if (header.Size < sizeof header || header.Size > list.size()) return STATUS_INVALID_BUFFER_SIZE;
    list.resize(header.Size);
    return STATUS_SUCCESS;
}

// A list of Count items of one type, packed after the header.
template <typename T>
NTSTATUS get_items(const PropertyFn& property, const std::vector<uint8_t>& request, std::vector<T>& items) {
    std::vector<uint8_t> list;
    KSMULTIPLE_ITEM header{};
    NTSTATUS status = get_list(property, request, list, header);
    if (!NT_SUCCESS(status)) return status;
    if (uint64_t(header.Count) * sizeof(T) > header.Size - sizeof header) return STATUS_INVALID_BUFFER_SIZE;
    items.resize(header.Count);
    if (header.Count) std::memcpy(items.data(), list.data() + sizeof header, header.Count * sizeof(T));
    return STATUS_SUCCESS;
}

// Data ranges: each FormatSize bytes long, each starting on an 8-byte boundary.
NTSTATUS get_ranges(const PropertyFn& property, const std::vector<uint8_t>& request,
                    std::vector<std::vector<uint8_t>>& ranges) {
    std::vector<uint8_t> list;
    KSMULTIPLE_ITEM header{};
    NTSTATUS status = get_list(property, request, list, header);
    if (!NT_SUCCESS(status)) return status;
    uint64_t offset = sizeof header;
    for (ULONG i = 0; i < header.Count; ++i) {
        if (offset + sizeof(KSDATARANGE) > header.Size) return STATUS_INVALID_BUFFER_SIZE;
        ULONG size;
        std::memcpy(&size, list.data() + offset, sizeof size);  // FormatSize leads the range
        if (size < sizeof(KSDATARANGE) || offset + size > header.Size) return STATUS_INVALID_BUFFER_SIZE;
        ranges.emplace_back(list.begin() + offset, list.begin() + offset + size);
        offset = (offset + size + 7) & ~uint64_t(7);
    }
    return STATUS_SUCCESS;
}

// A name is WCHARs up to the terminating NUL.
std::u16string name_of(const std::vector<uint8_t>& bytes) {
    std::u16string name(bytes.size() / sizeof(char16_t), u'\0');
    if (!name.empty()) std::memcpy(name.data(), bytes.data(), name.size() * sizeof(char16_t));
    name.resize(std::find(name.begin(), name.end(), u'\0') - name.begin());
    return name;
}

NTSTATUS query_pin(const PropertyFn& property, ULONG id, PinInfo& pin) {
    pin.id = id;
    ULONG value = 0;
    NTSTATUS status = get_fixed(property, get_request(kPinSet, KSPROPERTY_PIN_DATAFLOW, &id), &value, sizeof value);
    if (!NT_SUCCESS(status)) return status;
    pin.dataflow = static_cast<KSPIN_DATAFLOW>(value);
    status = get_fixed(property, get_request(kPinSet, KSPROPERTY_PIN_COMMUNICATION, &id), &value, sizeof value);
    if (!NT_SUCCESS(status)) return status;
    pin.communication = static_cast<KSPIN_COMMUNICATION>(value);
    KSPIN_CINSTANCES instances{};
    status = get_fixed(property, get_request(kPinSet, KSPROPERTY_PIN_CINSTANCES, &id), &instances, sizeof instances);
    if (!NT_SUCCESS(status)) return status;
    pin.instances_possible = instances.PossibleCount;

    // A pin type may have no category, and a name only if one is registered for it.
    pin.category = GUID{};
    status = get_fixed(property, get_request(kPinSet, KSPROPERTY_PIN_CATEGORY, &id), &pin.category, sizeof(GUID));
    if (!NT_SUCCESS(status) && status != STATUS_NOT_FOUND) return status;
    std::vector<uint8_t> name;
    status = get_sized(property, get_request(kPinSet, KSPROPERTY_PIN_NAME, &id), name);
    if (NT_SUCCESS(status))
        pin.name = name_of(name);
    else if (status != STATUS_NOT_FOUND && status != STATUS_OBJECT_NAME_NOT_FOUND)
        return status;

    return get_ranges(property, get_request(kPinSet, KSPROPERTY_PIN_DATARANGES, &id), pin.ranges);
}

}  // namespace

NTSTATUS query_pins(const PropertyFn& property, std::vector<PinInfo>& pins) {
    pins.clear();
    ULONG count = 0;
    NTSTATUS status = get_fixed(property, get_request(kPinSet, KSPROPERTY_PIN_CTYPES), &count, sizeof count);
    if (!NT_SUCCESS(status)) return status;
    for (ULONG id = 0; id < count; ++id) {
        PinInfo pin{};
        status = query_pin(property, id, pin);
        if (!NT_SUCCESS(status)) {
            pins.clear();
            return status;
        }
        pins.push_back(std::move(pin));
    }
    return STATUS_SUCCESS;
}

NTSTATUS query_topology(const PropertyFn& property, Topology& topology) {
    topology = Topology{};
    NTSTATUS status = get_items(property, get_request(kTopologySet, KSPROPERTY_TOPOLOGY_NODES), topology.node_types);
    if (NT_SUCCESS(status))
        status = get_items(property, get_request(kTopologySet, KSPROPERTY_TOPOLOGY_CONNECTIONS), topology.connections);
    if (!NT_SUCCESS(status)) topology = Topology{};
    return status;
}

std::string to_utf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace qh::client
