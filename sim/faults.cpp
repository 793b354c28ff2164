// Per-input fault knobs (receiver absent or misidentified, an I2C master stuck or failing
// transfers) and surprise removal. The interrupt's faults are with the interrupt
// (interrupts.cpp).
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

namespace sim {

void Card::apply_faults_locked(uint32_t n, const InputFaults& f) {
    impl_->faults[n] = f;
    impl_->rx[n].set_absent(f.receiver_absent);
    impl_->rx[n].set_wrong_id(f.wrong_id);
    impl_->i2c[n]->set_stuck_busy(f.i2c_stuck_busy);
    impl_->i2c[n]->fail_next(f.i2c_fail_next);
}

void Card::set_faults(uint32_t input, const InputFaults& faults) {
    if (input >= kInputs) return;
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    apply_faults_locked(input, faults);
}

InputFaults Card::faults(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    InputFaults f = impl_->faults.at(input);
    f.i2c_fail_next = impl_->i2c[input]->fail_next_remaining();
    return f;
}

void Card::set_receiver_absent(uint32_t input, bool absent) {
    InputFaults f = faults(input);
    f.receiver_absent = absent;
    set_faults(input, f);
}

void Card::set_wrong_id(uint32_t input, bool wrong) {
    InputFaults f = faults(input);
    f.wrong_id = wrong;
    set_faults(input, f);
}

void Card::set_i2c_stuck_busy(uint32_t input, bool stuck) {
    InputFaults f = faults(input);
    f.i2c_stuck_busy = stuck;
    set_faults(input, f);
}

void Card::fail_next_i2c_transfers(uint32_t input, uint32_t count) {
    InputFaults f = faults(input);
    f.i2c_fail_next = count;
    set_faults(input, f);
}

// --- surprise removal ---

void Card::unplug(bool shared_line_keeps_firing) {
    {
        // The card's line goes with the link, at the same instant: it falls before a register can
        // read all ones, and no pacer raises it again meanwhile (the line is updated under
        // line_mu). A level left up for a moment would be served by a routine that reads all ones
        // and claims nothing, and the host would take the unclaimed level for an interrupt storm.
        std::lock_guard<host::sched::RecursiveMutex> line(impl_->line_mu);
        {
            std::lock_guard<host::sched::Mutex> lk(impl_->mu);
            if (impl_->removed) return;
        }
        if (line_->mode() == host::InterruptLine::Mode::LevelSensitive && impl_->line_level) {
            impl_->line_level = false;
            line_->set_level(false);
        }
        {
            std::lock_guard<host::sched::Mutex> lk(impl_->mu);
            impl_->removed = true;
        }
    }
    // Only now: a routine called while the card was still there may claim what it found.
    line_->set_device_gone(true);
    impl_->update_line();
    {
        std::unique_lock<host::sched::Mutex> lk(impl_->mu);
        // A burst on the wire when the link went down is the last one: once this returns,
        // nothing of the card reaches host memory any more.
        impl_->wait_engines_idle(lk);
        impl_->cv.notify_all();
    }
    if (shared_line_keeps_firing) start_line_noise();
}

void Card::unplug_after_read(uint32_t offset) { unplug_after_read_.store(regs::window_offset(offset)); }

bool Card::removed() const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->removed;
}

}  // namespace sim
