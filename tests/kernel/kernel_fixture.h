// Common fixture of the kernel suites: every test starts from the kernel's defaults.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/trace.h"
#include "platform/host/diag/verifier.h"
#include "tests/support/dma_adapter.h"
#include "tests/support/fake_registers.h"

using qh::testing::DmaAdapter;
using qh::testing::FakeRegisters;
using qh::testing::RegisterAccess;

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override {
        host::reset();
        host::set_processor_count(2);
    }
    void TearDown() override { host::reset(); }
};

// Polls a condition with a generous time-out (never used to measure speed).
template <typename Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

inline LARGE_INTEGER relative_ms(int64_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10000;
    return t;
}
