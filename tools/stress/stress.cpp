// stress: seeded random walks of what clients do with the eight filters — opens, pin creations
// with valid and crafted formats, state changes in any order, buffers of any size (or none),
// property requests of any size and content, closes at any point — mixed with faults of the card
// (receiver faults, cable pulls and mode changes, spurious interrupts) and of the host (pool
// allocations that fail). After every step: no verifier stop, every buffer returned at most once
// and, once its pin is closed, exactly once, delivered frames' stamps consistent with the pin's
// format and their numbers moving on (back only on a flagged frame), the audio sample index
// continuous outside flagged buffers; at the end the pool is back
// to where it was after the start and the device is removed without a leak.
//
//   stress --seed 7 --steps 10000        one walk
//   stress --seeds 10 --steps 10000      seeds 1..10 one after the other
// A failure prints its random seed and the last steps; that seed repeats the same walk.
#include "testbed/testbed.h"
#include "driver/public.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/ks/ks.h"
#include "platform/host/diag/verifier.h"
#include "platform/host/sched/sched.h"
#include "sim/pattern.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using qh::client::CompletedFrame;
using qh::client::Filter;
using qh::client::Pin;

constexpr uint32_t kFilters = 8;  // audio 0, video 0, audio 1, video 1, ...
constexpr size_t kMaxOpenFilters = 10;
constexpr size_t kMaxPins = 8;
constexpr size_t kHistory = 40;  // steps printed with a failure

struct Figures {
    uint64_t steps = 0, opens = 0, pins_created = 0, pins_refused = 0, state_changes = 0, submissions = 0,
             properties = 0, faults = 0, video_frames = 0, video_checked = 0, audio_bytes = 0, audio_flagged = 0,
             cancelled = 0;
};

struct FilterRec {
    std::unique_ptr<Filter> filter;
    uint32_t index;
};

struct PinRec {
    std::unique_ptr<Pin> pin;
    uint32_t input;
    bool video;
    uint32_t width = 0, height = 0;  // video: the pin's format
    uint64_t submitted = 0, completed = 0;
    std::set<uint64_t> seen;
    // Video: frames are checked line by line only while the source is the one the pin's format
    // was set and run with, at the same size.
    uint64_t checked_epoch = UINT64_MAX;
    bool interlaced = false;
    // Within one run of the pin on one source, frame numbers move on (sim::FrameOrder).
    sim::FrameOrder order;
    // Audio: the sample index runs on from the last delivered frame unless a buffer is flagged.
    sim::AudioIndexCheck audio_index;
};

class Walk {
public:
    Walk(uint64_t seed, uint64_t steps, Figures& figures) : seed_(seed), steps_(steps), fig_(figures), rng_(seed) {}

    // Returns false after printing the failure.
    bool run() {
        qh::TestbedOptions options;
        options.card = sim::Card::default_config();
        options.card.pacing = sim::Pacing::Manual;
        bed_ = std::make_unique<qh::Testbed>(options);
        if (!bed_->started()) return fail("the device did not start");
        capture_ = std::make_unique<host::verifier::Capture>();
        device_ = qh::client::open_device(bed_->ksdevice());
        for (uint32_t i = 0; i < kSources; ++i)
            epoch_[i] = 0;
        const uint64_t baseline = host::pool_usage().live_blocks;

        for (uint64_t step = 0; step < steps_ && failure_.empty(); ++step) {
            one_step();
            ++fig_.steps;
            if (pool_failure_armed_ && step_op_ != "fault pool") {
                host::clear_pool_failures();
                pool_failure_armed_ = false;
            }
            check_after_step();
        }
        if (!failure_.empty()) return report();

        // Wind down: everything closed, faults cleared, the pool where the start left it.
        host::clear_pool_failures();
        while (!pins_.empty())
            close_pin(0);
        while (!filters_.empty())
            filters_.erase(filters_.begin());
        check_after_step();
        if (failure_.empty() && host::pool_usage().live_blocks != baseline)
            failure_ = "pool: " + std::to_string(host::pool_usage().live_blocks) + " blocks live at the end, " +
                       std::to_string(baseline) + " after the start";
        if (failure_.empty() && capture_->count() != 0) failure_ = "verifier: " + capture_->records()[0].message;
        capture_.reset();
        device_.reset();
        if (!failure_.empty()) return report();
        const size_t leaks = bed_->remove();
        bed_.reset();
        if (leaks != 0) {
            failure_ = std::to_string(leaks) + " leak(s) at removal";
            return report();
        }
        return true;
    }

private:
    static constexpr uint32_t kSources = 4;

