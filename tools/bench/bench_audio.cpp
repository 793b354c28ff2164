// Audio delivery under load: all four inputs capture audio and video together with the card paced
// in real time. Prints, per input, the buffers delivered, breaks in the sample index, bytes the
// driver reported lost, and the delivery latency (card interrupt -> buffer completed) p50/p99/max.
//
// A break in a buffer the driver flagged as a discontinuity (audio it had to skip) is counted
// apart from the breaks nothing announced.
//
//   bench_audio [seconds] [--irq-latency MS|~MS[:SEED]] [--start-seed N]     (default 60 s)
#include "client/testbed.h"
#include "driver/device/devext.h"
#include "driver/device/guids.h"
#include "platform/host/kernel.h"
#include "platform/host/verifier.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kBlock = 1920;
constexpr uint32_t kFramesPerBlock = kBlock / 4;
constexpr uint32_t kAudioBuffers = 8;
constexpr uint32_t kVideoBuffers = 3;

const GUID* kAudioRefs[4] = {&kRefAudio0, &kRefAudio1, &kRefAudio2, &kRefAudio3};
const GUID* kVideoRefs[4] = {&kRefVideo0, &kRefVideo1, &kRefVideo2, &kRefVideo3};

// The host's monotonic clock, the one completion times are stamped with.
uint64_t NowNs() { return static_cast<uint64_t>(host::now_100ns()) * 100; }

std::unique_ptr<qh::client::Filter> Open(qh::client::Device& device, const GUID& reference) {
    std::unique_ptr<qh::client::Filter> filter;
    for (const auto& info : device.filters()) {
        if (IsEqualGUID(info.reference, reference)) device.open_filter(info.index, filter);
    }
    return filter;
}

std::vector<uint8_t> PcmFormat() {
    KSDATAFORMAT_WAVEFORMATEX f{};
    f.DataFormat.FormatSize = sizeof f;
    f.DataFormat.SampleSize = 4;
    f.DataFormat.MajorFormat = kTypeAudio;
    f.DataFormat.SubFormat = kSubtypePcm;
    f.DataFormat.Specifier = kSpecifierWaveFormatEx;
    f.WaveFormatEx.wFormatTag = WAVE_FORMAT_PCM;
    f.WaveFormatEx.nChannels = 2;
    f.WaveFormatEx.nSamplesPerSec = 48000;
    f.WaveFormatEx.nAvgBytesPerSec = 192000;
    f.WaveFormatEx.nBlockAlign = 4;
    f.WaveFormatEx.wBitsPerSample = 16;
    std::vector<uint8_t> bytes(sizeof f);
    std::memcpy(bytes.data(), &f, sizeof f);
    return bytes;
}

// Interrupt times of one input's audio blocks, seen as the rise of AudioHwBytes; a watcher
// thread samples it far more often than blocks arrive.
struct BlockClock {
    std::mutex lock;
    std::vector<std::pair<uint64_t, uint64_t>> marks;   // (hw bytes, time seen)
    uint64_t TimeOf(uint64_t hw_bytes) {
        std::lock_guard<std::mutex> g(lock);
        auto it = std::lower_bound(marks.begin(), marks.end(), std::make_pair(hw_bytes, uint64_t(0)));
        return it == marks.end() ? 0 : it->second;
    }
};

uint64_t Percentile(std::vector<uint64_t>& v, double p) {
    if (v.empty()) return 0;
    size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

}  // namespace

