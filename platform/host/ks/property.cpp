// Property requests on filters, pins and topology nodes: routing through the automation tables,
// the size checks made before any handler runs, the class's own properties (connection state
// and format, allocator framing, data intersection).
#include "platform/host/ks/ks_internal.h"

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

// Properties the class answers itself. Returns false if (set, id) is not one of them.
bool class_property(FilterObj* filter, PinObj* pin, const KSPROPERTY& req, Buffer& input, uint32_t input_length,
                    uint8_t* out, uint32_t output_length, ULONG_PTR* information, NTSTATUS* status, bool* set_found) {
    bool get = req.Flags & KSPROPERTY_TYPE_GET;
    bool set = req.Flags & KSPROPERTY_TYPE_SET;
    bool support = req.Flags & KSPROPERTY_TYPE_BASICSUPPORT;
    if (!pin && req.Set == kPropsetPin) {
        *set_found = true;
        if (req.Id != kPinDataIntersection) return false;
        if (support)
            *status = basic_support(true, false, out, output_length, information);
        else if (!get)
            *status = STATUS_INVALID_DEVICE_REQUEST;
        else
            *status = intersect(filter, input, input_length, out, output_length, information);
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
