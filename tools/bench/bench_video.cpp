// Streams all four inputs at 1920x1080 (progressive 60 frames/s, then interlaced 60 fields/s)
// in real-time pacing and prints, per input: frames delivered, drops, delivery latency (card
// interrupt -> buffer completed) and the driver's copy time per frame against memcpy of the
// same bytes measured in the same run.
//
// Time points of one frame, all on the host's monotonic clock:
//   interrupt  the interrupt routine's read of the input's video DMA register (the card's
//              register log, whose time base is calibrated against the host clock at start);
//   stamp      the driver's presentation time, taken from the graph clock right after the copy
//              (converted back to host time from the clock's start);
//   completed  when the client got the buffer back.
// "copy" is stamp - interrupt: the copy plus the hop from interrupt to the Process dispatch
// (DPC, event, wake), so it bounds the driver's copy from above.
//
// "torn" counts delivered frames whose lines do not all carry the stamps of one frame (line
// number, field parity, frame number): a copy that raced the engine's writes.
//
// Usage: bench_video [seconds] [--mode p|i|both] [--irq-latency MS|~MS[:SEED]] [--start-seed N]
//        (default 30 s, both)
#include "client/testbed.h"
#include "driver/device/guids.h"
#include "platform/host/kernel.h"
#include "platform/host/verifier.h"

#include <algorithm>
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

constexpr uint32_t kInputs = 4;
constexpr uint32_t kWidth = 1920, kHeight = 1080;
constexpr uint32_t kFrameBytes = kWidth * kHeight * 2;
constexpr uint32_t kHeaderSize = 128;
constexpr uint32_t kQueued = 4;
constexpr uint32_t kVideoBlock[kInputs] = {0x9000, 0xB000, 0x9800, 0xB800};
const GUID* const kVideoRef[kInputs] = {&kRefVideo0, &kRefVideo1, &kRefVideo2, &kRefVideo3};

struct FrameRecord {
    int64_t completed_ns;
    int64_t stamp_ns;   // host time of the driver's presentation time stamp
    int64_t memcpy_ns;  // memcpy of the same bytes by the consumer
    uint64_t drops;     // DropCount of the frame info
    uint32_t frame;     // the card's frame number stamped in the first line
    bool torn;          // some line is not the one of that frame the pattern puts there
};

struct Settings {
    int seconds = 30;
    sim::InterruptTiming timing;
    std::optional<uint64_t> start_seed;
};

// Every line carries {frame, line, field, input}: a whole frame has one frame number, the line
// numbers in order and, woven, the top field on the even lines.
bool Torn(const uint8_t* data, bool interlaced) {
    uint32_t first;
    std::memcpy(&first, data, sizeof first);
    for (uint32_t r = 0; r < kHeight; ++r) {
        const uint8_t* line = data + size_t(r) * kWidth * 2;
        uint32_t frame;
        uint16_t number;
        std::memcpy(&frame, line, sizeof frame);
        std::memcpy(&number, line + 4, sizeof number);
        if (frame != first || number != r || line[6] != (interlaced ? (r & 1) : 0)) return true;
    }
    return false;
}

struct InputRun {
    std::unique_ptr<qh::client::Filter> filter;
    std::unique_ptr<qh::client::Pin> pin;
    std::shared_ptr<qh::client::Clock> clock;
    int64_t clock_host_ns = 0;   // host time when the clock's stream time was clock_stream
    int64_t clock_stream = 0;    // 100 ns
    std::vector<FrameRecord> frames;
    uint64_t produced_before = 0, produced_after = 0;
    std::string error;
};

int64_t HostNs() { return host::now_100ns() * 100; }

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, static_cast<size_t>(p * double(v.size() - 1) + 0.5));
    return v[i];
}

