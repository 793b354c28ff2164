#include "tools/quadhdmi/session.h"

#include "tools/quadhdmi/device/device_commands.h"

#include <cstdio>

namespace qh::tool {

namespace {
constexpr uint32_t kHandlesClosedMs = 10000;
std::string g_driver_image;
}  // namespace

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
    // Where the card's engines start is drawn from this seed; --start-seed repeats it.
    std::fprintf(stderr, "card start seed: %llu\n", static_cast<unsigned long long>(bed_->card().start_seed()));
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
    if (!bed_->added()) return 0;
    // After a surprise removal the device goes once its last handle is closed; the tool has
    // closed its own by now.
    if (bed_->pnp_device().surprise_removed()) return bed_->finish_removal(kHandlesClosedMs);
    return bed_->remove();
}

void Session::unplug() { bed_->unplug(/*shared_line_keeps_firing=*/true); }

bool Session::removed() { return bed_->added() && bed_->pnp_device().surprise_removed(); }

NTSTATUS Session::replug() {
    device_.reset();
    const size_t leaks = bed_->finish_removal(kHandlesClosedMs);
    if (leaks != 0) return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = bed_->replug();
    started_ = status == STATUS_SUCCESS;
    return status;
}

NTSTATUS Session::rebalance() { return bed_->rebalance(/*move_window=*/true); }
NTSTATUS Session::sleep() { return bed_->sleep(); }
void Session::wake() { bed_->wake(); }

sim::Card& Session::card() { return bed_->card(); }
DriverInput Session::driver_input(uint32_t input) const { return bed_->driver_input(input); }
DriverResources Session::driver_resources() const { return bed_->driver_resources(); }
client::Device& Session::device() {
    if (!device_) device_ = client::open_device(bed_->ksdevice());
    return *device_;
}

NTSTATUS Session::open_filter(uint32_t input, bool video, std::unique_ptr<client::Filter>& filter) {
    return open_input_filter(device(), input, video, filter);
}

}  // namespace qh::tool
