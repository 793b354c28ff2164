#include "tools/quadhdmi/session.h"

#include "client/testbed.h"
#include "tools/quadhdmi/describe.h"

namespace qh::tool {

namespace {
std::string g_driver_image;
}

void use_driver_image(const std::string& path) { g_driver_image = path; }

Session::Session(const sim::CardConfig& config, double delay_scale) {
    TestbedOptions options;
    if (!g_driver_image.empty()) options.driver_image = g_driver_image;
    options.card = config;
    options.card.pacing = sim::Pacing::Realtime;
    // The bring-up's waits take their real time by default, as on a real machine; the card's
    // receivers only report a picture once they have been configured for a while.
    options.delay_scale = delay_scale;
    options.start = false;
    // Removal is done by finish(), which reports leaks instead of treating them as fatal.
    options.remove_on_destroy = false;
    bed_ = std::make_unique<Testbed>(std::move(options));
}

Session::~Session() { finish(); }

NTSTATUS Session::start() {
    const NTSTATUS status = bed_->start();
    started_ = status == STATUS_SUCCESS;
    return status;
}

size_t Session::finish() {
    if (finished_) return 0;
    finished_ = true;
    device_.reset();
    return bed_->added() ? bed_->remove() : 0;
}

sim::Card& Session::card() { return bed_->card(); }
devext* Session::ext() { return bed_->ext(); }
client::Device& Session::device() {
    if (!device_) device_ = client::open_device(bed_->ksdevice());
    return *device_;
}

NTSTATUS Session::open_filter(uint32_t input, bool video, std::unique_ptr<client::Filter>& filter) {
    for (const client::FilterInfo& info : device().filters()) {
        uint32_t in = 0;
        bool is_video = false;
        if (filter_identity(info.reference, in, is_video) && in == input && is_video == video) {
            return device().open_filter(info.index, filter);
        }
    }
    return STATUS_NOT_FOUND;
}

}  // namespace qh::tool
