// Streams 1920x1080 inputs (progressive 60 frames/s and interlaced 60 fields/s; one input and
// all four) in real-time pacing and prints one table per run: frames, drops, latency from the
// card's interrupt to the buffer's completion and from completion to the client, the driver's
// own CPU time per frame against memcpy of the same bytes with the same line structure (one copy
// of the frame when progressive, one copy a line weaving two fields when interlaced) on the same
// buffers, and the card model's CPU.
//
// Time points of one frame, all on the host's monotonic clock:
//   interrupt  the interrupt routine's read of the input's video DMA register (the card's
//              register log, whose time base is calibrated against the host clock at start);
//   stamp      the driver's presentation time, taken from the graph clock right after the copy;
//   completed  when the buffer was completed (the host's completion routine);
//   client     when the client's wait returned it.
// The driver's cost is thread CPU time the host measured around its Process dispatch, its video
// DPC and its share of the interrupt routine (waits do not count), per frame completed; memcpy
// is measured the same way in the consumer.
//
// "torn" counts delivered frames whose lines do not all carry the stamps of one frame in place
// (line number, field parity, frame number, input; sim::check_frame): a copy that raced the
// engine's writes, or woven fields of two frames. "repeat" counts frames whose number did not move
// on from the frame before (delivered again, or gone back without the discontinuity flag). Either
// fails the run.
//
// Usage: bench_video [seconds] [--mode p|i|both] [--inputs 1|4|both] [--irq-latency MS|~MS[:SEED]]
//                    [--start-seed N] [--i2c-khz 100|400] [--bus-read-ns NS] [--json FILE] [--plot FILE.png]
#include "driver/public.h"
#include "platform/host/measure/cost.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/kernel/priority.h"
#include "platform/host/diag/verifier.h"
#include "sim/pattern.h"
#include "testbed/testbed.h"
#include "tools/bench/lib/card_map.h"
#include "tools/bench/lib/report.h"

#include <malloc.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kMaxInputs = 4;
constexpr uint32_t kWidth = 1920, kHeight = 1080;
constexpr uint32_t kLineBytes = kWidth * 2;
constexpr uint32_t kFrameBytes = kLineBytes * kHeight;
constexpr uint32_t kHeaderSize = 128;
constexpr uint32_t kQueued = 4;
constexpr double kLatencyGoalMs = 2.0;
constexpr double kProgressiveGoal = 1.15, kWovenGoal = 1.5;
constexpr double kPollingGoal = 0.01;  // of a core, for every input's I2C polling together
constexpr auto kWarmUp = std::chrono::seconds(1);
using bench::card::kVideoBlock;
const GUID* const kVideoRef[kMaxInputs] = {&kRefVideo0, &kRefVideo1, &kRefVideo2, &kRefVideo3};

struct FrameRecord {
    int64_t completed_ns;
    int64_t picked_ns;  // when the client's wait returned the frame
    int64_t stamp_ns;   // host time of the driver's presentation time stamp
    int64_t memcpy_ns;  // CPU time of the consumer's copy of the same bytes
    uint64_t drops;     // DropCount of the frame info
    uint32_t frame;     // the card's frame number stamped in the first line
    bool torn;          // some line is not the one of that frame the pattern puts there
    bool flagged;       // the driver marked it as a data discontinuity
};

// What every run of one invocation shares.
struct Settings {
    sim::InterruptTiming timing;
    std::optional<uint64_t> start_seed;
    uint32_t i2c_khz = sim::default_i2c_khz();
    uint32_t bus_read_ns = sim::default_bus_read_ns();
};

// What the frame numbers of a run of deliveries say (sim::FrameOrder): frames the card completed
// that never reached the client, and frames whose number did not move on.
struct Order {
    uint64_t missed = 0, repeats = 0;
};
Order FrameNumbers(std::vector<FrameRecord>::const_iterator first, std::vector<FrameRecord>::const_iterator last) {
    Order out;
    sim::FrameOrder order;
    for (auto it = first; it != last; ++it) {
        const sim::FrameOrder::Result step = order.next(it->frame, it->flagged);
        out.missed += step.skipped;
        out.repeats += sim::FrameOrder::bad(step.step);
    }
    return out;
}

