// start, list, reg and stats.
#include "tools/quadhdmi/commands.h"

#include "client/enumerate.h"
#include "driver/public.h"
#include "platform/host/kernel/kernel.h"
#include "platform/host/diag/trace.h"
#include "tools/quadhdmi/capture_streams.h"
#include "tools/quadhdmi/describe.h"
#include "tools/quadhdmi/device/device_commands.h"
#include "tools/quadhdmi/session.h"

#include <cstring>

namespace qh::tool {

bool prepare_run(const CommonOptions& common, sim::CardConfig& config, std::unique_ptr<TraceOutput>& trace) {
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

bool start_session(Session& session) {
    const NTSTATUS status = session.start();
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "quadhdmi: the device did not start: %s\n", status_text(status).c_str());
        return false;
    }
    return true;
}

namespace {

int finish_session(Session& session, int code) {
    const size_t leaks = session.finish();
    if (leaks != 0) {
        std::fprintf(stderr, "quadhdmi: the verifier found %zu leak(s) at removal\n", leaks);
        return code == 0 ? 3 : code;
    }
    return code;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

int run_start(const CommonOptions& common) {
    sim::CardConfig config;
    std::unique_ptr<TraceOutput> trace;
    if (!prepare_run(common, config, trace)) return 2;
    const auto mark = host::trace::mark();

    Session session(config);
    const NTSTATUS status = session.start();

    // The trace of the start, unless it is already going to standard output as it happens.
    if (common.trace != "-") {
        std::printf("Driver trace:\n");
        for (const host::trace::Line& line : host::trace::since(mark)) {
            std::fputs(("  " + format_trace_line(line.time_ns, line.text)).c_str(), stdout);
        }
    }
    if (status != STATUS_SUCCESS) {
        std::printf("\nThe device did not start: %s\n", status_text(status).c_str());
        return finish_session(session, 1);
    }

    std::printf("\nSummary:\n");
    sim::Card& card = session.card();
    for (uint32_t input = 0; input < sim::kInputs; ++input) {
        const sim::ReceiverState receiver = card.receiver_state(input);
        const bool ok = host::trace::count_exact(
                            mark, host::trace::format("ADV7611 channel %x reset ok\n", 0x4000 + 0x1000 * input)) > 0;
        std::printf("  input %u: receiver %s%s, source %s\n", input, ok ? "identified" : "NOT identified",
                    receiver.configured ? " and configured" : "", sim::format_source(card.source(input)).c_str());
    }
    const DriverResources held = session.driver_resources();
    std::printf("  video buffers: %u of %u allocated (%u MiB each)\n", held.video_buffers, held.video_buffers_total,
                held.video_buffer_bytes >> 20);
    std::printf("  audio buffer:  %s (%u bytes, a %u-byte ring per input)\n",
                held.audio_buffer ? "allocated" : "NOT allocated", held.audio_buffer_bytes, held.audio_ring_bytes);
    std::printf("  register window: %u bytes mapped; interrupt %s, %s\n", held.register_bytes,
                config.interrupt_mode == sim::InterruptMode::Message ? "message-signalled" : "line-based",
                card.interrupt_enabled() ? "enabled" : "NOT enabled");

    const int code = finish_session(session, 0);
    std::printf("  stopped and removed%s\n", code == 0 ? " cleanly" : "");
    return code;
}

// ---------------------------------------------------------------------------------------------

int run_list(const CommonOptions& common) {
    sim::CardConfig config;
    std::unique_ptr<TraceOutput> trace;
    if (!prepare_run(common, config, trace)) return 2;
    Session session(config);
    if (!start_session(session)) return finish_session(session, 1);

    const int code = list_filters(session.device());
    return finish_session(session, code);
}

// ---------------------------------------------------------------------------------------------

namespace {

int run_reg(const CommonOptions& common, uint32_t offset, std::optional<uint32_t> value) {
    sim::CardConfig config;
    std::unique_ptr<TraceOutput> trace;
    if (!prepare_run(common, config, trace)) return 2;
    Session session(config);
    if (!start_session(session)) return finish_session(session, 1);

    std::unique_ptr<client::Filter> filter;
    NTSTATUS status = session.open_filter(0, true, filter);
    if (status != STATUS_SUCCESS) {
        std::fprintf(stderr, "quadhdmi: cannot open the video filter of input 0: %s\n", status_text(status).c_str());
        return finish_session(session, 1);
    }
    const int code = register_access(*filter, offset, value);
    filter->close();
    return finish_session(session, code);
}

}  // namespace

int run_reg_read(const CommonOptions& common, const std::string& offset) {
    const auto o = parse_u32(offset);
    if (!o) {
        std::fprintf(stderr, "quadhdmi: '%s' is not a register offset\n", offset.c_str());
        return 2;
    }
    return run_reg(common, *o, std::nullopt);
}

int run_reg_write(const CommonOptions& common, const std::string& offset, const std::string& value) {
    const auto o = parse_u32(offset);
    const auto v = parse_u32(value);
    if (!o || !v) {
        std::fprintf(stderr, "quadhdmi: expected OFFSET VALUE as numbers (0x… or decimal)\n");
        return 2;
    }
    return run_reg(common, *o, *v);
}

// ---------------------------------------------------------------------------------------------

int run_stats(const CommonOptions& common, const StatsOptions& options) {
    sim::CardConfig config;
    std::unique_ptr<TraceOutput> trace;
    if (!prepare_run(common, config, trace)) return 2;
    Session session(config);
    if (!start_session(session)) return session.finish() ? 3 : 1;

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

    if (code == 0) code = print_dropped_frames(*stream.filter, options.input, stream.pin != nullptr);
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
