// The capture command's reports: progress, summary, the driver's cost.
#include "tools/quadhdmi/capture_report.h"

#include "platform/host/measure/cost.h"
#include "tools/quadhdmi/checks.h"
#include "tools/quadhdmi/media.h"

#include <algorithm>
#include <cstdio>

namespace qh::tool {

namespace {

// A routine the driver image carries no name for is described as "DPC routine at image+0x…": the
// row already says what kind of routine it is.
std::string without_kind(const std::string& name, const std::string& kind) {
    return name.rfind(kind, 0) == 0 ? name.substr(kind.size()) : name;
}

}  // namespace

std::string progress_line(const VideoStreams& video, const AudioStreams& audio, double elapsed) {
    std::string line = "\r" + std::to_string(int(elapsed)) + " s";
    char part[64];
    for (const auto& v : video) {
        std::snprintf(part, sizeof part, " | in%u %llu fr", v->input,
                      static_cast<unsigned long long>(v->frames.load()));
        line += part;
    }
    for (const auto& a : audio) {
        std::snprintf(part, sizeof part, " | in%u %.1f s audio", a->input, double(a->bytes.load()) / 192000.0);
        line += part;
    }
    return line + "   ";
}

// The driver's own cost as the host measured it: per pin, CPU time in its Process dispatch and
// the DPC the host saw serving it (thread CPU time, waits excluded), the frames and bytes it
// completed; the interrupt routine's time for the whole device. Everything comes from the host's
// own figures, named by routine.
std::string driver_stats(const VideoStreams& video, const AudioStreams& audio, double elapsed) {
    std::string out = "Driver CPU time (host thread CPU clock):\n";
    char line[320];
    // The device's interrupt objects, each once however many pins it serves.
    std::vector<host::cost::Named> interrupts;
    auto row = [&](const char* what, uint32_t input, PKSPIN pin) {
        const host::cost::PinCost c = host::cost::pin_cost(pin);
        const auto& p = c.process;
        const auto& d = c.dpc;
        std::string dpc_names;
        for (const auto& n : c.dpcs)
            dpc_names += (dpc_names.empty() ? " " : ", ") + without_kind(n.name, "DPC routine ");
        const double per = p.frames ? double(p.cpu_ns + d.cpu_ns) / 1e3 / double(p.frames) : 0.0;
        std::snprintf(
            line, sizeof line,
            "input %u %s: Process %.1f ms in %llu calls (max %.0f us), DPC%s %.1f ms in %llu runs (max %.0f us), "
            "%llu buffers, %llu bytes copied, %.1f us a buffer\n",
            input, what, double(p.cpu_ns) / 1e6, static_cast<unsigned long long>(p.calls), double(p.max_ns) / 1e3,
            dpc_names.c_str(), double(d.cpu_ns) / 1e6, static_cast<unsigned long long>(d.calls), double(d.max_ns) / 1e3,
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
                      without_kind(i.name, "interrupt service routine ").c_str(), double(f.cpu_ns) / 1e6,
                      static_cast<unsigned long long>(f.calls), double(f.max_ns) / 1e3,
                      elapsed > 0 ? double(f.cpu_ns) / 1e7 / elapsed : 0.0);
        out += line;
    }
    return out;
}

int report_streams(const CaptureOptions& options, bool several, bool cut_short, double elapsed,
                   const VideoStreams& video, const AudioStreams& audio) {
    int code = 0;
    auto fail = [&](uint32_t input, const std::string& what) {
        std::fprintf(stderr, "quadhdmi: input %u: %s\n", input, what.c_str());
        code = kExitFailed;
    };
    std::string error;
    std::printf("Captured for %.2f s\n", elapsed);
    for (const auto& v : video) {
        const uint64_t frames = v->frames.load();
        const double span = double(v->last_ns - v->first_ns) / 1e9;
        const double fps = frames > 1 && span > 0 ? double(frames - 1) / span : 0.0;
        std::printf(
            "input %u video: %llu frames %ux%u%s, %.2f fps, missed %llu, driver drops %llu, held back %llu, "
            "bad frames %llu%s",
            v->input, static_cast<unsigned long long>(frames), v->width, v->height,
            v->interlaced ? " interlaced (woven)" : " progressive", fps, static_cast<unsigned long long>(v->missed),
            static_cast<unsigned long long>(v->driver_drops), static_cast<unsigned long long>(v->held_back),
            static_cast<unsigned long long>(v->bad_frames), v->bad_detail().c_str());
        if (!v->latency_ms.empty()) {
            std::printf(", stamp-to-delivery latency p50 %.2f ms p99 %.2f ms max %.2f ms",
                        percentile(v->latency_ms, 50), percentile(v->latency_ms, 99), percentile(v->latency_ms, 100));
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
    for (const auto& a : audio) {
        const uint64_t bytes = a->bytes.load();
        const uint64_t unannounced = a->checker.unflagged_breaks();
        std::printf(
            "input %u audio: %llu bytes (%.2f s), sample-index discontinuities %llu, flagged buffers %llu, "
            "unannounced %llu",
            a->input, static_cast<unsigned long long>(bytes), double(bytes) / 192000.0,
            static_cast<unsigned long long>(unannounced + a->checker.flagged_breaks()),
            static_cast<unsigned long long>(a->flagged), static_cast<unsigned long long>(unannounced));
        // What holds for any source is said only when it did not hold.
        if (a->generic.bad != 0)
            std::printf(", bad buffers %llu%s", static_cast<unsigned long long>(a->generic.bad),
                        a->generic.detail().c_str());
        if (!a->note.empty()) std::printf(" [%s]", a->note.c_str());
        std::printf("\n");
        if (a->generic.bad != 0) code = kExitFailed;
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
    return code;
}

}  // namespace qh::tool
