// The test bed: card, driver and device assembled the way Windows would assemble them.
#include "testbed/testbed.h"

#include "driver/device/device.h"
#include "platform/host/diag/verifier.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/ks/ks.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace qh {

CM_PARTIAL_RESOURCE_DESCRIPTOR make_descriptor(UCHAR type) {
    CM_PARTIAL_RESOURCE_DESCRIPTOR d;
    std::memset(&d, 0, sizeof(d));
    d.Type = type;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    return d;
}

std::string TestbedOptions::default_driver_image() {
    const char* path = std::getenv("QH_DRIVER_IMAGE");
    return path ? path : "";
}

Testbed::Testbed(TestbedOptions options) : options_(std::move(options)) {
    if (options_.reset_kernel) {
        host::reset();
    }
    host::set_delay_scale(options_.delay_scale);
    host::set_virtual_clock(options_.virtual_clock);
    trace_mark_ = host::trace::mark();
    if (options_.echo_trace) {
        echo_listener_ = host::trace::add_listener([](const host::trace::Line& line) {
            std::fwrite(line.text.data(), 1, line.text.size(), stdout);
            std::fflush(stdout);
        });
    }
    card_ = std::make_unique<sim::Card>(options_.card);
    host::pnp::DriverEntryRoutine entry = DriverEntry;
    if (!options_.driver_image.empty()) {
        std::string error;
        image_ = host::image::load(options_.driver_image, error);
        if (!image_) throw std::runtime_error("the driver image did not load: " + error);
        entry = image_->entry();
    }
    const NTSTATUS load = host::pnp::Driver::load(entry, driver_);
    if (!NT_SUCCESS(load)) {
        throw std::runtime_error("the driver did not load: DriverEntry returned " + std::to_string(load));
    }
    if (options_.add) {
        add();
        if (options_.start && added()) {
            start();
        }
    }
}

Testbed::~Testbed() {
    if (options_.remove_on_destroy && device_) {
        try {
            remove();
        } catch (const std::exception& e) {
            // The device object still goes below, and says so too.
            host::verifier::diagnostic(e.what());
        }
    }
    client_.reset();
    device_.reset();
    card_.reset();
    driver_.reset();
    image_.reset();
    if (echo_listener_ >= 0) {
        host::trace::remove_listener(echo_listener_);
    }
}

NTSTATUS Testbed::add() {
    add_status_ = host::pnp::Device::add(driver_, card_.get(), 0, device_, options_.hardware_key);
    return add_status_;
}

host::pnp::ResourceList Testbed::default_resources() {
    host::pnp::ResourceList list;
    for (const auto& d : options_.resources_before) {
        list.add_raw(d);
    }
    list.add_memory(card_->mmio_physical(), card_->mmio_length());
    if (card_->config().interrupt_mode == sim::InterruptMode::Message) {
        list.add_message_interrupt(options_.interrupt_level, card_->interrupt_vector(), options_.interrupt_affinity);
    } else {
        list.add_line_interrupt(options_.interrupt_level, card_->interrupt_vector(), options_.interrupt_affinity,
                                options_.interrupt_shared, options_.interrupt_latched);
    }
    for (const auto& d : options_.resources_after) {
        list.add_raw(d);
    }
    return list;
}

NTSTATUS Testbed::start() {
    resources_ = host::pnp::ResourceList();
    if (options_.build_resources) {
        options_.build_resources(resources_, *card_);
    } else {
        resources_ = default_resources();
    }
    return start(resources_);
}

NTSTATUS Testbed::start(host::pnp::ResourceList& translated) {
    if (!device_) {
        throw std::logic_error("start without a device");
    }
    start_mark_ = host::trace::mark();
    start_status_ = device_->start(&translated, &translated);
    return start_status_;
}

void Testbed::stop() {
    if (device_) {
        client_.reset();
        device_->stop();
    }
}

size_t Testbed::remove() {
    if (!device_) {
        return 0;
    }
    if (device_->surprise_removed()) {
        return finish_removal(kRemovalWaitMs);
    }
    client_.reset();
    const size_t leaks = device_->remove();
    device_.reset();
    return leaks;
}

void Testbed::set_power(DEVICE_POWER_STATE to) {
    if (device_) {
        device_->set_power(to);
    }
}

void Testbed::unplug(bool shared_line_keeps_firing) {
    card_->unplug(shared_line_keeps_firing);
    if (device_) {
        device_->surprise_remove();
    }
}

size_t Testbed::finish_removal(uint32_t timeout_ms) {
    if (!device_) {
        return 0;
    }
    // The test bed's own view holds no handle; the client's filters and pins are its to close.
    client_.reset();
    if (!device_->wait_handles_closed(timeout_ms)) {
        std::string message = "the removal of the surprise-removed device is held: ";
        message += std::to_string(host::ks::open_filters(device_->ksdevice()));
        message += " filter handle(s) still open after ";
        message += std::to_string(timeout_ms);
        message += " ms; Windows sends IRP_MN_REMOVE_DEVICE only once their owner closes the last one";
        throw std::runtime_error(message);
    }
    const size_t leaks = device_->remove();
    if (leaks == host::pnp::Device::kRemovalHeld) {
        throw std::runtime_error("the removal of the surprise-removed device was refused: a handle was opened again");
    }
    device_.reset();
    return leaks;
}

