// Audio delivery under load: audio on all four inputs while all four capture video, the card paced
// in real time. Prints one table: per input the buffers delivered, breaks in the sample index,
// buffers flagged discontinuous, bytes the driver reported lost, latency from the card's interrupt
// to the buffer's completion and from completion to the client, the driver's own CPU time per
// buffer (its audio DPC, its Process dispatch and a share of the interrupt routine, as the host
// measured them) against memcpy of the same bytes from the same ring, and the card model's CPU.
//
// The interrupt of a block is the interrupt routine's read of the input's audio block register in
// the card's register log (its time base calibrated against the host clock): the register names
// the block being filled, so each read announces the blocks completed since the previous one.
// Every stream has its own client thread, as a capture application has.
//
// A break at the start of a buffer the driver flagged as a discontinuity (audio it had to skip) is
// counted apart from the breaks nothing announced (sim::AudioIndexCheck); only those fail the goal.
//
//   bench_audio [seconds] [--irq-latency MS|~MS[:SEED]] [--start-seed N] [--i2c-khz 100|400]
//               [--bus-read-ns NS] [--json FILE] [--plot FILE.png]
//   (default 60 s)
// BENCH_AUDIO_BREAKS=1 in the environment prints each break as it is seen.
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
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kInputs = 4;
constexpr uint32_t kBlock = 1920;
constexpr uint32_t kAudioBuffers = 8;
constexpr uint32_t kVideoBuffers = 3;
constexpr uint32_t kCopyRepeats = 64;  // one 1920-byte copy is too short for the CPU clock alone
constexpr double kLatencyGoalMs = 1.0;
// Video buffers any frame the card makes fits in.
constexpr uint32_t kVideoBufferBytes = 0x400000;
using bench::card::kAudioBlock;
using bench::card::kVideoBlock;

const GUID* kAudioRefs[kInputs] = {&kRefAudio0, &kRefAudio1, &kRefAudio2, &kRefAudio3};
const GUID* kVideoRefs[kInputs] = {&kRefVideo0, &kRefVideo1, &kRefVideo2, &kRefVideo3};

// The host's monotonic clock, the one completion times are stamped with.
int64_t NowNs() { return host::now_100ns() * 100; }

std::unique_ptr<qh::client::Filter> Open(qh::client::Device& device, const GUID& reference) {
    std::unique_ptr<qh::client::Filter> filter;
    for (const auto& info : device.filters()) {
        if (IsEqualGUID(info.reference, reference)) device.open_filter(info.index, filter);
    }
    return filter;
}

struct Delivered {
    int64_t completed_ns, picked_ns;
    uint64_t end_bytes;  // the input's delivered total with this buffer, skipped audio included
};

struct AudioRun {
    uint64_t buffers = 0, breaks = 0, flagged = 0, flagged_breaks = 0, bytes = 0;
    sim::AudioIndexCheck index;
    std::vector<Delivered> delivered;
    std::vector<double> memcpy_ns;  // per buffer
    std::string error;
};

// Audio client of one input: checks the sample index the card's audio carries in its left channel.
void ConsumeAudio(qh::client::Pin& pin, const qh::Testbed& bed, uint32_t input, qh::DmaView ring, AudioRun& run,
                  const std::atomic<bool>& done) {
    std::vector<uint8_t> scratch(kBlock);
    const bool show_breaks = std::getenv("BENCH_AUDIO_BREAKS") != nullptr;
    while (!done.load()) {
        qh::client::CompletedFrame frame{};
        if (!pin.wait_completed(frame, 100)) continue;
        const int64_t picked = NowNs();
        const auto& h = frame.stream_header();
        const bool flagged = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
        const size_t used = std::min<size_t>(h.DataUsed, frame.data.size());
        if (run.index.feed(frame.data.data(), used, flagged) != 0 && show_breaks) {
            std::fprintf(stderr, "break in buffer %llu: index %u after %u\n",
                         static_cast<unsigned long long>(run.buffers), unsigned(run.index.break_after()),
                         unsigned(run.index.break_before()));
        }
        run.breaks = run.index.unflagged_breaks();
        run.flagged_breaks = run.index.flagged_breaks();
        if (flagged) ++run.flagged;
        run.bytes += h.DataUsed;
        // Audio the driver skipped after an overrun counts as delivered in its books.
        run.delivered.push_back(
            {static_cast<int64_t>(frame.completed_ns), picked, run.bytes + bed.driver_input(input).audio_lost_bytes});
        ++run.buffers;
        // The copy the driver makes of a buffer: the same bytes out of the same ring.
        const uint64_t offset = (run.bytes % ring.bytes) / kBlock * kBlock;
        const uint64_t t0 = host::cost::thread_cpu_ns();
        for (uint32_t r = 0; r < kCopyRepeats; ++r) {
            std::memcpy(scratch.data(), ring.data + offset, kBlock);
            asm volatile("" : : "r"(scratch.data()) : "memory");
        }
        run.memcpy_ns.push_back(double(host::cost::thread_cpu_ns() - t0) / kCopyRepeats);
        if (pin.submit(kBlock, 56) != STATUS_SUCCESS) run.error = "audio submit refused";
    }
}

