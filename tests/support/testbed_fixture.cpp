#include "tests/support/testbed_fixture.h"

#include "platform/host/kernel/kernel.h"

#include <thread>

namespace qh::testing {

bool wait_until(const std::function<bool()>& condition, uint32_t timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TestbedOptions manual_options() {
    TestbedOptions options;
    options.card.pacing = sim::Pacing::Manual;
    options.card.autostart = false;
    options.delay_scale = 0.0;
    return options;
}

namespace {
std::vector<sim::AccessRecord> select(const std::vector<sim::AccessRecord>& log,
                                      const std::function<bool(const sim::AccessRecord&)>& keep) {
    std::vector<sim::AccessRecord> out;
    for (const auto& r : log) {
        if (keep(r)) {
            out.push_back(r);
        }
    }
    return out;
}
}  // namespace

std::vector<sim::AccessRecord> writes_to(const std::vector<sim::AccessRecord>& log, uint32_t offset) {
    return select(log, [offset](const sim::AccessRecord& r) { return r.is_write && r.offset == offset; });
}

std::vector<sim::AccessRecord> reads_of(const std::vector<sim::AccessRecord>& log, uint32_t offset) {
    return select(log, [offset](const sim::AccessRecord& r) { return !r.is_write && r.offset == offset; });
}

std::vector<sim::AccessRecord> writes_in(const std::vector<sim::AccessRecord>& log, uint32_t first, uint32_t last) {
    return select(
        log, [first, last](const sim::AccessRecord& r) { return r.is_write && r.offset >= first && r.offset <= last; });
}

long first_index(const std::vector<sim::AccessRecord>& log, uint32_t offset, bool is_write) {
    for (size_t i = 0; i < log.size(); ++i) {
        if (log[i].offset == offset && log[i].is_write == is_write) {
            return long(i);
        }
    }
    return -1;
}

long last_index(const std::vector<sim::AccessRecord>& log, uint32_t offset, bool is_write) {
    for (size_t i = log.size(); i-- > 0;) {
        if (log[i].offset == offset && log[i].is_write == is_write) {
            return long(i);
        }
    }
    return -1;
}

namespace {
bool line_matches(const std::string& line, const std::string& pattern) {
    if (!pattern.empty() && pattern.back() == '*') {
        return line.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    }
    return line == pattern;
}
}  // namespace

::testing::AssertionResult lines_match(const std::vector<std::string>& lines, size_t from,
                                       const std::vector<std::string>& expected) {
    for (size_t i = 0; i < expected.size(); ++i) {
        if (from + i >= lines.size()) {
            return ::testing::AssertionFailure() << "trace ends before expected line " << i << ": " << expected[i];
        }
        if (!line_matches(lines[from + i], expected[i])) {
            return ::testing::AssertionFailure() << "trace line " << from + i << " is \"" << lines[from + i]
                                                 << "\", expected \"" << expected[i] << "\"";
        }
    }
    return ::testing::AssertionSuccess();
}

std::vector<long> positions_in_order(const std::vector<std::string>& lines, const std::vector<std::string>& needles) {
    std::vector<long> out;
    size_t from = 0;
    for (const auto& needle : needles) {
        long found = -1;
        for (size_t i = from; i < lines.size(); ++i) {
            if (line_matches(lines[i], needle)) {
                found = long(i);
                from = i + 1;
                break;
            }
        }
        out.push_back(found);
    }
    return out;
}

std::vector<int64_t> recorded_delays_ms() {
    std::vector<int64_t> out;
    for (const auto& d : host::delays()) {
        out.push_back(-d.interval / 10000);
    }
    return out;
}

}  // namespace qh::testing
