// capture and stats: stream video and audio pins the way a capture application does (intersect,
// create the pin with the format, give it a clock, keep buffers queued, run), check what arrives,
// write it to files and summarise.
#include "tools/quadhdmi/commands.h"

#include "driver/public.h"
#include "platform/host/trace.h"
#include "tools/quadhdmi/checks.h"
#include "tools/quadhdmi/describe.h"
#include "tools/quadhdmi/media.h"
#include "tools/quadhdmi/session.h"
#include "platform/host/cost.h"
#include "platform/host/kernel.h"
#include "platform/host/verifier.h"
#include "sim/pattern.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>

namespace qh::tool {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> g_interrupted{false};
extern "C" void on_interrupt(int) { g_interrupted.store(true); }

// A stream that has produced nothing for this long is considered to have no signal.
constexpr auto kStallLimit = std::chrono::seconds(3);
constexpr uint32_t kVideoHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
constexpr uint32_t kAudioHeaderSize = sizeof(KSSTREAM_HEADER);

// Why an input delivered nothing, as the driver's trace of opening its filter tells: an I2C
// master that never became idle while the receiver was read (the cable byte the driver then
// traces is the zero of a failed read, not the receiver's answer), the cable byte the receiver
// answered (0xFF: nothing answers on its I2C bus), or a picture size the driver could not use.
// "" when the trace tells nothing.
std::string silence_reason(const std::string& trace, const std::string& connect_prefix, uint32_t input) {
    const size_t at = trace.find(connect_prefix);
    char stuck[64];
    std::snprintf(stuck, sizeof stuck, "Check_I2c_Free error! IIC : %x ", 0x4000u + 0x1000u * input);
    const size_t failed = trace.find(stuck);
    if (failed != std::string::npos && (at == std::string::npos || failed < at))
        return "the input's I2C master is stuck (it never became idle, so the receiver could not be read)";
    if (at != std::string::npos) {
        const unsigned long byte = std::strtoul(trace.c_str() + at + connect_prefix.size(), nullptr, 16);
        if (byte == 0xFF) return "the receiver does not answer (absent)";
        if ((byte & 1) == 0) return "no cable";
    }
    if (trace.find("image size error") != std::string::npos)
        return "the receiver reports no picture size the card can capture";
    return {};
}

std::string errno_text() { return std::strerror(errno); }

// ---------------------------------------------------------------------------------------------

class VideoStream {
public:
    uint32_t input = 0;
    std::unique_ptr<client::Filter> filter;
    std::unique_ptr<client::Pin> pin;
    uint32_t width = 0, height = 0, frame_bytes = 0;
    int64_t duration = 0;
    bool interlaced = false;
    std::unique_ptr<VideoWriter> writer;
    bool keep_last = false;

    // Results.
    std::atomic<uint64_t> frames{0};
    uint64_t missed = 0;          // frame numbers skipped between delivered frames
    uint64_t bad_frames = 0;      // frames with any of the faults below (counted once each)
    uint64_t torn = 0, mixed = 0, misplaced = 0, short_frames = 0;   // what the stamps say (sim::FrameFault)
    uint64_t repeated = 0;        // a frame number delivered again
    uint64_t backwards = 0;       // a smaller frame number without the discontinuity flag
    uint64_t driver_drops = 0;    // DropCount of the last frame info
    uint64_t held_back = 0;       // frames the driver held back as possibly torn, repeated or mixed
    uint64_t picture_number = 0;  // PictureNumber of the last frame info
    std::vector<double> latency_ms;
    std::vector<uint8_t> last_frame;
    std::string note;             // why the stream ended early, if it did (read once joined)
    std::string silence;          // why the input may deliver nothing, from the driver's trace
    std::string write_error;      // the first failure of the video file; no frame is written after it
    uint64_t written = 0;         // frames in the video file
    std::atomic<bool> ended{false};  // the capture thread gave up; the main thread polls this
    uint64_t first_ns = 0, last_ns = 0;

