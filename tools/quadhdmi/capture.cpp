// capture: the run of a capture (its streams on threads of their own, the machine events asked
// for, the stop conditions). The streams are in capture_streams.h, what is printed about them in
// capture_report.h.
#include "tools/quadhdmi/commands.h"
#include "platform/host/sched/sched.h"

#include "driver/public.h"
#include "platform/host/measure/cost.h"
#include "platform/host/diag/verifier.h"
#include "tools/quadhdmi/capture_report.h"
#include "tools/quadhdmi/capture_streams.h"
#include "tools/quadhdmi/checks.h"
#include "tools/quadhdmi/describe.h"
#include "tools/quadhdmi/session.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <sstream>
#include <thread>

namespace qh::tool {

namespace {

using Clock = host::sched::Clock;
using Fail = std::function<void(uint32_t input, const std::string& what)>;

extern "C" void on_interrupt(int) { g_capture_interrupted.store(true); }

constexpr double kAudioBytesPerSecond = 192000.0;

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

// What the command line asks that can be refused before the card is plugged in: the card put back
// only after it was pulled out, and every file writable (no capture runs only to find that its
// result cannot be kept). Fills in the default length. 0, or the exit status of the refusal.
int check_capture(const CommonOptions& common, CaptureOptions& options, const std::vector<uint32_t>& inputs,
                  bool want_video, bool want_audio) {
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
    // Neither --frames nor --seconds given (an explicit 0 is refused when parsed).
    if (options.frames == 0 && options.seconds <= 0) {
        if (want_video) {
            options.frames = 60;
        } else {
            options.seconds = 1.0;
        }
    }
    const bool several = inputs.size() > 1;
    std::vector<OutputFile> outputs;
    for (uint32_t input : inputs) {
        if (want_video && !options.video.empty())
            outputs.push_back({"--video", per_input_path(options.video, input, several)});
        if (want_video && !options.snapshot.empty())
            outputs.push_back({"--snapshot", per_input_path(options.snapshot, input, several)});
        if (want_audio) outputs.push_back({"--audio", per_input_path(options.audio, input, several)});
    }
    if (!common.trace.empty() && common.trace != "-") outputs.push_back({"--trace", common.trace});
    std::string error;
    if (!check_outputs(outputs, error)) {
        std::fprintf(stderr, "quadhdmi: %s\n", error.c_str());
        return kExitRefused;
    }
    return 0;
}

// Opens each input's streams with their files; an input whose stream cannot be opened is named
// and left out.
void open_streams(Session& session, const CaptureOptions& options, const std::vector<uint32_t>& inputs, bool want_video,
                  bool want_audio, VideoStreams& video, AudioStreams& audio, const Fail& fail) {
    const bool several = inputs.size() > 1;
    std::string error;
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
}

// The streams running, each on a thread of its own, while the machine does what the options ask
// (the card pulled out and put back, the resources rebalanced, a sleep), until the capture has
// what it asked for, its time is up or the user interrupts it.
class CaptureRun {
public:
    CaptureRun(Session& session, const CaptureOptions& options, VideoStreams& video, AudioStreams& audio,
               std::shared_ptr<client::Clock> clock, int64_t clock_start_ns, const Fail& fail)
        : session_(session),
          options_(options),
          video_(video),
          audio_(audio),
          clock_(std::move(clock)),
          clock_start_ns_(clock_start_ns),
          fail_(fail) {
        // Audio runs for the given time, or as long as video is being captured.
        audio_target_ = options.seconds > 0 ? uint64_t(options.seconds * kAudioBytesPerSecond) / 4 * 4
                                            : (video.empty() ? options.frames * kAudioBufferBytes : 0);
    }

    // Returns the seconds it ran; failures went to `fail`.
    double run();
    // A removal the card's return did not make up for: streams that stopped with it stopped for
    // that reason alone.
    bool cut_short() const { return removed_ && !resumed_; }

private:
    void start_threads();
    void join_threads();
    // Told of the removal, an application stops its pins, which gives it its buffers back, and
    // closes its handles; its files end with the last good frame and block.
    void on_removal();
    // The card put back: the same streams on the new device, into the same files.
    void on_replug();
    // Every stream has what it was to capture, or gave up.
    bool streams_done() const;

