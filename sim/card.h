// The simulated capture card: one 64 KiB register window, one interrupt line, four I2C masters
// with a receiver each, four video and four audio DMA engines, and an HDMI source per input.
// It reaches the host only through platform/host/bus/bus.h.
#pragma once

#include "platform/host/bus/bus.h"
#include "platform/host/sched/sched.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace sim {

constexpr uint32_t kInputs = 4;
constexpr uint32_t kWindowLength = 0x10000;

// What an HDMI source sends into one input.
struct SourceConfig {
    bool cable = true;
    uint32_t width = 1920;
    uint32_t height = 1080;  // frame height; an interlaced unit is one field of height / 2 lines
    bool interlaced = false;
    double fps = 60.0;       // units per second: frames/s progressive, fields/s interlaced ("i60")
    uint8_t audio_code = 2;  // sampling-frequency code the receiver reports (2 = 48 kHz)

    uint32_t unit_lines() const { return interlaced ? height / 2 : height; }
    uint32_t unit_bytes() const { return width * unit_lines() * 2; }
    bool operator==(const SourceConfig&) const = default;
};

// A plain decimal number: digits with an optional fraction, nothing else (no sign, exponent or
// spaces).
std::optional<double> parse_decimal(std::string_view text);

// "1920x1080p60", "1920x1080i60", "1280x720p59.94", "none" (no cable). Case-insensitive; the rate
// is a plain decimal number.
std::optional<SourceConfig> parse_source(std::string_view text);
std::string format_source(const SourceConfig& source);

enum class InterruptMode { Level, Message };
enum class Pacing { Realtime, AsFastAsPossible, Manual };

// Per-input fault knobs; every one can also be changed on a live card.
struct InputFaults {
    bool receiver_absent = false;  // nothing answers on the input's I2C bus: reads give 0xFF
    bool wrong_id = false;         // the receiver identifies with other bytes than 0x20, 0x51
    bool i2c_stuck_busy = false;   // the master never reports idle again
    uint32_t i2c_fail_next = 0;    // the next k transfers hang (busy until the next command)
};

// What one master did: for the cost of a driver's polling, and its protocol misuse.
struct I2cCounters {
    uint64_t status_reads = 0;  // reads of the command/status register, polls and the rest
    uint64_t busy_reads = 0;    // of those, reads that found the master busy
    uint64_t bus_ns = 0;        // wire time of every chunk started
    uint64_t chunks = 0;
    uint64_t transfers = 0;        // STARTs on an idle bus
    uint64_t protocol_faults = 0;  // commands or data breaking into a transfer
};

// Register behaviour the hardware description leaves open. It defines an engine's block register
// (block base + 0x00) as the interrupt routine reads it at the interrupt, and says reads may have
// side effects; each field picks one of the behaviours a card could plausibly have.
struct RegisterVariant {
    // A read of a video engine's block register clears the latched field bit (bit 24); otherwise
    // the bit stays until the engine's next completion.
    bool video_read_clears_field = false;
    // An engine's block register latches its value when a completion raises the engine's
    // interrupt cause and holds it until the cause is acknowledged: completions that merge into a
    // cause still pending leave it alone. Otherwise the register follows every completion.
    // Outside the description, which makes the value read at the interrupt the engine's position:
    // a late routine would read a past one. For experiments; the suites do not run on it.
    bool block_register_held = false;
    bool operator==(const RegisterVariant&) const = default;
};
// "plain" (or empty), or knobs joined by ',' or '+': "clear-field", "held". Case-insensitive.
std::optional<RegisterVariant> parse_register_variant(std::string_view text);
std::string format_register_variant(const RegisterVariant& variant);

// "100" or "400" (kHz, the receivers' standard and fast modes); a bus read latency in whole
// nanoseconds, 1..100000. False, leaving `value` alone, on anything else.
bool parse_i2c_khz(std::string_view text, uint32_t& value);
bool parse_bus_read_ns(std::string_view text, uint32_t& value);