int RunBench(int argc, char** argv) {
    int seconds = 60;
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
        } else {
            seconds = std::max(1, std::atoi(arg.c_str()));
        }
    }
    options.card.pacing = sim::Pacing::Realtime;
    for (auto& source : options.card.sources) source.cable = true;
    options.card.sources[3] = options.card.sources[0];
    qh::Testbed bed(options);
    if (!bed.started()) {
        std::fprintf(stderr, "device did not start: 0x%08X\n", static_cast<unsigned>(bed.start_status()));
        return 1;
    }
    devext* ext = bed.ext();
    std::unique_ptr<qh::client::Device> device = qh::client::open_device(bed.ksdevice());

    std::array<std::unique_ptr<qh::client::Filter>, 4> vfilters, afilters;
    std::array<std::unique_ptr<qh::client::Pin>, 4> vpins, apins;
    for (uint32_t n = 0; n < 4; ++n) {
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
            afilters[n]->create_pin(0, PcmFormat(), apins[n]) != STATUS_SUCCESS) {
            std::fprintf(stderr, "input %u: pins could not be created\n", n);
            return 1;
        }
        vpins[n]->set_state(KSSTATE_PAUSE);
        apins[n]->set_state(KSSTATE_PAUSE);
        for (uint32_t i = 0; i < kVideoBuffers; ++i) vpins[n]->submit(kVideoBufferSize, 128);
        for (uint32_t i = 0; i < kAudioBuffers; ++i) apins[n]->submit(kBlock, 56);
    }

    std::array<BlockClock, 4> clocks;
    std::atomic<bool> done{false};
    std::thread watcher([&] {
        std::array<uint64_t, 4> last{};
        while (!done.load()) {
            const uint64_t now = NowNs();
            for (uint32_t n = 0; n < 4; ++n) {
                uint64_t hw = SharedRead(ext->Channel[n].AudioHwBytes);
                if (hw > last[n]) {
                    std::lock_guard<std::mutex> g(clocks[n].lock);
                    // Blocks that arrived between two samples are stamped at the second.
                    for (uint64_t b = last[n] + kBlock; b <= hw; b += kBlock) clocks[n].marks.emplace_back(b, now);
                    last[n] = hw;
                } else if (hw < last[n]) {
                    last[n] = hw;   // the counters restart with a run
                }
            }
            std::this_thread::yield();
        }
    });

    for (uint32_t n = 0; n < 4; ++n) {
        vpins[n]->set_state(KSSTATE_RUN);
        apins[n]->set_state(KSSTATE_RUN);
    }

    struct Stats {
        uint64_t buffers = 0, breaks = 0, flagged = 0, flagged_breaks = 0;
        std::vector<uint64_t> latency_ns;
        uint16_t expected = 0;
        uint64_t delivered_bytes = 0;
    };
    std::array<Stats, 4> stats;
    uint64_t video_frames = 0;
    const uint64_t end = NowNs() + static_cast<uint64_t>(seconds) * 1000000000ull;
    while (NowNs() < end) {
        bool any = false;
        for (uint32_t n = 0; n < 4; ++n) {
            qh::client::CompletedFrame frame{};
            while (apins[n]->wait_completed(frame, 0)) {
                any = true;
                Stats& s = stats[n];
                const auto& h = frame.stream_header();
                const bool flagged = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
                uint64_t& breaks = flagged ? s.flagged_breaks : s.breaks;
                if (h.DataUsed >= 4) {
                    const uint16_t first = static_cast<uint16_t>(frame.data[0] | (frame.data[1] << 8));
                    if (s.buffers > 0 && first != s.expected) ++breaks;
                    for (uint32_t f = 1; f < h.DataUsed / 4; ++f) {
                        uint16_t v = static_cast<uint16_t>(frame.data[f * 4] | (frame.data[f * 4 + 1] << 8));
                        if (v != static_cast<uint16_t>(first + f)) {
                            ++breaks;
                            break;
                        }
                    }
                    s.expected = static_cast<uint16_t>(first + h.DataUsed / 4);
                }
                if (flagged) ++s.flagged;
                s.delivered_bytes += h.DataUsed;
                // This buffer became deliverable with the block that brought the delivered total
                // to its end; its interrupt is when that block's count was seen.
                // Audio the driver skipped after an overrun counts as delivered in its books.
                const uint64_t ready =
                    clocks[n].TimeOf(s.delivered_bytes + SharedRead(ext->Channel[n].AudioLostBytes));
                if (ready != 0 && frame.completed_ns >= ready) s.latency_ns.push_back(frame.completed_ns - ready);
                ++s.buffers;
                apins[n]->submit(kBlock, 56);
            }
            while (vpins[n]->wait_completed(frame, 0)) {
                any = true;
                ++video_frames;
                vpins[n]->submit(kVideoBufferSize, 128);
            }
        }
        if (!any) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }

    for (uint32_t n = 0; n < 4; ++n) {
        apins[n]->set_state(KSSTATE_STOP);
        vpins[n]->set_state(KSSTATE_STOP);
    }
    done.store(true);
    watcher.join();

    const sim::InterruptTiming& timing = options.card.interrupt_timing;
    std::printf("audio delivery, %d s, four inputs with audio and video (%llu video frames), interrupt latency "
                "%s%.1f ms, card start seed %llu\n",
                seconds, static_cast<unsigned long long>(video_frames), timing.random_latency ? "up to " : "",
                timing.latency_us / 1000.0, static_cast<unsigned long long>(bed.card().start_seed()));
    std::printf("input  buffers  index-breaks  flagged (breaks)  lost-bytes  latency p50/p99/max (us)\n");
    uint64_t breaks = 0;
    for (uint32_t n = 0; n < 4; ++n) {
        Stats& s = stats[n];
        breaks += s.breaks;
        const uint64_t lost = SharedRead(ext->Channel[n].AudioLostBytes);
        std::vector<uint64_t>& l = s.latency_ns;
        const uint64_t max = l.empty() ? 0 : *std::max_element(l.begin(), l.end());
        const uint64_t p50 = Percentile(l, 0.50), p99 = Percentile(l, 0.99);
        std::printf("%5u  %7llu  %12llu  %7llu (%6llu)  %10llu  %.1f / %.1f / %.1f\n", n,
                    static_cast<unsigned long long>(s.buffers), static_cast<unsigned long long>(s.breaks),
                    static_cast<unsigned long long>(s.flagged), static_cast<unsigned long long>(s.flagged_breaks),
                    static_cast<unsigned long long>(lost), p50 / 1000.0,
                    p99 / 1000.0, max / 1000.0);
    }
    std::printf("sample index discontinuities outside flagged buffers: %llu\n", static_cast<unsigned long long>(breaks));
    for (uint32_t n = 0; n < 4; ++n) {
        apins[n]->close();
        vpins[n]->close();
    }
    return breaks == 0 ? 0 : 2;
}

int main(int argc, char** argv) {
    const int code = RunBench(argc, argv);
    // After the device's removal, so what teardown finds is counted too.
    return host::verifier::print_summary(stdout) == 0 ? code : 3;
}
