// Private to sim/: the card's state, one struct its parts share, and where each part lives.
//
//   card.cpp          construction and wiring to the host bus, sources, receivers, I2C counters
//   registers.cpp     the register window: which register an offset is, and what a read or write does
//   interrupts.cpp    interrupt status and enable, the line or MSI, delivery timing and its faults
//   video_engine.cpp  the video DMA engines: registers, start and stop, frames and fields
//   audio_engine.cpp  the audio DMA engines: registers, start and stop, blocks in a ring
//   dma.cpp           what both engines share: a unit written into host memory in pieces
//   pacing.cpp        when units happen: real time, as fast as possible, or stepped by a test
//   power.cpp         D0 and D3: what the card loses and how it comes up
//   faults.cpp        per-input fault knobs and surprise removal
//   access_log.cpp    the register access log
//   config.cpp        parsing of sources, variants and the environment's defaults
//
// The register map itself is sim/card_registers.h.
#pragma once

#include "sim/card.h"
#include "platform/host/sched/sched.h"
#include "sim/card_registers.h"
#include "sim/i2c_master.h"
#include "sim/pattern.h"
#include "sim/receiver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

namespace sim {

using Clock = host::sched::Clock;

constexpr uint32_t kMaxAudioBytes = 1u << 20;  // larger rings or blocks are refused, not allocated

// The unit an engine is writing: where it goes, what it holds, how far the engine got.
struct UnitInProgress {
    bool active = false;
    uint64_t address = 0;
    const uint8_t* data = nullptr;
    size_t length = 0;
    size_t align = 1;  // pieces end on multiples of this (a line, a sample frame)
    uint32_t pieces = 1, written = 0;
    uint64_t engine_generation = 0, source_generation = 0;
    uint32_t index = 0, field = 0;  // video: ring buffer and field parity

    size_t bound(uint32_t piece) const {
        if (piece >= pieces) return length;
        return std::min(length, length * piece / pieces / align * align);
    }
    // The engine was stopped or started, or another source connected, since the unit began.
    bool stale(uint64_t engine, uint64_t source) const {
        return engine_generation != engine || source_generation != source;
    }
};

// Both halves of a bus address from two registers.
constexpr uint64_t bus_address(uint32_t high, uint32_t low) { return (static_cast<uint64_t>(high) << 32) | low; }

// One video engine (video_engine.cpp).
struct VideoEngine {
    uint32_t control = 0, enable = 0;
    uint32_t addr0_hi = 0, addr0_lo = 0, addr1_lo = 0, addr2_lo = 0;
    uint32_t unit_bytes = 0;
    uint32_t status = 0;
    uint32_t next = 0;     // ring position of the next unit
    bool need_top = true;  // an interlaced capture begins with a top field
    bool busy = false;     // a piece is being written
    UnitInProgress unit;
    uint64_t generation = 0;  // bumped at every start and stop
    bool running() const { return (control & regs::kOn) && (enable & regs::kOn); }
    uint64_t address(uint32_t index) const;
    // A register of the engine's block, by its offset in the block; 0 for one the engine lacks.
    uint32_t read_register(uint32_t reg, const RegisterVariant& variant);
    // False for a register the engine lacks (the write goes nowhere).
    bool write_register(uint32_t reg, uint32_t value);
    void power_off();
};

// One audio engine (audio_engine.cpp).
struct AudioEngine {
    uint32_t control = 0, enable = 0;
    uint32_t ring_bytes = 0, addr_hi = 0, addr_lo = 0, block_bytes = 0;
    uint32_t status = 0;
    uint32_t block = 0;  // block written next
    bool busy = false;
    UnitInProgress unit;
    uint64_t generation = 0;
    bool running() const { return (control & regs::kOn) && (enable & regs::kOn); }
    uint32_t read_register(uint32_t reg) const;
    bool write_register(uint32_t reg, uint32_t value);
    void power_off();
    // The block register shows the block written next, in its 4-bit field.
    void show_position() { status = block & regs::kAudioBlockMask; }
};

struct Source {
    SourceConfig config;
    uint64_t unit = 0;         // units sent since the source was connected
    uint64_t audio_bytes = 0;  // audio stream position
    uint64_t generation = 0;   // bumped when another source is connected
};

struct Card::Impl {
    explicit Impl(Card& c) : card(c) {
        for (uint32_t n = 0; n < kInputs; ++n)
            i2c[n] = std::make_unique<I2cMaster>(rx[n]);
    }

    Card& card;
    mutable host::sched::Mutex mu;
    host::sched::CondVar cv;
    // The pacers of real-time pacing sleep on a condition of their own: every piece written
    // notifies `cv`, and waking all four pacers for each cost more processor time than the writes.
    host::sched::CondVar pace_cv;
    const Clock::time_point created = Clock::now();

    // --- interrupts (interrupts.cpp; mu, line_mu and timing_mu as marked) ---
    uint32_t status = 0;
    uint32_t enable = 0;
    uint32_t storm = 0;
    bool suppressed = false;
    uint32_t pending_messages = 0;

