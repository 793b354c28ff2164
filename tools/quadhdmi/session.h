// One run of the tool against a simulated card: plug the card in, load the driver, start the
// device; on destruction stop and remove it cleanly.
#pragma once

#include "client/client.h"
#include "sim/card.h"
#include "testbed/testbed.h"

#include <memory>
#include <string>

namespace qh::tool {

// Every later session loads the image at `path` (a quadhdmi.sys) instead of the compiled-in
// driver; empty: the compiled-in driver.
void use_driver_image(const std::string& path);

class Session {
public:
    explicit Session(const sim::CardConfig& config, double delay_scale = 1.0);
    ~Session();

    NTSTATUS start();  // PnP start of the device
    bool started() const { return started_; }
    // Stops and removes the device; returns the leaks the verifier found.
    size_t finish();

    sim::Card& card();
    client::Device& device();
    // What the driver keeps beyond what its properties report (see Testbed).
    DriverInput driver_input(uint32_t input) const;
    DriverResources driver_resources() const;

    // What happens to the machine while capturing: the card pulled out (surprise removal), put
    // back (a new device, started; only after a removal that has completed), the device's
    // resources rebalanced (a new window address), a system sleep and wake.
    void unplug();
    bool removed();
    NTSTATUS replug();
    NTSTATUS rebalance();
    NTSTATUS sleep();
    void wake();

    // The filter of an input and medium (by reference GUID), opened; detection runs on open.
    NTSTATUS open_filter(uint32_t input, bool video, std::unique_ptr<client::Filter>& filter);

private:
    std::unique_ptr<Testbed> bed_;
    std::unique_ptr<client::Device> device_;
    bool started_ = false;
    bool finished_ = false;
};

}  // namespace qh::tool