struct InputRun {
    uint32_t input = 0;
    std::unique_ptr<qh::client::Filter> filter;
    std::unique_ptr<qh::client::Pin> pin;
    std::shared_ptr<qh::client::Clock> clock;
    int64_t clock_host_ns = 0;  // host time when the clock's stream time was clock_stream
    int64_t clock_stream = 0;   // 100 ns
    std::vector<FrameRecord> frames;
    std::string error;
};

// One input's figures of one run.
struct InputFigures {
    uint64_t delivered = 0, drops = 0, missed = 0, repeats = 0, torn = 0;
    double fps = 0;
    std::vector<double> irq_ms, client_ms, memcpy_us;
    bench::DriverCost cost;
    double ratio = 0;
    // The input's I2C master over the measured window: time its bus was busy, reads of its
    // status register (the driver's polls), what those reads cost a processor on hardware (each
    // stalls it for the read latency), and misuse.
    double i2c_bus_ms_per_s = 0, status_reads_per_s = 0, poll_cpu_share = 0;
    uint64_t i2c_protocol_faults = 0;
    std::string error;
};

struct RunFigures {
    bool interlaced = false;
    uint32_t inputs = 0;
    int seconds = 0;
    double elapsed = 0;
    double card_cpu_share = 0;  // of one core
    double card_us_per_frame = 0;
    double card_late_ms = 0;           // the pacing threads' worst late wake-up
    uint64_t warmup_missed = 0;        // frames missed before the measured window, all inputs
    double register_us_per_frame = 0;  // the card's register handling inside the driver's routines
    Settings settings;
    uint64_t start_seed = 0;  // the card's, as drawn when none was given
    std::vector<InputFigures> input;
};

int64_t HostNs() { return host::now_100ns() * 100; }

// The copy the driver makes of one frame, made by the consumer from the same DMA buffers: one
// copy of the whole frame, or the weave of two field buffers line by line.
void ReferenceCopy(uint8_t* dst, const std::array<qh::DmaView, 3>& buffers, bool interlaced) {
    if (!interlaced) {
        std::memcpy(dst, buffers[0].data, kFrameBytes);
        return;
    }
    const uint8_t* top = buffers[0].data;
    const uint8_t* bottom = buffers[1].data;
    for (uint32_t row = 0; row < kHeight; row += 2) {
        const uint32_t source = (row / 2) * kLineBytes;
        std::memcpy(dst + (row + 1) * kLineBytes, bottom + source, kLineBytes);
        std::memcpy(dst + row * kLineBytes, top + source, kLineBytes);
    }
}

void Consume(InputRun& run, const std::array<qh::DmaView, 3>& buffers, bool interlaced,
             std::chrono::steady_clock::time_point deadline) {
    std::vector<uint8_t> scratch(kFrameBytes);
    while (std::chrono::steady_clock::now() < deadline) {
        qh::client::CompletedFrame f;
        if (!run.pin->wait_completed(f, 1000)) continue;
        const int64_t picked = HostNs();
        if (f.status != STATUS_SUCCESS) {
            run.error = "frame completed with status " + std::to_string(f.status);
            return;
        }
        FrameRecord r{};
        r.completed_ns = static_cast<int64_t>(f.completed_ns);
        r.picked_ns = picked;
        const KSSTREAM_HEADER& h = f.stream_header();
        r.stamp_ns = run.clock_host_ns + (h.PresentationTime.Time - run.clock_stream) * 100;
        const uint64_t t0 = host::cost::thread_cpu_ns();
        ReferenceCopy(scratch.data(), buffers, interlaced);
        r.memcpy_ns = static_cast<int64_t>(host::cost::thread_cpu_ns() - t0);
        KS_FRAME_INFO info;
        std::memcpy(&info, f.header.data() + sizeof(KSSTREAM_HEADER), sizeof info);
        r.drops = static_cast<uint64_t>(info.DropCount);
        r.flagged = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
        if (h.DataUsed < kFrameBytes) {
            run.error = "short frame";
        } else {
            const sim::FrameCheck c = sim::check_frame(f.data.data(), kLineBytes, kHeight, run.input, interlaced);
            r.frame = c.frame;
            r.torn = c.fault != sim::FrameFault::None;
        }
        run.frames.push_back(r);
        run.pin->submit(kFrameBytes, kHeaderSize);
    }
}

