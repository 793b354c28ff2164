// The card's interrupt: status and enable registers, the line (level-sensitive) or messages
// (MSI, one per newly latched cause, merging while a cause is pending), and the faults of both:
// delivery late or held back, spurious, shared, storming and suppressed interrupts.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

#include <bit>

namespace sim {

using namespace regs;

namespace {

host::InterruptLine::Mode line_mode(InterruptMode mode) {
    return mode == InterruptMode::Level ? host::InterruptLine::Mode::LevelSensitive
                                        : host::InterruptLine::Mode::MessageSignalled;
}

}  // namespace

std::unique_ptr<host::InterruptLine> Card::Impl::make_line(InterruptMode mode) {
    const auto kind = line_mode(mode);
    auto line = card.wiring_.make_line ? card.wiring_.make_line(kind) : host::create_interrupt_line(kind);
    line->set_delivery_hook([this](const std::function<bool()>& stopping) { delay_delivery(stopping); });
    return line;
}

void Card::Impl::raise(uint32_t bits) {
    uint32_t newly = bits & ~status;
    status |= bits;
    if (card.config_.interrupt_mode == InterruptMode::Message && (enable & kOn) && !suppressed)
        pending_messages += static_cast<uint32_t>(std::popcount(newly & kCauseMask));
    cv.notify_all();
}

void Card::Impl::update_line() {
    std::lock_guard<host::sched::RecursiveMutex> g(line_mu);
    bool level;
    uint32_t messages;
    {
        std::lock_guard<host::sched::Mutex> lk(mu);
        level = (enable & kOn) && !suppressed && !dead() && (status & kCauseMask) != 0;
        messages = dead() ? 0 : pending_messages;
        pending_messages = 0;
    }
    if (card.line_->mode() == host::InterruptLine::Mode::LevelSensitive) {
        if (level != line_level) {
            line_level = level;
            card.line_->set_level(level);
        }
    } else {
        while (messages-- > 0)
            card.line_->signal_message();
    }
}

void Card::Impl::write_interrupt_status(uint32_t value) {
    // Writing a bit acknowledges it; a storming cause comes straight back.
    status &= ~(value & kCauseMask);
    if (storm & value) raise(storm & value);
    cv.notify_all();
}

void Card::Impl::write_interrupt_enable(uint32_t value) {
    const bool was = enable & kOn;
    enable = value & kOn;
    if (!was && (enable & kOn) && (status & kCauseMask) && !suppressed &&
        card.config_.interrupt_mode == InterruptMode::Message)
        ++pending_messages;  // causes that latched while masked are announced on unmasking
}

// --- delivery timing ---

void Card::Impl::set_timing(const InterruptTiming& t) {
    std::lock_guard<host::sched::Mutex> lk(timing_mu);
    timing = t;
    timing_rng.seed(t.seed);
    deliveries = 0;
}

bool Card::Impl::interrupts_held() {
    std::lock_guard<host::sched::Mutex> lk(timing_mu);
    return held;
}

void Card::Impl::delay_delivery(const std::function<bool()>& stopping) {
    std::unique_lock<host::sched::Mutex> lk(timing_mu);
    ++deliveries;
    uint64_t us = timing.latency_us;
    if (timing.random_latency && us > 0) us = timing_rng() % (us + 1);
    if (stall_next_ms > 0) {
        us += uint64_t{stall_next_ms} * 1000;
        stall_next_ms = 0;
    } else if (timing.stall_every > 0 && deliveries % timing.stall_every == 0) {
        us += uint64_t{timing.stall_ms} * 1000;
    }
    if (us == 0 && !held) return;
    const auto deadline = Clock::now() + std::chrono::microseconds(us);
    // Short slices: a disconnect must not wait for a long stall or a hold.
    constexpr auto kSlice = std::chrono::milliseconds(1);
    while (!stopping()) {
        const auto now = Clock::now();
        if (!held && now >= deadline) break;
        timing_cv.wait_until(lk, held ? now + kSlice : std::min(deadline, now + kSlice));
    }
}

void Card::set_interrupt_timing(const InterruptTiming& timing) { impl_->set_timing(timing); }

InterruptTiming Card::interrupt_timing() const {
    std::lock_guard<host::sched::Mutex> lk(impl_->timing_mu);
    return impl_->timing;
}

void Card::stall_next_interrupt(uint32_t ms) {
    std::lock_guard<host::sched::Mutex> lk(impl_->timing_mu);
    impl_->stall_next_ms = ms;
}

void Card::hold_interrupts(bool held) {
    std::lock_guard<host::sched::Mutex> lk(impl_->timing_mu);
    impl_->held = held;
    impl_->timing_cv.notify_all();
}

// --- the line's kind (a rebalance) ---

void Card::set_interrupt_mode(InterruptMode mode) {
    std::unique_ptr<host::InterruptLine> old;
    {
        std::lock_guard<host::sched::RecursiveMutex> g(impl_->line_mu);
        std::lock_guard<host::sched::Mutex> lk(impl_->mu);
        if (config_.interrupt_mode == mode) return;
        config_.interrupt_mode = mode;
        old = std::move(line_);
        line_ = impl_->make_line(mode);
        impl_->line_level = false;
        impl_->pending_messages = 0;
        if (wiring_.register_on_bus) {
            host::unregister_interrupt_line(old.get());
            vector_ = host::register_interrupt_line(line_.get());
        }
    }
    impl_->update_line();
}

// --- interrupt faults ---

void Card::inject_spurious_interrupt() {
    if (line_->mode() == host::InterruptLine::Mode::MessageSignalled)
        line_->signal_message();
    else
        line_->inject_foreign();
}

void Card::inject_shared_interrupt() { line_->inject_foreign(); }

void Card::set_interrupt_storm(uint32_t status_bits) {
    {
        std::lock_guard<host::sched::Mutex> lk(impl_->mu);
        impl_->storm = status_bits & kCauseMask;
        if (impl_->storm) impl_->raise(impl_->storm);
    }
    impl_->update_line();
}

void Card::set_interrupts_suppressed(bool suppressed) {
    {
        std::lock_guard<host::sched::Mutex> lk(impl_->mu);
        impl_->suppressed = suppressed;
    }
    impl_->update_line();
}

void Card::start_line_noise() {
    noise_running_.store(true);
    noise_ = host::sched::Thread("noise", [this] {
        // Another device on the same line keeps raising it, as a sound or network chip does.
        host::sched::never_delayed();
        std::unique_lock<host::sched::Mutex> lk(noise_mu_);
        while (noise_running_.load()) {
            line_->inject_foreign();
            noise_cv_.wait_for(lk, std::chrono::milliseconds(1), [&] { return !noise_running_.load(); });
        }
    });
}

void Card::stop_line_noise() {
    {
        std::lock_guard<host::sched::Mutex> lk(noise_mu_);
        noise_running_.store(false);
        noise_cv_.notify_all();
    }
    if (noise_.joinable()) noise_.join();
}

// --- inspection ---

uint32_t Card::interrupt_status() const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->status;
}

bool Card::interrupt_enabled() const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->enable & kOn;
}

}  // namespace sim
