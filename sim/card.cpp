// The card: register window decoding, interrupt status/enable and the line, wiring of the I2C
// masters, receivers, DMA engines and sources, and the pacing threads.
#include "sim/card.h"

#include <pthread.h>
#include <unistd.h>
#include <ctime>

#include "sim/i2c_master.h"
#include "sim/pattern.h"
#include "sim/receiver.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kRegStatusWord0 = 0x0000;
constexpr uint32_t kRegRate13 = 0x0020;   // inputs 1 (bits 31..24) and 3 (bits 15..8)
constexpr uint32_t kRegRate02 = 0x0024;   // inputs 0 (bits 31..24) and 2 (bits 15..8)
constexpr uint32_t kRegVersion = 0x0040;
constexpr uint32_t kRegVideoTotal = 0x0044;
constexpr uint32_t kRegAudioTotal = 0x0048;
constexpr uint32_t kRegIntStatus = 0xC000;
constexpr uint32_t kRegIntEnable = 0xC004;
constexpr uint32_t kI2cBase = 0x4000;
constexpr uint32_t kAudioBase[kInputs] = {0x8000, 0xA000, 0x8800, 0xA800};
constexpr uint32_t kVideoBase[kInputs] = {0x9000, 0xB000, 0x9800, 0xB800};
constexpr uint32_t kBlockSpan = 0x800;
constexpr uint32_t kAudioEnable0 = 0xC018;
constexpr uint32_t kVideoEnable0 = 0xC01C;
constexpr uint32_t kVersion = 0x00010004;
constexpr uint32_t kAllOnes = 0xFFFFFFFFu;   // what a read of a card that is gone completes with
constexpr uint32_t kCauseMask = 0xFFF;
constexpr uint32_t kBottomField = 1u << 24;
constexpr uint32_t kMaxAudioBytes = 1u << 20;   // larger rings or blocks are refused, not allocated
constexpr size_t kMaxLog = 1u << 20;
constexpr uint32_t kDeliveryTimeoutMs = 2000;
constexpr uint32_t kAudioReplayBlocks = 8;       // half the ring of 16 (see Card::pacer_loop)

// A unit (video frame or field, audio block) lands in host memory in pieces spread evenly over its
// period (Card::kVideoPieces, Card::kAudioPieces), in order; the interrupt bit rises with the last
// piece. Video pieces are whole lines. Paced in real time, the pieces go out in bursts.
constexpr uint32_t kVideoBursts = 8;   // of Card::kVideoPieces / 8 pieces each
constexpr uint32_t kAudioBursts = 4;   // of Card::kAudioPieces / 4 pieces each
static_assert(Card::kVideoPieces % kVideoBursts == 0 && Card::kAudioPieces % kAudioBursts == 0);

constexpr uint32_t i2c_bit(uint32_t n) { return 1u << n; }
constexpr uint32_t audio_bit(uint32_t n) { return 1u << (4 + 2 * n); }
constexpr uint32_t video_bit(uint32_t n) { return 1u << (5 + 2 * n); }

// The unit an engine is writing: where it goes, what it holds, how far the engine got.
struct UnitInProgress {
    bool active = false;
    uint64_t address = 0;
    const uint8_t* data = nullptr;
    size_t length = 0;
    size_t align = 1;                // pieces end on multiples of this (a line, a sample frame)
    uint32_t pieces = 1, written = 0;
    uint64_t engine_generation = 0, source_generation = 0;
    uint32_t index = 0, field = 0;   // video: ring buffer and field parity

    size_t bound(uint32_t piece) const {
        if (piece >= pieces) return length;
        return std::min(length, length * piece / pieces / align * align);
    }
};

struct VideoEngine {
    uint32_t control = 0, enable = 0;
    uint32_t addr0_hi = 0, addr0_lo = 0, addr1_lo = 0, addr2_lo = 0;
    uint32_t unit_bytes = 0;
    uint32_t status = 0;
    uint32_t next = 0;          // ring position of the next unit
    bool need_top = true;       // an interlaced capture begins with a top field
    bool busy = false;          // a piece is being written
    UnitInProgress unit;
    uint64_t generation = 0;    // bumped at every start and stop
    bool running() const { return (control & 1) && (enable & 1); }
    uint64_t address(uint32_t index) const {
        switch (index) {
        case 0: return (static_cast<uint64_t>(addr0_hi) << 32) | addr0_lo;
        case 1: return addr1_lo;
        default: return addr2_lo;
        }
    }
};

struct AudioEngine {
    uint32_t control = 0, enable = 0;
    uint32_t ring_bytes = 0, addr_hi = 0, addr_lo = 0, block_bytes = 0;
    uint32_t status = 0;
    uint32_t block = 0;         // block written next
    bool busy = false;
    UnitInProgress unit;
    uint64_t generation = 0;
    bool running() const { return (control & 1) && (enable & 1); }
};

struct Source {
    SourceConfig config;
    uint64_t unit = 0;          // units sent since the source was connected
    uint64_t audio_bytes = 0;   // audio stream position
    uint64_t generation = 0;    // bumped when another source is connected
};

}  // namespace

