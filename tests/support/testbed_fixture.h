// Shared GoogleTest helpers around the test bed: waiting on conditions, reading what the card saw
// on its register window, and the trace of the driver.
#pragma once

#include "testbed/testbed.h"
#include "tests/support/device_ext.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qh::testing {

// Generous time-out for conditions that a working system meets within milliseconds.
constexpr uint32_t kWaitMs = 10000;

// Polls `condition` until it holds or `timeout_ms` passes; true when it held.
bool wait_until(const std::function<bool()>& condition, uint32_t timeout_ms = kWaitMs);

// Options for a card paced by explicit steps (nothing moves unless the test says so) and with
// delays recorded but not slept.
TestbedOptions manual_options();

// The register accesses in `log` that are writes (or reads) to `offset`, in order.
std::vector<sim::AccessRecord> writes_to(const std::vector<sim::AccessRecord>& log, uint32_t offset);
std::vector<sim::AccessRecord> reads_of(const std::vector<sim::AccessRecord>& log, uint32_t offset);
// Writes whose offset lies in [first, last].
std::vector<sim::AccessRecord> writes_in(const std::vector<sim::AccessRecord>& log, uint32_t first, uint32_t last);
// Index in `log` of the first / last access matching, or -1.
long first_index(const std::vector<sim::AccessRecord>& log, uint32_t offset, bool is_write);
long last_index(const std::vector<sim::AccessRecord>& log, uint32_t offset, bool is_write);

// Position of each needle in `lines`, searching forward from the previous find; -1 for a needle
// not found in order. A needle ending in '*' matches any line that starts with the rest.
std::vector<long> positions_in_order(const std::vector<std::string>& lines, const std::vector<std::string>& needles);

// The lines of `lines` from `from` on must be exactly `expected` (same '*' rule), one for one.
::testing::AssertionResult lines_match(const std::vector<std::string>& lines, size_t from,
                                       const std::vector<std::string>& expected);

// Delays recorded by the host kernel, in milliseconds, in call order.
std::vector<int64_t> recorded_delays_ms();

// A test that owns a test bed made by its options().
class TestbedTest : public ::testing::Test {
protected:
    virtual TestbedOptions options() { return manual_options(); }
    void SetUp() override { bed_ = std::make_unique<Testbed>(options()); }
    void TearDown() override { bed_.reset(); }
    Testbed& bed() { return *bed_; }

    std::unique_ptr<Testbed> bed_;
};

}  // namespace qh::testing
