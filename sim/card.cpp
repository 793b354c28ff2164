// The card put together: its parts built and wired to the host bus (register window, interrupt
// line, power), the HDMI sources, and what tests may inspect of the receivers and I2C masters.
// Where each of the card's jobs lives is listed in sim/card_impl.h.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

namespace sim {

Card::Card(const CardConfig& config, Wiring wiring) : config_(config), wiring_(std::move(wiring)) {
    if (config_.settle_ms < 0) config_.settle_ms = config_.pacing == Pacing::Manual ? 0 : 50;
    impl_ = std::make_unique<Impl>(*this);
    impl_->set_timing(config_.interrupt_timing);
    line_ = impl_->make_line(config_.interrupt_mode);
    start_seed_ = config_.start_seed.value_or(start_seed_of_process());
    impl_->positions.seed(start_seed_);
    impl_->power_on();
    const auto now = Clock::now();
    const I2cTiming timing{config_.i2c_khz ? config_.i2c_khz : 100, config_.bus_read_ns ? config_.bus_read_ns : 1};
    for (uint32_t n = 0; n < kInputs; ++n) {
        impl_->sources[n].config = config_.sources[n];
        impl_->i2c[n]->set_timing(timing);
        impl_->rx[n].set_settle(std::chrono::milliseconds(config_.settle_ms));
        impl_->rx[n].set_source(config_.sources[n], now);
        apply_faults_locked(n, config_.faults[n]);
    }
    if (wiring_.register_on_bus) {
        mmio_physical_ = host::register_mmio(this, kWindowLength);
        vector_ = host::register_interrupt_line(line_.get());
        host::register_power_handler(this, [this](host::DevicePower state) { set_power(state); });
    }
    if (config_.autostart && config_.pacing != Pacing::Manual) start();
}

Card::~Card() {
    stop_line_noise();
    stop();
    if (wiring_.register_on_bus) {
        host::unregister_power_handler(this);
        host::unregister_interrupt_line(line_.get());
        host::unregister_mmio(mmio_physical_);
    }
}

uint64_t Card::move_window() {
    if (!wiring_.register_on_bus) return mmio_physical_;
    const uint64_t old = mmio_physical_;
    mmio_physical_ = host::register_mmio(this, kWindowLength);
    host::unregister_mmio(old);
    return mmio_physical_;
}

// --- sources ---

void Card::set_source(uint32_t input, const SourceConfig& source) {
    if (input >= kInputs) return;
    {
        std::lock_guard<host::sched::Mutex> lk(impl_->mu);
        Source& s = impl_->sources[input];
        s.config = source;
        s.unit = 0;
        s.audio_bytes = 0;
        ++s.generation;
        impl_->rx[input].set_source(source, Clock::now());
        impl_->cv.notify_all();
    }
}

SourceConfig Card::source(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->sources.at(input).config;
}

// --- I2C masters ---

I2cCounters Card::i2c_counters(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->i2c.at(input)->counters();
}

uint64_t Card::i2c_protocol_faults(uint32_t input) const { return i2c_counters(input).protocol_faults; }

std::vector<std::string> Card::i2c_protocol_fault_log(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->i2c.at(input)->fault_log();
}

// --- receivers ---

ReceiverState Card::receiver_state(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    const Receiver& r = impl_->rx.at(input);
    ReceiverState s;
    for (size_t m = 0; m < s.map_address.size(); ++m)
        s.map_address[m] = r.map_address(static_cast<Map>(m));
    s.configured = r.configured();
    s.locked = r.locked(Clock::now());
    s.reset_count = r.reset_count();
    return s;
}

std::vector<ReceiverWrite> Card::receiver_writes(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->rx.at(input).writes();
}

void Card::clear_receiver_writes(uint32_t input) {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    impl_->rx.at(input).clear_writes();
}

uint8_t Card::receiver_register(uint32_t input, Map map, uint8_t sub_address) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->rx.at(input).register_value(map, sub_address, Clock::now());
}

}  // namespace sim