bool RunMode(bool interlaced, uint32_t inputs, int seconds, const Settings& settings, RunFigures& out) {
    qh::TestbedOptions options;
    options.card = sim::Card::default_config();
    options.card.interrupt_timing = settings.timing;
    options.card.start_seed = settings.start_seed;
    options.card.i2c_khz = settings.i2c_khz;
    options.card.bus_read_ns = settings.bus_read_ns;
    for (auto& s : options.card.sources) {
        s = sim::SourceConfig{};
        s.width = kWidth;
        s.height = kHeight;
        s.interlaced = interlaced;
        s.fps = 60.0;
    }
    options.card.pacing = sim::Pacing::Realtime;
    qh::Testbed bed(options);
    sim::Card& card = bed.card();

    // Formats are set once the receivers report their signals: a format set before a receiver
    // has settled reads no interlace flag, and the input would be captured field by field.
    bench::wait_for_lock(card, inputs);

    std::unique_ptr<qh::client::Device> device = qh::client::open_device(bed.ksdevice());
    InputRun runs[kMaxInputs];
    for (uint32_t n = 0; n < inputs; ++n) {
        InputRun& run = runs[n];
        run.input = n;
        for (const auto& info : device->filters())
            if (IsEqualGUID(info.reference, *kVideoRef[n])) device->open_filter(info.index, run.filter);
        if (!run.filter) {
            std::printf("input %u: no video filter\n", n);
            return false;
        }
        auto pins = run.filter->pins();
        std::vector<uint8_t> format;
        if (pins.empty() || pins[0].ranges.size() < 3 || run.filter->intersect(0, {pins[0].ranges[2]}, format) ||
            run.filter->create_pin(0, format, run.pin)) {
            std::printf("input %u: cannot create a 1920x1080 pin\n", n);
            return false;
        }
        run.clock = qh::client::make_clock();
        run.pin->set_master_clock(run.clock);
    }

    // Calibrate the card's log clock against the host clock with one logged read.
    card.set_access_log(true, {bench::card::kCalibration, bench::card::kInterruptStatus, kVideoBlock[0], kVideoBlock[1],
                               kVideoBlock[2], kVideoBlock[3]});
    card.clear_access_log();
    const int64_t before = HostNs();
    card.read32(bench::card::kCalibration);
    const int64_t after = HostNs();
    auto calibration = card.access_log();
    if (calibration.empty()) {
        std::printf("the card's register log is off\n");
        return false;
    }
    const int64_t card_to_host = (before + after) / 2 - static_cast<int64_t>(calibration.back().time_ns);

    for (uint32_t n = 0; n < inputs; ++n) {
        InputRun& run = runs[n];
        run.clock->run();
        const int64_t h0 = HostNs();
        run.clock_stream = run.clock->stream_time();
        run.clock_host_ns = (h0 + HostNs()) / 2;
        // Clients queue buffers from PAUSE on.
        if (run.pin->set_state(KSSTATE_PAUSE) != STATUS_SUCCESS) {
            std::printf("input %u: PAUSE refused\n", n);
            return false;
        }
        for (uint32_t i = 0; i < kQueued; ++i)
            run.pin->submit(kFrameBytes, kHeaderSize);
    }
    // The first part of a run is not measured: the first buffers and copies touch fresh memory
    // (a page fault every 4 KiB, costly in a virtual machine), and the frames missed then say
    // nothing about the steady state. What was missed during it is printed apart.
    const auto warm_start = std::chrono::steady_clock::now();
    const auto deadline = warm_start + kWarmUp + std::chrono::seconds(seconds);
    std::vector<std::thread> consumers;
    for (uint32_t n = 0; n < inputs; ++n) {
        if (runs[n].pin->set_state(KSSTATE_RUN) != STATUS_SUCCESS) {
            std::printf("input %u: RUN refused\n", n);
            for (uint32_t k = 0; k < n; ++k)
                runs[k].pin->set_state(KSSTATE_PAUSE);
            for (auto& t : consumers)
                t.join();
            return false;
        }
        consumers.emplace_back(Consume, std::ref(runs[n]), bed.video_buffers(n), interlaced, deadline);
    }
    std::this_thread::sleep_until(warm_start + kWarmUp);
    card.clear_access_log();
    host::cost::reset();
    const uint64_t card_cpu_before = card.pacing_cpu_ns();
    card.take_pacing_late_max_ns();
    sim::I2cCounters i2c_before[kMaxInputs], i2c_after[kMaxInputs];
    for (uint32_t n = 0; n < inputs; ++n)
        i2c_before[n] = card.i2c_counters(n);
    const auto start = std::chrono::steady_clock::now();
    const int64_t measured_from = HostNs();
    for (auto& t : consumers)
        t.join();
    for (uint32_t n = 0; n < inputs; ++n)
        i2c_after[n] = card.i2c_counters(n);
    for (uint32_t n = 0; n < inputs; ++n)
        runs[n].pin->set_state(KSSTATE_PAUSE);
    out.warmup_missed = 0;
    for (uint32_t n = 0; n < inputs; ++n) {
        std::vector<FrameRecord>& frames = runs[n].frames;
        const auto first = std::find_if(frames.begin(), frames.end(),
                                        [&](const FrameRecord& r) { return r.completed_ns >= measured_from; });
        out.warmup_missed += FrameNumbers(frames.begin(), first).missed;
        frames.erase(frames.begin(), first);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t card_cpu = card.pacing_cpu_ns() - card_cpu_before;
    out.card_late_ms = double(card.take_pacing_late_max_ns()) / 1e6;
    const auto isr_log = bench::interrupt_reads(card.access_log());
    card.set_access_log(false);
    // Read before STOP: what the driver does at STOP is not per-frame work.
    std::vector<bench::DriverCost> costs;
    const uint64_t register_ns = bench::register_model_ns();
    for (uint32_t n = 0; n < inputs; ++n)
        costs.push_back(bench::driver_cost(runs[n].pin->kspin(), 1.0 / double(inputs)));
    for (uint32_t n = 0; n < inputs; ++n)
        runs[n].pin->set_state(KSSTATE_STOP);

    out.interlaced = interlaced;
    out.inputs = inputs;
    out.settings = settings;
    out.start_seed = card.start_seed();
    out.seconds = seconds;
    out.elapsed = elapsed;
    out.card_cpu_share = double(card_cpu) / 1e9 / elapsed;
    uint64_t produced_all = 0;
    bool ok = true;
    for (uint32_t n = 0; n < inputs; ++n) {
        InputRun& run = runs[n];
        InputFigures fig;
        // Interrupts of this input that wake the pin: every read of its DMA register by the
        // interrupt routine (for an interlaced input only the bottom fields, bit 24).
        std::vector<int64_t> irq;
        for (const auto& a : isr_log)
            if (a.offset == kVideoBlock[n] && (!interlaced || (a.value & bench::card::kBottomField)))
                irq.push_back(static_cast<int64_t>(a.time_ns) + card_to_host);
        for (const FrameRecord& r : run.frames) {
            fig.memcpy_us.push_back(double(r.memcpy_ns) / 1e3);
            fig.client_ms.push_back(double(r.picked_ns - r.completed_ns) / 1e6);
            auto it = std::upper_bound(irq.begin(), irq.end(), r.stamp_ns);
            if (it == irq.begin()) continue;
            fig.irq_ms.push_back(double(r.completed_ns - *(it - 1)) / 1e6);
        }
        const uint64_t produced = run.frames.empty() || run.frames.back().frame < run.frames.front().frame
                                      ? 0
                                      : uint64_t(run.frames.back().frame - run.frames.front().frame) + 1;
        produced_all += produced;
        fig.delivered = run.frames.size();
        fig.fps = double(fig.delivered) / elapsed;
        fig.drops = run.frames.empty() ? 0 : run.frames.back().drops;
        const Order order = FrameNumbers(run.frames.begin(), run.frames.end());
        fig.repeats = order.repeats;
        fig.missed = order.missed;
        for (const FrameRecord& r : run.frames)
            fig.torn += r.torn;
        fig.cost = costs[n];
        const double mem = bench::mean(fig.memcpy_us);
        fig.ratio = mem > 0 ? fig.cost.per_frame_us() / mem : 0.0;
        fig.error = run.error;
        fig.i2c_bus_ms_per_s = double(i2c_after[n].bus_ns - i2c_before[n].bus_ns) / 1e6 / elapsed;
        fig.status_reads_per_s = double(i2c_after[n].status_reads - i2c_before[n].status_reads) / elapsed;
        fig.poll_cpu_share = fig.status_reads_per_s * double(settings.bus_read_ns) / 1e9;
        fig.i2c_protocol_faults = i2c_after[n].protocol_faults;
        if (fig.i2c_protocol_faults != 0 && fig.error.empty())
            fig.error = std::to_string(fig.i2c_protocol_faults) + " I2C protocol faults";
        if (!fig.error.empty() || fig.torn != 0 || fig.repeats != 0) ok = false;
        out.input.push_back(std::move(fig));
    }
    out.card_us_per_frame = produced_all ? double(card_cpu) / 1e3 / double(produced_all) : 0.0;
    uint64_t completed_all = 0;
    for (const InputFigures& f : out.input)
        completed_all += f.cost.frames;
    out.register_us_per_frame = completed_all ? double(register_ns) / 1e3 / double(completed_all) : 0.0;
    return ok;
}

const char* PrioritiesText() {
    return host::realtime_priorities()
               ? "interrupt, DPC and processing threads real-time (in that order), the rest normal"
               : "all normal";
}

void PrintRun(const RunFigures& r) {
    const double goal = r.interlaced ? kWovenGoal : kProgressiveGoal;
    std::printf(
        "\n1920x1080%s60, %d s, %u input%s in real time; card model CPU %.0f%% of a core (%.0f us a frame), "
        "its pacing woke up to %.1f ms late;\nits register handling in the driver's routines %.1f us a frame "
        "(bus time, not in the driver's figures)\n",
        r.interlaced ? "i" : "p", r.seconds, r.inputs, r.inputs == 1 ? "" : "s", r.card_cpu_share * 100,
        r.card_us_per_frame, r.card_late_ms, r.register_us_per_frame);
    std::printf(
        "I2C buses at %u kHz, %u ns a register read; interrupt latency %s%.1f ms, card start seed %llu; a read "
        "of the thread CPU clock costs %.2f us, taken off each measured call\nthread priorities: %s; measured "
        "after %lld s of warm-up, in which %llu frame%s missed (all inputs)\n",
        r.settings.i2c_khz, r.settings.bus_read_ns, r.settings.timing.random_latency ? "up to " : "",
        r.settings.timing.latency_us / 1000.0, static_cast<unsigned long long>(r.start_seed),
        double(host::cost::read_overhead_ns()) / 1e3, PrioritiesText(), static_cast<long long>(kWarmUp.count()),
        static_cast<unsigned long long>(r.warmup_missed), r.warmup_missed == 1 ? " was" : "s were");
    std::printf("%-5s %6s %6s %5s %6s %6s %4s | %-20s | %-20s | %7s %7s %7s %7s %7s %6s | %7s %8s %6s\n", "input",
                "frames", "fps", "drops", "missed", "repeat", "torn", "irq->done p50/p99/max", "done->client p50/p99",
                "memcpy", "driver", "process", "dpc", "isr", "ratio", "i2c bus", "polls", "poll");
    std::printf("%-5s %6s %6s %5s %6s %6s %4s | %-20s | %-20s | %7s %7s %7s %7s %7s %6s | %7s %8s %6s\n", "", "", "",
                "", "", "", "", "ms", "ms", "us/fr", "us/fr", "us/fr", "us/fr", "us/fr", "", "ms/s", "reads/s",
                "cpu %");
    for (size_t n = 0; n < r.input.size(); ++n) {
        const InputFigures& f = r.input[n];
        const double frames = f.cost.frames ? double(f.cost.frames) : 1.0;
        std::printf(
            "%-5zu %6llu %6.2f %5llu %6llu %6llu %4llu | %5.2f %6.2f %6.2f | %6.2f %6.2f      | %7.0f %7.0f %7.0f "
            "%7.1f %7.1f %6.2f | %7.1f %8.0f %6.2f%s\n",
            n, static_cast<unsigned long long>(f.delivered), f.fps, static_cast<unsigned long long>(f.drops),
            static_cast<unsigned long long>(f.missed), static_cast<unsigned long long>(f.repeats),
            static_cast<unsigned long long>(f.torn), bench::percentile(f.irq_ms, 0.5),
            bench::percentile(f.irq_ms, 0.99), bench::percentile(f.irq_ms, 1.0), bench::percentile(f.client_ms, 0.5),
            bench::percentile(f.client_ms, 0.99), bench::mean(f.memcpy_us), f.cost.per_frame_us(),
            double(f.cost.process_ns) / 1e3 / frames, double(f.cost.dpc_ns) / 1e3 / frames,
            double(f.cost.interrupt_ns) / 1e3 / frames, f.ratio, f.i2c_bus_ms_per_s, f.status_reads_per_s,
            f.poll_cpu_share * 100, f.error.empty() ? "" : ("  " + f.error).c_str());
    }
    bool ratio_met = true, latency_met = true, all_delivered = true;
    double polling = 0;
    for (const InputFigures& f : r.input) {
        polling += f.poll_cpu_share;
        ratio_met = ratio_met && f.ratio <= goal;
        latency_met = latency_met && bench::percentile(f.irq_ms, 0.99) < kLatencyGoalMs;
        all_delivered = all_delivered && f.missed == 0 && f.drops == 0;
    }
    std::printf(
        "goals: driver/memcpy <= %.2f %s; irq->done p99 < %.0f ms %s; every frame delivered %s; I2C polling "
        "%.2f %% of a core, all inputs (reads x %u ns), under %.0f %% %s\n",
        goal, ratio_met ? "met" : "NOT met", kLatencyGoalMs, latency_met ? "met" : "NOT met",
        all_delivered ? "met" : "NOT met", polling * 100, r.settings.bus_read_ns, kPollingGoal * 100,
        polling < kPollingGoal ? "met" : "NOT met");
}

void JsonRun(bench::Json& j, const RunFigures& r) {
    j.open_object();
    j.text("mode", r.interlaced ? "interlaced" : "progressive").integer("inputs", r.inputs);
    j.integer("seconds", uint64_t(r.seconds)).number("elapsed_s", r.elapsed).integer("card_start_seed", r.start_seed);
    j.integer("irq_latency_us", r.settings.timing.latency_us)
        .integer("irq_latency_random", r.settings.timing.random_latency);
    j.integer("i2c_khz", r.settings.i2c_khz).integer("bus_read_ns", r.settings.bus_read_ns);
    j.number("card_cpu_share", r.card_cpu_share).number("card_us_per_frame", r.card_us_per_frame);
    j.number("card_pacing_late_max_ms", r.card_late_ms).number("register_model_us_per_frame", r.register_us_per_frame);
    j.number("cpu_clock_read_us", double(host::cost::read_overhead_ns()) / 1e3);
    j.integer("warmup_s", static_cast<uint64_t>(kWarmUp.count())).integer("warmup_missed", r.warmup_missed);
    j.integer("realtime_priorities", host::realtime_priorities() ? 1 : 0);
    j.number("ratio_goal", r.interlaced ? kWovenGoal : kProgressiveGoal).number("latency_goal_ms", kLatencyGoalMs);
    j.open_array("input");
    for (size_t n = 0; n < r.input.size(); ++n) {
        const InputFigures& f = r.input[n];
        j.open_object().integer("input", n).integer("frames", f.delivered).number("fps", f.fps);
        j.integer("drops", f.drops).integer("missed", f.missed).integer("repeats", f.repeats).integer("torn", f.torn);
        for (auto [name, v] : {std::pair{"irq_to_done_ms", &f.irq_ms}, std::pair{"done_to_client_ms", &f.client_ms}}) {
            j.open_object(name);
            j.number("p50", bench::percentile(*v, 0.5)).number("p90", bench::percentile(*v, 0.9));
            j.number("p99", bench::percentile(*v, 0.99)).number("p999", bench::percentile(*v, 0.999));
            j.number("max", bench::percentile(*v, 1.0)).integer("samples", v->size());
            j.close_object();
        }
        j.number("memcpy_us_mean", bench::mean(f.memcpy_us))
            .number("memcpy_us_p50", bench::percentile(f.memcpy_us, 0.5));
        j.open_object("driver");
        j.integer("frames", f.cost.frames).integer("bytes", f.cost.bytes);
        j.integer("process_calls", f.cost.process_calls).integer("dpc_calls", f.cost.dpc_calls);
        j.integer("process_ns", f.cost.process_ns).integer("dpc_ns", f.cost.dpc_ns);
        j.integer("interrupt_share_ns", f.cost.interrupt_ns).number("us_per_frame", f.cost.per_frame_us());
        j.integer("process_max_ns", f.cost.max_process_ns).integer("dpc_max_ns", f.cost.max_dpc_ns);
        j.close_object();
        j.number("ratio", f.ratio).text("error", f.error);
        j.number("i2c_bus_ms_per_s", f.i2c_bus_ms_per_s).number("i2c_status_reads_per_s", f.status_reads_per_s);
        j.number("i2c_poll_cpu_share", f.poll_cpu_share).integer("i2c_protocol_faults", f.i2c_protocol_faults);
        j.numbers("irq_to_done_samples_ms", f.irq_ms);
        j.close_object();
    }
    j.close_array().close_object();
}

}  // namespace