    uint32_t pick(uint32_t n) { return n ? uint32_t(rng_() % n) : 0; }
    bool chance(uint32_t percent) { return pick(100) < percent; }

    void log(const std::string& text) {
        step_op_ = text;
        history_.push_back("step " + std::to_string(fig_.steps) + ": " + text);
        if (history_.size() > kHistory) history_.pop_front();
    }

    bool fail(const std::string& why) {
        failure_ = why;
        return report();
    }

    bool report() {
        std::fprintf(stderr, "stress: FAILED with --seed %" PRIu64 " at step %" PRIu64 ": %s\nlast steps:\n", seed_,
                     fig_.steps, failure_.c_str());
        for (const auto& line : history_)
            std::fprintf(stderr, "  %s\n", line.c_str());
        // The device is left as it is: a removal now could only add noise to the report.
        std::fflush(stderr);
        std::_Exit(1);
    }

    // --- operations --------------------------------------------------------------------------

    void one_step() {
        const uint32_t r = pick(100);
        if (r < 5) return open_filter();
        if (r < 6) return close_filter();
        if (r < 14) return create_pin();
        if (r < 24) return set_state();
        if (r < 44) return submit();
        if (r < 81) return step_card();
        if (r < 91) return property();
        if (r < 93) return set_format();
        if (r < 95) return set_clock();
        if (r < 97) {
            if (!pins_.empty()) {
                const uint32_t i = pick(uint32_t(pins_.size()));
                log("close pin " + std::to_string(i));
                close_pin(i);
            }
            return;
        }
        return fault();
    }

    void open_filter() {
        if (filters_.size() >= kMaxOpenFilters) return;
        const uint32_t index = pick(kFilters);
        log("open filter " + std::to_string(index));
        std::unique_ptr<Filter> filter;
        if (device_->open_filter(index, filter) == STATUS_SUCCESS) {
            filters_.push_back({std::move(filter), index});
            ++fig_.opens;
        }
    }

    void close_filter() {
        if (filters_.empty()) return;
        const uint32_t i = pick(uint32_t(filters_.size()));
        log("close filter slot " + std::to_string(i) + " (its pins first)");
        Filter* f = filters_[i].filter.get();
        for (size_t p = pins_.size(); p-- > 0;)
            if (pin_filter_[p] == f) close_pin(uint32_t(p));
        filters_.erase(filters_.begin() + i);
    }

    // A format for a pin of `f`: usually the intersection of one of its ranges, else crafted.
    std::vector<uint8_t> make_format(Filter& f, uint32_t pin_id, std::string& kind) {
        std::vector<uint8_t> format;
        const auto pins = f.pins();
        if (pin_id < pins.size() && !pins[pin_id].ranges.empty()) {
            // Range 0 (the detected signal) half of the time, so that many streams can be checked
            // line by line.
            const auto& ranges = pins[pin_id].ranges;
            const auto& range = ranges[chance(50) ? 0 : pick(uint32_t(ranges.size()))];
            f.intersect(pin_id, {range}, format);
        }
        const uint32_t how = pick(10);
        if (how < 6 && !format.empty()) {
            kind = "valid";
        } else if (how < 8 && !format.empty()) {
            kind = "mutated";
            for (uint32_t k = 1 + pick(4); k > 0; --k)
                format[pick(uint32_t(format.size()))] ^= uint8_t(1u << pick(8));
        } else if (how < 9 && !format.empty()) {
            kind = "truncated";
            format.resize(pick(uint32_t(format.size())));
        } else {
            kind = "random";
            format.resize(pick(200));
            for (auto& b : format)
                b = uint8_t(rng_());
            if (format.size() >= 4) {
                const uint32_t size = uint32_t(format.size());
                std::memcpy(format.data(), &size, 4);  // FormatSize as the class expects it
            }
        }
        return format;
    }