    Session& session_;
    const CaptureOptions& options_;
    VideoStreams& video_;
    AudioStreams& audio_;
    std::shared_ptr<client::Clock> clock_;
    int64_t clock_start_ns_;
    const Fail& fail_;
    uint64_t audio_target_ = 0;
    std::atomic<bool> stop_video_{false}, stop_audio_{false};
    std::vector<host::sched::Thread> threads_;
    bool removed_ = false, resumed_ = false;
};

void CaptureRun::start_threads() {
    stop_video_ = false;
    stop_audio_ = false;
    for (auto& v : video_) {
        if (v->pin)
            threads_.emplace_back("video capture",
                                  [this, s = v.get()] { s->loop(options_.frames, stop_video_, clock_start_ns_); });
    }
    for (auto& a : audio_) {
        if (a->pin)
            threads_.emplace_back("audio capture", [this, s = a.get()] { s->loop(audio_target_, stop_audio_); });
    }
}

void CaptureRun::join_threads() {
    stop_video_ = true;
    stop_audio_ = true;
    for (auto& t : threads_)
        t.join();
    threads_.clear();
}

void CaptureRun::on_removal() {
    join_threads();
    for (auto& v : video_) {
        v->release();
        std::printf("input %u: device removed after %llu frames\n", v->input,
                    static_cast<unsigned long long>(v->frames.load()));
    }
    for (auto& a : audio_) {
        a->release();
        if (video_.empty())
            std::printf("input %u: device removed after %.2f s of audio\n", a->input,
                        double(a->bytes.load()) / kAudioBytesPerSecond);
    }
    std::fflush(stdout);
    removed_ = true;
}

void CaptureRun::on_replug() {
    const NTSTATUS status = session_.replug();
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "quadhdmi: the card put back did not start: %s\n", status_text(status).c_str());
        // No input is named: the failure is the card's, not a stream's.
        fail_(~0u, "");
        return;
    }
    resumed_ = true;
    std::printf("card put back: capture resumes\n");
    std::string error;
    for (auto& v : video_) {
        if (!v->open(session_, v->input, options_.format, error) || v->run(clock_, options_.buffers) != STATUS_SUCCESS)
            fail_(v->input, "capture did not resume: " + error);
    }
    for (auto& a : audio_) {
        if (!a->open(session_, a->input, error) || a->run(clock_, options_.buffers * 4) != STATUS_SUCCESS)
            fail_(a->input, "audio capture did not resume: " + error);
    }
    start_threads();
}

bool CaptureRun::streams_done() const {
    // Without a time limit, stop once every video stream has its frames (or gave up).
    if (options_.seconds <= 0 && !video_.empty()) {
        bool all_ended = true;
        for (auto& v : video_)
            all_ended &= (options_.frames && v->frames.load() >= options_.frames) || v->ended.load();
        if (all_ended) return true;
    }
    if (video_.empty() && options_.seconds <= 0) {
        bool audio_ended = true;
        for (auto& a : audio_)
            audio_ended &= a->bytes.load() >= audio_target_ || a->ended.load();
        if (audio_ended) return true;
    }
    return false;
}

