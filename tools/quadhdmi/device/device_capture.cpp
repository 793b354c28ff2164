#include "tools/quadhdmi/device/device_capture.h"

#include "driver/public.h"
#include "tools/quadhdmi/describe.h"
#include "tools/quadhdmi/device/device_commands.h"
#include "tools/quadhdmi/device/frame_checks.h"
#include "tools/quadhdmi/device/media_files.h"
#include "tools/quadhdmi/device/option_checks.h"

#if defined(_WIN32)
#include <io.h>
#define QH_ISATTY(fd) _isatty(fd)
#define QH_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define QH_ISATTY(fd) isatty(fd)
#define QH_FILENO(f) fileno(f)
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

namespace qh::tool {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kAudioBytesPerSecond = 192000.0;
// A stream that has produced nothing for this long has no signal, or stopped.
constexpr auto kStallLimit = std::chrono::seconds(3);
// What a pin gets to give its buffers back once stopped; a driver that keeps one longer is at fault.
constexpr auto kStopLimit = std::chrono::seconds(10);

std::atomic<bool> g_interrupted{false};
extern "C" void qh_device_capture_interrupt(int) { g_interrupted.store(true); }

struct Stream {
    uint32_t input = 0;
    bool video = true;
    std::unique_ptr<client::Filter> filter;
    std::unique_ptr<client::Pin> pin;
    uint32_t extent = 0, header_bytes = 0;
    uint32_t width = 0, height = 0;
    int64_t duration = 0;
    std::string path;
    std::unique_ptr<VideoWriter> writer;
    WavWriter wav;
    bool wav_open = false;
    VideoFrameChecks video_checks;
    AudioBufferChecks audio_checks;
    std::atomic<uint64_t> count{0};  // frames, or audio bytes
    uint64_t written = 0;            // frames in the video file
    uint64_t first_ns = 0, last_ns = 0;
    std::string write_error, note;
    std::atomic<bool> ended{false};
    bool stop_failed = false;  // buffers not given back at stop