    // Opens the filter, intersects, creates the pin. `format` "WxH" picks a range, "" range 0.
    bool open(Session& session, uint32_t in, const std::string& format, std::string& error) {
        input = in;
        order_.restart();   // a new pin: the stream of frames starts afresh
        const host::trace::Mark mark = host::trace::mark();
        NTSTATUS status = session.open_filter(input, true, filter);
        if (status != STATUS_SUCCESS) {
            error = "cannot open the video filter: " + status_text(status);
            return false;
        }
        silence = silence_reason(host::trace::text_since(mark), "temp connect video" + std::to_string(input) + " :", input);
        std::vector<client::PinInfo> pins = filter->pins();
        if (pins.empty() || pins[0].ranges.empty()) {
            error = "the video filter has no capture pin ranges";
            return false;
        }
        const std::vector<uint8_t>* chosen = &pins[0].ranges[0];
        if (!format.empty()) {
            chosen = nullptr;
            for (const auto& range : pins[0].ranges) {
                uint32_t w, h;
                int64_t d;
                if (video_range_size(range, w, h, d) && std::to_string(w) + "x" + std::to_string(h) == format) {
                    chosen = &range;
                    break;
                }
            }
            if (!chosen) {
                error = "no video range of " + format + " (see quadhdmi list)";
                return false;
            }
        }
        std::vector<uint8_t> data_format;
        status = filter->intersect(0, {*chosen}, data_format);
        if (status != STATUS_SUCCESS || data_format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
            error = "format intersection failed: " + status_text(status);
            return false;
        }
        KS_DATAFORMAT_VIDEOINFOHEADER vf;
        std::memcpy(&vf, data_format.data(), sizeof vf);
        width = uint32_t(vf.VideoInfoHeader.bmiHeader.biWidth);
        height = uint32_t(std::abs(vf.VideoInfoHeader.bmiHeader.biHeight));
        duration = vf.VideoInfoHeader.AvgTimePerFrame;
        frame_bytes = width * height * 2;
        if (width == 0 || height == 0) {
            error = "the intersected format has no size";
            return false;
        }
        status = filter->create_pin(0, data_format, pin);
        if (status != STATUS_SUCCESS) {
            error = "creating the capture pin failed: " + status_text(status);
            return false;
        }
        interlaced = SharedRead(session.ext()->Channel[input].Interlaced) != 0;
        return true;
    }

    NTSTATUS run(std::shared_ptr<client::Clock> clock, uint32_t buffers) {
        NTSTATUS status = pin->set_master_clock(std::move(clock));
        if (status != STATUS_SUCCESS) return status;
        // Buffers are queued once the pin is paused (a stopped pin refuses them), before it runs.
        status = pin->set_state(KSSTATE_PAUSE);
        if (status != STATUS_SUCCESS) return status;
        for (uint32_t i = 0; i < buffers; ++i) {
            status = pin->submit(frame_bytes, kVideoHeaderSize);
            if (status != STATUS_SUCCESS) return status;
        }
        return pin->set_state(KSSTATE_RUN);
    }

    // Checks one frame against the card's pattern (every line of one frame, in order; woven,
    // even lines from the top field and odd lines from the bottom field of that frame) and
    // against the frame before it: a frame number must move on, and may go back only on a
    // frame the driver flagged as a discontinuity (the source started again).
    void check(const uint8_t* data, bool discontinuity) {
        const sim::FrameCheck c = sim::check_frame(data, size_t(width) * 2, height, input, interlaced);
        switch (c.fault) {
        case sim::FrameFault::None: break;
        case sim::FrameFault::Torn: ++torn; break;
        case sim::FrameFault::Mixed: ++mixed; break;
        case sim::FrameFault::Misplaced: ++misplaced; break;
        }
        const sim::FrameOrder::Result order = order_.next(c.frame, discontinuity);
        if (order.step == sim::FrameOrder::Step::Repeated) ++repeated;
        if (order.step == sim::FrameOrder::Step::Backwards) ++backwards;
        missed += order.skipped;
        if (c.fault != sim::FrameFault::None || sim::FrameOrder::bad(order.step)) ++bad_frames;
    }

    // "" when every frame was good, else what was wrong with the bad ones.
    std::string bad_detail() const {
        if (bad_frames == 0) return {};
        std::string text;
        auto part = [&](const char* what, uint64_t n) {
            if (n == 0) return;
            text += (text.empty() ? " (" : ", ") + std::to_string(n) + " " + what;
        };
        part("torn", torn);
        part("mixed", mixed);
        part("misplaced", misplaced);
        part("short", short_frames);
        part("repeated", repeated);
        part("out of order", backwards);
        return text + ")";
    }