// Defaults a card takes when its configuration does not say, from the environment so that whole
// suites run against another card unchanged: QH_CARD_I2C_KHZ (100 or 400; 100, the slowest the
// receivers allow, without it), QH_CARD_BUS_READ_NS (500 without it) and QH_CARD_VARIANT (as
// parse_register_variant; plain without it). A malformed value stops the program with a message.
uint32_t default_i2c_khz();
uint32_t default_bus_read_ns();
RegisterVariant default_register_variant();

// When the host's processor serves the card's interrupt: every call of the service routine waits
// `latency_us` first (or a time drawn evenly from 0 to it, from `seed`), and every
// `stall_every`-th call waits `stall_ms` more (a routine held up past several blocks). The card
// keeps running meanwhile; its status bits accumulate and its messages merge.
struct InterruptTiming {
    uint32_t latency_us = 0;
    bool random_latency = false;
    uint64_t seed = 1;
    uint32_t stall_ms = 0;
    uint32_t stall_every = 0;  // 0: no periodic stall
    bool operator==(const InterruptTiming&) const = default;
};

// "MS" (fixed) or "~MS[:SEED]" (random up to MS), MS a decimal number from 0 to 10000; sets the
// latency fields (and their random generator's start value) of `timing`. False, leaving `timing`
// alone, on anything else.
bool parse_interrupt_latency(std::string_view text, InterruptTiming& timing);

struct CardConfig {
    std::array<SourceConfig, kInputs> sources{};
    std::array<InputFaults, kInputs> faults{};
    InterruptMode interrupt_mode = InterruptMode::Level;
    Pacing pacing = Pacing::Realtime;
    // Time a source must have been present on a configured receiver before it reports a size.
    // Negative: 50 ms when paced in real time or as fast as possible, 0 in manual pacing.
    int32_t settle_ms = -1;
    // Start the pacing threads in the constructor (ignored in manual pacing).
    bool autostart = true;
    InterruptTiming interrupt_timing{};
    // Engine positions at power-on: the audio block being filled first and the video buffer
    // written first. Nothing resets them, so a card comes up wherever its engines happen to be:
    // positions not given are drawn from `start_seed`, or, without one, from the process's start
    // seed (start_seed_of_process()). An engine that stops and starts again carries on from
    // where it stopped.
    std::array<std::optional<uint32_t>, kInputs> audio_start_block{};
    std::array<std::optional<uint32_t>, kInputs> video_start_buffer{};
    std::optional<uint64_t> start_seed;
    // The card's clock against the host's. Unset, its engines count their periods from the moment
    // the card comes on. Set, from the first instant from then on that lies this far past a whole
    // second of the host clock (counted from Clock::start()): a test puts the card's units where it
    // chooses against the host's clock ticks, a place that on hardware the card's oscillator picks.
    std::optional<std::chrono::nanoseconds> clock_phase;
    // The I2C buses' clock, and the time one register read takes over the host bus: an I2C chunk
    // keeps its master busy for as many status reads as cover its time on the wire.
    uint32_t i2c_khz = default_i2c_khz();
    uint32_t bus_read_ns = default_bus_read_ns();
    RegisterVariant variant = default_register_variant();
};

// The start seed of every card of this process that is given none: QH_CARD_SEED from the environment,
// otherwise drawn once. Programs print it so that a run can be repeated.
uint64_t start_seed_of_process();

// How the card is wired to the host. The default uses platform/host/bus/bus.h; tests may replace
// pieces (a fake line, a fake memory) to exercise the card alone.
struct Wiring {
    std::function<std::unique_ptr<host::InterruptLine>(host::InterruptLine::Mode)> make_line;
    std::function<bool(uint64_t bus_address, const void* source, size_t length)> dma_write;
    bool register_on_bus = true;
};

struct AccessRecord {
    uint32_t offset;
    uint32_t value;
    uint64_t time_ns;  // since the card was created
    uint32_t thread;   // the host thread that made the access (its kernel thread id)
    bool is_write;
};

// Register maps of a receiver. IO answers at 0x98; the others only where IO 0xF4..0xFD place them.
enum class Map : uint8_t { IO, CEC, InfoFrame, DPLL, Repeater, EDID, HDMI, CP, Count };
const char* map_name(Map map);

struct ReceiverWrite {
    Map map;
    uint8_t sub_address;
    uint8_t value;
};

