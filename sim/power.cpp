// The function's power states as the bus sets them: in D3 the card keeps nothing; back in D0 it
// is as after power-on, its engines wherever they happen to come up.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

namespace sim {

using namespace regs;

// The card's state as power leaves it (no burst on the wire): engines stopped with their
// registers cleared and their units abandoned, receivers unconfigured, masters idle, nothing
// pending.
void Card::Impl::lose_state() {
    for (uint32_t n = 0; n < kInputs; ++n) {
        video[n].power_off();
        audio[n].power_off();
        rx[n].power_off();
        i2c[n]->power_on_reset();
    }
    status = 0;
    enable = 0;
    pending_messages = 0;
}

// As lose_state, with the engines wherever they come up.
void Card::Impl::power_on() {
    lose_state();
    const CardConfig& c = card.config_;
    for (uint32_t n = 0; n < kInputs; ++n) {
        const uint32_t block = static_cast<uint32_t>(positions() % kAudioBlockCount);
        const uint32_t buffer = static_cast<uint32_t>(positions() % kVideoBuffers);
        audio[n].block = c.audio_start_block[n].value_or(block) & kAudioBlockMask;
        audio[n].show_position();
        video[n].next = c.video_start_buffer[n].value_or(buffer) % kVideoBuffers;
    }
    frames_at_power_on = frames;
    units_at_power_on = units_total;
    blocks_at_power_on = blocks_total;
}

void Card::set_power(host::DevicePower state) {
    if (state == host::DevicePower::D1 || state == host::DevicePower::D2) return;
    {
        std::unique_lock<host::sched::Mutex> lk(impl_->mu);
        Impl& d = *impl_;
        const bool off = state == host::DevicePower::D3;
        if (d.off == off) return;
        d.off = off;
        // A burst on the wire as the power changed is the last one of the engines' old lives.
        d.wait_engines_idle(lk);
        if (off)
            d.lose_state();
        else
            d.power_on();
        d.cv.notify_all();
        d.pace_cv.notify_all();
    }
    impl_->update_line();
}

host::DevicePower Card::power() const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->off ? host::DevicePower::D3 : host::DevicePower::D0;
}

}  // namespace sim
