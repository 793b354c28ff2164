// Property requests of any set, id, flags, size and content to any filter or pin.
#include "driver/public.h"
#include "platform/host/ks/ks.h"
#include "tools/fuzz/bed.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzbed::Bytes in(data, size);
    static const GUID* sets[] = {&host::ks::kPropsetPin,  &host::ks::kPropsetConnection, &host::ks::kPropsetStream,
                                 &kPropsetRegisterAccess, &kPropsetDroppedFrames,        &kPropsetAudio};
    const uint32_t filter_index = in.byte();
    const uint8_t target = in.byte();  // bit 0: to a pin of the filter
    const uint8_t set_choice = in.byte();
    const uint32_t id = in.byte();
    const uint32_t flags = in.u32();
    const uint32_t output = in.u16() % 8192;
    const size_t request_length = in.byte();
    const size_t input_length = in.byte();

    GUID set;
    if (set_choice < 6 * 40) {
        set = *sets[set_choice % 6];
    } else {
        const auto raw = in.take(sizeof set);
        std::memset(&set, 0, sizeof set);
        if (!raw.empty()) std::memcpy(&set, raw.data(), raw.size());
    }
    std::vector<uint8_t> request = qh::client::make_property(set, id, flags);
    // Register writes reach the card's registers; only reads and refused writes are fuzzed
    // (the driver refuses writes that would re-aim a DMA engine, anything else is the caller's).
    if (IsEqualGUID(set, kPropsetRegisterAccess) && (flags & KSPROPERTY_TYPE_SET)) return 0;
    const auto tail = in.take(request_length);
    request.insert(request.end(), tail.begin(), tail.end());
    if (request_length > 200) request.resize(request_length - 200);  // shorter than a KSPROPERTY
    const auto input = in.take(input_length);

    auto filter = fuzzbed::open_filter(filter_index);
    if (!filter) return 0;
    if (target & 1) {
        const auto format = fuzzbed::valid_format(*filter, 0, target >> 1);
        std::unique_ptr<qh::client::Pin> pin;
        if (!format.empty() && filter->create_pin(0, format, pin) == STATUS_SUCCESS) {
            // State changes through this request would leave the walk of states to the class.
            pin->property(request, output, input);
            pin->close();
        }
    } else {
        filter->property(request, output, input);
    }
    filter->close();
    fuzzbed::check_pool_returned();
    return 0;
}