void ConsumeVideo(qh::client::Pin& pin, std::atomic<uint64_t>& frames, const std::atomic<bool>& done) {
    while (!done.load()) {
        qh::client::CompletedFrame frame{};
        if (!pin.wait_completed(frame, 100)) continue;
        frames.fetch_add(1);
        pin.submit(kVideoBufferBytes, 128);
    }
}

// Host times at which the input's delivered total of audio became available: the interrupt
// routine's reads of the block register after the engine's start, each completing the blocks
// since the previous read.
std::vector<std::pair<uint64_t, int64_t>> BlockTimes(const std::vector<sim::AccessRecord>& log, uint32_t input,
                                                     int64_t card_to_host) {
    std::vector<std::pair<uint64_t, int64_t>> marks;  // (hw bytes, host time)
    uint64_t hw = 0;
    uint32_t seen = 0;
    bool first = true;
    for (const auto& a : log) {
        if (a.offset != kAudioBlock[input]) continue;
        if (a.is_write) {
            // The engine (re)starts: the driver's count starts again from its next interrupt.
            if (a.value & 1) hw = 0, first = true, marks.clear();
            continue;
        }
        const uint32_t current = a.value & 0xF;
        const uint32_t completed = first ? 1 : (current - seen) & 0xF;
        first = false;
        seen = current;
        if (completed == 0) continue;
        hw += uint64_t(completed) * kBlock;
        marks.emplace_back(hw, static_cast<int64_t>(a.time_ns) + card_to_host);
    }
    return marks;
}

}  // namespace