void Consume(InputRun& run, bool interlaced, std::chrono::steady_clock::time_point deadline) {
    std::vector<uint8_t> scratch(kFrameBytes);
    while (std::chrono::steady_clock::now() < deadline) {
        qh::client::CompletedFrame f;
        if (!run.pin->wait_completed(f, 1000)) continue;
        if (f.status != STATUS_SUCCESS) {
            run.error = "frame completed with status " + std::to_string(f.status);
            return;
        }
        FrameRecord r{};
        r.completed_ns = static_cast<int64_t>(f.completed_ns);
        const KSSTREAM_HEADER& h = f.stream_header();
        r.stamp_ns = run.clock_host_ns + (h.PresentationTime.Time - run.clock_stream) * 100;
        const auto t0 = std::chrono::steady_clock::now();
        std::memcpy(scratch.data(), f.data.data(), kFrameBytes);
        const auto t1 = std::chrono::steady_clock::now();
        r.memcpy_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count();
        KS_FRAME_INFO info;
        std::memcpy(&info, f.header.data() + sizeof(KSSTREAM_HEADER), sizeof info);
        r.drops = static_cast<uint64_t>(info.DropCount);
        std::memcpy(&r.frame, f.data.data(), sizeof r.frame);
        if (h.DataUsed < kFrameBytes)
            run.error = "short frame";
        else
            r.torn = Torn(f.data.data(), interlaced);
        run.frames.push_back(r);
        run.pin->submit(kFrameBytes, kHeaderSize);
    }
}

