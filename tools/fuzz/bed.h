// What the libFuzzer harnesses share: one started device on a manually paced card for the whole
// run (a verifier stop aborts, which libFuzzer reports as a crash with its input), the filters
// opened by index, and a reader that turns the fuzzer's bytes into choices.
#pragma once

#include "testbed/testbed.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace fuzzbed {

constexpr uint32_t kFilters = 8;  // audio 0, video 0, audio 1, video 1, ...

qh::Testbed& bed();
qh::client::Device& device();
std::unique_ptr<qh::client::Filter> open_filter(uint32_t index);

// After every input: nothing the input created may still hold pool.
void check_pool_returned();

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : p_(data), n_(size) {}
    uint8_t byte() { return n_ ? (--n_, *p_++) : 0; }
    uint32_t u16() { return byte() | uint32_t(byte()) << 8; }
    uint32_t u32() { return u16() | u16() << 16; }
    std::vector<uint8_t> take(size_t count) {
        if (count > n_) count = n_;
        std::vector<uint8_t> out(p_, p_ + count);
        p_ += count;
        n_ -= count;
        return out;
    }
    std::vector<uint8_t> rest() { return take(n_); }
    size_t left() const { return n_; }

private:
    const uint8_t* p_;
    size_t n_;
};

// A valid format for a pin of `filter` (the intersection of range `range`), or empty.
std::vector<uint8_t> valid_format(qh::client::Filter& filter, uint32_t pin_id, uint32_t range);

}  // namespace fuzzbed