struct ReceiverState {
    std::array<uint8_t, static_cast<size_t>(Map::Count)> map_address{};  // 0 = not placed
    bool configured = false;                                             // HDMI and CP maps placed since the last reset
    bool locked = false;  // reports a size now (configured, cable, settled)
    uint32_t reset_count = 0;
};

class Card : public host::MmioRegion {
public:
    explicit Card(const CardConfig& config, Wiring wiring = {});
    ~Card() override;
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // input 0 1920x1080p60, input 1 1920x1080i60, input 2 1280x720p60, input 3 no cable.
    static CardConfig default_config();

    // The register window (also reachable through the host bus once registered).
    uint32_t read32(uint32_t offset) override;
    void write32(uint32_t offset, uint32_t value) override;

    uint64_t mmio_physical() const { return mmio_physical_; }
    uint32_t mmio_length() const { return kWindowLength; }
    host::InterruptLine& interrupt_line() { return *line_; }
    uint32_t interrupt_vector() const { return vector_; }
    const CardConfig& config() const { return config_; }
    uint64_t start_seed() const { return start_seed_; }

    // Sources, changeable while streaming (unplug, replug, mode change). Setting a source connects
    // a new one: its frame numbers and audio index start again from 0, and the receiver needs
    // the settle time before it reports the new signal.
    void set_source(uint32_t input, const SourceConfig& source);
    SourceConfig source(uint32_t input) const;

    // Faults.
    void set_faults(uint32_t input, const InputFaults& faults);
    InputFaults faults(uint32_t input) const;
    void set_receiver_absent(uint32_t input, bool absent);
    void set_wrong_id(uint32_t input, bool wrong);
    void set_i2c_stuck_busy(uint32_t input, bool stuck);
    void fail_next_i2c_transfers(uint32_t input, uint32_t count);
    // Interrupt faults: an interrupt with nothing pending (the card's own line), one from another
    // device on a shared line, a cause that re-arms itself at every acknowledgement, and a card
    // whose line stops working (causes still latch in the status register).
    void inject_spurious_interrupt();
    void inject_shared_interrupt();
    // Surprise removal (a cable to an external enclosure pulled): from now on every register
    // reads 0xFFFFFFFF, writes vanish, and no engine transfers or interrupts again; a transfer
    // in flight has ended when this returns. With `shared_line_keeps_firing` another device on
    // the card's (shared, line-based) interrupt keeps raising it. Putting a card back is a new
    // Card: a new device to the PnP manager, with all its state at power-on.
    void unplug(bool shared_line_keeps_firing = false);
    // The card is pulled right after it has answered the next read of `offset` (whoever makes
    // it): a removal that falls between two accesses of one driver routine.
    void unplug_after_read(uint32_t offset);
    bool removed() const;
    // The function's power state, as the bus sets it (registered with the bus for that). In D3
    // the card takes no register writes and every read completes with all ones; it raises no
    // interrupt and does no DMA, and its receivers lose their configuration. Back in D0 it is as
    // after power-on: engines stopped and their registers cleared, positions wherever they come up,
    // interrupt enable 0, status clear, receivers unconfigured, I2C masters idle. D1 and D2 are not
    // supported: a request for them leaves the card as it is.
    void set_power(host::DevicePower state);
    host::DevicePower power() const;
    // What a rebalance may give the card: its window at another bus address (returned), its
    // interrupt of the other kind (a new line and vector). Only while its driver holds neither.
    uint64_t move_window();
    void set_interrupt_mode(InterruptMode mode);
    void set_interrupt_storm(uint32_t status_bits);
    void set_interrupts_suppressed(bool suppressed);
    // Interrupt delivery timing (see InterruptTiming). A stall holds the next call of the routine
    // for `ms`; a hold keeps every call back until it is released, so that a manually paced test
    // can complete several units behind one late routine (steps do not wait for delivery then).
    void set_interrupt_timing(const InterruptTiming& timing);
    InterruptTiming interrupt_timing() const;
    void stall_next_interrupt(uint32_t ms);
    void hold_interrupts(bool held);