    // Waits for completed frames and queues them again until `done` says stop.
    void loop(uint64_t target, const std::atomic<bool>& stop, int64_t clock_start_ns) {
        auto last_progress = Clock::now();
        while (!stop.load() && !g_interrupted.load() && (target == 0 || frames.load() < target)) {
            client::CompletedFrame frame;
            if (!pin->wait_completed(frame, 100)) {
                if (Clock::now() - last_progress > kStallLimit) {
                    note = frames == 0 ? "no frames (no signal?)" : "frames stopped arriving";
                    ended = true;
                    break;
                }
                continue;
            }
            last_progress = Clock::now();
            if (frame.status != STATUS_SUCCESS) {
                note = "a frame completed with " + status_text(frame.status);
                ended = true;
                break;
            }
            const KSSTREAM_HEADER& header = frame.stream_header();
            if (header.DataUsed >= frame_bytes && frame.data.size() >= frame_bytes) {
                check(frame.data.data(), (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0);
                if (writer && write_error.empty()) {
                    if (writer->write_frame(frame.data.data())) {
                        ++written;
                    } else {
                        write_error = errno_text();
                    }
                }
                if (keep_last) last_frame.assign(frame.data.begin(), frame.data.begin() + frame_bytes);
            } else {
                ++short_frames;
                ++bad_frames;
            }
            if (frame.header.size() >= kVideoHeaderSize) {
                KS_FRAME_INFO info;
                std::memcpy(&info, frame.header.data() + sizeof(KSSTREAM_HEADER), sizeof info);
                driver_drops = uint64_t(info.DropCount);
                picture_number = uint64_t(info.PictureNumber);
            }
            if (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) {
                const double stamp_ns = double(clock_start_ns) + double(header.PresentationTime.Time) * 100.0;
                latency_ms.push_back((double(frame.completed_ns) - stamp_ns) / 1e6);
            }
            if (frames == 0) first_ns = frame.completed_ns;
            last_ns = frame.completed_ns;
            frames.fetch_add(1);
            if (target == 0 || frames.load() + pin->queued() < target + 1) {
                pin->submit(frame_bytes, kVideoHeaderSize);
            }
        }
    }

    // Stops and closes the pin and the filter; the file stays open (a capture may resume).
    void release() {
        if (pin) pin->close();
        pin.reset();
        if (filter) filter->close();
        filter.reset();
    }

    void close() {
        release();
        if (writer && !writer->close() && write_error.empty()) write_error = errno_text();
        writer.reset();
    }

private:
    sim::FrameOrder order_;
};

class AudioStream {
public:
    uint32_t input = 0;
    std::unique_ptr<client::Filter> filter;
    std::unique_ptr<client::Pin> pin;
    WavWriter wav;
    bool write = false;
    sim::AudioIndexCheck checker;
    std::atomic<uint64_t> bytes{0};
    uint64_t flagged = 0;      // buffers marked as data discontinuities by the driver
    std::string note;
    std::string silence;       // why the input may deliver nothing, from the driver's trace
    std::string write_error;   // the first failure of the WAV file; nothing is written after it
    std::atomic<bool> ended{false};

    bool open(Session& session, uint32_t in, std::string& error) {
        input = in;
        checker.restart();   // a new pin: its audio follows nothing delivered before
        const host::trace::Mark mark = host::trace::mark();
        NTSTATUS status = session.open_filter(input, false, filter);
        if (status != STATUS_SUCCESS) {
            error = "cannot open the audio filter: " + status_text(status);
            return false;
        }
        silence = silence_reason(host::trace::text_since(mark), "audio" + std::to_string(input) + " connect:", input);
        std::vector<client::PinInfo> pins = filter->pins();
        if (pins.empty() || pins[0].ranges.empty()) {
            error = "the audio filter has no capture pin ranges";
            return false;
        }
        std::vector<uint8_t> data_format;
        status = filter->intersect(0, {pins[0].ranges[0]}, data_format);
        if (status != STATUS_SUCCESS) {
            error = "audio format intersection failed: " + status_text(status);
            return false;
        }
        status = filter->create_pin(0, data_format, pin);
        if (status != STATUS_SUCCESS) {
            error = "creating the audio capture pin failed: " + status_text(status);
            return false;
        }
        return true;
    }

    NTSTATUS run(std::shared_ptr<client::Clock> clock, uint32_t buffers) {
        NTSTATUS status = pin->set_master_clock(std::move(clock));
        if (status != STATUS_SUCCESS) return status;
        // Buffers are queued once the pin is paused (a stopped pin refuses them), before it runs.
        status = pin->set_state(KSSTATE_PAUSE);
        if (status != STATUS_SUCCESS) return status;
        for (uint32_t i = 0; i < buffers; ++i) {
            status = pin->submit(kAudioBlockSize, kAudioHeaderSize);
            if (status != STATUS_SUCCESS) return status;
        }
        return pin->set_state(KSSTATE_RUN);
    }

