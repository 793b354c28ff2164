// campaign: what a capture application meets in the field, on a card paced in real time with all
// four inputs capturing video and audio, every delivered buffer checked against the card's
// pattern (sim/pattern.h):
//   removals      surprise removals at a random moment of a four-input capture, each on a new
//                 card and device: the capture is checked up to the removal, then the pins are
//                 stopped (every buffer must come back once) and closed, and the device removed
//                 without a leak;
//   mode changes  random source changes on a running four-input capture: to the input's own mode
//                 again (a short re-lock), to no cable, to other modes progressive and interlaced,
//                 and back.
// It counts, over every delivered frame and audio buffer: frames delivered again, frame numbers
// that went back without the discontinuity flag, torn frames (lines of two frames), mixed frames
// (woven fields of two frames or sources), misplaced and short frames, audio sample-index breaks
// no flag announced, buffers completed with a failure or never given back, verifier stops and
// diagnostics, leaks. Any of them non-zero fails the run.
//
// The seed decides the schedule of actions (the cards' start positions, each removal's moment and
// kind, each change's input, mode and time): the same seed repeats the same schedule (--schedule
// prints it). What the real-time run makes of it (which frame is in flight at the removal) varies
// with the machine. Only counts are checked, never rates: a slow machine misses frames, which is
// no fault.
//
//   campaign                                   100 removals and 400 mode changes, a random seed
//   campaign --seed 7 --removals 2 --mode-changes 16
#include "testbed/testbed.h"
#include "platform/host/sched/sched.h"
#include "driver/public.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/trace.h"
#include "platform/host/diag/verifier.h"
#include "sim/pattern.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = host::sched::Clock;
using qh::client::CompletedFrame;

constexpr uint32_t kInputs = sim::kInputs;
constexpr uint32_t kVideoQueued = 4;
constexpr uint32_t kAudioQueued = 16;  // 10 ms each
constexpr uint32_t kAudioBlock = 1920;
constexpr uint32_t kVideoHeader = 128;  // with the frame info
constexpr uint32_t kAudioHeader = 56;
constexpr uint32_t kLockTimeoutMs = 20000;
constexpr uint32_t kRemovalTimeoutMs = 20000;
constexpr uint32_t kSettleHomeMs = 1000;  // after the last change, every input back home this long

// Each input's own mode, the one its pins are created for; two of them interlaced.
const char* const kHome[kInputs] = {"1920x1080p60", "1920x1080i60", "1280x720p60", "1920x1080i50"};
// What a change may switch an input to besides its own mode and no cable.
const char* const kOthers[] = {"1920x1080p60", "1920x1080i60", "1280x720p60", "1920x1080i50",
                               "1280x720p50",  "720x576i50",   "1920x1080p30"};
constexpr uint32_t kOtherCount = sizeof kOthers / sizeof kOthers[0];

const GUID* const kVideoRef[kInputs] = {&kRefVideo0, &kRefVideo1, &kRefVideo2, &kRefVideo3};
const GUID* const kAudioRef[kInputs] = {&kRefAudio0, &kRefAudio1, &kRefAudio2, &kRefAudio3};

// --- the schedule ------------------------------------------------------------------------------

struct Removal {
    uint64_t card_seed;
    uint32_t after_ms;       // from the pins' RUN to the removal
    bool shared_line_fires;  // another device keeps the shared line busy afterwards
    bool message_signalled;
};

struct Change {
    uint32_t after_ms;  // from the change before (or the pins' RUN)
    uint32_t input;
    std::string mode;
};

struct Schedule {
    std::vector<Removal> removals;
    uint64_t mode_card_seed = 0;
    std::vector<Change> changes;
};