struct Card::Impl {
    explicit Impl(Card& c) : card(c) {
        for (uint32_t n = 0; n < kInputs; ++n) i2c[n] = std::make_unique<I2cMaster>(rx[n]);
    }

    Card& card;
    mutable std::mutex mu;
    std::condition_variable cv;
    // The pacers of real-time pacing sleep on a condition of their own: every piece written
    // notifies `cv`, and waking all four pacers for each cost more processor time than the writes.
    std::condition_variable pace_cv;
    const Clock::time_point created = Clock::now();

    uint32_t status = 0;
    uint32_t enable = 0;
    uint32_t storm = 0;
    bool suppressed = false;
    uint32_t pending_messages = 0;
    // Pulled out of its slot: the link is down, so every read completes with all ones, writes
    // go nowhere, and no engine transfers or interrupts again.
    bool removed = false;
    // In D3: the window answers as if the card were gone, and it keeps nothing of its state.
    bool off = false;
    bool dead() const { return removed || off; }
    // Where engines come up at power-on (seeded by the start seed).
    std::mt19937_64 positions;
    // The card's own counters (status word, totals) restart at power-on; the ones tests read
    // do not.
    std::array<uint64_t, kInputs> frames_at_power_on{};
    uint64_t units_at_power_on = 0, blocks_at_power_on = 0;

    std::array<Receiver, kInputs> rx;
    std::array<std::unique_ptr<I2cMaster>, kInputs> i2c;
    std::array<InputFaults, kInputs> faults{};
    std::array<VideoEngine, kInputs> video{};
    std::array<AudioEngine, kInputs> audio{};
    std::array<Source, kInputs> sources{};
    std::array<uint64_t, kInputs> units{}, frames{}, blocks{}, dma_failures{};
    uint64_t units_total = 0, blocks_total = 0;

    std::atomic<bool> log_on{false};
    std::vector<AccessRecord> log;
    std::vector<uint32_t> log_only;   // offsets logged; all when empty

    std::recursive_mutex line_mu;
    bool line_level = false;

    // Interrupt delivery timing; its own lock, as the hook runs on the platform's interrupt thread.
    std::mutex timing_mu;
    std::condition_variable timing_cv;
    InterruptTiming timing;
    std::mt19937_64 timing_rng;
    uint64_t deliveries = 0;
    uint32_t stall_next_ms = 0;
    bool held = false;

    void set_timing(const InterruptTiming& t) {
        std::lock_guard<std::mutex> lk(timing_mu);
        timing = t;
        timing_rng.seed(t.seed);
        deliveries = 0;
    }

    bool interrupts_held() {
        std::lock_guard<std::mutex> lk(timing_mu);
        return held;
    }