    void create_pin() {
        if (filters_.empty() || pins_.size() >= kMaxPins) return;
        FilterRec& fr = filters_[pick(uint32_t(filters_.size()))];
        const uint32_t pin_id = chance(90) ? 0 : pick(3);
        std::string kind;
        const auto format = make_format(*fr.filter, pin_id, kind);
        log("create pin " + std::to_string(pin_id) + " on filter " + std::to_string(fr.index) + " with a " + kind +
            " format of " + std::to_string(format.size()) + " bytes");
        std::unique_ptr<Pin> pin;
        if (fr.filter->create_pin(pin_id, format, pin) != STATUS_SUCCESS) {
            ++fig_.pins_refused;
            return;
        }
        ++fig_.pins_created;
        PinRec rec;
        rec.input = fr.index / 2;
        rec.video = fr.index % 2 == 1;
        record_format(rec, pin->kspin());
        rec.pin = std::move(pin);
        pins_.push_back(std::move(rec));
        pin_filter_.push_back(fr.filter.get());
    }

    // What the pin was given: its connection format as the class keeps it.
    void record_format(PinRec& rec, PKSPIN kspin) {
        rec.checked_epoch = UINT64_MAX;
        if (!rec.video || !kspin->ConnectionFormat ||
            kspin->ConnectionFormat->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
            return;
        const auto* vf = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(kspin->ConnectionFormat);
        rec.width = uint32_t(vf->VideoInfoHeader.bmiHeader.biWidth);
        rec.height = uint32_t(vf->VideoInfoHeader.bmiHeader.biHeight);
    }

    void set_state() {
        if (pins_.empty()) return;
        const uint32_t i = pick(uint32_t(pins_.size()));
        PinRec& rec = pins_[i];
        const auto to = chance(50) ? KSSTATE_RUN : KSSTATE(pick(4));
        log("pin " + std::to_string(i) + " to state " + std::to_string(int(to)));
        const KSSTATE from = rec.pin->state();
        rec.pin->set_state(to);
        ++fig_.state_changes;
        const KSSTATE now = rec.pin->state();
        if (now == KSSTATE_RUN && from != KSSTATE_RUN) {
            // A run starts a stream afresh: frames are checked against the source it starts with
            // when the pin owns the input, and the audio index may start anywhere.
            rec.audio_index.restart();
            const qh::DriverInput driver = bed_->driver_input(rec.input);
            const sim::SourceConfig src = bed_->card().source(rec.input);
            rec.interlaced = driver.interlaced;
            const bool owner = driver.video_pin == rec.pin->kspin();
            const bool same = src.cable && src.width == rec.width && src.height == rec.height &&
                              src.interlaced == rec.interlaced && driver.width == rec.width &&
                              driver.height == rec.height;
            rec.checked_epoch = rec.video && owner && same ? epoch_[rec.input] : UINT64_MAX;
        }
        // A pin that went through STOP starts a new stream of frames when it runs again.
        if (now == KSSTATE_STOP) rec.order.restart();
    }

    void submit() {
        if (pins_.empty()) return;
        const uint32_t i = pick(uint32_t(pins_.size()));
        PinRec& rec = pins_[i];
        uint32_t extent;
        const uint32_t frame = rec.video ? rec.width * rec.height * 2 : 1920;
        switch (pick(8)) {
        case 0: extent = 0; break;
        case 1: extent = 1 + pick(64); break;
        case 2: extent = frame > 8 ? frame - 2 * (1 + pick(4)) : frame; break;
        case 3: extent = frame + 4 * pick(1024); break;
        case 4: extent = rec.video ? rec.width * 2 * (1 + pick(16)) : 4 * (1 + pick(960)); break;
        default: extent = frame; break;
        }
        if (extent > 8u << 20) extent = 8u << 20;
        const uint32_t header = chance(70) ? 128 : chance(50) ? 56 : 56 + pick(200);
        const bool with_data = !chance(5);
        log("submit to pin " + std::to_string(i) + ": " + std::to_string(extent) + " bytes, header " +
            std::to_string(header) + (with_data ? "" : ", no data"));
        if (rec.pin->submit(extent, header, with_data) == STATUS_SUCCESS) {
            ++rec.submitted;
            ++fig_.submissions;
        }
    }

    void step_card() {
        // Mostly an input some pin streams from.
        uint32_t input = pick(kSources);
        if (!pins_.empty() && chance(80)) input = pins_[pick(uint32_t(pins_.size()))].input;
        if (chance(55)) {
            log("card: one video unit on input " + std::to_string(input));
            bed_->card().step_video(input);
        } else {
            const uint32_t blocks = 1 + pick(20);
            log("card: " + std::to_string(blocks) + " audio blocks on input " + std::to_string(input));
            bed_->card().step_audio(input, blocks);
        }
    }

    void property() {
        static const GUID* sets[] = {&host::ks::kPropsetPin,  &host::ks::kPropsetConnection, &host::ks::kPropsetStream,
                                     &kPropsetRegisterAccess, &kPropsetDroppedFrames,        &kPropsetAudio};
        static const ULONG kinds[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                                      KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
                                      KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY};
        const bool on_pin = !pins_.empty() && chance(40);
        if (!on_pin && filters_.empty()) return;
        GUID set;
        if (chance(90)) {
            set = *sets[pick(6)];
        } else {
            for (size_t b = 0; b < sizeof set; ++b)
                reinterpret_cast<uint8_t*>(&set)[b] = uint8_t(rng_());
        }
        const uint32_t id = chance(80) ? pick(12) : uint32_t(rng_());
        const ULONG flags = chance(90) ? kinds[pick(5)] : ULONG(rng_());
        std::vector<uint8_t> request = qh::client::make_property(set, id, flags);
        if (flags & KSPROPERTY_TYPE_TOPOLOGY) request = qh::client::make_node_property(set, id, flags, pick(3));
        // Register writes are left out: a write the driver accepts may legitimately stop an
        // engine or an I2C master, which is a different walk from the one this seed describes.
        if (IsEqualGUID(set, kPropsetRegisterAccess) && (flags & KSPROPERTY_TYPE_SET)) return;
        const uint32_t extra = chance(50) ? pick(40) : 0;
        for (uint32_t k = 0; k < extra; ++k)
            request.push_back(uint8_t(rng_()));
        if (chance(10)) request.resize(pick(uint32_t(request.size()) + 1));
        std::vector<uint8_t> input(chance(50) ? pick(96) : 0);
        for (auto& b : input)
            b = uint8_t(rng_());
        const uint32_t output = chance(70) ? pick(128) : pick(5000);
        log(std::string("property on ") + (on_pin ? "a pin" : "a filter") + ": id " + std::to_string(id) + " flags 0x" +
            std::to_string(flags) + ", request " + std::to_string(request.size()) + " bytes, input " +
            std::to_string(input.size()) + ", output " + std::to_string(output));
        // State changes through the property would bypass the walk's bookkeeping of runs.
        if (IsEqualGUID(set, host::ks::kPropsetConnection) && id == host::ks::kConnectionState &&
            (flags & KSPROPERTY_TYPE_SET))
            return;
        if (on_pin) {
            PinRec& rec = pins_[pick(uint32_t(pins_.size()))];
            rec.pin->property(request, output, input);
            record_format(rec, rec.pin->kspin());
        } else {
            filters_[pick(uint32_t(filters_.size()))].filter->property(request, output, input);
        }
        ++fig_.properties;
    }

    void set_format() {
        if (pins_.empty()) return;
        const uint32_t i = pick(uint32_t(pins_.size()));
        Filter* f = pin_filter_[i];
        std::string kind;
        const auto format = make_format(*f, pins_[i].pin->id(), kind);
        log("pin " + std::to_string(i) + ": set a " + kind + " format of " + std::to_string(format.size()) + " bytes");
        pins_[i].pin->set_format(format);
        record_format(pins_[i], pins_[i].pin->kspin());
    }

    void set_clock() {
        if (pins_.empty()) return;
        const uint32_t i = pick(uint32_t(pins_.size()));
        log("pin " + std::to_string(i) + ": master clock");
        std::shared_ptr<qh::client::Clock> clock;
        if (chance(80)) {
            clock = qh::client::make_clock();
            clock->run();
        }
        pins_[i].pin->set_master_clock(clock);
    }

    void fault() {
        static const char* modes[] = {"1920x1080p60", "1920x1080i60", "1280x720p60", "640x480p60", "none"};
        const uint32_t input = pick(kSources);
        sim::Card& card = bed_->card();
        ++fig_.faults;
        ++epoch_[input];
        for (PinRec& rec : pins_)
            if (rec.input == input) rec.audio_index.restart();
        switch (pick(7)) {
        case 0: {
            const char* mode = modes[pick(5)];
            log(std::string("fault: input ") + std::to_string(input) + " source " + mode);
            card.set_source(input, *sim::parse_source(mode));
            return;
        }
        case 1: {
            const bool absent = !card.faults(input).receiver_absent;
            log("fault: input " + std::to_string(input) + " receiver " + (absent ? "absent" : "back"));
            card.set_receiver_absent(input, absent);
            return;
        }
        case 2: {
            const bool wrong = !card.faults(input).wrong_id;
            log("fault: input " + std::to_string(input) + (wrong ? " wrong id" : " right id"));
            card.set_wrong_id(input, wrong);
            return;
        }
        case 3: {
            const uint32_t k = 1 + pick(3);
            log("fault: input " + std::to_string(input) + " next " + std::to_string(k) + " I2C transfers hang");
            card.fail_next_i2c_transfers(input, k);
            return;
        }
        case 4:
            log("fault: spurious interrupt");
            card.inject_spurious_interrupt();
            return;
        case 5:
            log("fault: shared interrupt");
            card.inject_shared_interrupt();
            return;
        default: {
            const uint32_t n = 1 + pick(8);
            log("fault pool");
            history_.back() += ": allocation " + std::to_string(n) + " from now fails";
            host::fail_pool_nth(n);
            pool_failure_armed_ = true;
            return;
        }
        }
    }

    void close_pin(uint32_t i) {
        PinRec& rec = pins_[i];
        rec.pin->close();
        drain(rec);
        if (failure_.empty() && (rec.completed != rec.submitted || rec.pin->queued() != 0))
            failure_ = "a closed pin returned " + std::to_string(rec.completed) + " of " +
                       std::to_string(rec.submitted) + " buffers";
        pins_.erase(pins_.begin() + i);
        pin_filter_.erase(pin_filter_.begin() + i);
    }

    // --- invariants --------------------------------------------------------------------------

    void check_after_step() {
        if (failure_.empty() && capture_->count() != 0) failure_ = "verifier: " + capture_->records()[0].message;
        for (PinRec& rec : pins_)
            drain(rec);
    }

    void drain(PinRec& rec) {
        CompletedFrame f;
        while (failure_.empty() && rec.pin->wait_completed(f, 0))
            check_completion(rec, f);
        if (failure_.empty() && rec.pin->stray_completions() != 0) failure_ = "a buffer was returned twice";
    }

    void check_completion(PinRec& rec, const CompletedFrame& f) {
        ++rec.completed;
        if (f.sequence >= rec.submitted || !rec.seen.insert(f.sequence).second) {
            failure_ = "buffer " + std::to_string(f.sequence) + " returned twice or never submitted";
            return;
        }
        if (!f.guards_intact) {
            failure_ = "buffer " + std::to_string(f.sequence) + ": the driver wrote outside the header or data";
            return;
        }
        if (f.status == STATUS_CANCELLED) {
            ++fig_.cancelled;
            return;
        }
        if (f.status != STATUS_SUCCESS) {
            failure_ = "buffer completed with status " + std::to_string(uint32_t(f.status));
            return;
        }
        const KSSTREAM_HEADER& h = f.stream_header();
        if (!rec.video) {
            // Empty buffers too: a flag on one still stands between the audio before and after it.
            check_audio(rec, f, h);
            return;
        }
        if (h.DataUsed == 0 || f.data.empty()) return;
        check_video(rec, f, h);
    }

    void check_video(PinRec& rec, const CompletedFrame& f, const KSSTREAM_HEADER& h) {
        ++fig_.video_frames;
        if (rec.checked_epoch != epoch_[rec.input]) {
            // Another source (or receiver state) since the run: its numbers owe nothing to the
            // frames checked before.
            rec.order.restart();
            return;
        }
        const uint32_t pitch_fit = h.FrameExtent / rec.height / 2;
        const uint32_t pitch = rec.interlaced && pitch_fit >= rec.width ? pitch_fit * 2 : rec.width * 2;
        const uint32_t lines =
            std::min(rec.height, h.DataUsed < rec.width * 2 ? 0 : (h.DataUsed - rec.width * 2) / pitch + 1);
        const sim::FrameCheck c = sim::check_frame(f.data.data(), pitch, lines, rec.input, rec.interlaced);
        const std::string what = "video frame " + std::to_string(c.frame) + " on input " + std::to_string(rec.input) +
                                 " (" + std::to_string(rec.width) + "x" + std::to_string(rec.height) +
                                 (rec.interlaced ? " woven" : "") + ", " + std::to_string(h.DataUsed) + " bytes used)";
        if (c.fault != sim::FrameFault::None) {
            failure_ = what + " is " + sim::frame_fault_name(c.fault) + ": line " + std::to_string(c.line) +
                       " carries frame " + std::to_string(c.found.frame) + " line " + std::to_string(c.found.line) +
                       " field " + std::to_string(c.found.field) + " input " + std::to_string(c.found.input);
            return;
        }
        const uint32_t before = rec.order.last();
        const bool flagged = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
        if (lines > 0 && sim::FrameOrder::bad(rec.order.next(c.frame, flagged).step)) {
            failure_ = what + " after frame " + std::to_string(before) + ", not flagged as a discontinuity";
            return;
        }
        ++fig_.video_checked;
    }

    void check_audio(PinRec& rec, const CompletedFrame& f, const KSSTREAM_HEADER& h) {
        const bool flagged = (h.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
        if (flagged) ++fig_.audio_flagged;
        const size_t used = std::min<size_t>(h.DataUsed, f.data.size());
        fig_.audio_bytes += used;
        if (rec.audio_index.feed(f.data.data(), used, flagged) != 0) {
            failure_ = "audio on input " + std::to_string(rec.input) + ": sample index " +
                       std::to_string(rec.audio_index.break_after()) + " after " +
                       std::to_string(rec.audio_index.break_before()) + " in buffer " + std::to_string(f.sequence) +
                       " (" + std::to_string(used) + " of " + std::to_string(h.FrameExtent) +
                       " bytes used), not flagged as a discontinuity";
        }
    }

    uint64_t seed_, steps_;
    Figures& fig_;
    std::mt19937_64 rng_;
    std::unique_ptr<qh::Testbed> bed_;
    std::unique_ptr<host::verifier::Capture> capture_;
    std::unique_ptr<qh::client::Device> device_;
    std::vector<FilterRec> filters_;
    std::vector<PinRec> pins_;
    std::vector<Filter*> pin_filter_;  // the filter each pin was created on
    uint64_t epoch_[kSources];         // counts the changes of each input's source and receiver
    bool pool_failure_armed_ = false;
    std::string step_op_;
    std::deque<std::string> history_;
    std::string failure_;
};

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"stress: seeded random walks of client operations and card faults against the driver"};
    uint64_t seed = 1, seeds = 1, steps = 1000;
    app.add_option("--seed", seed, "First seed")->check(CLI::Range(uint64_t(0), UINT64_MAX / 2));
    app.add_option("--seeds", seeds, "Number of seeds, one walk each")
        ->check(CLI::Range(uint64_t(1), uint64_t(100000)));
    app.add_option("--steps", steps, "Steps of each walk")->check(CLI::Range(uint64_t(1), uint64_t(100000000)));
    CLI11_PARSE(app, argc, argv);
    // QH_SCHEDULE=random:SEED or pct:SEED:DEPTH: the walks one thread at a time, on virtual time.
    std::string schedule_error;
    if (!host::sched::begin_from_environment(schedule_error)) {
        std::fprintf(stderr, "stress: %s\n", schedule_error.c_str());
        return 2;
    }