// Plain modulo draws: the schedule must not depend on a library's distributions. The two parts
// draw from generators of their own, so that either can be repeated alone (--removals 0, or
// --mode-changes 0) with the seed of a full run.
Schedule make_schedule(uint64_t seed, uint32_t removals, uint32_t changes) {
    std::mt19937_64 rng(seed);
    auto pick = [&](uint64_t n) { return uint32_t(rng() % n); };
    Schedule s;
    for (uint32_t i = 0; i < removals; ++i) {
        Removal r;
        r.card_seed = rng();
        r.after_ms = 50 + pick(1451);
        r.shared_line_fires = pick(2) == 0;
        r.message_signalled = pick(4) == 0;
        s.removals.push_back(r);
    }
    rng.seed(seed ^ 0x9E3779B97F4A7C15ull);
    s.mode_card_seed = rng();
    for (uint32_t i = 0; i < changes; ++i) {
        Change c;
        c.after_ms = 20 + pick(281);
        c.input = pick(kInputs);
        const uint32_t kind = pick(100);
        if (kind < 45) {
            c.mode = kHome[c.input];  // a re-lock when it already runs that mode
        } else if (kind < 60) {
            c.mode = "none";
        } else {
            c.mode = kOthers[pick(kOtherCount)];
        }
        s.changes.push_back(c);
    }
    return s;
}

void print_schedule(const Schedule& s) {
    for (size_t i = 0; i < s.removals.size(); ++i) {
        const Removal& r = s.removals[i];
        std::printf("removal %zu: card seed %" PRIu64 ", %s interrupt, removed %u ms into the capture%s\n", i,
                    r.card_seed, r.message_signalled ? "message-signalled" : "line-based", r.after_ms,
                    r.shared_line_fires ? ", the shared line kept busy" : "");
    }
    std::printf("mode changes: card seed %" PRIu64 "\n", s.mode_card_seed);
    for (size_t i = 0; i < s.changes.size(); ++i)
        std::printf("change %zu: after %u ms, input %u to %s\n", i, s.changes[i].after_ms, s.changes[i].input,
                    s.changes[i].mode.c_str());
}

// --- what is counted ---------------------------------------------------------------------------

struct Figures {
    uint64_t frames = 0, flagged_frames = 0, audio_buffers = 0, flagged_audio = 0, restarts_excused = 0;
    // Faults: any of these non-zero fails the campaign.
    uint64_t repeated = 0, backwards = 0, torn = 0, mixed = 0, misplaced = 0, short_frames = 0;
    uint64_t audio_breaks = 0, failed = 0, not_returned = 0, stops = 0, diagnostics = 0, leaks = 0, errors = 0;

    void add(const Figures& o) {
        frames += o.frames, flagged_frames += o.flagged_frames, audio_buffers += o.audio_buffers;
        flagged_audio += o.flagged_audio, restarts_excused += o.restarts_excused;
        repeated += o.repeated, backwards += o.backwards, torn += o.torn, mixed += o.mixed;
        misplaced += o.misplaced, short_frames += o.short_frames, audio_breaks += o.audio_breaks;
        failed += o.failed, not_returned += o.not_returned, stops += o.stops, diagnostics += o.diagnostics;
        leaks += o.leaks, errors += o.errors;
    }
    uint64_t faults() const {
        return repeated + backwards + torn + mixed + misplaced + short_frames + audio_breaks + failed + not_returned +
               stops + diagnostics + leaks + errors;
    }
    void print(const char* what) const {
        std::printf("%s: %" PRIu64 " frames checked (%" PRIu64 " flagged), %" PRIu64 " audio buffers checked (%" PRIu64
                    " flagged, %" PRIu64 " index restarts of a new source)\n",
                    what, frames, flagged_frames, audio_buffers, flagged_audio, restarts_excused);
        std::printf("  repeated frames %" PRIu64 ", unflagged frame-number restarts %" PRIu64 ", torn frames %" PRIu64
                    ", mixed-source frames %" PRIu64 ", misplaced %" PRIu64 ", short %" PRIu64
                    ", unflagged audio breaks %" PRIu64 "\n",
                    repeated, backwards, torn, mixed, misplaced, short_frames, audio_breaks);
        std::printf("  failed completions %" PRIu64 ", buffers not returned %" PRIu64 ", verifier stops %" PRIu64
                    ", diagnostics %" PRIu64 ", leaks %" PRIu64 ", other errors %" PRIu64 "\n",
                    failed, not_returned, stops, diagnostics, leaks, errors);
    }
};

// The first few findings are printed as they come, with what they were found in.
std::atomic<uint32_t> g_reported{0};
constexpr uint32_t kReportLimit = 200;
void report(const std::string& text) {
    if (g_reported.fetch_add(1) < kReportLimit) std::fprintf(stderr, "  %s\n", text.c_str());
}

// --- one input's pins and their client threads --------------------------------------------------