    void loop(uint64_t target_bytes, const std::atomic<bool>& stop) {
        auto last_progress = Clock::now();
        while (!stop.load() && !g_interrupted.load() && (target_bytes == 0 || bytes.load() < target_bytes)) {
            client::CompletedFrame frame;
            if (!pin->wait_completed(frame, 100)) {
                if (Clock::now() - last_progress > kStallLimit) {
                    note = bytes == 0 ? "no audio" : "audio stopped arriving";
                    ended = true;
                    break;
                }
                continue;
            }
            last_progress = Clock::now();
            if (frame.status != STATUS_SUCCESS) {
                note = "a buffer completed with " + status_text(frame.status);
                ended = true;
                break;
            }
            const KSSTREAM_HEADER& header = frame.stream_header();
            const size_t used = std::min<size_t>(header.DataUsed, frame.data.size());
            const bool discontinuity = (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
            if (discontinuity) ++flagged;
            checker.feed(frame.data.data(), used, discontinuity);
            if (write && write_error.empty() && !wav.write(frame.data.data(), used)) write_error = errno_text();
            bytes.fetch_add(used);
            pin->submit(kAudioBlockSize, kAudioHeaderSize);
        }
    }

    void release() {
        if (pin) pin->close();
        pin.reset();
        if (filter) filter->close();
        filter.reset();
    }

    void close() {
        release();
        if (write && !wav.close() && write_error.empty()) write_error = errno_text();
        write = false;
    }
};

bool parse_inputs(const CaptureOptions& options, std::vector<uint32_t>& inputs, std::string& error) {
    inputs = options.inputs;
    std::stringstream list(options.input_list);
    std::string item;
    while (std::getline(list, item, ',')) {
        const auto n = parse_whole(item, 0, sim::kInputs - 1);
        if (!n) {
            error = "'" + item + "' in --inputs is not an input number (0..3)";
            return false;
        }
        inputs.push_back(uint32_t(*n));
    }
    if (inputs.empty()) inputs.push_back(0);
    std::vector<uint32_t> unique;
    for (uint32_t input : inputs) {
        if (input >= sim::kInputs) {
            error = "input " + std::to_string(input) + " does not exist (0..3)";
            return false;
        }
        if (std::find(unique.begin(), unique.end(), input) == unique.end()) unique.push_back(input);
    }
    inputs = unique;
    return true;
}

std::string progress_line(const std::vector<std::unique_ptr<VideoStream>>& video,
                          const std::vector<std::unique_ptr<AudioStream>>& audio, double elapsed) {
    std::string line = "\r" + std::to_string(int(elapsed)) + " s";
    char part[64];
    for (const auto& v : video) {
        std::snprintf(part, sizeof part, " | in%u %llu fr", v->input, static_cast<unsigned long long>(v->frames.load()));
        line += part;
    }
    for (const auto& a : audio) {
        std::snprintf(part, sizeof part, " | in%u %.1f s audio", a->input, double(a->bytes.load()) / 192000.0);
        line += part;
    }
    return line + "   ";
}

bool prepare(const CommonOptions& common, sim::CardConfig& config, std::unique_ptr<TraceOutput>& trace) {
    std::string error;
    if (!build_card_config(common, config, error)) {
        std::fprintf(stderr, "quadhdmi: %s\n", error.c_str());
        return false;
    }
    trace = std::make_unique<TraceOutput>(common.trace);
    if (!trace->ok()) {
        std::fprintf(stderr, "quadhdmi: %s\n", trace->error().c_str());
        return false;
    }
    return true;
}

// The driver's own cost as the host measured it: per pin, CPU time in its Process dispatch and
// the DPC the host saw serving it (thread CPU time, waits excluded), the frames and bytes it
// completed; the interrupt routine's time for the whole device. Everything comes from the host's
// own figures, named by routine.
std::string driver_stats(const std::vector<std::unique_ptr<VideoStream>>& video,
                         const std::vector<std::unique_ptr<AudioStream>>& audio, double elapsed) {
    std::string out = "Driver CPU time (host thread CPU clock):\n";
    char line[320];
    // The device's interrupt objects, each once however many pins it serves.
    std::vector<host::cost::Named> interrupts;
    auto row = [&](const char* what, uint32_t input, PKSPIN pin) {
        const host::cost::PinCost c = host::cost::pin_cost(pin);
        const auto& p = c.process;
        const auto& d = c.dpc;
        std::string dpc_names;
        for (const auto& n : c.dpcs) dpc_names += (dpc_names.empty() ? " " : ", ") + n.name;
        const double per = p.frames ? double(p.cpu_ns + d.cpu_ns) / 1e3 / double(p.frames) : 0.0;
        std::snprintf(line, sizeof line,
                      "input %u %s: Process %.1f ms in %llu calls (max %.0f us), DPC%s %.1f ms in %llu runs (max %.0f us), "
                      "%llu buffers, %llu bytes copied, %.1f us a buffer\n",
                      input, what, double(p.cpu_ns) / 1e6, static_cast<unsigned long long>(p.calls),
                      double(p.max_ns) / 1e3, dpc_names.c_str(), double(d.cpu_ns) / 1e6,
                      static_cast<unsigned long long>(d.calls), double(d.max_ns) / 1e3,
                      static_cast<unsigned long long>(p.frames), static_cast<unsigned long long>(p.bytes), per);
        out += line;
        for (auto& i : c.interrupts) {
            const bool seen = std::any_of(interrupts.begin(), interrupts.end(), [&](const host::cost::Named& n) {
                return n.figures.object == i.figures.object;
            });
            if (!seen) interrupts.push_back(i);
        }
    };
    for (const auto& v : video)
        if (v->pin) row("video", v->input, v->pin->kspin());
    for (const auto& a : audio)
        if (a->pin) row("audio", a->input, a->pin->kspin());
    for (const auto& i : interrupts) {
        const auto& f = i.figures;
        std::snprintf(line, sizeof line,
                      "interrupt routine %s: %.1f ms in %llu calls (max %.0f us), %.2f%% of one processor\n",
                      i.name.c_str(), double(f.cpu_ns) / 1e6, static_cast<unsigned long long>(f.calls),
                      double(f.max_ns) / 1e3, elapsed > 0 ? double(f.cpu_ns) / 1e7 / elapsed : 0.0);
        out += line;
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

int run_capture(const CommonOptions& common, CaptureOptions options) {
    std::vector<uint32_t> inputs;
    std::string error;
    if (!parse_inputs(options, inputs, error)) {
        std::fprintf(stderr, "quadhdmi: %s\n", error.c_str());
        return 2;
    }
    // The card can be put back only after it was pulled out.
    if (options.replug_after > 0 && !(options.unplug_after > 0 && options.replug_after > options.unplug_after)) {
        char text[160];
        if (options.unplug_after > 0)
            std::snprintf(text, sizeof text, "--replug-after %g is not later than --unplug-after %g",
                          options.replug_after, options.unplug_after);
        else
            std::snprintf(text, sizeof text, "--replug-after %g without --unplug-after", options.replug_after);
        std::fprintf(stderr, "quadhdmi: %s: the card is put back only after it was pulled out\n", text);
        return kExitRefused;
    }
    const bool several = inputs.size() > 1;
    const bool want_audio = !options.audio.empty();
    const bool want_video = !options.video.empty() || !options.snapshot.empty() || !want_audio;
    // Neither --frames nor --seconds given (an explicit 0 is refused when parsed).
    if (options.frames == 0 && options.seconds <= 0) {
        if (want_video) {
            options.frames = 60;
        } else {
            options.seconds = 1.0;
        }
    }

    // Every file is checked before the card is plugged in, so that no capture runs only to find
    // that its result cannot be kept.
    std::vector<OutputFile> outputs;
    for (uint32_t input : inputs) {
        if (want_video && !options.video.empty())
            outputs.push_back({"--video", per_input_path(options.video, input, several)});
        if (want_video && !options.snapshot.empty())
            outputs.push_back({"--snapshot", per_input_path(options.snapshot, input, several)});
        if (want_audio) outputs.push_back({"--audio", per_input_path(options.audio, input, several)});
    }
    if (!common.trace.empty() && common.trace != "-") outputs.push_back({"--trace", common.trace});
    if (!check_outputs(outputs, error)) {
        std::fprintf(stderr, "quadhdmi: %s\n", error.c_str());
        return 2;
    }

    sim::CardConfig config;
    std::unique_ptr<TraceOutput> trace;
    if (!prepare(common, config, trace)) return 2;
    Session session(config);
    if (session.start() != STATUS_SUCCESS) {
        std::fprintf(stderr, "quadhdmi: the device did not start\n");
        return session.finish() ? 3 : 1;
    }

    std::vector<std::unique_ptr<VideoStream>> video;
    std::vector<std::unique_ptr<AudioStream>> audio;
    int code = 0;
    auto fail = [&](uint32_t input, const std::string& what) {
        std::fprintf(stderr, "quadhdmi: input %u: %s\n", input, what.c_str());
        code = 1;
    };

    for (uint32_t input : inputs) {
        if (want_video) {
            auto v = std::make_unique<VideoStream>();
            if (!v->open(session, input, options.format, error)) {
                fail(input, error);
                v->close();
                continue;
            }
            if (!options.video.empty()) {
                const std::string path = per_input_path(options.video, input, several);
                v->writer = open_video_writer(path, v->width, v->height, v->duration, v->interlaced, error);
                if (!v->writer) {
                    fail(input, error);
                    v->close();
                    continue;
                }
            }
            v->keep_last = !options.snapshot.empty();
            video.push_back(std::move(v));
        }
        if (want_audio) {
            auto a = std::make_unique<AudioStream>();
            if (!a->open(session, input, error)) {
                fail(input, error);
                a->close();
                continue;
            }
            a->write = a->wav.open(per_input_path(options.audio, input, several), 48000, 2, error);
            if (!a->write) {
                fail(input, error);
                a->close();
                continue;
            }
            audio.push_back(std::move(a));
        }
    }

    // One clock for the whole graph; its stream time starts now.
    std::shared_ptr<client::Clock> clock = client::make_clock();
    clock->run();
    // Where stream time 0 lies on the host's clock (the one completion times are taken from).
    const int64_t clock_start_ns = (host::now_100ns() - clock->stream_time()) * 100;
    for (auto& v : video) {
        const NTSTATUS status = v->run(clock, options.buffers);
        if (status != STATUS_SUCCESS) fail(v->input, "the video pin did not run: " + status_text(status));
    }
    for (auto& a : audio) {
        // Audio buffers are 10 ms each: keep enough queued to ride out a busy moment of the host.
        const NTSTATUS status = a->run(clock, options.buffers * 4);
        if (status != STATUS_SUCCESS) fail(a->input, "the audio pin did not run: " + status_text(status));
    }

    host::cost::reset();
    auto previous = std::signal(SIGINT, on_interrupt);
    const auto begin = Clock::now();
    std::atomic<bool> stop_video{false}, stop_audio{false};
    std::vector<std::thread> threads;
    // Audio runs for the given time, or as long as video is being captured.
    const uint64_t audio_target =
        options.seconds > 0 ? uint64_t(options.seconds * 192000.0) / 4 * 4
                            : (video.empty() ? options.frames * kAudioBlockSize : 0);
    auto start_threads = [&] {
        stop_video = false;
        stop_audio = false;
        for (auto& v : video) {
            if (v->pin) threads.emplace_back([&, s = v.get()] { s->loop(options.frames, stop_video, clock_start_ns); });
        }
        for (auto& a : audio) {
            if (a->pin) threads.emplace_back([&, s = a.get()] { s->loop(audio_target, stop_audio); });
        }
    };
    auto join_threads = [&] {
        stop_video = true;
        stop_audio = true;
        for (auto& t : threads) t.join();
        threads.clear();
    };
    start_threads();

    // Told of the removal, an application stops its pins, which gives it its buffers back, and
    // closes its handles; its files end with the last good frame and block.
    bool removed = false;
    auto on_removal = [&] {
        join_threads();
        for (auto& v : video) {
            v->release();
            std::printf("input %u: device removed after %llu frames\n", v->input,
                        static_cast<unsigned long long>(v->frames.load()));
        }
        for (auto& a : audio) {
            a->release();
            if (video.empty())
                std::printf("input %u: device removed after %.2f s of audio\n", a->input, double(a->bytes.load()) / 192000.0);
        }
        std::fflush(stdout);
        removed = true;
    };
    // The card put back: the same streams on the new device, into the same files.
    bool resumed = false;
    auto on_replug = [&] {
        const NTSTATUS status = session.replug();
        if (status != STATUS_SUCCESS) {
            std::fprintf(stderr, "quadhdmi: the card put back did not start: %s\n", status_text(status).c_str());
            code = kExitFailed;
            return;
        }
        resumed = true;
        std::printf("card put back: capture resumes\n");
        for (auto& v : video) {
            if (!v->open(session, v->input, options.format, error) || v->run(clock, options.buffers) != STATUS_SUCCESS)
                fail(v->input, "capture did not resume: " + error);
        }
        for (auto& a : audio) {
            if (!a->open(session, a->input, error) || a->run(clock, options.buffers * 4) != STATUS_SUCCESS)
                fail(a->input, "audio capture did not resume: " + error);
        }
        start_threads();
    };
    auto due = [](double at, double elapsed, bool& done) {
        if (at <= 0 || done || elapsed < at) return false;
        done = true;
        return true;
    };
    bool unplugged = false, replugged = false, rebalanced = false, slept = false;

    const bool show_progress = !options.quiet && isatty(STDOUT_FILENO);
    while (!g_interrupted.load()) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
        if (options.seconds > 0 && elapsed >= options.seconds) break;
        if (due(options.unplug_after, elapsed, unplugged)) session.unplug();
        if (due(options.rebalance_after, elapsed, rebalanced)) {
            const NTSTATUS status = session.rebalance();
            std::printf("resources rebalanced: %s\n", status_text(status).c_str());
            if (status != STATUS_SUCCESS) code = 1;
        }
        if (due(options.sleep_after, elapsed, slept)) {
            const NTSTATUS status = session.sleep();
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            session.wake();
            std::printf("system slept and woke: %s\n", status_text(status).c_str());
            if (status != STATUS_SUCCESS) code = 1;
        }
        if (!removed && session.removed()) on_removal();
        if (removed && due(options.replug_after, elapsed, replugged)) on_replug();
        if (removed && (options.replug_after <= 0 || replugged) && threads.empty()) break;
        // Without a time limit, stop once every video stream has its frames (or gave up).
        bool all_ended = true;
        for (auto& v : video) all_ended &= (options.frames && v->frames.load() >= options.frames) || v->ended.load();
        if (options.seconds <= 0 && !video.empty() && all_ended) break;
        if (video.empty() && options.seconds <= 0) {
            bool audio_ended = true;
            for (auto& a : audio) audio_ended &= a->bytes.load() >= audio_target || a->ended.load();
            if (audio_ended) break;
        }
        if (show_progress) {
            std::fputs(progress_line(video, audio, elapsed).c_str(), stdout);
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    join_threads();
    std::signal(SIGINT, previous);
    if (show_progress) std::printf("\n");

    const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
    // Read before the pins close: what the driver does at STOP is not per-frame work.
    const std::string stats = options.stats ? driver_stats(video, audio, elapsed) : std::string();
    for (auto& v : video) v->held_back = SharedRead(session.ext()->Channel[v->input].FramesHeldBack);
    for (auto& v : video) v->close();
    for (auto& a : audio) a->close();
    clock->pause();

    // A removal the card's return did not make up for: streams that stopped with it stopped for
    // that reason alone.
    const bool cut_short = removed && !resumed;

    // Summary.
    std::printf("Captured for %.2f s\n", elapsed);
    for (auto& v : video) {
        const uint64_t frames = v->frames.load();
        const double span = double(v->last_ns - v->first_ns) / 1e9;
        const double fps = frames > 1 && span > 0 ? double(frames - 1) / span : 0.0;
        std::printf("input %u video: %llu frames %ux%u%s, %.2f fps, missed %llu, driver drops %llu, held back %llu, "
                    "bad frames %llu%s",
                    v->input, static_cast<unsigned long long>(frames), v->width, v->height,
                    v->interlaced ? " interlaced (woven)" : " progressive", fps,
                    static_cast<unsigned long long>(v->missed), static_cast<unsigned long long>(v->driver_drops),
                    static_cast<unsigned long long>(v->held_back), static_cast<unsigned long long>(v->bad_frames),
                    v->bad_detail().c_str());
        if (!v->latency_ms.empty()) {
            std::printf(", stamp-to-delivery latency p50 %.2f ms p99 %.2f ms max %.2f ms",
                        percentile(v->latency_ms, 50), percentile(v->latency_ms, 99),
                        percentile(v->latency_ms, 100));
        }
        if (!v->note.empty()) std::printf(" [%s]", v->note.c_str());
        std::printf("\n");
        if (frames == 0 && !cut_short)
            fail(v->input, "no video frames within the capture: " +
                               (v->silence.empty() ? std::string("nothing arrived from the card") : v->silence));
        const std::string video_path = per_input_path(options.video, v->input, several);
        if (!v->write_error.empty()) {
            fail(v->input, video_path + ": " + v->write_error + "; the file is incomplete (" +
                               std::to_string(v->written) + " whole frames)");
        } else if (!options.video.empty() && frames > 0) {
            std::printf("  wrote %s\n", video_path.c_str());
        }
        if (!options.snapshot.empty() && !v->last_frame.empty()) {
            const std::string path = per_input_path(options.snapshot, v->input, several);
            const std::vector<uint8_t> rgb = yuy2_to_rgb(v->last_frame.data(), v->width, v->height);
            if (write_png(path, rgb.data(), v->width, v->height, error)) {
                std::printf("  snapshot %s\n", path.c_str());
            } else {
                fail(v->input, error);
            }
        }
        if (v->bad_frames != 0) code = kExitFailed;
    }
    for (auto& a : audio) {
        const uint64_t bytes = a->bytes.load();
        const uint64_t unannounced = a->checker.unflagged_breaks();
        std::printf("input %u audio: %llu bytes (%.2f s), sample-index discontinuities %llu, flagged buffers %llu, "
                    "unannounced %llu",
                    a->input, static_cast<unsigned long long>(bytes), double(bytes) / 192000.0,
                    static_cast<unsigned long long>(unannounced + a->checker.flagged_breaks()),
                    static_cast<unsigned long long>(a->flagged), static_cast<unsigned long long>(unannounced));
        if (!a->note.empty()) std::printf(" [%s]", a->note.c_str());
        std::printf("\n");
        // A break in the sample index that no flag announced is audio delivered wrong, as a torn
        // frame is video delivered wrong.
        if (unannounced != 0) code = kExitFailed;
        if (bytes == 0 && !cut_short)
            fail(a->input, "no audio within the capture: " +
                               (a->silence.empty() ? std::string("nothing arrived from the card") : a->silence));
        const std::string audio_path = per_input_path(options.audio, a->input, several);
        if (!a->write_error.empty()) {
            fail(a->input, audio_path + ": " + a->write_error + "; the file is incomplete (its header counts " +
                               std::to_string(a->wav.data_bytes()) + " bytes written before the failure)");
        } else if (bytes > 0) {
            std::printf("  wrote %s\n", audio_path.c_str());
        }
    }

    std::fputs(stats.c_str(), stdout);

    const size_t leaks = session.finish();
    host::verifier::print_summary(stdout, common.verbose);
    if (leaks) {
        std::fprintf(stderr, "quadhdmi: the verifier found %zu leak(s) at removal\n", leaks);
        return kExitVerifier;
    }
    // The most serious finding decides (see kExitStatusHelp): a failure outranks the removal,
    // which alone says the capture ended early but holds nothing bad.
    if (code != 0) return code;
    return cut_short ? kExitRemoved : 0;
}

// ---------------------------------------------------------------------------------------------

int run_stats(const CommonOptions& common, const StatsOptions& options) {
    sim::CardConfig config;
    std::unique_ptr<TraceOutput> trace;
    if (!prepare(common, config, trace)) return 2;
    Session session(config);
    if (session.start() != STATUS_SUCCESS) {
        std::fprintf(stderr, "quadhdmi: the device did not start\n");
        return session.finish() ? 3 : 1;
    }

    VideoStream stream;
    std::string error;
    int code = 0;
    std::shared_ptr<client::Clock> clock;
    if (options.frames > 0) {
        if (!stream.open(session, options.input, "", error)) {
            std::fprintf(stderr, "quadhdmi: input %u: %s\n", options.input, error.c_str());
            stream.close();
            return session.finish() ? 3 : 1;
        }
        clock = client::make_clock();
        clock->run();
        const NTSTATUS status = stream.run(clock, 4);
        if (status != STATUS_SUCCESS) {
            std::fprintf(stderr, "quadhdmi: the video pin did not run: %s\n", status_text(status).c_str());
            code = 1;
        } else {
            std::atomic<bool> stop{false};
            stream.loop(options.frames, stop, (host::now_100ns() - clock->stream_time()) * 100);
            std::printf("streamed %llu frames on input %u%s%s\n", static_cast<unsigned long long>(stream.frames.load()),
                        options.input, stream.note.empty() ? "" : ": ", stream.note.c_str());
            if (stream.frames.load() == 0) {
                std::fprintf(stderr, "quadhdmi: input %u: no video frames: %s\n", options.input,
                             stream.silence.empty() ? "nothing arrived from the card" : stream.silence.c_str());
                code = 1;
            }
        }
    } else {
        const NTSTATUS status = session.open_filter(options.input, true, stream.filter);
        if (status != STATUS_SUCCESS) {
            std::fprintf(stderr, "quadhdmi: cannot open the video filter: %s\n", status_text(status).c_str());
            return session.finish() ? 3 : 1;
        }
    }

    if (code == 0) {
        std::vector<uint8_t> request =
            client::make_property(kPropsetDroppedFrames, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET);
        request.resize(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
        const client::PropertyResult result =
            stream.filter->property(request, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S));
        if (result.status != STATUS_SUCCESS) {
            std::fprintf(stderr, "quadhdmi: input %u's video filter does not answer the dropped-frames property: %s\n",
                         options.input, status_text(result.status).c_str());
            if (options.input == 0) std::fprintf(stderr, "  (input 0 offers register access instead)\n");
            code = 1;
        } else if (result.bytes_returned < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
            std::fprintf(stderr, "quadhdmi: the answer had only %u bytes\n", result.bytes_returned);
            code = 1;
        } else {
            KSPROPERTY_DROPPEDFRAMES_CURRENT_S answer;
            std::memcpy(&answer, result.data.data(), sizeof answer);
            std::printf("input %u %s: frames %lld, dropped %lld, average frame size %u bytes\n", options.input,
                        stream.pin ? "while running" : "(not streaming)", static_cast<long long>(answer.PictureNumber),
                        static_cast<long long>(answer.DropCount), unsigned(answer.AverageFrameSize));
        }
    }
    stream.close();
    if (clock) clock->pause();
    const size_t leaks = session.finish();
    if (leaks) {
        std::fprintf(stderr, "quadhdmi: the verifier found %zu leak(s) at removal\n", leaks);
        return 3;
    }
    return code;
}

}  // namespace qh::tool
