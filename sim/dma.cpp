// What both DMA engines share: a unit (a frame or field, an audio block) written into host memory
// by bus address, in pieces spread over its period, dropped when the engine stops or the source
// changes under it.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

namespace sim {

bool Card::Impl::dma(uint64_t address, const void* data, size_t length) {
    if (card.wiring_.dma_write) return card.wiring_.dma_write(address, data, length);
    return host::dma_write(address, data, length);
}

bool Card::Impl::start_unit(UnitInProgress& u, uint64_t engine_generation, uint64_t source_generation) {
    u.active = true;
    u.written = 0;
    u.engine_generation = engine_generation;
    u.source_generation = source_generation;
    return true;
}

// Writes the next `pieces` pieces of the unit in progress (fewer at its end) as one burst on
// the bus. The engine drops a unit when it is stopped or the source changes under it. Result:
// whether the unit completed (mu held; the lock is let go around the write, as the bus
// transfer takes time).
bool Card::Impl::write_pieces(UnitInProgress& u, bool& busy, const uint64_t& engine_generation, uint32_t n,
                              uint32_t pieces, std::unique_lock<host::sched::Mutex>& lk) {
    if (pieces > 0 && u.written < u.pieces) {
        if (dead()) {
            u.active = false;  // link down or power off: the burst on the wire was the last one
            return false;
        }
        const uint32_t to = std::min(u.pieces, u.written + pieces);
        const size_t from = u.bound(u.written), length = u.bound(to) - from;
        const uint64_t address = u.address + from;
        const uint8_t* data = u.data + from;
        busy = true;
        lk.unlock();
        host::sched::point("card DMA piece");
        const bool ok = length == 0 || dma(address, data, length);
        lk.lock();
        busy = false;
        cv.notify_all();
        if (!ok) {
            ++dma_failures[n];
            u.active = false;
            return false;
        }
        if (u.stale(engine_generation, sources[n].generation)) {
            u.active = false;  // stopped or re-sourced meanwhile: nothing is announced
            return false;
        }
        u.written = to;
    }
    if (u.written < u.pieces) return false;
    u.active = false;
    return true;
}

void Card::Impl::wait_engines_idle(std::unique_lock<host::sched::Mutex>& lk) {
    cv.wait(lk, [&] {
        return std::none_of(video.begin(), video.end(), [](const VideoEngine& e) { return e.busy; }) &&
               std::none_of(audio.begin(), audio.end(), [](const AudioEngine& a) { return a.busy; });
    });
}

uint64_t Card::dma_failures(uint32_t input) const {
    std::lock_guard<host::sched::Mutex> lk(impl_->mu);
    return impl_->dma_failures.at(input);
}

}  // namespace sim
