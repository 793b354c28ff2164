// The video DMA engines: their registers, starting and stopping, and the frames or fields they
// write into the ring of three buffers.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

namespace sim {

using namespace regs;

uint64_t VideoEngine::address(uint32_t index) const {
    switch (index) {
    case 0: return bus_address(addr0_hi, addr0_lo);
    case 1: return addr1_lo;
    default: return addr2_lo;
    }
}

uint32_t VideoEngine::read_register(uint32_t reg, const RegisterVariant& variant) {
    switch (reg) {
    case kVideoBlock: {
        const uint32_t value = status;
        if (variant.video_read_clears_field) status &= ~kVideoBottomField;
        return value;
    }
    case kVideoAddr0High: return addr0_hi;
    case kVideoAddr0Low: return addr0_lo;
    case kVideoUnitBytes: return unit_bytes;
    case kVideoAddr1Low: return addr1_lo;
    case kVideoAddr2Low: return addr2_lo;
    default: return 0;
    }
}

bool VideoEngine::write_register(uint32_t reg, uint32_t value) {
    switch (reg) {
    case kVideoBlock: control = value; return true;
    case kVideoAddr0High: addr0_hi = value; return true;
    case kVideoAddr0Low: addr0_lo = value; return true;
    case kVideoUnitBytes: unit_bytes = value; return true;
    case kVideoAddr1Low: addr1_lo = value; return true;
    case kVideoAddr2Low: addr2_lo = value; return true;
    default: return false;
    }
}

// Registers cleared and the unit abandoned; the ring position stays where it was.
void VideoEngine::power_off() {
    control = enable = 0;
    addr0_hi = addr0_lo = addr1_lo = addr2_lo = 0;
    unit_bytes = 0;
    status = 0;
    need_top = true;
    unit.active = false;
    ++generation;
}

void Card::Impl::write_video_register(uint32_t n, uint32_t reg, uint32_t value,
                                      std::unique_lock<host::sched::Mutex>& lk) {
    const bool was = video[n].running();
    if (video[n].write_register(reg, value)) video_transition(n, was, lk);
}

void Card::Impl::set_video_enable(uint32_t n, uint32_t value, std::unique_lock<host::sched::Mutex>& lk) {
    const bool was = video[n].running();
    video[n].enable = value & kOn;
    video_transition(n, was, lk);
}

void Card::Impl::video_transition(uint32_t n, bool was, std::unique_lock<host::sched::Mutex>& lk) {
    VideoEngine& e = video[n];
    if (e.running() == was) return;
    ++e.generation;
    if (e.running()) {
        // The buffer index carries on from where the engine stopped.
        e.need_top = true;
    } else {
        // A stopped engine has finished its last burst: the driver may free the buffers next.
        cv.wait(lk, [&] { return !e.busy; });
    }
    cv.notify_all();
}

bool Card::Impl::video_ready(uint32_t n) const {
    std::lock_guard<host::sched::Mutex> lk(mu);
    const VideoEngine& e = video[n];
    return !dead() && sources[n].config.cable && e.running() && e.unit_bytes != 0 && rx[n].locked(Clock::now()) &&
           (status & video_cause(n)) == 0;
}

bool Card::Impl::begin_video(uint32_t n) {
    Source& s = sources[n];
    if (!s.config.cable || dead()) return false;
    const SourceConfig cfg = s.config;
    const uint64_t unit = s.unit++;
    const uint64_t frame = cfg.interlaced ? unit / 2 : unit;
    const uint32_t field = cfg.interlaced ? static_cast<uint32_t>(unit & 1) : 0;
    VideoEngine& e = video[n];
    if (!e.running() || e.unit_bytes == 0 || !rx[n].locked(Clock::now())) return false;
    if (cfg.interlaced && field == 1 && e.need_top) return false;
    e.need_top = false;
    UnitInProgress& u = e.unit;
    u.index = e.next;
    u.field = field;
    u.address = e.address(u.index);
    u.length = std::min<size_t>(e.unit_bytes, cfg.unit_bytes());
    u.align = std::max<size_t>(size_t{cfg.width} * 2, 1);
    u.pieces = kVideoPieces;
    u.data = patterns[n].render(n, cfg.width, cfg.height, cfg.interlaced, frame, field).data();
    return start_unit(u, e.generation, s.generation);
}

uint32_t Card::Impl::advance_video(uint32_t n, uint32_t pieces, bool may_begin, bool* writing) {
    std::lock_guard<host::sched::Mutex> producer(producer_mu[n]);
    std::unique_lock<host::sched::Mutex> lk(mu);
    VideoEngine& e = video[n];
    if (e.unit.active && e.unit.stale(e.generation, sources[n].generation)) e.unit.active = false;
    if (!e.unit.active && (!may_begin || !begin_video(n))) return 0;
    const bool completed = write_pieces(e.unit, e.busy, e.generation, n, pieces, lk);
    if (writing) *writing = e.unit.active;
    if (!completed) return 0;
    const SourceConfig& cfg = sources[n].config;
    const uint32_t index = e.unit.index, field = e.unit.field;
    e.next = (index + 1) % kVideoBuffers;
    // Progressive: the buffer just completed. Interlaced: the buffer written next, so the two
    // before it hold the top and the bottom field of the latest frame.
    if (!(card.config_.variant.block_register_held && (status & video_cause(n))))
        e.status = cfg.interlaced ? (e.next | (field ? kVideoBottomField : 0)) : index;
    ++units[n];
    ++units_total;
    if (!cfg.interlaced || field == 1) ++frames[n];
    raise(video_cause(n));
    lk.unlock();
    update_line();
    return 1;
}

// --- inspection ---

uint64_t Card::video_units_produced(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->units.at(input);
}

uint64_t Card::frames_produced(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->frames.at(input);
}

bool Card::wait_video_units(uint32_t input, uint64_t count, uint32_t timeout_ms) {
    std::unique_lock<host::sched::Mutex> lk(impl_->mu);
    return impl_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                              [&] { return impl_->units.at(input) >= count; });
}

bool Card::video_engine_running(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->video.at(input).running();
}

}  // namespace sim