class Input {
public:
    Input(uint32_t index, std::string context) : index_(index), context_(std::move(context)) {}

    // Opens both filters, creates the pins with the detected video format and a PCM format, queues
    // buffers and runs. False (after reporting why) when any step fails.
    bool open(qh::client::Device& device, const qh::Testbed& bed) {
        video_filter_ = open_filter(device, *kVideoRef[index_]);
        audio_filter_ = open_filter(device, *kAudioRef[index_]);
        if (!video_filter_ || !audio_filter_) return error("a filter did not open");
        std::vector<uint8_t> format;
        auto pins = video_filter_->pins();
        if (pins.empty() || pins[0].ranges.empty() || video_filter_->intersect(0, {pins[0].ranges[0]}, format) ||
            format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) || video_filter_->create_pin(0, format, video_))
            return error("no video pin with the detected format");
        const auto& bmi =
            reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader;
        width_ = uint32_t(bmi.biWidth);
        height_ = uint32_t(std::abs(bmi.biHeight));
        woven_ = bed.driver_input(index_).interlaced;
        pins = audio_filter_->pins();
        if (pins.empty() || pins[0].ranges.empty() || audio_filter_->intersect(0, {pins[0].ranges[0]}, format) ||
            audio_filter_->create_pin(0, format, audio_))
            return error("no audio pin");
        if (video_->set_state(KSSTATE_PAUSE) != STATUS_SUCCESS || audio_->set_state(KSSTATE_PAUSE) != STATUS_SUCCESS)
            return error("PAUSE refused");
        for (uint32_t i = 0; i < kVideoQueued; ++i)
            submit_video();
        for (uint32_t i = 0; i < kAudioQueued; ++i)
            submit_audio();
        if (video_->set_state(KSSTATE_RUN) != STATUS_SUCCESS || audio_->set_state(KSSTATE_RUN) != STATUS_SUCCESS)
            return error("RUN refused");
        return true;
    }

    void start() {
        stop_ = false;
        threads_.emplace_back("stress video", [this] { video_loop(); });
        threads_.emplace_back("stress audio", [this] { audio_loop(); });
    }

    // A new source on the input: the audio index starts again, which no flag announces (the
    // driver delivers what the card recorded without a gap). One break after it is the restart.
    void source_changed() { changes_.fetch_add(1); }
    // The card is about to be pulled out (for the reports: what came after it).
    void removing() { removed_ = true; }

    // Stops the client threads, then the pins (which gives every queued buffer back), checks
    // that each came back once, and closes everything.
    void close() {
        stop_ = true;
        for (auto& t : threads_)
            t.join();
        threads_.clear();
        if (video_) {
            if (video_->set_state(KSSTATE_STOP) != STATUS_SUCCESS) error("video STOP refused");
            drain_video();
            settle(*video_, video_submitted_, video_returned_, "video");
            video_->close();
        }
        if (audio_) {
            if (audio_->set_state(KSSTATE_STOP) != STATUS_SUCCESS) error("audio STOP refused");
            drain_audio();
            settle(*audio_, audio_submitted_, audio_returned_, "audio");
            audio_->close();
        }
        if (video_filter_) video_filter_->close();
        if (audio_filter_) audio_filter_->close();
        video_.reset();
        audio_.reset();
        video_filter_.reset();
        audio_filter_.reset();
    }

    // Once closed: what its two client threads and the rest found.
    Figures figures() const {
        Figures all = fig_;
        all.add(video_fig_);
        all.add(audio_fig_);
        return all;
    }