    // Pacing.
    void start();
    void stop();
    bool running() const { return pacer_running_.load(); }
    // Manual pacing (also usable while the pacer is stopped): the source moves on by one unit /
    // n audio blocks; running engines capture them; returns once the interrupts are delivered.
    // A unit the engine is part-way through is finished instead of a new one being started.
    // Result: units (blocks) written into host memory.
    uint32_t step_video(uint32_t input);
    uint32_t step_audio(uint32_t input, uint32_t blocks = 1);
    // Finer manual pacing: the engine writes the next `pieces` pieces of the unit in progress
    // (starting the source's next unit when none is), as it would across the unit's period.
    // The interrupt bit rises with the last piece; returns units completed (0 or 1) once their
    // interrupt is delivered.
    static constexpr uint32_t kVideoPieces = 32;  // pieces of whole lines per frame or field
    static constexpr uint32_t kAudioPieces = 8;   // pieces of whole sample frames per block
    uint32_t advance_video(uint32_t input, uint32_t pieces);
    uint32_t advance_audio(uint32_t input, uint32_t pieces);

    // Counters.
    uint64_t video_units_produced(uint32_t input) const;  // fields count one each
    uint64_t frames_produced(uint32_t input) const;       // whole frames (progressive units, bottom fields)
    uint64_t pacing_cpu_ns() const;  // CPU time the real-time pacing threads used so far (the model's own cost)
    // How late a real-time pacing thread woke at worst (the host's scheduler, not the card: what
    // fell due meanwhile completes in a burst); reset to 0 by the call.
    uint64_t take_pacing_late_max_ns() { return pacing_late_max_ns_.exchange(0); }
    uint64_t audio_blocks_produced(uint32_t input) const;
    // Sample frames the input's source has handed its engine so far (blocks begun, abandoned ones
    // included): the next block the engine begins starts at this sample index.
    uint64_t audio_frames_rendered(uint32_t input) const;
    uint64_t dma_failures(uint32_t input) const;  // units/blocks the bus refused
    // What an input's I2C master did (status reads, bus time, chunks, misuse), and the first
    // misuses described. A working driver never misuses a master: see I2cMaster::write_command.
    I2cCounters i2c_counters(uint32_t input) const;
    uint64_t i2c_protocol_faults(uint32_t input) const;
    std::vector<std::string> i2c_protocol_fault_log(uint32_t input) const;
    // Blocks until the counter reaches the value (or the time-out); for tests.
    bool wait_video_units(uint32_t input, uint64_t count, uint32_t timeout_ms);
    bool wait_audio_blocks(uint32_t input, uint64_t count, uint32_t timeout_ms);

    // Register access log.
    // With `only` given, just the accesses to those offsets are kept: a long run then fits the
    // log's bound with what it needs.
    void set_access_log(bool on, std::vector<uint32_t> only = {});
    std::vector<AccessRecord> access_log() const;
    void clear_access_log();

    // Receivers.
    ReceiverState receiver_state(uint32_t input) const;
    std::vector<ReceiverWrite> receiver_writes(uint32_t input) const;
    void clear_receiver_writes(uint32_t input);
    uint8_t receiver_register(uint32_t input, Map map, uint8_t sub_address) const;  // as the bus would read it

    // Engine inspection.
    bool video_engine_running(uint32_t input) const;
    bool audio_engine_running(uint32_t input) const;
    uint32_t interrupt_status() const;
    bool interrupt_enabled() const;

    struct Impl;

private:
    void pacer_loop(uint32_t input);
    void start_line_noise();
    void stop_line_noise();
    void apply_faults_locked(uint32_t input, const InputFaults& faults);

    CardConfig config_;
    uint64_t start_seed_ = 0;
    Wiring wiring_;
    std::unique_ptr<Impl> impl_;
    std::unique_ptr<host::InterruptLine> line_;
    uint64_t mmio_physical_ = 0;
    uint32_t vector_ = 0;
    std::atomic<bool> pacer_running_{false};
    std::vector<host::sched::Thread> pacers_;
    std::atomic<uint64_t> pacing_late_max_ns_{0};
    host::sched::Mutex noise_mu_;
    host::sched::CondVar noise_cv_;
    std::atomic<bool> noise_running_{false};
    std::atomic<int64_t> unplug_after_read_{-1};  // offset, or -1 when not armed
    host::sched::Thread noise_;
};

}  // namespace sim
