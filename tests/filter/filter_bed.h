// The fixture of the filter suites: a test bed with a manually paced card and the user-mode view
// of its device, as a capture application holds it.
#pragma once

#include "tests/support/testbed_fixture.h"

#include <memory>

namespace filtertest {

class FilterTest : public qh::testing::TestbedTest {
protected:
    void TearDown() override {
        device_.reset();
        qh::testing::TestbedTest::TearDown();
    }
    qh::client::Device& device() {
        if (!device_) device_ = qh::client::open_device(bed().ksdevice());
        return *device_;
    }

private:
    std::unique_ptr<qh::client::Device> device_;
};

}  // namespace filtertest