private:
    static std::unique_ptr<qh::client::Filter> open_filter(qh::client::Device& device, const GUID& reference) {
        std::unique_ptr<qh::client::Filter> filter;
        for (const auto& info : device.filters())
            if (IsEqualGUID(info.reference, reference)) device.open_filter(info.index, filter);
        return filter;
    }

    bool error(const std::string& what) {
        ++fig_.errors;
        report(context_ + ", input " + std::to_string(index_) + ": " + what);
        return false;
    }

    uint32_t frame_bytes() const { return width_ * height_ * 2; }
    void submit_video() {
        if (video_->submit(frame_bytes(), kVideoHeader) == STATUS_SUCCESS) ++video_submitted_;
    }
    void submit_audio() {
        if (audio_->submit(kAudioBlock, kAudioHeader) == STATUS_SUCCESS) ++audio_submitted_;
    }

    void video_loop() {
        while (!stop_.load()) {
            CompletedFrame f;
            if (!video_->wait_completed(f, 50)) continue;
            take_video(f);
            submit_video();
        }
    }
    void audio_loop() {
        while (!stop_.load()) {
            CompletedFrame f;
            if (!audio_->wait_completed(f, 50)) continue;
            take_audio(f);
            submit_audio();
        }
    }
    void drain_video() {
        CompletedFrame f;
        while (video_->wait_completed(f, 0))
            take_video(f);
    }
    void drain_audio() {
        CompletedFrame f;
        while (audio_->wait_completed(f, 0))
            take_audio(f);
    }

    void settle(qh::client::Pin& pin, uint64_t submitted, uint64_t returned, const char* what) {
        const uint64_t stray = pin.stray_completions();
        if (returned != submitted || pin.queued() != 0 || stray != 0) {
            fig_.not_returned += (submitted > returned ? submitted - returned : 0) + stray;
            report(context_ + ", input " + std::to_string(index_) + " " + what + ": " + std::to_string(returned) +
                   " of " + std::to_string(submitted) + " buffers came back after STOP, " + std::to_string(stray) +
                   " twice");
        }
    }

    bool completed_ok(const CompletedFrame& f, const char* what, Figures& fig) {
        if (f.status == STATUS_SUCCESS || f.status == STATUS_CANCELLED) return f.status == STATUS_SUCCESS;
        ++fig.failed;
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", unsigned(f.status));
        report(context_ + ", input " + std::to_string(index_) + ": a " + what + " buffer completed with " + status);
        return false;
    }

    void take_video(const CompletedFrame& f) {
        ++video_returned_;
        if (!completed_ok(f, "video", video_fig_)) return;
        const KSSTREAM_HEADER& h = f.stream_header();
        if (h.DataUsed == 0) return;  // a buffer given back without a frame
        ++video_fig_.frames;
        const bool flagged = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
        video_fig_.flagged_frames += flagged;
        const std::string where = context_ + ", input " + std::to_string(index_) + " " + std::to_string(width_) + "x" +
                                  std::to_string(height_) + (woven_ ? " woven" : "") + ": ";
        if (h.DataUsed < frame_bytes() || f.data.size() < frame_bytes()) {
            ++video_fig_.short_frames;
            report(where + "a frame of " + std::to_string(h.DataUsed) + " bytes");
            return;
        }
        const sim::FrameCheck c = sim::check_frame(f.data.data(), width_ * 2, height_, index_, woven_);
        switch (c.fault) {
        case sim::FrameFault::None: break;
        case sim::FrameFault::Torn: ++video_fig_.torn; break;
        case sim::FrameFault::Mixed: ++video_fig_.mixed; break;
        case sim::FrameFault::Misplaced: ++video_fig_.misplaced; break;
        }
        if (c.fault != sim::FrameFault::None)
            report(where + sim::frame_fault_name(c.fault) + " frame " + std::to_string(c.frame) + ": line " +
                   std::to_string(c.line) + " holds frame " + std::to_string(c.found.frame) + " line " +
                   std::to_string(c.found.line) + " field " + std::to_string(c.found.field) + " input " +
                   std::to_string(c.found.input));
        const uint32_t before = order_.last();
        const sim::FrameOrder::Step step = order_.next(c.frame, flagged).step;
        if (step == sim::FrameOrder::Step::Repeated) {
            ++video_fig_.repeated;
            report(where + "frame " + std::to_string(c.frame) + " delivered again");
        } else if (step == sim::FrameOrder::Step::Backwards) {
            ++video_fig_.backwards;
            report(where + "frame " + std::to_string(c.frame) + " after frame " + std::to_string(before) +
                   " without the discontinuity flag");
        }
    }

    void take_audio(const CompletedFrame& f) {
        ++audio_returned_;
        if (!completed_ok(f, "audio", audio_fig_)) return;
        const KSSTREAM_HEADER& h = f.stream_header();
        const bool flagged = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
        audio_fig_.flagged_audio += flagged;
        const size_t used = std::min<size_t>(h.DataUsed, f.data.size());
        if (used > 0) ++audio_fig_.audio_buffers;
        if (audio_index_.feed(f.data.data(), used, flagged) == 0) return;
        const uint64_t changes = changes_.load();
        if (changes != changes_seen_) {
            changes_seen_ = changes;
            ++audio_fig_.restarts_excused;
            return;
        }
        ++audio_fig_.audio_breaks;
        report(context_ + ", input " + std::to_string(index_) + ": audio sample index " +
               std::to_string(audio_index_.break_after()) + " after " + std::to_string(audio_index_.break_before()) +
               " in a buffer of " + std::to_string(used) + " bytes (" + std::to_string(audio_fig_.audio_buffers) +
               (removed_.load() ? " delivered, the card pulled out" : " delivered") +
               "), not flagged as a discontinuity");
    }

    const uint32_t index_;
    const std::string context_;
    std::unique_ptr<qh::client::Filter> video_filter_, audio_filter_;
    std::unique_ptr<qh::client::Pin> video_, audio_;
    uint32_t width_ = 0, height_ = 0;
    bool woven_ = false;
    std::atomic<bool> stop_{false}, removed_{false};
    std::vector<host::sched::Thread> threads_;
    uint64_t video_submitted_ = 0, video_returned_ = 0, audio_submitted_ = 0, audio_returned_ = 0;
    sim::FrameOrder order_;
    sim::AudioIndexCheck audio_index_;
    std::atomic<uint64_t> changes_{0};
    uint64_t changes_seen_ = 0;
    Figures fig_;                    // the thread that opens and closes
    Figures video_fig_, audio_fig_;  // each client thread's own
};