    void delay_delivery(const std::function<bool()>& stopping) {
        std::unique_lock<std::mutex> lk(timing_mu);
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

    std::array<std::mutex, kInputs> producer_mu;
    std::array<VideoPattern, kInputs> patterns;
    std::array<std::vector<uint8_t>, kInputs> audio_scratch;

    // --- interrupt status (mu held) ---
    void raise(uint32_t bits) {
        uint32_t newly = bits & ~status;
        status |= bits;
        if (card.config_.interrupt_mode == InterruptMode::Message && (enable & 1) && !suppressed)
            pending_messages += static_cast<uint32_t>(std::popcount(newly & kCauseMask));
        cv.notify_all();
    }

    // Brings the line in step with the status; never called with mu held.
    void update_line() {
        std::lock_guard<std::recursive_mutex> g(line_mu);
        bool level;
        uint32_t messages;
        {
            std::lock_guard<std::mutex> lk(mu);
            level = (enable & 1) && !suppressed && !dead() && (status & kCauseMask) != 0;
            messages = dead() ? 0 : pending_messages;
            pending_messages = 0;
        }
        if (card.line_->mode() == host::InterruptLine::Mode::LevelSensitive) {
            if (level != line_level) {
                line_level = level;
                card.line_->set_level(level);
            }
        } else {
            while (messages-- > 0) card.line_->signal_message();
        }
    }

    bool dma(uint64_t address, const void* data, size_t length) {
        if (card.wiring_.dma_write) return card.wiring_.dma_write(address, data, length);
        return host::dma_write(address, data, length);
    }

    // --- register window (mu held) ---
    uint32_t fpga_status_word(uint32_t n, Clock::time_point now) const {
        const auto& s = sources[n].config;
        uint32_t v = 0;
        if (s.cable) v |= 1u << 0;
        if (rx[n].locked(now)) v |= 1u << 1;
        if (s.cable && s.interlaced) v |= 1u << 2;
        if (video[n].running()) v |= 1u << 3;
        if (audio[n].running()) v |= 1u << 4;
        v |= static_cast<uint32_t>((frames[n] - frames_at_power_on[n]) & 0xFFFF) << 16;
        return v;
    }

    // Measured rate of one input: whole units per second, then hundredths; 0 without a signal.
    uint32_t rate_field(uint32_t n, Clock::time_point now) const {
        if (!rx[n].locked(now)) return 0;
        double fps = std::clamp(sources[n].config.fps, 0.0, 255.0);
        uint32_t whole = static_cast<uint32_t>(std::floor(fps));
        uint32_t hundredths = std::min(99u, static_cast<uint32_t>(std::lround((fps - whole) * 100.0)));
        return (whole << 8) | hundredths;
    }

    void set_video_register(uint32_t n, uint32_t reg, uint32_t value, std::unique_lock<std::mutex>& lk) {
        VideoEngine& e = video[n];
        bool was = e.running();
        switch (reg) {
        case 0x00: e.control = value; break;
        case 0x08: e.addr0_hi = value; break;
        case 0x0C: e.addr0_lo = value; break;
        case 0x10: e.unit_bytes = value; break;
        case 0x3C: e.addr1_lo = value; break;
        case 0x40: e.addr2_lo = value; break;
        default: return;
        }
        video_transition(n, was, lk);
    }

    void video_transition(uint32_t n, bool was, std::unique_lock<std::mutex>& lk) {
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

    void set_audio_register(uint32_t n, uint32_t reg, uint32_t value, std::unique_lock<std::mutex>& lk) {
        AudioEngine& a = audio[n];
        bool was = a.running();
        switch (reg) {
        case 0x00: a.control = value; break;
        case 0x04: a.ring_bytes = value; break;
        case 0x08: a.addr_hi = value; break;
        case 0x0C: a.addr_lo = value; break;
        case 0x10: a.block_bytes = value; break;
        default: return;
        }
        audio_transition(n, was, lk);
    }

    void audio_transition(uint32_t n, bool was, std::unique_lock<std::mutex>& lk) {
        AudioEngine& a = audio[n];
        if (a.running() == was) return;
        ++a.generation;
        if (a.running()) {
            // The block counter carries on from where the engine stopped; a ring of another
            // size takes it modulo its own block count at the first block.
            a.status = a.block & 0xF;
        } else {
            cv.wait(lk, [&] { return !a.busy; });
        }
        cv.notify_all();
    }

    // The card's state as power leaves it (mu held, no burst on the wire): engines stopped with
    // their registers cleared and their units abandoned, receivers unconfigured, masters idle,
    // nothing pending.
    void lose_state() {
        for (uint32_t n = 0; n < kInputs; ++n) {
            VideoEngine& e = video[n];
            e.control = e.enable = 0;
            e.addr0_hi = e.addr0_lo = e.addr1_lo = e.addr2_lo = 0;
            e.unit_bytes = 0;
            e.status = 0;
            e.need_top = true;
            e.unit.active = false;
            ++e.generation;
            AudioEngine& a = audio[n];
            a.control = a.enable = 0;
            a.ring_bytes = a.addr_hi = a.addr_lo = a.block_bytes = 0;
            a.unit.active = false;
            ++a.generation;
            rx[n].power_off();
            i2c[n]->power_on_reset();
        }
        status = 0;
        enable = 0;
        pending_messages = 0;
    }

    // Power-on (mu held): as lose_state, with the engines wherever they come up.
    void power_on() {
        lose_state();
        const CardConfig& c = card.config_;
        for (uint32_t n = 0; n < kInputs; ++n) {
            const uint32_t block = static_cast<uint32_t>(positions() % 16);
            const uint32_t buffer = static_cast<uint32_t>(positions() % 3);
            audio[n].block = c.audio_start_block[n].value_or(block) & 0xF;
            audio[n].status = audio[n].block;
            video[n].next = c.video_start_buffer[n].value_or(buffer) % 3;
        }
        frames_at_power_on = frames;
        units_at_power_on = units_total;
        blocks_at_power_on = blocks_total;
    }

    void record(uint32_t offset, uint32_t value, bool is_write) {
        if (!log_on.load(std::memory_order_relaxed) || log.size() >= kMaxLog) return;
        if (!log_only.empty() && std::find(log_only.begin(), log_only.end(), offset) == log_only.end()) return;
        uint64_t t = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - created).count();
        thread_local const uint32_t self = static_cast<uint32_t>(gettid());
        log.push_back({offset, value, t, self, is_write});
    }

    // --- production ---
    bool video_ready(uint32_t n) const {
        std::lock_guard<std::mutex> lk(mu);
        const VideoEngine& e = video[n];
        return !dead() && sources[n].config.cable && e.running() && e.unit_bytes != 0 && rx[n].locked(Clock::now()) &&
               (status & video_bit(n)) == 0;
    }

    bool audio_ready(uint32_t n) const {
        std::lock_guard<std::mutex> lk(mu);
        const AudioEngine& a = audio[n];
        return !dead() && sources[n].config.cable && a.running() && a.block_bytes != 0 && rx[n].locked(Clock::now()) &&
               (status & audio_bit(n)) == 0;
    }

    // Starts the source's next unit on the engine (mu held). False when the engine takes none.
    bool begin_video(uint32_t n) {
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

    bool begin_audio(uint32_t n) {
        Source& s = sources[n];
        AudioEngine& a = audio[n];
        if (dead() || !s.config.cable || !a.running() || !rx[n].locked(Clock::now())) return false;
        const uint32_t block_bytes = a.block_bytes;
        if (block_bytes == 0 || block_bytes > kMaxAudioBytes || a.ring_bytes > kMaxAudioBytes ||
            a.ring_bytes < block_bytes)
            return false;
        const uint32_t ring_blocks = a.ring_bytes / block_bytes;
        UnitInProgress& u = a.unit;
        u.index = a.block % ring_blocks;
        u.address = ((static_cast<uint64_t>(a.addr_hi) << 32) | a.addr_lo) + static_cast<uint64_t>(u.index) * block_bytes;
        u.length = block_bytes;
        u.align = 4;   // whole sample frames
        u.pieces = kAudioPieces;
        auto& scratch = audio_scratch[n];
        scratch.resize(block_bytes);
        render_audio(n, s.audio_bytes, scratch.data(), block_bytes);
        s.audio_bytes += block_bytes;
        u.data = scratch.data();
        return start_unit(u, a.generation, s.generation);
    }

    static bool start_unit(UnitInProgress& u, uint64_t engine_generation, uint64_t source_generation) {
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
    bool write_pieces(UnitInProgress& u, bool& busy, const uint64_t& engine_generation, uint32_t n, uint32_t pieces,
                      std::unique_lock<std::mutex>& lk) {
        if (pieces > 0 && u.written < u.pieces) {
            if (dead()) {
                u.active = false;   // link down or power off: the burst on the wire was the last one
                return false;
            }
            const uint32_t to = std::min(u.pieces, u.written + pieces);
            const size_t from = u.bound(u.written), length = u.bound(to) - from;
            const uint64_t address = u.address + from;
            const uint8_t* data = u.data + from;
            busy = true;
            lk.unlock();
            const bool ok = length == 0 || dma(address, data, length);
            lk.lock();
            busy = false;
            cv.notify_all();
            if (!ok) {
                ++dma_failures[n];
                u.active = false;
                return false;
            }
            if (u.engine_generation != engine_generation || u.source_generation != sources[n].generation) {
                u.active = false;   // stopped or re-sourced meanwhile: nothing is announced
                return false;
            }
            u.written = to;
        }
        if (u.written < u.pieces) return false;
        u.active = false;
        return true;
    }

    uint32_t advance_video(uint32_t n, uint32_t pieces, bool may_begin, bool* writing = nullptr) {
        std::lock_guard<std::mutex> producer(producer_mu[n]);
        std::unique_lock<std::mutex> lk(mu);
        VideoEngine& e = video[n];
        if (e.unit.active && (e.unit.engine_generation != e.generation ||
                              e.unit.source_generation != sources[n].generation))
            e.unit.active = false;
        if (!e.unit.active && (!may_begin || !begin_video(n))) return 0;
        const bool completed = write_pieces(e.unit, e.busy, e.generation, n, pieces, lk);
        if (writing) *writing = e.unit.active;
        if (!completed) return 0;
        const SourceConfig& cfg = sources[n].config;
        const uint32_t index = e.unit.index, field = e.unit.field;
        e.next = (index + 1) % 3;
        // Progressive: the buffer just completed. Interlaced: the buffer written next, so the two
        // before it hold the top and the bottom field of the latest frame.
        if (!(card.config_.variant.block_register_held && (status & video_bit(n))))
            e.status = cfg.interlaced ? (e.next | (field ? kBottomField : 0)) : index;
        ++units[n];
        ++units_total;
        if (!cfg.interlaced || field == 1) ++frames[n];
        raise(video_bit(n));
        lk.unlock();
        update_line();
        return 1;
    }

    uint32_t advance_audio(uint32_t n, uint32_t pieces, bool may_begin, bool* writing = nullptr) {
        std::lock_guard<std::mutex> producer(producer_mu[n]);
        std::unique_lock<std::mutex> lk(mu);
        AudioEngine& a = audio[n];
        if (a.unit.active && (a.unit.engine_generation != a.generation ||
                              a.unit.source_generation != sources[n].generation))
            a.unit.active = false;
        if (!a.unit.active && (!may_begin || !begin_audio(n))) return 0;
        const bool completed = write_pieces(a.unit, a.busy, a.generation, n, pieces, lk);
        if (writing) *writing = a.unit.active;
        if (!completed) return 0;
        const uint32_t ring_blocks = std::max<uint32_t>(a.block_bytes ? a.ring_bytes / a.block_bytes : 1, 1);
        a.block = (a.unit.index + 1) % ring_blocks;
        if (!(card.config_.variant.block_register_held && (status & audio_bit(n)))) a.status = a.block & 0xF;
        ++blocks[n];
        ++blocks_total;
        raise(audio_bit(n));
        lk.unlock();
        update_line();
        return 1;
    }

    // The unit in progress to its end, or a whole new one.
    uint32_t tick_video(uint32_t n) { return advance_video(n, kVideoPieces, true); }
    uint32_t tick_audio(uint32_t n) { return advance_audio(n, kAudioPieces, true); }

    std::chrono::nanoseconds video_period(uint32_t n) const {
        std::lock_guard<std::mutex> lk(mu);
        double fps = sources[n].config.fps > 0.5 ? sources[n].config.fps : 60.0;
        return std::chrono::nanoseconds(static_cast<int64_t>(1e9 / fps));
    }

    std::chrono::nanoseconds audio_period(uint32_t n) const {
        std::lock_guard<std::mutex> lk(mu);
        uint32_t b = audio[n].block_bytes;
        if (b == 0 || b > kMaxAudioBytes) b = 1920;
        return std::chrono::nanoseconds(static_cast<int64_t>(b) * 1'000'000'000 / 192'000);
    }
};

// ---------------------------------------------------------------------------------------------

Card::Card(const CardConfig& config, Wiring wiring) : config_(config), wiring_(std::move(wiring)) {
    if (config_.settle_ms < 0) config_.settle_ms = config_.pacing == Pacing::Manual ? 0 : 50;
    const auto mode = config_.interrupt_mode == InterruptMode::Level ? host::InterruptLine::Mode::LevelSensitive
                                                                     : host::InterruptLine::Mode::MessageSignalled;
    line_ = wiring_.make_line ? wiring_.make_line(mode) : host::create_interrupt_line(mode);
    impl_ = std::make_unique<Impl>(*this);
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
    impl_->set_timing(config_.interrupt_timing);
    line_->set_delivery_hook([d = impl_.get()](const std::function<bool()>& stopping) { d->delay_delivery(stopping); });
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

void Card::apply_faults_locked(uint32_t n, const InputFaults& f) {
    impl_->faults[n] = f;
    impl_->rx[n].set_absent(f.receiver_absent);
    impl_->rx[n].set_wrong_id(f.wrong_id);
    impl_->i2c[n]->set_stuck_busy(f.i2c_stuck_busy);
    impl_->i2c[n]->fail_next(f.i2c_fail_next);
}

uint32_t Card::read32(uint32_t offset) {
    offset &= (kWindowLength - 1) & ~3u;
    uint32_t value = 0;
    bool line_dirty = false;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        Impl& d = *impl_;
        if (d.dead()) {
            d.record(offset, kAllOnes, false);
            return kAllOnes;
        }
        if (offset - kRegStatusWord0 <= 0x0C) {
            value = d.fpga_status_word(offset / 4, Clock::now());
        } else if (offset == kRegRate13) {
            const auto now = Clock::now();
            value = d.rate_field(1, now) << 16 | d.rate_field(3, now);
        } else if (offset == kRegRate02) {
            const auto now = Clock::now();
            value = d.rate_field(0, now) << 16 | d.rate_field(2, now);
        } else if (offset == kRegVersion) {
            value = kVersion;
        } else if (offset == kRegVideoTotal) {
            value = static_cast<uint32_t>(d.units_total - d.units_at_power_on);
        } else if (offset == kRegAudioTotal) {
            value = static_cast<uint32_t>(d.blocks_total - d.blocks_at_power_on);
        } else if (offset >= kI2cBase && offset < kI2cBase + kInputs * 0x1000) {
            uint32_t n = (offset - kI2cBase) / 0x1000, reg = offset & 0xFFF;
            if (reg == 0x0) {
                bool completed = false;
                value = d.i2c[n]->read_status(&completed);
                if (completed) {
                    d.raise(i2c_bit(n));
                    line_dirty = true;
                }
            } else if (reg == 0x4) {
                value = d.i2c[n]->read_data();
            }
        } else if (offset == kRegIntStatus) {
            value = d.status;
        } else if (offset == kRegIntEnable) {
            value = d.enable;
        } else if (offset >= kAudioEnable0 && offset <= kVideoEnable0 + 8 * (kInputs - 1)) {
            uint32_t rel = offset - kAudioEnable0;
            uint32_t n = rel / 8;
            value = (rel % 8 == 0) ? d.audio[n].enable : d.video[n].enable;
        } else {
            for (uint32_t n = 0; n < kInputs; ++n) {
                if (offset >= kVideoBase[n] && offset < kVideoBase[n] + kBlockSpan) {
                    VideoEngine& e = d.video[n];
                    switch (offset - kVideoBase[n]) {
                    case 0x00:
                        value = e.status;
                        if (config_.variant.video_read_clears_field) e.status &= ~kBottomField;
                        break;
                    case 0x08: value = e.addr0_hi; break;
                    case 0x0C: value = e.addr0_lo; break;
                    case 0x10: value = e.unit_bytes; break;
                    case 0x3C: value = e.addr1_lo; break;
                    case 0x40: value = e.addr2_lo; break;
                    default: break;
                    }
                } else if (offset >= kAudioBase[n] && offset < kAudioBase[n] + kBlockSpan) {
                    const AudioEngine& a = d.audio[n];
                    switch (offset - kAudioBase[n]) {
                    case 0x00: value = a.status; break;
                    case 0x04: value = a.ring_bytes; break;
                    case 0x08: value = a.addr_hi; break;
                    case 0x0C: value = a.addr_lo; break;
                    case 0x10: value = a.block_bytes; break;
                    default: break;
                    }
                }
            }
        }
        d.record(offset, value, false);
    }
    if (line_dirty) impl_->update_line();
    int64_t armed = offset;
    if (unplug_after_read_.load() == armed && unplug_after_read_.compare_exchange_strong(armed, -1)) unplug();
    return value;
}

void Card::write32(uint32_t offset, uint32_t value) {
    offset &= (kWindowLength - 1) & ~3u;
    bool line_dirty = false;
    {
        std::unique_lock<std::mutex> lk(impl_->mu);
        Impl& d = *impl_;
        if (d.removed) return;
        d.record(offset, value, true);
        // Powered down: the write reached the card's slot and went no further.
        if (d.off) return;
        if (offset >= kI2cBase && offset < kI2cBase + kInputs * 0x1000) {
            uint32_t n = (offset - kI2cBase) / 0x1000, reg = offset & 0xFFF;
            if (reg == 0x0) {
                if (d.i2c[n]->write_command(value)) {
                    d.raise(i2c_bit(n));
                    line_dirty = true;
                }
            } else if (reg == 0x4) {
                d.i2c[n]->write_data(value);
            }
        } else if (offset == kRegIntStatus) {
            // Writing a bit acknowledges it; a storming cause comes straight back.
            d.status &= ~(value & kCauseMask);
            if (d.storm & value) d.raise(d.storm & value);
            d.cv.notify_all();
            line_dirty = true;
        } else if (offset == kRegIntEnable) {
            bool was = d.enable & 1;
            d.enable = value & 1;
            if (!was && (d.enable & 1) && (d.status & kCauseMask) && !d.suppressed &&
                config_.interrupt_mode == InterruptMode::Message)
                ++d.pending_messages;   // causes that latched while masked are announced on unmasking
            line_dirty = true;
        } else if (offset >= kAudioEnable0 && offset <= kVideoEnable0 + 8 * (kInputs - 1)) {
            uint32_t rel = offset - kAudioEnable0;
            uint32_t n = rel / 8;
            if (rel % 8 == 0) {
                bool was = d.audio[n].running();
                d.audio[n].enable = value & 1;
                d.audio_transition(n, was, lk);
            } else if (rel % 8 == 4) {
                bool was = d.video[n].running();
                d.video[n].enable = value & 1;
                d.video_transition(n, was, lk);
            }
        } else {
            for (uint32_t n = 0; n < kInputs; ++n) {
                if (offset >= kVideoBase[n] && offset < kVideoBase[n] + kBlockSpan)
                    d.set_video_register(n, offset - kVideoBase[n], value, lk);
                else if (offset >= kAudioBase[n] && offset < kAudioBase[n] + kBlockSpan)
                    d.set_audio_register(n, offset - kAudioBase[n], value, lk);
            }
        }
    }
    if (line_dirty) impl_->update_line();
}

// --- sources and faults ---

void Card::set_source(uint32_t input, const SourceConfig& source) {
    if (input >= kInputs) return;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
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
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->sources.at(input).config;
}

void Card::set_faults(uint32_t input, const InputFaults& faults) {
    if (input >= kInputs) return;
    std::lock_guard<std::mutex> lk(impl_->mu);
    apply_faults_locked(input, faults);
}

InputFaults Card::faults(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
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

void Card::inject_spurious_interrupt() {
    if (line_->mode() == host::InterruptLine::Mode::MessageSignalled)
        line_->signal_message();
    else
        line_->inject_foreign();
}

void Card::inject_shared_interrupt() { line_->inject_foreign(); }

// --- removal ---

void Card::unplug(bool shared_line_keeps_firing) {
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        if (impl_->removed) return;
        impl_->removed = true;
    }
    // The card's line goes with the link, at once: a level held up while a burst drains would
    // be served by a routine that reads all ones and claims nothing, and the host would take the
    // unclaimed level for an interrupt storm.
    line_->set_device_gone(true);
    impl_->update_line();
    {
        std::unique_lock<std::mutex> lk(impl_->mu);
        Impl& d = *impl_;
        // A burst on the wire when the link went down is the last one: once this returns,
        // nothing of the card reaches host memory any more.
        d.cv.wait(lk, [&] {
            return std::none_of(d.video.begin(), d.video.end(), [](const VideoEngine& e) { return e.busy; }) &&
                   std::none_of(d.audio.begin(), d.audio.end(), [](const AudioEngine& a) { return a.busy; });
        });
        d.cv.notify_all();
    }
    if (shared_line_keeps_firing) {
        noise_running_.store(true);
        noise_ = std::thread([this] {
            // Another device on the same line keeps raising it, as a sound or network chip does.
            std::unique_lock<std::mutex> lk(noise_mu_);
            while (noise_running_.load()) {
                line_->inject_foreign();
                noise_cv_.wait_for(lk, std::chrono::milliseconds(1), [&] { return !noise_running_.load(); });
            }
        });
    }
}

void Card::unplug_after_read(uint32_t offset) { unplug_after_read_.store(offset & (kWindowLength - 1) & ~3u); }

uint64_t Card::move_window() {
    if (!wiring_.register_on_bus) return mmio_physical_;
    const uint64_t old = mmio_physical_;
    mmio_physical_ = host::register_mmio(this, kWindowLength);
    host::unregister_mmio(old);
    return mmio_physical_;
}

void Card::set_interrupt_mode(InterruptMode mode) {
    const auto line_mode = mode == InterruptMode::Level ? host::InterruptLine::Mode::LevelSensitive
                                                        : host::InterruptLine::Mode::MessageSignalled;
    std::unique_ptr<host::InterruptLine> old;
    {
        std::lock_guard<std::recursive_mutex> g(impl_->line_mu);
        std::lock_guard<std::mutex> lk(impl_->mu);
        if (config_.interrupt_mode == mode) return;
        config_.interrupt_mode = mode;
        old = std::move(line_);
        line_ = wiring_.make_line ? wiring_.make_line(line_mode) : host::create_interrupt_line(line_mode);
        line_->set_delivery_hook(
            [d = impl_.get()](const std::function<bool()>& stopping) { d->delay_delivery(stopping); });
        impl_->line_level = false;
        impl_->pending_messages = 0;
        if (wiring_.register_on_bus) {
            host::unregister_interrupt_line(old.get());
            vector_ = host::register_interrupt_line(line_.get());
        }
    }
    impl_->update_line();
}

bool Card::removed() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->removed;
}

void Card::set_power(host::DevicePower state) {
    if (state == host::DevicePower::D1 || state == host::DevicePower::D2) return;
    {
        std::unique_lock<std::mutex> lk(impl_->mu);
        Impl& d = *impl_;
        const bool off = state == host::DevicePower::D3;
        if (d.off == off) return;
        d.off = off;
        // A burst on the wire as the power changed is the last one of the engines' old lives.
        d.cv.wait(lk, [&] {
            return std::none_of(d.video.begin(), d.video.end(), [](const VideoEngine& e) { return e.busy; }) &&
                   std::none_of(d.audio.begin(), d.audio.end(), [](const AudioEngine& a) { return a.busy; });
        });
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
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->off ? host::DevicePower::D3 : host::DevicePower::D0;
}

void Card::stop_line_noise() {
    {
        std::lock_guard<std::mutex> lk(noise_mu_);
        noise_running_.store(false);
        noise_cv_.notify_all();
    }
    if (noise_.joinable()) noise_.join();
}

void Card::set_interrupt_storm(uint32_t status_bits) {
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->storm = status_bits & kCauseMask;
        if (impl_->storm) impl_->raise(impl_->storm);
    }
    impl_->update_line();
}

void Card::set_interrupts_suppressed(bool suppressed) {
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->suppressed = suppressed;
    }
    impl_->update_line();
}

void Card::set_interrupt_timing(const InterruptTiming& timing) { impl_->set_timing(timing); }

InterruptTiming Card::interrupt_timing() const {
    std::lock_guard<std::mutex> lk(impl_->timing_mu);
    return impl_->timing;
}

void Card::stall_next_interrupt(uint32_t ms) {
    std::lock_guard<std::mutex> lk(impl_->timing_mu);
    impl_->stall_next_ms = ms;
}

void Card::hold_interrupts(bool held) {
    std::lock_guard<std::mutex> lk(impl_->timing_mu);
    impl_->held = held;
    impl_->timing_cv.notify_all();
}

// --- pacing ---

void Card::start() {
    if (config_.pacing == Pacing::Manual || pacer_running_.exchange(true)) return;
    for (uint32_t n = 0; n < kInputs; ++n) pacers_.emplace_back([this, n] { pacer_loop(n); });
}

void Card::stop() {
    if (!pacer_running_.exchange(false)) return;
    {
        std::lock_guard<std::mutex> lk(impl_->mu);
        impl_->cv.notify_all();
        impl_->pace_cv.notify_all();
    }
    for (auto& t : pacers_) t.join();
    pacers_.clear();
}

void Card::pacer_loop(uint32_t n) {
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
            uint32_t written = 0;   // pieces of this period handed to the engine
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
            return slot.start + period * (slot.written / per_burst + 1) / bursts;
        };
        const auto origin = Clock::now();
        Slot video{origin}, audio{origin};
        auto due_at = origin;
        while (pacer_running_.load()) {
            // How late this thread woke against the first thing that fell due: a starved pacer
            // shows up here before it shows up as lost units.
            const auto late = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - due_at).count();
            uint64_t worst = pacing_late_max_ns_.load();
            while (late > 0 && uint64_t(late) > worst && !pacing_late_max_ns_.compare_exchange_weak(worst, uint64_t(late))) {
            }
            const auto next_video = run_due(video, d.video_period(n), kVideoPieces, kVideoBursts, 3, [&](uint32_t k, bool begin) {
                bool writing = false;
                d.advance_video(n, k, begin, &writing);
                return writing;
            });
            const auto next_audio = run_due(audio, d.audio_period(n), kAudioPieces, kAudioBursts, kAudioReplayBlocks, [&](uint32_t k, bool begin) {
                bool writing = false;
                d.advance_audio(n, k, begin, &writing);
                return writing;
            });
            due_at = std::min(next_video, next_audio);
            std::unique_lock<std::mutex> lk(d.mu);
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
            std::unique_lock<std::mutex> lk(d.mu);
            d.cv.wait_for(lk, std::chrono::milliseconds(5), [&] { return !pacer_running_.load(); });
        }
    }
}