int RunBench(int argc, char** argv) {
    int seconds = 60;
    std::string json_path, plot_path;
    qh::TestbedOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--irq-latency" && i + 1 < argc) {
            if (!sim::parse_interrupt_latency(argv[++i], options.card.interrupt_timing)) {
                std::fprintf(stderr, "bad --irq-latency: %s (MS or ~MS[:SEED])\n", argv[i]);
                return 2;
            }
        } else if (arg == "--start-seed" && i + 1 < argc) {
            options.card.start_seed = std::strtoull(argv[++i], nullptr, 0);
        } else if (arg == "--i2c-khz" && i + 1 < argc) {
            if (!sim::parse_i2c_khz(argv[++i], options.card.i2c_khz)) {
                std::fprintf(stderr, "bad --i2c-khz: %s (100 or 400)\n", argv[i]);
                return 2;
            }
        } else if (arg == "--bus-read-ns" && i + 1 < argc) {
            if (!sim::parse_bus_read_ns(argv[++i], options.card.bus_read_ns)) {
                std::fprintf(stderr, "bad --bus-read-ns: %s (1..100000)\n", argv[i]);
                return 2;
            }
        } else if (arg == "--json" && i + 1 < argc) {
            json_path = argv[++i];
        } else if (arg == "--plot" && i + 1 < argc) {
            plot_path = argv[++i];
        } else if (arg == "-h" || arg == "--help") {
            std::printf(
                "usage: %s [seconds] [--irq-latency MS|~MS[:SEED]] [--start-seed N] [--i2c-khz 100|400] "
                "[--bus-read-ns NS] [--json FILE] [--plot FILE.png]\n",
                argv[0]);
            return 0;
        } else if ((seconds = std::atoi(arg.c_str())) <= 0) {
            std::fprintf(stderr, "bad argument: %s\n", arg.c_str());
            return 2;
        }
    }

    options.card.pacing = sim::Pacing::Realtime;
    for (auto& source : options.card.sources)
        source.cable = true;
    options.card.sources[3] = options.card.sources[0];
    qh::Testbed bed(options);
    if (!bed.started()) {
        std::fprintf(stderr, "device did not start: 0x%08X\n", static_cast<unsigned>(bed.start_status()));
        return 1;
    }
    sim::Card& card = bed.card();
    // Filters are opened once the receivers report their signals: a filter opened before its
    // receiver has locked detects no signal, and a format set then does not fit the signal that
    // comes (the input would stream no video at all, and the run would load the machine less than
    // it says).
    bench::wait_for_lock(card, kInputs);
    std::unique_ptr<qh::client::Device> device = qh::client::open_device(bed.ksdevice());

    std::array<std::unique_ptr<qh::client::Filter>, kInputs> vfilters, afilters;
    std::array<std::unique_ptr<qh::client::Pin>, kInputs> vpins, apins;
    for (uint32_t n = 0; n < kInputs; ++n) {
        vfilters[n] = Open(*device, *kVideoRefs[n]);
        afilters[n] = Open(*device, *kAudioRefs[n]);
        if (!vfilters[n] || !afilters[n]) {
            std::fprintf(stderr, "input %u: filters missing\n", n);
            return 1;
        }
        std::vector<uint8_t> vformat;
        auto pins = vfilters[n]->pins();
        if (pins.empty() || vfilters[n]->intersect(0, {pins[0].ranges[0]}, vformat) != STATUS_SUCCESS ||
            vfilters[n]->create_pin(0, vformat, vpins[n]) != STATUS_SUCCESS ||
            afilters[n]->create_pin(0, qh::client::make_pcm_format(), apins[n]) != STATUS_SUCCESS) {
            std::fprintf(stderr, "input %u: pins could not be created\n", n);
            return 1;
        }
        vpins[n]->set_state(KSSTATE_PAUSE);
        apins[n]->set_state(KSSTATE_PAUSE);
        for (uint32_t i = 0; i < kVideoBuffers; ++i)
            vpins[n]->submit(kVideoBufferBytes, 128);
        for (uint32_t i = 0; i < kAudioBuffers; ++i)
            apins[n]->submit(kBlock, 56);
    }

    // Calibrate the card's log clock against the host clock with one logged read.
    // Logged: the calibration read, the interrupt status (whose readers are the interrupt
    // routine's threads) and the DMA registers.
    std::vector<uint32_t> logged = {bench::card::kCalibration, bench::card::kInterruptStatus};
    for (uint32_t n = 0; n < kInputs; ++n)
        logged.insert(logged.end(), {kAudioBlock[n], kVideoBlock[n]});
    card.set_access_log(true, logged);
    card.clear_access_log();
    const int64_t before = NowNs();
    card.read32(bench::card::kCalibration);
    const int64_t after = NowNs();
    const auto calibration = card.access_log();
    if (calibration.empty()) {
        std::fprintf(stderr, "the card's register log is off\n");
        return 1;
    }
    const int64_t card_to_host = (before + after) / 2 - static_cast<int64_t>(calibration.back().time_ns);
    card.clear_access_log();

    host::cost::reset();
    const uint64_t card_cpu_before = card.pacing_cpu_ns();
    card.take_pacing_late_max_ns();
    std::atomic<bool> done{false};
    std::array<std::atomic<uint64_t>, kInputs> video_frames{};
    std::array<AudioRun, kInputs> runs;
    std::vector<std::thread> clients;
    for (uint32_t n = 0; n < kInputs; ++n) {
        vpins[n]->set_state(KSSTATE_RUN);
        apins[n]->set_state(KSSTATE_RUN);
        clients.emplace_back(ConsumeVideo, std::ref(*vpins[n]), std::ref(video_frames[n]), std::cref(done));
        clients.emplace_back(ConsumeAudio, std::ref(*apins[n]), std::cref(bed), n, bed.audio_ring(n), std::ref(runs[n]),
                             std::cref(done));
    }
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    done.store(true);
    for (auto& t : clients)
        t.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const uint64_t card_cpu = card.pacing_cpu_ns() - card_cpu_before;
    const double card_late_ms = double(card.take_pacing_late_max_ns()) / 1e6;
    // The engine (re)starts are the writes; the blocks' arrivals are the interrupt routine's reads
    // (the delivery's own reads of the block register, which check a copy, are not interrupts).
    const auto full_log = card.access_log();
    card.set_access_log(false);
    const std::set<uint32_t> routine = bench::interrupt_threads(full_log);
    std::vector<sim::AccessRecord> log;
    for (const auto& a : full_log)
        if (a.is_write || routine.count(a.thread)) log.push_back(a);
    std::array<bench::DriverCost, kInputs> costs;
    const uint64_t register_ns = bench::register_model_ns();
    // Audio and video of four inputs share the interrupt routine: a quarter of its time each way
    // would be a guess, so the audio pins are charged by their share of the interrupts' sources.
    uint64_t audio_reads = 0, video_reads = 0;
    for (const auto& a : log) {
        if (a.is_write) continue;
        for (uint32_t n = 0; n < kInputs; ++n) {
            audio_reads += a.offset == kAudioBlock[n];
            video_reads += a.offset == kVideoBlock[n];
        }
    }
    const double audio_share =
        audio_reads + video_reads ? double(audio_reads) / double(audio_reads + video_reads) / kInputs : 0.0;
    for (uint32_t n = 0; n < kInputs; ++n)
        costs[n] = bench::driver_cost(apins[n]->kspin(), audio_share);
    for (uint32_t n = 0; n < kInputs; ++n) {
        apins[n]->set_state(KSSTATE_STOP);
        vpins[n]->set_state(KSSTATE_STOP);
    }

    uint64_t all_frames = 0;
    std::string fps;
    for (uint32_t n = 0; n < kInputs; ++n) {
        all_frames += video_frames[n].load();
        char one[32];
        std::snprintf(one, sizeof one, "%s%.1f", n ? " " : "", double(video_frames[n].load()) / elapsed);
        fps += one;
    }
    std::printf(
        "audio delivery, %d s, four inputs with audio and video (video frames a second, per input: %s); "
        "card model CPU %.0f%% of a core, its pacing woke up to %.1f ms late;\nits register handling in the "
        "driver's routines %.0f%% of a core (bus time, not in the driver's figures)\n",
        seconds, fps.c_str(), double(card_cpu) / 1e9 / elapsed * 100, card_late_ms,
        double(register_ns) / 1e9 / elapsed * 100);
    const sim::InterruptTiming& timing = options.card.interrupt_timing;
    std::printf(
        "interrupt latency %s%.1f ms, card start seed %llu; breaks at flagged buffers counted apart; a read of "
        "the thread CPU clock costs %.2f us, taken off each measured call\nthread priorities: %s\n",
        timing.random_latency ? "up to " : "", timing.latency_us / 1000.0,
        static_cast<unsigned long long>(bed.card().start_seed()), double(host::cost::read_overhead_ns()) / 1e3,
        host::realtime_priorities() ? "interrupt, DPC and processing threads real-time (in that order), the rest normal"
                                    : "all normal");
    std::printf("%-5s %7s %6s %9s %9s | %-22s | %-15s | %7s %7s %7s %7s %6s\n", "input", "buffers", "breaks", "flagged",
                "lost", "irq->done p50/p99/max", "done->client", "memcpy", "driver", "dpc", "isr", "ratio");
    std::printf("%-5s %7s %6s %9s %9s | %-22s | %-15s | %7s %7s %7s %7s %6s\n", "", "", "", "/breaks", "bytes", "ms",
                "p50/p99 ms", "us/buf", "us/buf", "us/buf", "us/buf", "");
    uint64_t breaks = 0, lost_all = 0;
    bool latency_met = true;
    bench::Json j;
    j.open_object().text("benchmark", "bench_audio").integer("seconds", uint64_t(seconds)).number("elapsed_s", elapsed);
    j.integer("video_frames", all_frames).number("card_cpu_share", double(card_cpu) / 1e9 / elapsed);
    j.number("cpu_clock_read_us", double(host::cost::read_overhead_ns()) / 1e3);
    j.integer("realtime_priorities", host::realtime_priorities() ? 1 : 0);
    j.number("latency_goal_ms", kLatencyGoalMs).open_array("input");
    bench::Panel panel;
    panel.title = "Audio 48 kHz stereo, 4 inputs, with video on all four";
    panel.x_label = "latency from the block's interrupt to the buffer's completion (ms)";
    panel.y_label = "share of audio buffers, cumulative (%)";
    for (uint32_t n = 0; n < kInputs; ++n) {
        AudioRun& r = runs[n];
        breaks += r.breaks;
        const uint64_t lost = bed.driver_input(n).audio_lost_bytes;
        lost_all += lost;
        const auto marks = BlockTimes(log, n, card_to_host);
        std::vector<double> irq_ms, client_ms;
        for (const Delivered& d : r.delivered) {
            client_ms.push_back(double(d.picked_ns - d.completed_ns) / 1e6);
            // This buffer became deliverable with the block that brought the total to its end.
            auto it = std::lower_bound(marks.begin(), marks.end(), std::make_pair(d.end_bytes, int64_t(INT64_MIN)));
            if (it != marks.end() && d.completed_ns >= it->second)
                irq_ms.push_back(double(d.completed_ns - it->second) / 1e6);
        }
        const bench::DriverCost& c = costs[n];
        const double frames = c.frames ? double(c.frames) : 1.0;
        const double mem_us = bench::mean(r.memcpy_ns) / 1e3;
        const double ratio = mem_us > 0 ? c.per_frame_us() / mem_us : 0.0;
        latency_met = latency_met && bench::percentile(irq_ms, 0.99) < kLatencyGoalMs;
        const std::string flagged = std::to_string(r.flagged) + "/" + std::to_string(r.flagged_breaks);
        std::printf("%-5u %7llu %6llu %9s %9llu | %6.2f %6.2f %7.2f | %6.2f %6.2f  | %7.2f %7.1f %7.1f %7.1f %6.1f%s\n",
                    n, static_cast<unsigned long long>(r.buffers), static_cast<unsigned long long>(r.breaks),
                    flagged.c_str(), static_cast<unsigned long long>(lost), bench::percentile(irq_ms, 0.5),
                    bench::percentile(irq_ms, 0.99), bench::percentile(irq_ms, 1.0), bench::percentile(client_ms, 0.5),
                    bench::percentile(client_ms, 0.99), mem_us, c.per_frame_us(), double(c.dpc_ns) / 1e3 / frames,
                    double(c.interrupt_ns) / 1e3 / frames, ratio, r.error.empty() ? "" : ("  " + r.error).c_str());
        j.open_object().integer("input", n).integer("buffers", r.buffers).integer("index_breaks", r.breaks);
        j.integer("flagged", r.flagged)
            .integer("breaks_in_flagged", r.flagged_breaks)
            .integer("lost_bytes", lost)
            .integer("bytes", r.bytes);
        for (auto [name, v] : {std::pair{"irq_to_done_ms", &irq_ms}, std::pair{"done_to_client_ms", &client_ms}}) {
            j.open_object(name);
            j.number("p50", bench::percentile(*v, 0.5)).number("p90", bench::percentile(*v, 0.9));
            j.number("p99", bench::percentile(*v, 0.99)).number("p999", bench::percentile(*v, 0.999));
            j.number("max", bench::percentile(*v, 1.0)).integer("samples", v->size());
            j.close_object();
        }
        j.number("memcpy_us_mean", mem_us).open_object("driver");
        j.integer("buffers", c.frames).integer("bytes", c.bytes).integer("process_ns", c.process_ns);
        j.integer("process_calls", c.process_calls).integer("dpc_calls", c.dpc_calls);
        j.integer("dpc_ns", c.dpc_ns).integer("interrupt_share_ns", c.interrupt_ns);
        j.integer("dpc_max_ns", c.max_dpc_ns).number("us_per_buffer", c.per_frame_us()).close_object();
        j.number("ratio", ratio).text("error", r.error).numbers("irq_to_done_samples_ms", irq_ms).close_object();
        panel.series.push_back({"input " + std::to_string(n), irq_ms});
    }
    j.close_array().close_object();
    std::printf("goals: 0 sample-index breaks %s (%llu); 0 bytes lost %s; irq->done p99 < %.0f ms %s\n",
                breaks == 0 ? "met" : "NOT met", static_cast<unsigned long long>(breaks),
                lost_all == 0 ? "met" : "NOT met", kLatencyGoalMs, latency_met ? "met" : "NOT met");
    std::string error;
    int code = breaks == 0 && lost_all == 0 ? 0 : 2;
    if (!json_path.empty() && !j.write(json_path, error)) code = (std::fprintf(stderr, "%s\n", error.c_str()), 1);
    if (!plot_path.empty() && !bench::plot_latency(plot_path, {panel}, kLatencyGoalMs, error))
        code = (std::fprintf(stderr, "%s\n", error.c_str()), 1);
    for (uint32_t n = 0; n < kInputs; ++n) {
        apins[n]->close();
        vpins[n]->close();
    }
    return code;
}

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
    const int code = RunBench(argc, argv);
    // After the device's removal, so what teardown finds is counted too.
    return host::verifier::print_summary(stdout) == 0 ? code : 3;
}