// --- the two parts -------------------------------------------------------------------------------

qh::TestbedOptions options_for(uint64_t card_seed, bool message_signalled) {
    qh::TestbedOptions options;
    for (uint32_t n = 0; n < kInputs; ++n)
        options.card.sources[n] = *sim::parse_source(kHome[n]);
    options.card.pacing = sim::Pacing::Realtime;
    options.card.start_seed = card_seed;
    options.card.interrupt_mode = message_signalled ? sim::InterruptMode::Message : sim::InterruptMode::Level;
    options.remove_on_destroy = false;  // removed here, with the leak count kept
    return options;
}

bool wait_for_lock(sim::Card& card) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kLockTimeoutMs);
    for (uint32_t n = 0; n < kInputs; ++n)
        while (!card.receiver_state(n).locked)
            if (Clock::now() > deadline)
                return false;
            else
                host::sched::sleep_for(std::chrono::milliseconds(2));
    return true;
}

// Opens every input; on failure the figures say so and the inputs opened are closed again.
bool open_inputs(qh::Testbed& bed, qh::client::Device& device, std::vector<std::unique_ptr<Input>>& inputs,
                 const std::string& context, Figures& fig) {
    if (!bed.started()) {
        ++fig.errors;
        report(context + ": the device did not start");
        return false;
    }
    if (!wait_for_lock(bed.card())) {
        ++fig.errors;
        report(context + ": the receivers did not lock");
        return false;
    }
    for (uint32_t n = 0; n < kInputs; ++n) {
        inputs.push_back(std::make_unique<Input>(n, context));
        if (!inputs.back()->open(device, bed)) return false;
    }
    for (auto& in : inputs)
        in->start();
    return true;
}

// What the verifier recorded while the part ran.
void verifier_figures(const host::verifier::Capture& capture, size_t diagnostics_before, const std::string& context,
                      Figures& fig) {
    fig.stops += capture.count();
    for (const auto& stop : capture.records())
        report(context + ": verifier stop " + host::verifier::code_name(stop.code) + ": " + stop.message);
    const size_t diagnostics = host::verifier::diagnostic_count() - diagnostics_before;
    fig.diagnostics += diagnostics;
    if (diagnostics != 0) {
        const auto kept = host::verifier::diagnostics();
        for (size_t i = kept.size() > diagnostics ? kept.size() - diagnostics : 0; i < kept.size(); ++i)
            report(context + ": diagnostic: " + kept[i]);
    }
}

