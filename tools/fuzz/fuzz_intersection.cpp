// Data-range intersection with any number of client ranges of any content, any output length.
#include "tools/fuzz/bed.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzbed::Bytes in(data, size);
    const uint32_t filter_index = in.byte();
    const uint32_t pin_id = in.byte() % 4;
    const uint32_t output = in.u16() % 4096;
    const uint32_t count = 1 + in.byte() % 4;
    const bool patch_size = in.byte() & 1;  // FormatSize as long as the range really is

    auto filter = fuzzbed::open_filter(filter_index);
    if (!filter) return 0;
    std::vector<std::vector<uint8_t>> ranges;
    for (uint32_t i = 0; i < count && in.left(); ++i) {
        std::vector<uint8_t> range = in.take(in.byte());
        if (patch_size && range.size() >= 4) {
            const uint32_t length = uint32_t(range.size());
            std::memcpy(range.data(), &length, 4);
        }
        ranges.push_back(std::move(range));
    }
    if (!ranges.empty()) {
        filter->intersect_raw(pin_id, ranges, output);
        std::vector<uint8_t> format;
        filter->intersect(pin_id, ranges, format);
    }
    filter->close();
    fuzzbed::check_pool_returned();
    return 0;
}