    Figures total;
    const auto begin = std::chrono::steady_clock::now();
    for (uint64_t s = seed; s < seed + seeds; ++s) {
        Figures fig;
        const auto t0 = std::chrono::steady_clock::now();
        Walk walk(s, steps, fig);
        walk.run();  // exits with the failure report
        const double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("seed %" PRIu64 ": %" PRIu64 " steps in %.1f s: %" PRIu64 " opens, %" PRIu64 " pins (%" PRIu64
                    " refused), %" PRIu64 " state changes, %" PRIu64 " buffers, %" PRIu64 " properties, %" PRIu64
                    " faults; %" PRIu64 " video frames (%" PRIu64 " stamp-checked), %" PRIu64 " audio bytes (%" PRIu64
                    " flagged buffers), %" PRIu64 " cancelled\n",
                    s, fig.steps, sec, fig.opens, fig.pins_created, fig.pins_refused, fig.state_changes,
                    fig.submissions, fig.properties, fig.faults, fig.video_frames, fig.video_checked, fig.audio_bytes,
                    fig.audio_flagged, fig.cancelled);
        std::fflush(stdout);
        total.steps += fig.steps;
        total.video_checked += fig.video_checked;
        total.audio_bytes += fig.audio_bytes;
    }
    const double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    std::printf("stress: %" PRIu64 " seeds from %" PRIu64 ", %" PRIu64 " steps in %.1f s, %" PRIu64
                " frames stamp-checked, %" PRIu64 " audio bytes checked, no failure\n",
                seeds, seed, total.steps, sec, total.video_checked, total.audio_bytes);
    return host::sched::finish(0);
}
