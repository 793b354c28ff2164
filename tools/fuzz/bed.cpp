#include "tools/fuzz/bed.h"

#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/trace.h"

#include <cstdio>
#include <cstdlib>

namespace fuzzbed {

namespace {

struct State {
    State() {
        qh::TestbedOptions options;
        options.card = sim::Card::default_config();
        options.card.pacing = sim::Pacing::Manual;
        // The device lives as long as the process; its removal is not part of any input.
        options.remove_on_destroy = false;
        testbed = std::make_unique<qh::Testbed>(options);
        if (!testbed->started()) {
            std::fprintf(stderr, "fuzz: the device did not start\n");
            std::abort();
        }
        client = qh::client::open_device(testbed->ksdevice());
        filters = client->filters();
        baseline = host::pool_usage().live_blocks;
    }
    std::unique_ptr<qh::Testbed> testbed;
    std::unique_ptr<qh::client::Device> client;
    std::vector<qh::client::FilterInfo> filters;
    uint64_t baseline = 0;
};

State& state() {
    static State* s = new State();  // never destroyed: libFuzzer may exit from any thread
    return *s;
}

}  // namespace

qh::Testbed& bed() { return *state().testbed; }
qh::client::Device& device() { return *state().client; }

std::unique_ptr<qh::client::Filter> open_filter(uint32_t index) {
    std::unique_ptr<qh::client::Filter> filter;
    const auto& filters = state().filters;
    device().open_filter(filters[index % filters.size()].index, filter);
    return filter;
}

void check_pool_returned() {
    // The trace is kept for readers until cleared; no input reads an earlier one's.
    host::trace::clear();
    const uint64_t live = host::pool_usage().live_blocks;
    if (live != state().baseline) {
        std::fprintf(stderr, "fuzz: %llu pool blocks live after the input, %llu before\n",
                     static_cast<unsigned long long>(live), static_cast<unsigned long long>(state().baseline));
        std::abort();
    }
}

std::vector<uint8_t> valid_format(qh::client::Filter& filter, uint32_t pin_id, uint32_t range) {
    std::vector<uint8_t> format;
    const auto pins = filter.pins();
    if (pin_id >= pins.size() || pins[pin_id].ranges.empty()) return format;
    filter.intersect(pin_id, {pins[pin_id].ranges[range % pins[pin_id].ranges.size()]}, format);
    return format;
}

}  // namespace fuzzbed