    // --- power and removal (power.cpp, faults.cpp) ---
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

    // --- the parts of each input ---
    std::array<Receiver, kInputs> rx;
    std::array<std::unique_ptr<I2cMaster>, kInputs> i2c;
    std::array<InputFaults, kInputs> faults{};
    std::array<VideoEngine, kInputs> video{};
    std::array<AudioEngine, kInputs> audio{};
    std::array<Source, kInputs> sources{};
    std::array<uint64_t, kInputs> units{}, frames{}, blocks{}, dma_failures{};
    uint64_t units_total = 0, blocks_total = 0;

    // --- access log (access_log.cpp) ---
    std::atomic<bool> log_on{false};
    std::vector<AccessRecord> log;
    std::vector<uint32_t> log_only;  // offsets logged; all when empty

    // --- the line (interrupts.cpp) ---
    host::sched::RecursiveMutex line_mu;
    bool line_level = false;

    // Interrupt delivery timing; its own lock, as the hook runs on the platform's interrupt thread.
    host::sched::Mutex timing_mu;
    host::sched::CondVar timing_cv;
    InterruptTiming timing;
    std::mt19937_64 timing_rng;
    uint64_t deliveries = 0;
    uint32_t stall_next_ms = 0;
    bool held = false;

    // --- production (video_engine.cpp, audio_engine.cpp, dma.cpp) ---
    std::array<host::sched::Mutex, kInputs> producer_mu;
    std::array<VideoPattern, kInputs> patterns;
    std::array<std::vector<uint8_t>, kInputs> audio_scratch;

    // interrupts.cpp
    // A line of the given kind with the card's delivery timing on it.
    std::unique_ptr<host::InterruptLine> make_line(InterruptMode mode);
    void raise(uint32_t bits);                    // mu held
    void update_line();                           // brings the line in step with the status; never with mu held
    void write_interrupt_status(uint32_t value);  // mu held; the line needs an update after it
    void write_interrupt_enable(uint32_t value);  // mu held; the line needs an update after it
    void set_timing(const InterruptTiming& t);
    bool interrupts_held();
    void delay_delivery(const std::function<bool()>& stopping);

    // registers.cpp (mu held)
    uint32_t fpga_status_word(uint32_t n, Clock::time_point now) const;
    uint32_t rate_field(uint32_t n, Clock::time_point now) const;

    // video_engine.cpp
    void write_video_register(uint32_t n, uint32_t reg, uint32_t value, std::unique_lock<host::sched::Mutex>& lk);
    void set_video_enable(uint32_t n, uint32_t value, std::unique_lock<host::sched::Mutex>& lk);
    void video_transition(uint32_t n, bool was, std::unique_lock<host::sched::Mutex>& lk);
    bool video_ready(uint32_t n) const;
    bool begin_video(uint32_t n);  // mu held; false when the engine takes no unit
    uint32_t advance_video(uint32_t n, uint32_t pieces, bool may_begin, bool* writing = nullptr);
    // The unit in progress to its end, or a whole new one.
    uint32_t tick_video(uint32_t n) { return advance_video(n, kVideoPieces, true); }

    // audio_engine.cpp
    void write_audio_register(uint32_t n, uint32_t reg, uint32_t value, std::unique_lock<host::sched::Mutex>& lk);
    void set_audio_enable(uint32_t n, uint32_t value, std::unique_lock<host::sched::Mutex>& lk);
    void audio_transition(uint32_t n, bool was, std::unique_lock<host::sched::Mutex>& lk);
    bool audio_ready(uint32_t n) const;
    bool begin_audio(uint32_t n);  // mu held
    uint32_t advance_audio(uint32_t n, uint32_t pieces, bool may_begin, bool* writing = nullptr);
    uint32_t tick_audio(uint32_t n) { return advance_audio(n, kAudioPieces, true); }

    // dma.cpp
    bool dma(uint64_t address, const void* data, size_t length);
    static bool start_unit(UnitInProgress& u, uint64_t engine_generation, uint64_t source_generation);
    bool write_pieces(UnitInProgress& u, bool& busy, const uint64_t& engine_generation, uint32_t n, uint32_t pieces,
                      std::unique_lock<host::sched::Mutex>& lk);
    // Waits until no engine has a burst on the wire (mu held through `lk`).
    void wait_engines_idle(std::unique_lock<host::sched::Mutex>& lk);

    // pacing.cpp
    std::chrono::nanoseconds video_period(uint32_t n) const;
    std::chrono::nanoseconds audio_period(uint32_t n) const;
    // A unit (or units) a test stepped: returns once its interrupt is delivered.
    uint32_t delivered(uint32_t produced);

    // power.cpp (mu held)
    void lose_state();
    void power_on();

    // access_log.cpp (mu held)
    void record(uint32_t offset, uint32_t value, bool is_write);
};

}  // namespace sim
