// Property requests on filters, pins and topology nodes: routing through the automation tables,
// the size checks made before any handler runs, the class's own properties (connection state
// and format, allocator framing, data intersection, and what a filter says of its pin types and
// its topology).
#include "platform/host/ks/ks_internal.h"
#include "platform/host/sched/sched.h"

#include "platform/host/pnp/registry.h"

#include <cstdio>

namespace host::ks {

namespace {

struct Buffer {
    std::vector<uint64_t> words;  // 8-byte aligned storage
    uint8_t* bytes() { return reinterpret_cast<uint8_t*>(words.data()); }
    void assign(const void* data, size_t copy, size_t size) {
        words.assign((size + 7) / 8 + 1, 0);
        if (copy) std::memcpy(words.data(), data, copy);
    }
};

const KSPROPERTY_ITEM* find_item(const KSAUTOMATION_TABLE* table, const GUID& set, ULONG id, bool* set_found) {
    if (!table || !table->PropertySets) return nullptr;
    ULONG item_size = table->PropertyItemSize ? table->PropertyItemSize : sizeof(KSPROPERTY_ITEM);
    for (ULONG s = 0; s < table->PropertySetsCount; ++s) {
        const KSPROPERTY_SET& ps = table->PropertySets[s];
        if (!ps.Set || !(*ps.Set == set)) continue;
        *set_found = true;
        for (ULONG i = 0; i < ps.PropertiesCount; ++i) {
            const auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(reinterpret_cast<const char*>(ps.PropertyItem) +
                                                                        size_t(i) * item_size);
            if (item->PropertyId == id) return item;
        }
    }
    return nullptr;
}

// A handler slot may hold a BOOLEAN "supported" flag instead of a routine.
PFNKSHANDLER routine(PFNKSHANDLER h) { return reinterpret_cast<uintptr_t>(h) < 0x1000 ? nullptr : h; }

const KSPIN_DESCRIPTOR_EX* pin_descriptor(const KSFILTER_DESCRIPTOR* fd, uint32_t pin_id) {
    if (!fd || pin_id >= fd->PinDescriptorsCount || !fd->PinDescriptors) return nullptr;
    ULONG stride = fd->PinDescriptorSize ? fd->PinDescriptorSize : sizeof(KSPIN_DESCRIPTOR_EX);
    return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(reinterpret_cast<const char*>(fd->PinDescriptors) +
                                                        size_t(pin_id) * stride);
}

// Size checks of a GET or SET whose value is at least `min_data` bytes.
NTSTATUS check_output(uint32_t output_length, uint32_t min_data, ULONG_PTR* information) {
    if (output_length >= min_data) return STATUS_SUCCESS;
    if (output_length == 0) {
        *information = min_data;  // a size query
        return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS basic_support(bool get, bool set, uint8_t* out, uint32_t output_length, ULONG_PTR* information) {
    ULONG access = (get ? KSPROPERTY_TYPE_GET : 0) | (set ? KSPROPERTY_TYPE_SET : 0);
    if (output_length == 0) {
        *information = sizeof(PropertyDescription);
        return STATUS_BUFFER_OVERFLOW;
    }
    if (output_length >= sizeof(PropertyDescription)) {
        PropertyDescription d{};
        d.AccessFlags = access;
        d.DescriptionSize = sizeof(PropertyDescription);
        std::memcpy(out, &d, sizeof d);
        *information = sizeof d;
        return STATUS_SUCCESS;
    }
    if (output_length >= sizeof(ULONG)) {
        std::memcpy(out, &access, sizeof access);
        *information = sizeof access;
        return STATUS_SUCCESS;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

NTSTATUS intersect(FilterObj* filter, Buffer& input, uint32_t input_length, uint8_t* out, uint32_t output_length,
                   ULONG_PTR* information) {
    if (input_length < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_INVALID_BUFFER_SIZE;
    auto* request = reinterpret_cast<PKSP_PIN>(input.bytes());
    const KSPIN_DESCRIPTOR_EX* desc = pin_descriptor(filter->ks.Descriptor, request->PinId);
    if (!desc) return STATUS_INVALID_PARAMETER;
    auto* items = reinterpret_cast<const KSMULTIPLE_ITEM*>(input.bytes() + sizeof(KSP_PIN));
    uint32_t available = input_length - sizeof(KSP_PIN);
    if (items->Size < sizeof(KSMULTIPLE_ITEM) || items->Size > available) return STATUS_INVALID_BUFFER_SIZE;
    std::vector<PKSDATARANGE> client;
    uint32_t offset = sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < items->Count; ++i) {
        if (offset > items->Size || items->Size - offset < sizeof(KSDATARANGE)) return STATUS_INVALID_BUFFER_SIZE;
        auto* range = reinterpret_cast<PKSDATARANGE>(input.bytes() + sizeof(KSP_PIN) + offset);
        if (range->FormatSize < sizeof(KSDATARANGE) || range->FormatSize > items->Size - offset)
            return STATUS_INVALID_BUFFER_SIZE;
        client.push_back(range);
        offset += (range->FormatSize + 7) & ~7u;
    }
    IRP irp{};
    irp.HostTarget = &filter->ks;
    irp.HostKind = kIrpFilter;
    irp.HostInputLength = input_length;
    irp.HostOutputLength = output_length;
    const KSPIN_DESCRIPTOR& pd = desc->PinDescriptor;
    for (PKSDATARANGE client_range : client) {
        for (ULONG j = 0; j < pd.DataRangesCount; ++j) {
            PKSDATARANGE pin_range = pd.DataRanges[j];
            if (!pin_range || !range_matches(*client_range, *pin_range)) continue;
            ULONG size = 0;
            NTSTATUS status;
            if (desc->IntersectHandler) {
                status = invoke_callback("pin IntersectHandler", false, [&] {
                    return desc->IntersectHandler(&filter->ks, &irp, request, client_range, pin_range, output_length,
                                                  output_length ? out : nullptr, &size);
                });
            } else if (pin_range->Specifier == kSpecifierNone) {
                // Without a handler the class answers for ranges that carry no format block.
                size = pin_range->FormatSize;
                if (output_length == 0) {
                    status = STATUS_BUFFER_OVERFLOW;
                } else if (output_length < size) {
                    status = STATUS_BUFFER_TOO_SMALL;
                } else {
                    std::memcpy(out, pin_range, size);
                    status = STATUS_SUCCESS;
                }
            } else {
                status = STATUS_NO_MATCH;
            }
            if (status == STATUS_NO_MATCH) continue;
            if (status == STATUS_SUCCESS) {
                if (size > output_length) {
                    record("KsIntersection", "intersection handler reported more data than the buffer holds");
                    size = output_length;
                }
                *information = size;
            } else if (status == STATUS_BUFFER_OVERFLOW) {
                *information = size;
            }
            return status;
        }
    }
    return STATUS_NO_MATCH;
}

// The class's own items of the pin and topology sets on a filter: the minimum request and value
// sizes its tables declare, checked before the answer is made, as for any item.
struct ClassItem {
    ULONG id;
    ULONG min_property;
    ULONG min_data;
};

constexpr ClassItem kPinFactoryItems[] = {
    {KSPROPERTY_PIN_CINSTANCES, sizeof(KSP_PIN), sizeof(KSPIN_CINSTANCES)},
    {KSPROPERTY_PIN_CTYPES, sizeof(KSPROPERTY), sizeof(ULONG)},
    {KSPROPERTY_PIN_DATAFLOW, sizeof(KSP_PIN), sizeof(ULONG)},
    {KSPROPERTY_PIN_DATARANGES, sizeof(KSP_PIN), 0},
    {KSPROPERTY_PIN_INTERFACES, sizeof(KSP_PIN), 0},
    {KSPROPERTY_PIN_MEDIUMS, sizeof(KSP_PIN), 0},
    {KSPROPERTY_PIN_COMMUNICATION, sizeof(KSP_PIN), sizeof(ULONG)},
    {KSPROPERTY_PIN_NECESSARYINSTANCES, sizeof(KSP_PIN), sizeof(ULONG)},
    {KSPROPERTY_PIN_CATEGORY, sizeof(KSP_PIN), sizeof(GUID)},
    {KSPROPERTY_PIN_NAME, sizeof(KSP_PIN), 0},
    {KSPROPERTY_PIN_CONSTRAINEDDATARANGES, sizeof(KSP_PIN), 0},
};

constexpr ClassItem kTopologyItems[] = {
    {KSPROPERTY_TOPOLOGY_CATEGORIES, sizeof(KSPROPERTY), 0},
    {KSPROPERTY_TOPOLOGY_NODES, sizeof(KSPROPERTY), 0},
    {KSPROPERTY_TOPOLOGY_CONNECTIONS, sizeof(KSPROPERTY), 0},
    {KSPROPERTY_TOPOLOGY_NAME, sizeof(KSP_NODE), 0},
};

template <size_t N>
const ClassItem* find_class_item(const ClassItem (&items)[N], ULONG id) {
    for (const ClassItem& item : items)
        if (item.id == id) return &item;
    return nullptr;
}

// A list in the multiple-item format (header included, Size = all of it), handed out the way
// the class hands out every such list: the whole list when it fits, only its size to a ULONG,
// only the header to a KSMULTIPLE_ITEM, the size alone to a size query, and nothing to any
// other buffer too short for the whole.
NTSTATUS answer_list(const std::vector<uint8_t>& list, uint8_t* out, uint32_t output_length, ULONG_PTR* information) {
    const uint32_t size = static_cast<uint32_t>(list.size());
    if (output_length == 0) {
        *information = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (output_length >= size) {
        std::memcpy(out, list.data(), size);
        *information = size;
        return STATUS_SUCCESS;
    }
    if (output_length == sizeof(ULONG) || output_length == sizeof(KSMULTIPLE_ITEM)) {
        std::memcpy(out, list.data(), output_length);
        *information = output_length;
        return STATUS_SUCCESS;
    }
    return STATUS_BUFFER_TOO_SMALL;
}

// A value of `size` bytes the caller cannot know in advance (a name).
NTSTATUS answer_sized(const void* value, uint32_t size, uint8_t* out, uint32_t output_length, ULONG_PTR* information) {
    NTSTATUS status = check_output(output_length, size, information);
    if (status != STATUS_SUCCESS) return status;
    std::memcpy(out, value, size);
    *information = size;
    return STATUS_SUCCESS;
}

NTSTATUS answer_ulong(ULONG value, uint8_t* out, ULONG_PTR* information) {
    std::memcpy(out, &value, sizeof value);
    *information = sizeof value;
    return STATUS_SUCCESS;
}

// Items of `size` bytes each, one after the other.
std::vector<uint8_t> fixed_list(const void* items, ULONG count, size_t size) {
    std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM) + size_t(count) * size, 0);
    KSMULTIPLE_ITEM header{static_cast<ULONG>(list.size()), count};
    std::memcpy(list.data(), &header, sizeof header);
    if (count) std::memcpy(list.data() + sizeof header, items, size_t(count) * size);
    return list;
}

// Data ranges, each FormatSize bytes and starting on an 8-byte boundary (the padding is zero
// and counted in Size).
std::vector<uint8_t> range_list(const PKSDATARANGE* ranges, ULONG count) {
    std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM), 0);
    ULONG present = 0;
    for (ULONG i = 0; ranges && i < count; ++i) {
        const KSDATARANGE* range = ranges[i];
        if (!range) continue;
        const size_t at = list.size();
        list.resize(at + ((size_t(range->FormatSize) + 7) & ~size_t(7)), 0);
        std::memcpy(list.data() + at, range, range->FormatSize);
        ++present;
    }
    KSMULTIPLE_ITEM header{static_cast<ULONG>(list.size()), present};
    std::memcpy(list.data(), &header, sizeof header);
    return list;
}

// The display name registered for `guid` under MediaCategories. Nothing registered is an error,
// as the registry key's absence is to the class: no name is made up.
NTSTATUS answer_name(const GUID* guid, uint8_t* out, uint32_t output_length, ULONG_PTR* information) {
    if (!guid) return STATUS_NOT_FOUND;
    std::vector<uint8_t> name;
    if (!host::registry::media_category_name(*guid, &name)) return STATUS_OBJECT_NAME_NOT_FOUND;
    return answer_sized(name.data(), static_cast<uint32_t>(name.size()), out, output_length, information);
}

// KSPROPSETID_Pin on a filter: what the filter's descriptor says of pin type PinId.
NTSTATUS pin_factory_property(FilterObj* filter, ULONG id, Buffer& input, uint8_t* out, uint32_t output_length,
                              ULONG_PTR* information) {
    ControlGuard control(filter);  // the descriptor is edited only under it
    const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
    if (id == KSPROPERTY_PIN_CTYPES) return answer_ulong(fd ? fd->PinDescriptorsCount : 0, out, information);
    const ULONG pin_id = reinterpret_cast<const KSP_PIN*>(input.bytes())->PinId;
    const KSPIN_DESCRIPTOR_EX* desc = pin_descriptor(fd, pin_id);
    if (!desc) return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR& pd = desc->PinDescriptor;
    switch (id) {
    case KSPROPERTY_PIN_CINSTANCES: {
        KSPIN_CINSTANCES instances{desc->InstancesPossible, 0};
        {
            std::lock_guard<host::sched::Mutex> guard(filter->pins_lock);
            if (pin_id < filter->instances.size()) instances.CurrentCount = filter->instances[pin_id];
        }
        std::memcpy(out, &instances, sizeof instances);
        *information = sizeof instances;
        return STATUS_SUCCESS;
    }
    case KSPROPERTY_PIN_DATAFLOW: return answer_ulong(static_cast<ULONG>(pd.DataFlow), out, information);
    case KSPROPERTY_PIN_COMMUNICATION: return answer_ulong(static_cast<ULONG>(pd.Communication), out, information);
    case KSPROPERTY_PIN_NECESSARYINSTANCES: return answer_ulong(desc->InstancesNecessary, out, information);
    case KSPROPERTY_PIN_CATEGORY:
        if (!pd.Category) return STATUS_NOT_FOUND;
        std::memcpy(out, pd.Category, sizeof(GUID));
        *information = sizeof(GUID);
        return STATUS_SUCCESS;
    case KSPROPERTY_PIN_NAME:
        // A pin type without a name of its own is called after its category.
        return answer_name(pd.Name ? pd.Name : pd.Category, out, output_length, information);
    case KSPROPERTY_PIN_DATARANGES:
        return answer_list(range_list(pd.DataRanges, pd.DataRangesCount), out, output_length, information);
    case KSPROPERTY_PIN_CONSTRAINEDDATARANGES:
        // Without ranges constrained by the filter's state, every range is currently offered.
        if (pd.ConstrainedDataRangesCount && pd.ConstrainedDataRanges)
            return answer_list(range_list(pd.ConstrainedDataRanges, pd.ConstrainedDataRangesCount), out, output_length,
                               information);
        return answer_list(range_list(pd.DataRanges, pd.DataRangesCount), out, output_length, information);
    case KSPROPERTY_PIN_INTERFACES: {
        // A pin type that lists none speaks the standard streaming interface.
        const KSPIN_INTERFACE standard{{{kInterfaceSetStandard, KSINTERFACE_STANDARD_STREAMING, 0}}};
        const bool own = pd.InterfacesCount && pd.Interfaces;
        return answer_list(
            fixed_list(own ? pd.Interfaces : &standard, own ? pd.InterfacesCount : 1, sizeof(KSPIN_INTERFACE)), out,
            output_length, information);
    }
    case KSPROPERTY_PIN_MEDIUMS: {
        const KSPIN_MEDIUM standard{{{kMediumSetStandard, KSMEDIUM_TYPE_ANYINSTANCE, 0}}};
        const bool own = pd.MediumsCount && pd.Mediums;
        return answer_list(fixed_list(own ? pd.Mediums : &standard, own ? pd.MediumsCount : 1, sizeof(KSPIN_MEDIUM)),
                           out, output_length, information);
    }
    default: return STATUS_NOT_FOUND;
    }
}

const KSNODE_DESCRIPTOR* node_descriptor(const KSFILTER_DESCRIPTOR* fd, ULONG node_id) {
    if (!fd || node_id >= fd->NodeDescriptorsCount || !fd->NodeDescriptors) return nullptr;
    ULONG stride = fd->NodeDescriptorSize ? fd->NodeDescriptorSize : sizeof(KSNODE_DESCRIPTOR);
    return reinterpret_cast<const KSNODE_DESCRIPTOR*>(reinterpret_cast<const char*>(fd->NodeDescriptors) +
                                                      size_t(node_id) * stride);
}

// KSPROPSETID_Topology on a filter: its categories, nodes and connections.
NTSTATUS topology_property(FilterObj* filter, ULONG id, Buffer& input, uint8_t* out, uint32_t output_length,
                           ULONG_PTR* information) {
    ControlGuard control(filter);
    const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
    if (!fd) return STATUS_INVALID_DEVICE_STATE;
    switch (id) {
    case KSPROPERTY_TOPOLOGY_CATEGORIES:
        return answer_list(fixed_list(fd->Categories, fd->Categories ? fd->CategoriesCount : 0, sizeof(GUID)), out,
                           output_length, information);
    case KSPROPERTY_TOPOLOGY_NODES: {
        std::vector<GUID> types;
        for (ULONG n = 0; n < fd->NodeDescriptorsCount; ++n) {
            const KSNODE_DESCRIPTOR* node = node_descriptor(fd, n);
            if (!node) break;
            types.push_back(node->Type ? *node->Type : kGuidNull);
        }
        return answer_list(fixed_list(types.data(), static_cast<ULONG>(types.size()), sizeof(GUID)), out, output_length,
                           information);
    }
    case KSPROPERTY_TOPOLOGY_CONNECTIONS: {
        if (fd->ConnectionsCount && fd->Connections)
            return answer_list(fixed_list(fd->Connections, fd->ConnectionsCount, sizeof(KSTOPOLOGY_CONNECTION)), out,
                               output_length, information);
        // No connections listed: the default set, every pin joined to the same-numbered pin of
        // one node, in the direction of the pin's data flow.
        std::vector<KSTOPOLOGY_CONNECTION> connections;
        for (ULONG p = 0; p < fd->PinDescriptorsCount; ++p) {
            const KSPIN_DESCRIPTOR_EX* desc = pin_descriptor(fd, p);
            if (!desc) break;
            if (desc->PinDescriptor.DataFlow == KSPIN_DATAFLOW_IN)
                connections.push_back({KSFILTER_NODE, p, 0, p});
            else
                connections.push_back({0, p, KSFILTER_NODE, p});
        }
        return answer_list(
            fixed_list(connections.data(), static_cast<ULONG>(connections.size()), sizeof(KSTOPOLOGY_CONNECTION)), out,
            output_length, information);
    }
    case KSPROPERTY_TOPOLOGY_NAME: {
        const KSNODE_DESCRIPTOR* node = node_descriptor(fd, reinterpret_cast<const KSP_NODE*>(input.bytes())->NodeId);
        if (!node) return STATUS_INVALID_PARAMETER;
        // A node without a name of its own is called after its type.
        return answer_name(node->Name ? node->Name : node->Type, out, output_length, information);
    }
    default: return STATUS_NOT_FOUND;
    }
}

// The checks every item goes through before its answer: GET only, the request and value at
// least as large as the item declares.
NTSTATUS class_get(const KSPROPERTY& req, const ClassItem& item, uint32_t input_length, uint8_t* out,
                   uint32_t output_length, ULONG_PTR* information, const std::function<NTSTATUS()>& answer) {
    const bool get = req.Flags & KSPROPERTY_TYPE_GET;
    const bool set = req.Flags & KSPROPERTY_TYPE_SET;
    if (req.Flags & KSPROPERTY_TYPE_BASICSUPPORT) return basic_support(true, false, out, output_length, information);
    if (get == set) return STATUS_INVALID_PARAMETER;  // exactly one of GET and SET
    if (!get) return STATUS_INVALID_DEVICE_REQUEST;   // no SET handler
    if (input_length < item.min_property) return STATUS_INVALID_BUFFER_SIZE;
    NTSTATUS status = check_output(output_length, item.min_data, information);
    if (status != STATUS_SUCCESS) return status;
    return answer();
}

// Properties the class answers itself. Returns false if (set, id) is not one of them.
bool class_property(FilterObj* filter, PinObj* pin, const KSPROPERTY& req, Buffer& input, uint32_t input_length,
                    uint8_t* out, uint32_t output_length, ULONG_PTR* information, NTSTATUS* status, bool* set_found) {
    bool get = req.Flags & KSPROPERTY_TYPE_GET;
    bool set = req.Flags & KSPROPERTY_TYPE_SET;
    bool support = req.Flags & KSPROPERTY_TYPE_BASICSUPPORT;
    if (!pin && req.Set == kPropsetPin) {
        *set_found = true;
        if (req.Id == kPinDataIntersection) {
            if (support)
                *status = basic_support(true, false, out, output_length, information);
            else if (!get)
                *status = STATUS_INVALID_DEVICE_REQUEST;
            else
                *status = intersect(filter, input, input_length, out, output_length, information);
            return true;
        }
        const ClassItem* item = find_class_item(kPinFactoryItems, req.Id);
        if (!item) return false;
        *status = class_get(req, *item, input_length, out, output_length, information, [&] {
            return pin_factory_property(filter, req.Id, input, out, output_length, information);
        });
        return true;
    }
    if (!pin && req.Set == kPropsetTopology) {
        *set_found = true;
        const ClassItem* item = find_class_item(kTopologyItems, req.Id);
        if (!item) return false;
        *status = class_get(req, *item, input_length, out, output_length, information,
                            [&] { return topology_property(filter, req.Id, input, out, output_length, information); });
        return true;
    }
    if (pin && req.Set == kPropsetConnection) {
        *set_found = true;
        if (req.Id == kConnectionState) {
            if (support) {
                *status = basic_support(true, true, out, output_length, information);
            } else if (!get && !set) {
                *status = STATUS_INVALID_PARAMETER;
            } else if (NTSTATUS s = check_output(output_length, sizeof(KSSTATE), information); s != STATUS_SUCCESS) {
                *status = s;
            } else if (get) {
                KSSTATE state = static_cast<KSSTATE>(pin->reached.load());
                std::memcpy(out, &state, sizeof state);
                *information = sizeof state;
                *status = STATUS_SUCCESS;
            } else {
                // Read as a number: a caller's value outside the four states is no KSSTATE (a
                // compiler may drop the range check of an enum holding one).
                ULONG state;
                std::memcpy(&state, out, sizeof state);
                *status = state > ULONG(KSSTATE_RUN) ? STATUS_INVALID_PARAMETER
                                                     : step_pin_state(pin, static_cast<KSSTATE>(state));
            }
            return true;
        }
        if (req.Id == kConnectionDataFormat) {
            if (support) {
                *status = basic_support(true, true, out, output_length, information);
            } else if (set) {
                *status = change_pin_format(pin, out, output_length);
            } else if (get) {
                ControlGuard control(pin->filter);
                ULONG size = pin->ks.ConnectionFormat->FormatSize;
                *status = check_output(output_length, size, information);
                if (*status == STATUS_SUCCESS) {
                    std::memcpy(out, pin->ks.ConnectionFormat, size);
                    *information = size;
                }
            } else {
                *status = STATUS_INVALID_PARAMETER;
            }
            return true;
        }
        if (req.Id == kConnectionAllocatorFramingEx) {
            const KSALLOCATOR_FRAMING_EX* framing = pin->ks.Descriptor->AllocatorFraming;
            if (!framing) return false;
            if (support) {
                *status = basic_support(true, false, out, output_length, information);
            } else if (!get) {
                *status = STATUS_INVALID_DEVICE_REQUEST;
            } else {
                ULONG count = framing->CountItems ? framing->CountItems : 1;
                ULONG size = offsetof(KSALLOCATOR_FRAMING_EX, FramingItem) + count * sizeof(KS_FRAMING_ITEM);
                *status = check_output(output_length, size, information);
                if (*status == STATUS_SUCCESS) {
                    std::memcpy(out, framing, size);
                    *information = size;
                }
            }
            return true;
        }
        return false;
    }
    return false;
}

NTSTATUS route(FilterObj* filter, PinObj* pin, const PropertyCall& call, ULONG_PTR* information) {
    *information = 0;
    if (!call.input || call.input_length < sizeof(KSPROPERTY)) return STATUS_INVALID_BUFFER_SIZE;
    if (call.output_length && !call.output) return STATUS_INVALID_PARAMETER;

    // The handler sees a stable, aligned copy of the whole input.
    Buffer input;
    input.assign(call.input, call.input_length, call.input_length);
    Buffer system_output;
    uint8_t* out = static_cast<uint8_t*>(call.output);
    const auto& req = *reinterpret_cast<const KSPROPERTY*>(input.bytes());
    if (call.user_mode) {
        // Only a SET brings the caller's bytes in; a GET handler gets a buffer of pool whose
        // contents mean nothing.
        const bool set_request = (req.Flags & KSPROPERTY_TYPE_SET) != 0;
        system_output.assign(call.output, set_request ? call.output_length : 0, call.output_length);
        if (!set_request) std::memset(system_output.bytes(), 0xCD, call.output_length);
        out = system_output.bytes();
    }

    const KSAUTOMATION_TABLE* table;
    ULONG irp_kind = pin ? kIrpPin : kIrpFilter;
    bool topology = req.Flags & KSPROPERTY_TYPE_TOPOLOGY;
    if (topology) {
        if (call.input_length < sizeof(KSP_NODE)) return STATUS_INVALID_BUFFER_SIZE;
        const KSFILTER_DESCRIPTOR* fd = filter->ks.Descriptor;
        ULONG node_id = reinterpret_cast<const KSP_NODE*>(input.bytes())->NodeId;
        if (!fd || node_id >= fd->NodeDescriptorsCount || !fd->NodeDescriptors) return STATUS_INVALID_DEVICE_REQUEST;
        ULONG stride = fd->NodeDescriptorSize ? fd->NodeDescriptorSize : sizeof(KSNODE_DESCRIPTOR);
        const auto* node = reinterpret_cast<const KSNODE_DESCRIPTOR*>(
            reinterpret_cast<const char*>(fd->NodeDescriptors) + size_t(node_id) * stride);
        table = node->AutomationTable;
    } else {
        table = pin ? pin->ks.Descriptor->AutomationTable : filter->ks.Descriptor->AutomationTable;
    }

    bool set_found = false;
    const KSPROPERTY_ITEM* item = find_item(table, req.Set, req.Id, &set_found);
    NTSTATUS status = STATUS_SUCCESS;
    if (!item) {
        if (!topology && class_property(filter, pin, req, input, call.input_length, out, call.output_length,
                                        information, &status, &set_found)) {
            // answered by the class
        } else {
            return set_found ? STATUS_NOT_FOUND : STATUS_PROPSET_NOT_FOUND;
        }
    } else {
        bool get = req.Flags & KSPROPERTY_TYPE_GET;
        bool set = req.Flags & KSPROPERTY_TYPE_SET;
        PFNKSHANDLER get_handler = routine(item->GetPropertyHandler);
        PFNKSHANDLER set_handler = routine(item->SetPropertyHandler);
        IRP irp{};
        irp.HostTarget = pin ? static_cast<void*>(&pin->ks) : static_cast<void*>(&filter->ks);
        irp.HostKind = irp_kind;
        irp.HostInputLength = call.input_length;
        irp.HostOutputLength = call.output_length;
        if (req.Flags & (KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_SETSUPPORT | KSPROPERTY_TYPE_DEFAULTVALUES |
                         KSPROPERTY_TYPE_RELATIONS)) {
            if (req.Flags & KSPROPERTY_TYPE_SETSUPPORT) return STATUS_SUCCESS;
            if (!(req.Flags & KSPROPERTY_TYPE_BASICSUPPORT)) return STATUS_NOT_FOUND;
            if (PFNKSHANDLER support = routine(item->SupportHandler)) {
                irp.IoStatus.Information = 0;
                status = invoke_callback("property SupportHandler", false, [&] {
                    return support(&irp, reinterpret_cast<PKSIDENTIFIER>(input.bytes()),
                                   call.output_length ? out : nullptr);
                });
                *information = irp.IoStatus.Information;
            } else {
                status = basic_support(item->GetPropertyHandler != nullptr, item->SetPropertyHandler != nullptr, out,
                                       call.output_length, information);
            }
        } else {
            if (get == set) return STATUS_INVALID_PARAMETER;  // exactly one of GET and SET
            PFNKSHANDLER handler = get ? get_handler : set_handler;
            if (!handler) return STATUS_INVALID_DEVICE_REQUEST;
            ULONG min_property = item->MinProperty > sizeof(KSPROPERTY) ? item->MinProperty : sizeof(KSPROPERTY);
            if (call.input_length < min_property) return STATUS_INVALID_BUFFER_SIZE;
            status = check_output(call.output_length, item->MinData, information);
            if (status != STATUS_SUCCESS) return status;
            irp.IoStatus.Information = 0;
            status = invoke_callback("property handler", false, [&] {
                return handler(&irp, reinterpret_cast<PKSIDENTIFIER>(input.bytes()),
                               call.output_length ? out : nullptr);
            });
            *information = irp.IoStatus.Information;
        }
    }
    if (*information > call.output_length && status != STATUS_BUFFER_OVERFLOW) {
        char text[128];
        std::snprintf(text, sizeof text, "handler reported %llu bytes for a %u-byte buffer",
                      static_cast<unsigned long long>(*information), call.output_length);
        record("KsPropertyInformation", text);
        *information = call.output_length;
    }
    if (call.user_mode && call.output_length && (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW)) {
        size_t n = *information < call.output_length ? *information : call.output_length;
        if (n) std::memcpy(call.output, out, n);
    }
    return status;
}

}  // namespace

NTSTATUS filter_property(PKSFILTER ksfilter, const PropertyCall& call, ULONG_PTR* information) {
    ULONG_PTR scratch;
    if (!information) information = &scratch;
    *information = 0;
    FilterObj* filter = as_filter(ksfilter);
    if (!filter) return STATUS_INVALID_PARAMETER;
    return route(filter, nullptr, call, information);
}

NTSTATUS pin_property(PKSPIN kspin, const PropertyCall& call, ULONG_PTR* information) {
    ULONG_PTR scratch;
    if (!information) information = &scratch;
    *information = 0;
    PinObj* pin = as_pin(kspin);
    if (!pin) return STATUS_INVALID_PARAMETER;
    return route(pin->filter, pin, call, information);
}

}  // namespace host::ks