uint32_t Card::step_video(uint32_t input) {
    if (input >= kInputs) return 0;
    uint32_t produced = impl_->tick_video(input);
    if (produced && interrupt_enabled() && !impl_->interrupts_held()) line_->wait_quiet(kDeliveryTimeoutMs);
    return produced;
}

uint32_t Card::advance_video(uint32_t input, uint32_t pieces) {
    if (input >= kInputs) return 0;
    uint32_t produced = impl_->advance_video(input, pieces, true);
    if (produced && interrupt_enabled() && !impl_->interrupts_held()) line_->wait_quiet(kDeliveryTimeoutMs);
    return produced;
}

uint32_t Card::advance_audio(uint32_t input, uint32_t pieces) {
    if (input >= kInputs) return 0;
    uint32_t produced = impl_->advance_audio(input, pieces, true);
    if (produced && interrupt_enabled() && !impl_->interrupts_held()) line_->wait_quiet(kDeliveryTimeoutMs);
    return produced;
}

uint32_t Card::step_audio(uint32_t input, uint32_t count) {
    if (input >= kInputs) return 0;
    uint32_t produced = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t p = impl_->tick_audio(input);
        produced += p;
        if (p && interrupt_enabled() && !impl_->interrupts_held()) line_->wait_quiet(kDeliveryTimeoutMs);
    }
    return produced;
}