Figures removal_round(size_t round, const Removal& r) {
    Figures fig;
    const std::string context = "removal " + std::to_string(round);
    host::verifier::Capture capture;
    const size_t diagnostics_before = host::verifier::diagnostic_count();
    {
        qh::Testbed bed(options_for(r.card_seed, r.message_signalled));
        std::unique_ptr<qh::client::Device> device = qh::client::open_device(bed.ksdevice());
        std::vector<std::unique_ptr<Input>> inputs;
        const bool opened = open_inputs(bed, *device, inputs, context, fig);
        if (opened) {
            host::sched::sleep_for(std::chrono::milliseconds(r.after_ms));
            for (auto& in : inputs)
                in->removing();
            bed.unplug(r.shared_line_fires);
            if (!device->wait_removed(kRemovalTimeoutMs)) {
                ++fig.errors;
                report(context + ": the removal was not reported to the client");
            }
        }
        for (auto& in : inputs) {
            in->close();
            fig.add(in->figures());
        }
        inputs.clear();
        device.reset();
        try {
            if (opened) {
                fig.leaks += bed.finish_removal(kRemovalTimeoutMs);
            } else {
                fig.leaks += bed.remove();
            }
        } catch (const std::exception& e) {
            ++fig.errors;
            report(context + ": " + e.what());
        }
    }
    verifier_figures(capture, diagnostics_before, context, fig);
    return fig;
}

// How long after a source change the driver stops taking the input's frames: from the change on
// the card to the driver's trace that it holds frames back (traced once as the hold begins). A
// change made while frames are already held back is not timed; a change the driver never held
// frames back for before the input's next change is counted apart (a change to the mode the pin
// was set for may need none, the receiver's re-lock being a gap the driver checks the signal after).
class DetectionLatency {
public:
    DetectionLatency() {
        listener_ = host::trace::add_listener([this](const host::trace::Line& line) { seen(line.text); });
    }
    ~DetectionLatency() { host::trace::remove_listener(listener_); }
    DetectionLatency(const DetectionLatency&) = delete;
    DetectionLatency& operator=(const DetectionLatency&) = delete;

    // `unplugged`: the change takes the cable away, after which no frame comes to be held back.
    void changed(uint32_t input, bool already_held, bool unplugged) {
        std::lock_guard<host::sched::Mutex> guard(lock_);
        if (pending_[input]) ++unheld_;
        pending_[input].reset();
        if (already_held) {
            ++untimed_;
            return;
        }
        pending_[input] = Clock::now();
        unplugged_[input] = unplugged;
    }
    void print() {
        std::lock_guard<host::sched::Mutex> guard(lock_);
        auto line = [](const char* what, std::vector<double> ms) {
            std::sort(ms.begin(), ms.end());
            auto at = [&](double p) {
                return ms.empty() ? 0.0 : ms[std::min(ms.size() - 1, size_t(p * double(ms.size())))];
            };
            std::printf("  %s: %zu, median %.1f ms, 90th %.1f ms, 99th %.1f ms, max %.1f ms\n", what, ms.size(),
                        at(0.5), at(0.9), at(0.99), ms.empty() ? 0.0 : ms.back());
        };
        // Input 0 waits 50 ms for a frame, inputs 1 to 3 500 ms: a source that sends the
        // pin no frame it can use is found by the wait's time-out.
        std::printf("signal watch, from a source change to the driver holding the input's frames back:\n");
        for (uint32_t n = 0; n < kInputs; ++n) {
            line(("input " + std::to_string(n) + ", to another signal").c_str(), latencies_ms_[n][0]);
            line(("input " + std::to_string(n) + ", cable pulled").c_str(), latencies_ms_[n][1]);
        }
        std::printf("  %" PRIu64 " changes made while held back (not timed), %" PRIu64
                    " with no hold before the input's next change (a signal the format still fits)\n",
                    untimed_, unheld_);
    }

private:
    void seen(const std::string& text) {
        unsigned input = 0;
        if (std::sscanf(text.c_str(), "video%u:", &input) != 1 || input >= kInputs) return;
        if (text.find("frames held back") == std::string::npos) return;
        std::lock_guard<host::sched::Mutex> guard(lock_);
        if (!pending_[input]) return;
        latencies_ms_[input][unplugged_[input] ? 1 : 0].push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - *pending_[input]).count());
        pending_[input].reset();
    }

    int listener_ = 0;
    host::sched::Mutex lock_;
    std::array<std::optional<Clock::time_point>, kInputs> pending_{};
    std::array<bool, kInputs> unplugged_{};
    std::array<std::array<std::vector<double>, 2>, kInputs> latencies_ms_;
    uint64_t untimed_ = 0, unheld_ = 0;
};