double CaptureRun::run() {
    host::cost::reset();
    auto previous = std::signal(SIGINT, on_interrupt);
    const auto begin = Clock::now();
    start_threads();
    auto due = [](double at, double elapsed, bool& done) {
        if (at <= 0 || done || elapsed < at) return false;
        done = true;
        return true;
    };
    bool unplugged = false, replugged = false, rebalanced = false, slept = false;
    const bool show_progress = !options_.quiet && isatty(STDOUT_FILENO);
    while (!g_capture_interrupted.load()) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
        if (options_.seconds > 0 && elapsed >= options_.seconds) break;
        if (due(options_.unplug_after, elapsed, unplugged)) session_.unplug();
        if (due(options_.rebalance_after, elapsed, rebalanced)) {
            const NTSTATUS status = session_.rebalance();
            std::printf("resources rebalanced: %s\n", status_text(status).c_str());
            if (status != STATUS_SUCCESS) fail_(~0u, "");
        }
        if (due(options_.sleep_after, elapsed, slept)) {
            const NTSTATUS status = session_.sleep();
            host::sched::sleep_for(std::chrono::milliseconds(500));
            session_.wake();
            std::printf("system slept and woke: %s\n", status_text(status).c_str());
            if (status != STATUS_SUCCESS) fail_(~0u, "");
        }
        if (!removed_ && session_.removed()) on_removal();
        if (removed_ && due(options_.replug_after, elapsed, replugged)) on_replug();
        if (removed_ && (options_.replug_after <= 0 || replugged) && threads_.empty()) break;
        if (streams_done()) break;
        if (show_progress) {
            std::fputs(progress_line(video_, audio_, elapsed).c_str(), stdout);
            std::fflush(stdout);
        }
        host::sched::sleep_for(std::chrono::milliseconds(100));
    }
    join_threads();
    std::signal(SIGINT, previous);
    if (show_progress) std::printf("\n");
    return std::chrono::duration<double>(Clock::now() - begin).count();
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
    const bool several = inputs.size() > 1;
    const bool want_audio = !options.audio.empty();
    const bool want_video = !options.video.empty() || !options.snapshot.empty() || !want_audio;
    if (const int refused = check_capture(common, options, inputs, want_video, want_audio)) return refused;

    sim::CardConfig config;
    std::unique_ptr<TraceOutput> trace;
    if (!prepare_run(common, config, trace)) return 2;
    Session session(config);
    if (!start_session(session)) return session.finish() ? 3 : 1;

    int code = 0;
    // A failure of one input's stream names the input; one of the card or the machine (~0u) has
    // been named by its caller.
    const Fail fail = [&](uint32_t input, const std::string& what) {
        if (input != ~0u) std::fprintf(stderr, "quadhdmi: input %u: %s\n", input, what.c_str());
        code = kExitFailed;
    };
    VideoStreams video;
    AudioStreams audio;
    open_streams(session, options, inputs, want_video, want_audio, video, audio, fail);

    // One clock for the whole graph; its stream time starts now.
    std::shared_ptr<client::Clock> clock = client::make_clock();
    clock->run();
    // Where stream time 0 lies on the clock the client takes completion times from (the steady
    // clock from its epoch; the host kernel's time counts from its own start instead).
    const int64_t steady_ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(host::sched::Clock::now().time_since_epoch()).count();
    const int64_t clock_start_ns = steady_ns - clock->stream_time() * 100;
    for (auto& v : video) {
        const NTSTATUS status = v->run(clock, options.buffers);
        if (status != STATUS_SUCCESS) fail(v->input, "the video pin did not run: " + status_text(status));
    }
    for (auto& a : audio) {
        // Audio buffers are 10 ms each: keep enough queued to ride out a busy moment of the host.
        const NTSTATUS status = a->run(clock, options.buffers * 4);
        if (status != STATUS_SUCCESS) fail(a->input, "the audio pin did not run: " + status_text(status));
    }

    CaptureRun run(session, options, video, audio, clock, clock_start_ns, fail);
    const double elapsed = run.run();

    const std::string stats = options.stats ? driver_stats(video, audio, elapsed) : std::string();
    for (auto& v : video)
        v->held_back = session.driver_input(v->input).frames_held_back;
    for (auto& v : video)
        v->close();
    for (auto& a : audio)
        a->close();
    clock->pause();

    if (report_streams(options, several, run.cut_short(), elapsed, video, audio) != 0) code = kExitFailed;
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
    return run.cut_short() ? kExitRemoved : 0;
}

}  // namespace qh::tool