NTSTATUS Testbed::replug() {
    if (device_) {
        throw std::logic_error("replug while the old device is still there");
    }
    client_.reset();
    card_.reset();
    card_ = std::make_unique<sim::Card>(options_.card);
    add();
    if (!added()) {
        return add_status_;
    }
    return start();
}

NTSTATUS Testbed::rebalance(bool move_window, std::optional<sim::InterruptMode> interrupt_mode) {
    if (!device_) {
        throw std::logic_error("rebalance without a device");
    }
    start_mark_ = host::trace::mark();
    start_status_ = device_->rebalance([&](host::pnp::ResourceList& list) {
        // The new resources exist only once the old ones are released: the card moves while
        // its driver holds neither its window nor its interrupt.
        if (move_window) {
            card_->move_window();
        }
        if (interrupt_mode) {
            card_->set_interrupt_mode(*interrupt_mode);
        }
        if (options_.build_resources) {
            options_.build_resources(list, *card_);
        } else {
            list = default_resources();
        }
    });
    return start_status_;
}

NTSTATUS Testbed::sleep() { return device_ ? device_->sleep() : STATUS_NO_SUCH_DEVICE; }

void Testbed::wake(bool pins_before_power) {
    if (device_) {
        device_->wake(pins_before_power);
    }
}

bool Testbed::started() const { return device_ && device_->started(); }

PKSDEVICE Testbed::ksdevice() const { return device_ ? device_->ksdevice() : nullptr; }

namespace {
// The driver's context of the device; null before a successful add.
devext* device_ext(const Testbed& bed) {
    PKSDEVICE device = bed.ksdevice();
    return device ? static_cast<devext*>(device->Context) : nullptr;
}
}  // namespace

client::Device& Testbed::client() {
    if (!client_) {
        if (!device_) {
            throw std::logic_error("no device to open");
        }
        client_ = client::open_device(device_->ksdevice());
    }
    return *client_;
}

std::vector<std::string> Testbed::trace_lines() const {
    std::vector<std::string> out;
    for (auto& line : host::trace::since(trace_mark_)) {
        out.push_back(std::move(line.text));
    }
    return out;
}

std::string Testbed::trace_text() const { return host::trace::text_since(trace_mark_); }

size_t Testbed::trace_count(const std::string& exact) const { return host::trace::count_exact(trace_mark_, exact); }

void Testbed::clear_trace() { trace_mark_ = host::trace::mark(); }

int Testbed::receivers_configured() const {
    int count = 0;
    for (const auto& line : host::trace::since(start_mark_)) {
        if (line.text.starts_with("ADV7611 channel ") && line.text.ends_with(" reset ok\n")) {
            ++count;
        }
    }
    return count;
}

int Testbed::buffers_allocated() const {
    devext* e = device_ext(*this);
    if (e == nullptr) {
        return 0;
    }
    int count = e->channelallaudiobuf.VirtAddr != nullptr ? 1 : 0;
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        for (int i = 0; i < 3; ++i) {
            count += VideoBuffers(e, channel)[i].VirtAddr != nullptr ? 1 : 0;
        }
    }
    return count;
}

DriverInput Testbed::driver_input(uint32_t input) const {
    DriverInput out;
    devext* e = device_ext(*this);
    if (e == nullptr || input >= kChannelCount) {
        return out;
    }
    const ChannelState& ch = e->Channel[input];
    out.interlaced = SharedRead(ch.Interlaced) != 0;
    out.width = SharedRead(ch.Width);
    out.height = SharedRead(ch.Height);
    out.video_pin = ch.VideoPin;
    out.signal_mismatch = SharedRead(ch.SignalMismatch) != 0;
    out.frames_held_back = SharedRead(ch.FramesHeldBack);
    out.audio_lost_bytes = SharedRead(ch.AudioLostBytes);
    return out;
}

DriverResources Testbed::driver_resources() const {
    DriverResources out;
    out.video_buffers_total = 3 * kChannelCount;
    out.video_buffer_bytes = kVideoBufferSize;
    out.audio_buffer_bytes = kAudioBufferSize;
    out.audio_ring_bytes = kAudioRingSize;
    devext* e = device_ext(*this);
    if (e == nullptr) {
        return out;
    }
    for (ULONG channel = 0; channel < kChannelCount; ++channel) {
        for (int i = 0; i < 3; ++i) {
            out.video_buffers += VideoBuffers(e, channel)[i].VirtAddr != nullptr ? 1 : 0;
        }
    }
    out.audio_buffer = e->channelallaudiobuf.VirtAddr != nullptr;
    out.register_bytes = e->RegisterLength;
    return out;
}

std::array<DmaView, 3> Testbed::video_buffers(uint32_t input) const {
    std::array<DmaView, 3> out{};
    devext* e = device_ext(*this);
    if (e == nullptr || input >= kChannelCount) {
        return out;
    }
    for (int i = 0; i < 3; ++i) {
        const CommonBuffer& b = VideoBuffers(e, input)[i];
        if (b.VirtAddr != nullptr) {
            out[i] = {static_cast<const uint8_t*>(b.VirtAddr), kVideoBufferSize};
        }
    }
    return out;
}

DmaView Testbed::audio_ring(uint32_t input) const {
    devext* e = device_ext(*this);
    if (e == nullptr || input >= kChannelCount || e->channelallaudiobuf.VirtAddr == nullptr) {
        return {};
    }
    return {static_cast<const uint8_t*>(e->channelallaudiobuf.VirtAddr) + input * kAudioRingSize, kAudioRingSize};
}

}  // namespace qh
