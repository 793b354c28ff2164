// The audio DMA engines: their registers, starting and stopping, and the blocks they write into
// the ring.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

namespace sim {

using namespace regs;

uint32_t AudioEngine::read_register(uint32_t reg) const {
    switch (reg) {
    case kAudioBlock: return status;
    case kAudioRingBytes: return ring_bytes;
    case kAudioAddrHigh: return addr_hi;
    case kAudioAddrLow: return addr_lo;
    case kAudioBlockBytes: return block_bytes;
    default: return 0;
    }
}

bool AudioEngine::write_register(uint32_t reg, uint32_t value) {
    switch (reg) {
    case kAudioBlock: control = value; return true;
    case kAudioRingBytes: ring_bytes = value; return true;
    case kAudioAddrHigh: addr_hi = value; return true;
    case kAudioAddrLow: addr_lo = value; return true;
    case kAudioBlockBytes: block_bytes = value; return true;
    default: return false;
    }
}

// Registers cleared and the unit abandoned; the block counter stays where it was.
void AudioEngine::power_off() {
    control = enable = 0;
    ring_bytes = addr_hi = addr_lo = block_bytes = 0;
    unit.active = false;
    ++generation;
}

void Card::Impl::write_audio_register(uint32_t n, uint32_t reg, uint32_t value,
                                      std::unique_lock<host::sched::Mutex>& lk) {
    const bool was = audio[n].running();
    if (audio[n].write_register(reg, value)) audio_transition(n, was, lk);
}

void Card::Impl::set_audio_enable(uint32_t n, uint32_t value, std::unique_lock<host::sched::Mutex>& lk) {
    const bool was = audio[n].running();
    audio[n].enable = value & kOn;
    audio_transition(n, was, lk);
}

void Card::Impl::audio_transition(uint32_t n, bool was, std::unique_lock<host::sched::Mutex>& lk) {
    AudioEngine& a = audio[n];
    if (a.running() == was) return;
    ++a.generation;
    if (a.running()) {
        // The block counter carries on from where the engine stopped; a ring of another
        // size takes it modulo its own block count at the first block.
        a.show_position();
    } else {
        cv.wait(lk, [&] { return !a.busy; });
    }
    cv.notify_all();
}

bool Card::Impl::audio_ready(uint32_t n) const {
    std::lock_guard<host::sched::Mutex> lk(mu);
    const AudioEngine& a = audio[n];
    return !dead() && sources[n].config.cable && a.running() && a.block_bytes != 0 && rx[n].locked(Clock::now()) &&
           (status & audio_cause(n)) == 0;
}

bool Card::Impl::begin_audio(uint32_t n) {
    Source& s = sources[n];
    AudioEngine& a = audio[n];
    if (dead() || !s.config.cable || !a.running() || !rx[n].locked(Clock::now())) return false;
    const uint32_t block_bytes = a.block_bytes;
    if (block_bytes == 0 || block_bytes > kMaxAudioBytes || a.ring_bytes > kMaxAudioBytes || a.ring_bytes < block_bytes)
        return false;
    const uint32_t ring_blocks = a.ring_bytes / block_bytes;
    UnitInProgress& u = a.unit;
    u.index = a.block % ring_blocks;
    u.address = bus_address(a.addr_hi, a.addr_lo) + static_cast<uint64_t>(u.index) * block_bytes;
    u.length = block_bytes;
    u.align = 4;  // whole sample frames
    u.pieces = kAudioPieces;
    auto& scratch = audio_scratch[n];
    scratch.resize(block_bytes);
    render_audio(n, s.audio_bytes, scratch.data(), block_bytes);
    s.audio_bytes += block_bytes;
    u.data = scratch.data();
    return start_unit(u, a.generation, s.generation);
}

uint32_t Card::Impl::advance_audio(uint32_t n, uint32_t pieces, bool may_begin, bool* writing) {
    std::lock_guard<host::sched::Mutex> producer(producer_mu[n]);
    std::unique_lock<host::sched::Mutex> lk(mu);
    AudioEngine& a = audio[n];
    if (a.unit.active && a.unit.stale(a.generation, sources[n].generation)) a.unit.active = false;
    if (!a.unit.active && (!may_begin || !begin_audio(n))) return 0;
    const bool completed = write_pieces(a.unit, a.busy, a.generation, n, pieces, lk);
    if (writing) *writing = a.unit.active;
    if (!completed) return 0;
    const uint32_t ring_blocks = std::max<uint32_t>(a.block_bytes ? a.ring_bytes / a.block_bytes : 1, 1);
    a.block = (a.unit.index + 1) % ring_blocks;
    if (!(card.config_.variant.block_register_held && (status & audio_cause(n)))) a.show_position();
    ++blocks[n];
    ++blocks_total;
    raise(audio_cause(n));
    lk.unlock();
    update_line();
    return 1;
}

// --- inspection ---

uint64_t Card::audio_blocks_produced(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->blocks.at(input);
}

uint64_t Card::audio_frames_rendered(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->sources.at(input).audio_bytes / 4;
}

bool Card::wait_audio_blocks(uint32_t input, uint64_t count, uint32_t timeout_ms) {
    std::unique_lock<host::sched::Mutex> lk(impl_->mu);
    return impl_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                              [&] { return impl_->blocks.at(input) >= count; });
}

bool Card::audio_engine_running(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->audio.at(input).running();
}

}  // namespace sim
