// When units happen: the pacing threads (real time, on the card's own clock; or as fast as the
// consumer acknowledges), and the steps of manual pacing that tests drive.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

#include <pthread.h>
#include <ctime>

namespace sim {

namespace {

constexpr uint32_t kDeliveryTimeoutMs = 2000;
constexpr uint32_t kAudioReplayBlocks = regs::kAudioBlockCount / 2;  // half the ring (see Card::pacer_loop)
constexpr uint32_t kVideoReplayUnits = regs::kVideoBuffers;          // a whole ring

// A unit (video frame or field, audio block) lands in host memory in pieces spread evenly over its
// period (Card::kVideoPieces, Card::kAudioPieces), in order; the interrupt bit rises with the last
// piece. Video pieces are whole lines. Paced in real time, the pieces go out in bursts.
constexpr uint32_t kVideoBursts = 8;  // of Card::kVideoPieces / 8 pieces each
constexpr uint32_t kAudioBursts = 4;  // of Card::kAudioPieces / 4 pieces each
static_assert(Card::kVideoPieces % kVideoBursts == 0 && Card::kAudioPieces % kAudioBursts == 0);

// Audio the engine moves in a second: 48 kHz stereo, 16 bits.
constexpr int64_t kAudioBytesPerSecond = 192'000;
constexpr uint32_t kDefaultAudioBlockBytes = 1920;  // 10 ms, while no block size is programmed

}  // namespace

std::chrono::nanoseconds Card::Impl::video_period(uint32_t n) const {
    std::lock_guard<host::sched::Mutex> lk(mu);
    double fps = sources[n].config.fps > 0.5 ? sources[n].config.fps : 60.0;
    return std::chrono::nanoseconds(static_cast<int64_t>(1e9 / fps));
}

std::chrono::nanoseconds Card::Impl::audio_period(uint32_t n) const {
    std::lock_guard<host::sched::Mutex> lk(mu);
    uint32_t b = audio[n].block_bytes;
    if (b == 0 || b > kMaxAudioBytes) b = kDefaultAudioBlockBytes;
    return std::chrono::nanoseconds(static_cast<int64_t>(b) * 1'000'000'000 / kAudioBytesPerSecond);
}

uint32_t Card::Impl::delivered(uint32_t produced) {
    if (produced && card.interrupt_enabled() && !interrupts_held()) card.line_->wait_quiet(kDeliveryTimeoutMs);
    return produced;
}

void Card::start() {
    if (config_.pacing == Pacing::Manual || pacer_running_.exchange(true)) return;
    for (uint32_t n = 0; n < kInputs; ++n)
        pacers_.emplace_back("pacer", [this, n] { pacer_loop(n); });
}

void Card::stop() {
    if (!pacer_running_.exchange(false)) return;
    {
        std::lock_guard<host::sched::Mutex> lk(impl_->mu);
        impl_->cv.notify_all();
        impl_->pace_cv.notify_all();
    }
    for (auto& t : pacers_)
        t.join();
    pacers_.clear();
}

void Card::pacer_loop(uint32_t n) {
    // Hardware keeps its own time: a controlled run never delays it.
    host::sched::never_delayed();
    // The pacers keep the normal policy even where the host uses real-time priorities: their
    // writes stand for bus-master DMA, which takes no processor time on hardware. Above the
    // passive level they preempted the driver's own copies (measured: four 1080p60 inputs, video
    // p99 from interrupt to completion 0.8-1.2 ms with the pacers at normal priority, 1.8-2.5 ms
    // with them above the interrupt thread).
    Impl& d = *impl_;
    if (config_.pacing == Pacing::Realtime) {
        // The engines run on the card's own clock: a unit's pieces land across its period and it
        // completes at the period's end whether or not the host has served the interrupt of the
        // one before (the status bit stays set, the causes merge). A pacing thread that woke late
        // writes at once what fell due meanwhile, as the card would have; past a whole ring of
        // lateness the time is not replayed (the host was away longer than the card keeps
        // anything). Audio replays at most half its ring: a real engine completes one block in
        // 10 ms, and a burst of a whole ring (sixteen blocks between two looks of a routine that
        // is on time) is something no card does; the time beyond is a pause of the source, which
        // the driver sees as time without blocks. An engine takes a unit only at its start: it
        // waits for the source's next frame (or block) boundary.
        //
        // In real time the engines write in bursts of several pieces (kVideoBursts a unit,
        // kAudioBursts a block), each when its share of the period has passed: the memory still
        // fills progressively across the period, and the pacers wake a few times a unit instead
        // of once a piece (their wake-ups were most of the model's processor time).
        struct Slot {
            Clock::time_point start;
            uint32_t written = 0;  // pieces of this period handed to the engine
        };
        // Runs what fell due on one engine; returns when it next has something to do.
        auto run_due = [](Slot& slot, Clock::duration period, uint32_t pieces, uint32_t bursts, uint32_t ring,
                          auto advance) {
            const uint32_t per_burst = pieces / bursts;
            const auto now = Clock::now();
            bool writing = true;
            for (uint32_t units = 0; now >= slot.start;) {
                const auto elapsed = now - slot.start;
                const auto due =
                    elapsed >= period ? pieces : static_cast<uint32_t>(elapsed * bursts / period) * per_burst;
                if (due > slot.written) {
                    writing = advance(due - slot.written, slot.written == 0);
                    slot.written = due;
                }
                if (slot.written < pieces) break;
                slot = Slot{slot.start + period};
                if (++units >= ring && now >= slot.start) {
                    slot = Slot{now};
                    break;
                }
            }
            // An engine that took no unit this period sleeps to the next boundary.
            if (!writing && slot.written > 0) return slot.start + period;
            // The first moment at which the burst is due by the test above: rounded up, or a
            // pacer on a clock that does not move by itself (a controlled run) would wake a
            // nanosecond before it, find nothing due and wait for that same moment again forever.
            const auto next = period * (slot.written / per_burst + 1);
            return slot.start + (next + Clock::duration(bursts - 1)) / bursts;
        };
        auto origin = Clock::now();
        if (config_.clock_phase) {
            // Nothing is due before the origin: the pacer's first wake-up is a burst after it.
            const Clock::duration second = std::chrono::seconds(1);
            auto past = (origin - Clock::start() - *config_.clock_phase) % second;
            if (past < Clock::duration::zero()) past += second;
            if (past != Clock::duration::zero()) origin += second - past;
        }
        Slot video{origin}, audio{origin};
        auto due_at = origin;
        while (pacer_running_.load()) {
            // How late this thread woke against the first thing that fell due: a starved pacer
            // shows up here before it shows up as lost units.
            const auto late = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - due_at).count();
            uint64_t worst = pacing_late_max_ns_.load();
            while (late > 0 && uint64_t(late) > worst &&
                   !pacing_late_max_ns_.compare_exchange_weak(worst, uint64_t(late))) {
            }
            const auto next_video = run_due(video, d.video_period(n), kVideoPieces, kVideoBursts, kVideoReplayUnits,
                                            [&](uint32_t k, bool begin) {
                                                bool writing = false;
                                                d.advance_video(n, k, begin, &writing);
                                                return writing;
                                            });
            const auto next_audio = run_due(audio, d.audio_period(n), kAudioPieces, kAudioBursts, kAudioReplayBlocks,
                                            [&](uint32_t k, bool begin) {
                                                bool writing = false;
                                                d.advance_audio(n, k, begin, &writing);
                                                return writing;
                                            });
            due_at = std::min(next_video, next_audio);
            std::unique_lock<host::sched::Mutex> lk(d.mu);
            d.pace_cv.wait_until(lk, due_at, [&] { return !pacer_running_.load(); });
        }
        return;
    }
    // As fast as the consumer allows: the next unit comes once the previous one is acknowledged.
    while (pacer_running_.load()) {
        bool did = false;
        if (d.video_ready(n)) did |= (d.tick_video(n), true);
        if (d.audio_ready(n)) did |= (d.tick_audio(n), true);
        if (!did) {
            std::unique_lock<host::sched::Mutex> lk(d.mu);
            d.cv.wait_for(lk, std::chrono::milliseconds(5), [&] { return !pacer_running_.load(); });
        }
    }
}

// --- manual pacing ---

uint32_t Card::step_video(uint32_t input) {
    if (input >= kInputs) return 0;
    return impl_->delivered(impl_->tick_video(input));
}

uint32_t Card::advance_video(uint32_t input, uint32_t pieces) {
    if (input >= kInputs) return 0;
    return impl_->delivered(impl_->advance_video(input, pieces, true));
}

uint32_t Card::advance_audio(uint32_t input, uint32_t pieces) {
    if (input >= kInputs) return 0;
    return impl_->delivered(impl_->advance_audio(input, pieces, true));
}

uint32_t Card::step_audio(uint32_t input, uint32_t count) {
    if (input >= kInputs) return 0;
    uint32_t produced = 0;
    for (uint32_t i = 0; i < count; ++i)
        produced += impl_->delivered(impl_->tick_audio(input));
    return produced;
}

// The model's own cost: processor time of the pacing threads.
uint64_t Card::pacing_cpu_ns() const {
    uint64_t total = 0;
    for (const host::sched::Thread& t : pacers_) {
        clockid_t id;
        timespec ts;
        if (pthread_getcpuclockid(const_cast<host::sched::Thread&>(t).native_handle(), &id) == 0 &&
            clock_gettime(id, &ts) == 0)
            total += static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
    }
    return total;
}

}  // namespace sim