// --- counters and inspection ---

uint64_t Card::video_units_produced(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->units.at(input);
}
uint64_t Card::frames_produced(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->frames.at(input);
}
uint64_t Card::pacing_cpu_ns() const {
    uint64_t total = 0;
    for (const std::thread& t : pacers_) {
        clockid_t id;
        timespec ts;
        if (pthread_getcpuclockid(const_cast<std::thread&>(t).native_handle(), &id) == 0 && clock_gettime(id, &ts) == 0)
            total += static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
    }
    return total;
}
uint64_t Card::audio_blocks_produced(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->blocks.at(input);
}
uint64_t Card::dma_failures(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->dma_failures.at(input);
}
I2cCounters Card::i2c_counters(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->i2c.at(input)->counters();
}
uint64_t Card::i2c_protocol_faults(uint32_t input) const { return i2c_counters(input).protocol_faults; }
std::vector<std::string> Card::i2c_protocol_fault_log(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->i2c.at(input)->fault_log();
}

bool Card::wait_video_units(uint32_t input, uint64_t count, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lk(impl_->mu);
    return impl_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                              [&] { return impl_->units.at(input) >= count; });
}
bool Card::wait_audio_blocks(uint32_t input, uint64_t count, uint32_t timeout_ms) {
    std::unique_lock<std::mutex> lk(impl_->mu);
    return impl_->cv.wait_for(lk, std::chrono::milliseconds(timeout_ms),
                              [&] { return impl_->blocks.at(input) >= count; });
}