    // What goes into the files: whole frames, and audio in whole sample frames within the buffer.
    bool good_size(const client::CompletedFrame& frame) const {
        const KSSTREAM_HEADER& header = frame.stream_header();
        const uint32_t used = header.DataUsed;
        if (video) return used == extent && frame.data.size() >= extent;
        return used <= header.FrameExtent && used <= frame.data.size() && used % 4 == 0;
    }
    bool check(const client::CompletedFrame& frame) {
        return video ? video_checks.check(frame) : audio_checks.check(frame);
    }
};

std::string write_failure() { return errno ? std::strerror(errno) : "write failed"; }

bool parse_input_list(DeviceCaptureOptions& options, std::string& error) {
    std::vector<uint32_t> inputs = options.inputs;
    std::stringstream list(options.input_list);
    std::string item;
    while (std::getline(list, item, ',')) {
        const auto n = parse_whole(item, 0, kInputCount - 1);
        if (!n) {
            error = "'" + item + "' in --inputs is not an input number (0..3)";
            return false;
        }
        inputs.push_back(uint32_t(*n));
    }
    if (inputs.empty()) inputs.push_back(0);
    std::vector<uint32_t> unique;
    for (uint32_t input : inputs) {
        if (input >= kInputCount) {
            error = "input " + std::to_string(input) + " does not exist (0..3)";
            return false;
        }
        if (std::find(unique.begin(), unique.end(), input) == unique.end()) unique.push_back(input);
    }
    options.inputs = unique;
    options.input_list.clear();
    return true;
}

// Every file distinct (also through links to one file), not a folder, in a folder that exists.
// Whether the file can be written shows when it is opened, which happens only once the device
// is there: a run without a card writes nothing.
std::string check_files(const std::vector<std::pair<std::string, std::string>>& files) {
    namespace fs = std::filesystem;
    for (size_t i = 0; i < files.size(); ++i) {
        const auto& [option, path] = files[i];
        std::error_code ec;
        const fs::path p(path);
        const fs::path absolute = fs::absolute(p, ec).lexically_normal();
        for (size_t j = 0; j < i; ++j) {
            const fs::path other(files[j].second);
            const bool same = (fs::exists(p, ec) && fs::exists(other, ec) && fs::equivalent(p, other, ec)) ||
                              absolute == fs::absolute(other, ec).lexically_normal();
            if (same)
                return option + " and " + files[j].first + " both write '" + path +
                       "': every output needs a file of its own";
        }
        if (fs::is_directory(p, ec)) return option + " '" + path + "' is a folder";
        const fs::path parent = p.has_parent_path() ? p.parent_path() : fs::path(".");
        if (!fs::is_directory(parent, ec))
            return option + " '" + path + "' cannot be created in '" + parent.string() + "': no such folder";
    }
    return {};
}

bool open_video(client::Device& device, Stream& s, const std::string& format, std::string& error) {
    NTSTATUS status = open_input_filter(device, s.input, true, s.filter);
    if (status != STATUS_SUCCESS) {
        error = "cannot open the video filter: " + status_text(status);
        return false;
    }
    const std::vector<client::PinInfo> pins = s.filter->pins();
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
    status = s.filter->intersect(0, {*chosen}, data_format);
    if (status != STATUS_SUCCESS || data_format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
        error = "format intersection failed: " + status_text(status);
        return false;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER vf;
    std::memcpy(&vf, data_format.data(), sizeof vf);
    const auto& bmi = vf.VideoInfoHeader.bmiHeader;
    s.width = uint32_t(bmi.biWidth);
    s.height = uint32_t(bmi.biHeight < 0 ? -int64_t(bmi.biHeight) : bmi.biHeight);
    s.duration = vf.VideoInfoHeader.AvgTimePerFrame;
    const uint64_t packed = uint64_t(s.width) * s.height * 2;
    // The files take packed YUY2: a format whose image is anything else is not ours to write.
    if (s.width == 0 || s.height == 0 || packed > 0xFFFFFFFFu || (bmi.biSizeImage != 0 && bmi.biSizeImage != packed)) {
        error = "the intersected format is not packed YUY2 of its size (" + std::to_string(s.width) + "x" +
                std::to_string(s.height) + ", image " + std::to_string(bmi.biSizeImage) + " bytes)";
        return false;
    }
    s.extent = uint32_t(packed);
    s.header_bytes = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    status = s.filter->create_pin(0, data_format, s.pin);
    if (status != STATUS_SUCCESS) {
        error = "creating the capture pin failed: " + status_text(status);
        return false;
    }
    return true;
}

bool open_audio(client::Device& device, Stream& s, std::string& error) {
    NTSTATUS status = open_input_filter(device, s.input, false, s.filter);
    if (status != STATUS_SUCCESS) {
        error = "cannot open the audio filter: " + status_text(status);
        return false;
    }
    const std::vector<client::PinInfo> pins = s.filter->pins();
    if (pins.empty() || pins[0].ranges.empty()) {
        error = "the audio filter has no capture pin ranges";
        return false;
    }
    std::vector<uint8_t> data_format;
    status = s.filter->intersect(0, {pins[0].ranges[0]}, data_format);
    if (status != STATUS_SUCCESS) {
        error = "audio format intersection failed: " + status_text(status);
        return false;
    }
    status = s.filter->create_pin(0, data_format, s.pin);
    if (status != STATUS_SUCCESS) {
        error = "creating the audio capture pin failed: " + status_text(status);
        return false;
    }
    s.extent = kAudioBufferBytes;
    s.header_bytes = sizeof(KSSTREAM_HEADER);
    return true;
}

NTSTATUS run_pin(Stream& s, const std::shared_ptr<client::Clock>& clock, uint32_t buffers) {
    NTSTATUS status = STATUS_SUCCESS;
    if (clock) {
        status = s.pin->set_master_clock(clock);
        if (status != STATUS_SUCCESS) return status;
    }
    // Buffers are queued once the pin is paused (a stopped pin refuses them), before it runs.
    status = s.pin->set_state(KSSTATE_PAUSE);
    if (status != STATUS_SUCCESS) return status;
    for (uint32_t i = 0; i < buffers; ++i) {
        status = s.pin->submit(s.extent, s.header_bytes);
        if (status != STATUS_SUCCESS) return status;
    }
    return s.pin->set_state(KSSTATE_RUN);
}

// Takes completed buffers and queues them again until `stop`, the target (0: none) or a stall.
void stream_loop(Stream& s, uint64_t target, const std::atomic<bool>& stop) {
    auto idle_from = SteadyClock::now();
    while (!stop.load() && !g_interrupted.load() && (target == 0 || s.count.load() < target)) {
        client::CompletedFrame frame;
        if (!s.pin->wait_completed(frame, 100)) {
            if (SteadyClock::now() - idle_from <= kStallLimit) continue;
            if (s.video)
                s.note = s.count != 0 ? "frames stopped arriving" : "no frames (no signal?)";
            else
                s.note = s.count != 0 ? "audio stopped arriving" : "no audio";
            break;
        }
        idle_from = SteadyClock::now();
        s.check(frame);
        if (frame.status != STATUS_SUCCESS) {
            s.note = std::string(s.video ? "a frame completed with " : "a buffer completed with ") +
                     status_text(frame.status);
            break;
        }
        // Only whole frames, and only what the driver says it filled, go into the files.
        if (s.good_size(frame) && s.write_error.empty()) {
            const uint32_t used = frame.stream_header().DataUsed;
            if (s.video && s.writer) {
                errno = 0;
                if (s.writer->write_frame(frame.data.data()))
                    ++s.written;
                else
                    s.write_error = write_failure();
            }
            if (!s.video && s.wav_open) {
                errno = 0;
                if (!s.wav.write(frame.data.data(), used)) s.write_error = write_failure();
            }
        }
        if (s.video) {
            if (s.count == 0) s.first_ns = frame.completed_ns;
            s.last_ns = frame.completed_ns;
            s.count.fetch_add(1);
        } else if (s.good_size(frame)) {
            s.count.fetch_add(frame.stream_header().DataUsed);
        }
        if (!s.video || target == 0 || s.count.load() + s.pin->queued() < target + 1) {
            const NTSTATUS status = s.pin->submit(s.extent, s.header_bytes);
            if (status != STATUS_SUCCESS) {
                s.note = "queueing a buffer failed: " + status_text(status);
                break;
            }
        }
    }
    s.ended = true;
}

// Stops the pin and takes back every buffer still queued: at stop they come back cancelled (a
// frame that completed on its way there is not part of the capture, and is not counted).
void stop_stream(Stream& s) {
    if (s.pin) s.pin->set_state(KSSTATE_STOP);
    auto since = SteadyClock::now();
    while (s.pin) {
        client::CompletedFrame frame;
        if (!s.pin->wait_completed(frame, 100)) {
            if (s.pin->queued() == 0) break;
            if (SteadyClock::now() - since > kStopLimit) {
                s.stop_failed = true;
                break;
            }
            continue;
        }
        since = SteadyClock::now();
        if (frame.status != STATUS_SUCCESS || !frame.guards_intact) s.check(frame);
    }
    if (s.pin) s.pin->close();
    s.pin.reset();
    if (s.filter) s.filter->close();
    s.filter.reset();
}

std::string progress(const std::vector<std::unique_ptr<Stream>>& streams, double elapsed) {
    std::string line = "\r" + std::to_string(int(elapsed)) + " s";
    char part[64];
    for (const auto& s : streams) {
        if (s->video)
            std::snprintf(part, sizeof part, " | in%u %llu fr", s->input,
                          static_cast<unsigned long long>(s->count.load()));
        else
            std::snprintf(part, sizeof part, " | in%u %.1f s audio", s->input,
                          double(s->count.load()) / kAudioBytesPerSecond);
        line += part;
    }
    return line + "   ";
}

}  // namespace

std::string check_device_capture(DeviceCaptureOptions& options) {
    std::string error;
    if (!parse_input_list(options, error)) return error;
    const bool want_audio = !options.audio.empty();
    const bool want_video = !options.video.empty() || !want_audio;
    // Neither --frames nor --seconds given (an explicit 0 is refused when parsed).
    if (options.frames == 0 && options.seconds <= 0) {
        if (want_video)
            options.frames = 60;
        else
            options.seconds = 1.0;
    }
    const bool several = options.inputs.size() > 1;
    std::vector<std::pair<std::string, std::string>> files;
    for (uint32_t input : options.inputs) {
        if (want_video && !options.video.empty())
            files.emplace_back("--video", per_input_path(options.video, input, several));
        if (want_audio) files.emplace_back("--audio", per_input_path(options.audio, input, several));
    }
    return check_files(files);
}

int run_device_capture(client::Device& device, const DeviceCaptureOptions& options,
                       std::shared_ptr<client::Clock> clock) {
    const bool several = options.inputs.size() > 1;
    const bool want_audio = !options.audio.empty();
    const bool want_video = !options.video.empty() || !want_audio;
    int code = 0;
    auto fail = [&](uint32_t input, const std::string& what) {
        std::fprintf(stderr, "quadhdmi: input %u: %s\n", input, what.c_str());
        code = 1;
    };

    std::vector<std::unique_ptr<Stream>> streams;
    std::string error;
    for (uint32_t input : options.inputs) {
        for (bool video : {true, false}) {
            if (video ? !want_video : !want_audio) continue;
            auto s = std::make_unique<Stream>();
            s->input = input;
            s->video = video;
            if (!(video ? open_video(device, *s, options.format, error) : open_audio(device, *s, error))) {
                fail(input, error);
                stop_stream(*s);
                continue;
            }
            s->video_checks.restart(s->extent, clock != nullptr);
            s->audio_checks.restart();
            if (video && !options.video.empty()) {
                s->path = per_input_path(options.video, input, several);
                s->writer = open_video_writer(s->path, s->width, s->height, s->duration, false, error);
                if (!s->writer) {
                    fail(input, error);
                    stop_stream(*s);
                    continue;
                }
            }
            if (!video) {
                s->path = per_input_path(options.audio, input, several);
                s->wav_open = s->wav.open(s->path, 48000, 2, error);
                if (!s->wav_open) {
                    fail(input, error);
                    stop_stream(*s);
                    continue;
                }
            }
            streams.push_back(std::move(s));
        }
    }

    if (clock) clock->run();
    for (auto& s : streams) {
        // Audio buffers are 10 ms each: keep enough queued to ride out a busy moment.
        const NTSTATUS status = run_pin(*s, clock, s->video ? options.buffers : options.buffers * 4);
        if (status != STATUS_SUCCESS) {
            fail(s->input, std::string(s->video ? "the video pin did not run: " : "the audio pin did not run: ") +
                               status_text(status));
            s->ended = true;
        }
    }

    // Audio runs for the given time, or as long as video is being captured.
    const uint64_t audio_target = options.seconds > 0 ? uint64_t(options.seconds * kAudioBytesPerSecond) / 4 * 4
                                                      : (want_video ? 0 : options.frames * kAudioBufferBytes);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (auto& s : streams) {
        if (s->ended) continue;
        const uint64_t target = s->video ? (options.seconds > 0 ? 0 : options.frames) : audio_target;
        threads.emplace_back([&stop, target, st = s.get()] { stream_loop(*st, target, stop); });
    }
    auto previous = std::signal(SIGINT, qh_device_capture_interrupt);
    const auto begin = SteadyClock::now();
    const bool show_progress = !options.quiet && QH_ISATTY(QH_FILENO(stdout));
    while (!g_interrupted.load()) {
        const double elapsed = std::chrono::duration<double>(SteadyClock::now() - begin).count();
        if (options.seconds > 0 && elapsed >= options.seconds) break;
        // Without a time limit, the video streams' frame count ends the capture; audio alone ends
        // with its own length.
        bool done = true;
        for (const auto& s : streams)
            if (s->video || !want_video) done &= s->ended.load();
        if (done) break;
        if (show_progress) {
            std::fputs(progress(streams, elapsed).c_str(), stdout);
            std::fflush(stdout);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    stop = true;
    for (auto& t : threads)
        t.join();
    std::signal(SIGINT, previous);
    if (show_progress) std::printf("\n");
    const double elapsed = std::chrono::duration<double>(SteadyClock::now() - begin).count();
    for (auto& s : streams)
        stop_stream(*s);
    if (clock) clock->pause();

    std::printf("Captured for %.2f s\n", elapsed);
    for (auto& s : streams) {
        if (s->video) {
            const VideoFrameChecks& c = s->video_checks;
            const uint64_t frames = s->count.load();
            const double span = double(s->last_ns - s->first_ns) / 1e9;
            const double fps = frames > 1 && span > 0 ? double(frames - 1) / span : 0.0;
            std::printf("input %u video: %llu frames %ux%u, %.2f fps, dropped %llu, bad frames %llu%s", s->input,
                        static_cast<unsigned long long>(frames), s->width, s->height, fps,
                        static_cast<unsigned long long>(c.dropped), static_cast<unsigned long long>(c.bad),
                        c.detail().c_str());
            if (c.discontinuities)
                std::printf(", discontinuities %llu", static_cast<unsigned long long>(c.discontinuities));
            if (c.cancelled) std::printf(", cancelled at stop %llu", static_cast<unsigned long long>(c.cancelled));
            if (c.unstamped) std::printf(", no presentation times (no master clock)");
        } else {
            const AudioBufferChecks& c = s->audio_checks;
            const uint64_t bytes = s->count.load();
            std::printf("input %u audio: %llu bytes (%.2f s), flagged buffers %llu, bad buffers %llu%s", s->input,
                        static_cast<unsigned long long>(bytes), double(bytes) / kAudioBytesPerSecond,
                        static_cast<unsigned long long>(c.flagged), static_cast<unsigned long long>(c.bad),
                        c.detail().c_str());
            if (c.cancelled) std::printf(", cancelled at stop %llu", static_cast<unsigned long long>(c.cancelled));
        }
        if (!s->note.empty()) std::printf(" [%s]", s->note.c_str());
        std::printf("\n");
        const uint64_t bad = s->video ? s->video_checks.bad : s->audio_checks.bad;
        if (bad != 0) code = 1;
        if (s->stop_failed) fail(s->input, "buffers not given back within 10 s of the stop");
        if (s->count.load() == 0)
            fail(s->input, std::string(s->video ? "no video frames" : "no audio") +
                               " within the capture: nothing arrived from the card");
        errno = 0;
        const bool closed = s->video ? (!s->writer || s->writer->close()) : (!s->wav_open || s->wav.close());
        if (!closed && s->write_error.empty()) s->write_error = write_failure();
        if (!s->write_error.empty()) {
            if (s->video)
                fail(s->input, s->path + ": " + s->write_error + "; the file is incomplete (" +
                                   std::to_string(s->written) + " whole frames)");
            else
                fail(s->input, s->path + ": " + s->write_error + "; the file is incomplete (its header counts " +
                                   std::to_string(s->wav.data_bytes()) + " bytes written before the failure)");
        } else if (!s->path.empty() && s->count.load() > 0) {
            std::printf("  wrote %s\n", s->path.c_str());
        }
    }
    return code;
}

}  // namespace qh::tool