int main(int argc, char** argv) {
    // The client side of the test bed allocates every buffer it submits and copies every frame it
    // gets back; served from fresh pages each time, that is a page fault per 4 KiB on both
    // processors the driver runs on. Keep freed memory in the heap, as a capture application
    // reusing its buffers would.
    mallopt(M_MMAP_THRESHOLD, 256 << 20);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    // The interrupt thread above the DPC threads above the class's processing threads above the
    // clients, as on Windows, where the host may (QH_REALTIME=0 measures without).
    host::prefer_realtime();
    int seconds = 30;
    std::string mode = "both", inputs = "both", json_path, plot_path;
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--irq-latency" && i + 1 < argc) {
            if (!sim::parse_interrupt_latency(argv[++i], settings.timing)) {
                std::fprintf(stderr, "bad --irq-latency: %s (MS or ~MS[:SEED])\n", argv[i]);
                return 2;
            }
        } else if (arg == "--start-seed" && i + 1 < argc) {
            settings.start_seed = std::strtoull(argv[++i], nullptr, 0);
        } else if (arg == "--i2c-khz" && i + 1 < argc) {
            if (!sim::parse_i2c_khz(argv[++i], settings.i2c_khz)) {
                std::fprintf(stderr, "bad --i2c-khz: %s (100 or 400)\n", argv[i]);
                return 2;
            }
        } else if (arg == "--bus-read-ns" && i + 1 < argc) {
            if (!sim::parse_bus_read_ns(argv[++i], settings.bus_read_ns)) {
                std::fprintf(stderr, "bad --bus-read-ns: %s (1..100000)\n", argv[i]);
                return 2;
            }
        } else if (arg == "--mode" && i + 1 < argc) {
            mode = argv[++i];
        } else if (arg == "--inputs" && i + 1 < argc) {
            inputs = argv[++i];
        } else if (arg == "--json" && i + 1 < argc) {
            json_path = argv[++i];
        } else if (arg == "--plot" && i + 1 < argc) {
            plot_path = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            std::printf(
                "usage: %s [seconds] [--mode p|i|both] [--inputs 1|4|both] [--irq-latency MS|~MS[:SEED]] "
                "[--start-seed N] [--i2c-khz 100|400] [--bus-read-ns NS] [--json FILE] [--plot FILE.png]\n",
                argv[0]);
            return 0;
        } else {
            seconds = std::atoi(arg.c_str());
            if (seconds <= 0) {
                std::fprintf(stderr, "bad argument: %s\n", arg.c_str());
                return 2;
            }
        }
    }
    if ((mode != "p" && mode != "i" && mode != "both") || (inputs != "1" && inputs != "4" && inputs != "both")) {
        std::fprintf(stderr, "--mode takes p, i or both; --inputs 1, 4 or both\n");
        return 2;
    }
    bool ok = true;
    std::vector<RunFigures> runs;
    for (bool interlaced : {false, true}) {
        if (mode != "both" && (mode == "i") != interlaced) continue;
        for (uint32_t count : {1u, 4u}) {
            if (inputs != "both" && std::to_string(count) != inputs) continue;
            RunFigures r;
            ok = RunMode(interlaced, count, seconds, settings, r) && ok;
            PrintRun(r);
            runs.push_back(std::move(r));
        }
    }
    std::string error;
    if (!json_path.empty()) {
        bench::Json j;
        j.open_object().text("benchmark", "bench_video").open_array("runs");
        for (const RunFigures& r : runs)
            JsonRun(j, r);
        j.close_array().close_object();
        if (!j.write(json_path, error)) ok = (std::fprintf(stderr, "%s\n", error.c_str()), false);
    }
    if (!plot_path.empty()) {
        std::vector<bench::Panel> panels;
        for (const RunFigures& r : runs) {
            bench::Panel p;
            p.title = std::string(r.interlaced ? "1920x1080i60 (woven)" : "1920x1080p60") + ", " +
                      std::to_string(r.inputs) + (r.inputs == 1 ? " input" : " inputs") + ", I2C " +
                      std::to_string(r.settings.i2c_khz) + " kHz";
            p.x_label = "latency from the frame's interrupt to the buffer's completion (ms)";
            p.y_label = "share of frames, cumulative (%)";
            for (size_t n = 0; n < r.input.size(); ++n)
                p.series.push_back({"input " + std::to_string(n), r.input[n].irq_ms});
            panels.push_back(std::move(p));
        }
        if (!bench::plot_latency(plot_path, panels, kLatencyGoalMs, error))
            ok = (std::fprintf(stderr, "%s\n", error.c_str()), false);
    }
    std::printf("\n");
    if (host::verifier::print_summary(stdout) != 0) return 3;
    return ok ? 0 : 1;
}
