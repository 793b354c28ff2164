// Pin creation with any format (valid ones with bytes changed, or anything), a later format
// change, and the states a client walks through, with a buffer and a unit of the card.
#include "tools/fuzz/bed.h"

#include <cstring>

namespace {

std::vector<uint8_t> make_format(fuzzbed::Bytes& in, qh::client::Filter& filter, uint32_t pin_id) {
    const uint8_t how = in.byte();
    std::vector<uint8_t> format;
    if (how & 1) {
        format = fuzzbed::valid_format(filter, pin_id, how >> 1);
        // XOR the fuzzer's bytes over it at the positions it names.
        for (uint32_t k = in.byte() % 8; k > 0 && !format.empty(); --k) {
            const uint32_t at = in.u16() % format.size();
            format[at] ^= in.byte();
        }
        if (in.byte() == 0xA5) format.resize(in.u16() % (format.size() + 64));
    } else {
        format = in.take(in.byte() + (how & 2 ? 256 : 0));
    }
    return format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzbed::Bytes in(data, size);
    const uint32_t filter_index = in.byte();
    const uint32_t pin_id = in.byte() % 3;
    auto filter = fuzzbed::open_filter(filter_index);
    if (!filter) return 0;
    const auto format = make_format(in, *filter, pin_id);
    std::unique_ptr<qh::client::Pin> pin;
    if (filter->create_pin(pin_id, format, pin) == STATUS_SUCCESS) {
        const uint8_t plan = in.byte();
        if (plan & 1) pin->set_format(make_format(in, *filter, pin_id));
        if (plan & 2) {
            pin->set_state(KSSTATE(in.byte() % 4));
            pin->submit(in.u32() % (8u << 20), 128);
            const uint32_t input = (filter_index % fuzzbed::kFilters) / 2;
            if (filter_index % 2) {
                fuzzbed::bed().card().step_video(input);
            } else {
                fuzzbed::bed().card().step_audio(input, 1 + in.byte() % 4);
            }
            pin->set_state(KSSTATE(in.byte() % 4));
        }
        pin->close();
        qh::client::CompletedFrame frame;
        while (pin->wait_completed(frame, 0)) {
            if (!frame.guards_intact) __builtin_trap();  // the driver wrote outside the buffer
        }
        if (pin->stray_completions() != 0 || pin->queued() != 0) __builtin_trap();  // returned twice, or never
    }
    filter->close();
    fuzzbed::check_pool_returned();
    return 0;
}