Figures mode_changes(const Schedule& s) {
    Figures fig;
    const std::string context = "mode changes";
    host::verifier::Capture capture;
    const size_t diagnostics_before = host::verifier::diagnostic_count();
    {
        qh::Testbed bed(options_for(s.mode_card_seed, false));
        std::unique_ptr<qh::client::Device> device = qh::client::open_device(bed.ksdevice());
        std::vector<std::unique_ptr<Input>> inputs;
        DetectionLatency detection;
        if (open_inputs(bed, *device, inputs, context, fig)) {
            auto change = [&](uint32_t input, const std::string& mode) {
                inputs[input]->source_changed();
                const sim::SourceConfig source = *sim::parse_source(mode);
                detection.changed(input, bed.driver_input(input).signal_mismatch, !source.cable);
                bed.card().set_source(input, source);
            };
            for (const Change& c : s.changes) {
                host::sched::sleep_for(std::chrono::milliseconds(c.after_ms));
                change(c.input, c.mode);
            }
            // Every input back to its own mode for a last stretch of frames.
            for (uint32_t n = 0; n < kInputs; ++n)
                if (bed.card().source(n) != *sim::parse_source(kHome[n])) change(n, kHome[n]);
            host::sched::sleep_for(std::chrono::milliseconds(kSettleHomeMs));
        }
        for (auto& in : inputs) {
            in->close();
            fig.add(in->figures());
        }
        detection.print();
        inputs.clear();
        device.reset();
        fig.leaks += bed.remove();
    }
    verifier_figures(capture, diagnostics_before, context, fig);
    return fig;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "campaign: surprise removals and source-mode changes during four-input capture on a card paced in "
        "real time, every delivered frame and audio buffer checked"};
    uint64_t seed = 0;
    uint32_t removals = 100, changes = 400;
    bool schedule_only = false, quiet = false;
    auto* seed_option = app.add_option("--seed", seed, "Seed of the schedule (default: drawn, and printed)");
    app.add_option("--removals", removals, "Surprise removals, each on a new card")
        ->check(CLI::Range(uint32_t(0), uint32_t(100000)));
    app.add_option("--mode-changes", changes, "Random source-mode changes on one four-input capture")
        ->check(CLI::Range(uint32_t(0), uint32_t(1000000)));
    app.add_flag("--schedule", schedule_only, "Print the schedule the seed gives and exit");
    app.add_flag("-q,--quiet", quiet, "No line per removal");
    CLI11_PARSE(app, argc, argv);
    if (!seed_option->count()) seed = (uint64_t{std::random_device{}()} << 32) | std::random_device{}();

    const Schedule schedule = make_schedule(seed, removals, changes);
    std::printf("campaign seed %" PRIu64 " (--seed %" PRIu64 " repeats this schedule): removals %u, mode changes %u\n",
                seed, seed, removals, changes);
    std::fflush(stdout);
    if (schedule_only) {
        print_schedule(schedule);
        return 0;
    }

    const auto begin = Clock::now();
    Figures removal_total;
    for (size_t i = 0; i < schedule.removals.size(); ++i) {
        const Figures f = removal_round(i, schedule.removals[i]);
        removal_total.add(f);
        if (!quiet)
            std::printf("removal %zu at %u ms: %" PRIu64 " frames, %" PRIu64 " audio buffers checked, %" PRIu64
                        " faults\n",
                        i, schedule.removals[i].after_ms, f.frames, f.audio_buffers, f.faults());
        std::fflush(stdout);
    }
    Figures change_total;
    if (!schedule.changes.empty()) change_total = mode_changes(schedule);

    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("\ncampaign seed %" PRIu64 ", %.0f s\n", seed, seconds);
    removal_total.print(("surprise removals (" + std::to_string(removals) + ")").c_str());
    change_total.print(("source-mode changes (" + std::to_string(changes) + ")").c_str());
    Figures all;
    all.add(removal_total);
    all.add(change_total);
    if (all.faults() != 0) {
        std::printf("campaign FAILED: %" PRIu64 " faults (--seed %" PRIu64 " repeats the schedule)\n", all.faults(),
                    seed);
        return 1;
    }
    std::printf("campaign passed\n");
    return 0;
}