void Card::set_access_log(bool on, std::vector<uint32_t> only) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->log_only = std::move(only);
    impl_->log_on.store(on);
}
std::vector<AccessRecord> Card::access_log() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->log;
}
void Card::clear_access_log() {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->log.clear();
}

ReceiverState Card::receiver_state(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    const Receiver& r = impl_->rx.at(input);
    ReceiverState s;
    for (size_t m = 0; m < s.map_address.size(); ++m) s.map_address[m] = r.map_address(static_cast<Map>(m));
    s.configured = r.configured();
    s.locked = r.locked(Clock::now());
    s.reset_count = r.reset_count();
    return s;
}
std::vector<ReceiverWrite> Card::receiver_writes(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->rx.at(input).writes();
}
void Card::clear_receiver_writes(uint32_t input) {
    std::lock_guard<std::mutex> lk(impl_->mu);
    impl_->rx.at(input).clear_writes();
}
uint8_t Card::receiver_register(uint32_t input, Map map, uint8_t sub_address) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->rx.at(input).register_value(map, sub_address, Clock::now());
}

bool Card::video_engine_running(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->video.at(input).running();
}
bool Card::audio_engine_running(uint32_t input) const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->audio.at(input).running();
}
uint32_t Card::interrupt_status() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->status;
}
bool Card::interrupt_enabled() const {
    std::lock_guard<std::mutex> lk(impl_->mu);
    return impl_->enable & 1;
}

}  // namespace sim