bool RunMode(bool interlaced, const Settings& settings) {
    const int seconds = settings.seconds;
    qh::TestbedOptions options;
    options.card = sim::Card::default_config();
    options.card.interrupt_timing = settings.timing;
    options.card.start_seed = settings.start_seed;
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
    const auto settle_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (uint32_t n = 0; n < kInputs; ++n) {
        while (!card.receiver_state(n).locked && std::chrono::steady_clock::now() < settle_deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    std::unique_ptr<qh::client::Device> device = qh::client::open_device(bed.ksdevice());
    InputRun runs[kInputs];
    for (uint32_t n = 0; n < kInputs; ++n) {
        InputRun& run = runs[n];
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
    card.set_access_log(true);
    card.clear_access_log();
    const int64_t before = HostNs();
    card.read32(0x24);
    const int64_t after = HostNs();
    auto calibration = card.access_log();
    if (calibration.empty()) {
        std::printf("the card's register log is off\n");
        return false;
    }
    const int64_t card_to_host = (before + after) / 2 - static_cast<int64_t>(calibration.back().time_ns);

    for (uint32_t n = 0; n < kInputs; ++n) {
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
        for (uint32_t i = 0; i < kQueued; ++i) run.pin->submit(kFrameBytes, kHeaderSize);
    }
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    std::vector<std::thread> consumers;
    for (uint32_t n = 0; n < kInputs; ++n) {
        runs[n].produced_before = card.frames_produced(n);
        if (runs[n].pin->set_state(KSSTATE_RUN) != STATUS_SUCCESS) {
            std::printf("input %u: RUN refused\n", n);
            return false;
        }
        consumers.emplace_back(Consume, std::ref(runs[n]), interlaced, deadline);
    }
    for (auto& t : consumers) t.join();
    for (uint32_t n = 0; n < kInputs; ++n) {
        runs[n].pin->set_state(KSSTATE_PAUSE);
        runs[n].produced_after = card.frames_produced(n);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto log = card.access_log();
    card.set_access_log(false);
    for (uint32_t n = 0; n < kInputs; ++n) runs[n].pin->set_state(KSSTATE_STOP);

    const sim::InterruptTiming& timing = settings.timing;
    std::printf("\n1920x1080%s60, %d s, 4 inputs in real time, interrupt latency %s%.1f ms, card start seed %llu\n",
                interlaced ? "i" : "p", seconds, timing.random_latency ? "up to " : "", timing.latency_us / 1000.0,
                static_cast<unsigned long long>(card.start_seed()));
    std::printf("%-5s %7s %7s %6s %6s %6s %5s | %8s %8s %8s | %8s %8s %6s\n", "input", "frames", "fps", "drops",
                "missed", "repeat", "torn",
                "lat p50", "lat p99", "lat max", "copy p50", "memcpy", "ratio");
    bool ok = true;
    for (uint32_t n = 0; n < kInputs; ++n) {
        InputRun& run = runs[n];
        // Interrupts of this input that wake the pin: every read of its DMA register by the
        // interrupt routine (for an interlaced input only the bottom fields, bit 24).
        std::vector<int64_t> irq;
        for (const auto& a : log)
            if (!a.is_write && a.offset == kVideoBlock[n] && (!interlaced || (a.value & 0x1000000)))
                irq.push_back(static_cast<int64_t>(a.time_ns) + card_to_host);
        std::vector<double> latency_ms, copy_us, memcpy_us;
        for (const FrameRecord& r : run.frames) {
            memcpy_us.push_back(double(r.memcpy_ns) / 1e3);
            auto it = std::upper_bound(irq.begin(), irq.end(), r.stamp_ns);
            if (it == irq.begin()) continue;
            const int64_t t_irq = *(it - 1);
            latency_ms.push_back(double(r.completed_ns - t_irq) / 1e6);
            copy_us.push_back(double(r.stamp_ns - t_irq) / 1e3);
        }
        const uint64_t produced = run.produced_after - run.produced_before;
        const uint64_t delivered = run.frames.size();
        const uint64_t drops = run.frames.empty() ? 0 : run.frames.back().drops;
        // Deliveries of a frame already delivered (the card's frame stamp did not move on).
        uint64_t repeats = 0;
        for (size_t i = 1; i < run.frames.size(); ++i) repeats += run.frames[i].frame == run.frames[i - 1].frame;
        uint64_t torn = 0;
        for (const FrameRecord& r : run.frames) torn += r.torn;
        // Frames the card completed that never reached the client.
        const uint64_t distinct = delivered - repeats;
        const uint64_t missed = produced > distinct ? produced - distinct : 0;
        const double copy50 = Percentile(copy_us, 0.5), mem50 = Percentile(memcpy_us, 0.5);
        std::printf("%-5u %7llu %7.2f %6llu %6llu %6llu %5llu | %6.2fms %6.2fms %6.2fms | %6.0fus %6.0fus %6.2f%s\n", n,
                    static_cast<unsigned long long>(delivered), double(delivered) / elapsed,
                    static_cast<unsigned long long>(drops), static_cast<unsigned long long>(missed),
                    static_cast<unsigned long long>(repeats), static_cast<unsigned long long>(torn), Percentile(latency_ms, 0.5), Percentile(latency_ms, 0.99), Percentile(latency_ms, 1.0), copy50,
                    mem50, mem50 > 0 ? copy50 / mem50 : 0.0, run.error.empty() ? "" : ("  " + run.error).c_str());
        if (!run.error.empty() || torn != 0) ok = false;
    }
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    Settings settings;
    int& seconds = settings.seconds;
    std::string mode = "both";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--mode" && i + 1 < argc) {
            mode = argv[++i];
        } else if (arg == "--irq-latency" && i + 1 < argc) {
            if (!sim::parse_interrupt_latency(argv[++i], settings.timing)) {
                std::fprintf(stderr, "bad --irq-latency: %s (MS or ~MS[:SEED])\n", argv[i]);
                return 2;
            }
        } else if (arg == "--start-seed" && i + 1 < argc) {
            settings.start_seed = std::strtoull(argv[++i], nullptr, 0);
        } else if (arg == "-h" || arg == "--help") {
            std::printf("usage: %s [seconds] [--mode p|i|both] [--irq-latency MS|~MS[:SEED]] [--start-seed N]\n", argv[0]);
            return 0;
        } else {
            seconds = std::atoi(arg.c_str());
            if (seconds <= 0) {
                std::fprintf(stderr, "bad duration: %s\n", arg.c_str());
                return 2;
            }
        }
    }
    bool ok = true;
    if (mode == "p" || mode == "both") ok = RunMode(false, settings) && ok;
    if (mode == "i" || mode == "both") ok = RunMode(true, settings) && ok;
    std::printf("\n");
    if (host::verifier::print_summary(stdout) != 0) return 3;
    return ok ? 0 : 1;
}
