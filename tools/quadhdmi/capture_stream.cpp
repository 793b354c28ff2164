// What the capture command's video and audio streams share: opening the input's filter with the
// reason it may stay silent, running the pin with buffers queued, releasing it.
#include "tools/quadhdmi/capture_streams.h"
#include "platform/host/sched/sched.h"

#include "platform/host/diag/trace.h"
#include "tools/quadhdmi/describe.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace qh::tool {

std::atomic<bool> g_capture_interrupted{false};

namespace {

// A stream that has produced nothing for this long is considered to have no signal.
constexpr auto kStallLimit = std::chrono::seconds(3);

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

}  // namespace

bool PinStream::open_filter(Session& session, bool video, const std::string& connect_prefix, std::string& error) {
    const host::trace::Mark mark = host::trace::mark();
    const NTSTATUS status = session.open_filter(input, video, filter);
    if (status != STATUS_SUCCESS) {
        error = std::string(video ? "cannot open the video filter: " : "cannot open the audio filter: ") +
                status_text(status);
        return false;
    }
    silence = silence_reason(host::trace::text_since(mark), connect_prefix, input);
    return true;
}

NTSTATUS PinStream::run(std::shared_ptr<client::Clock> clock, uint32_t buffers) {
    NTSTATUS status = pin->set_master_clock(std::move(clock));
    if (status != STATUS_SUCCESS) return status;
    // Buffers are queued once the pin is paused (a stopped pin refuses them), before it runs.
    status = pin->set_state(KSSTATE_PAUSE);
    if (status != STATUS_SUCCESS) return status;
    for (uint32_t i = 0; i < buffers; ++i) {
        status = requeue();
        if (status != STATUS_SUCCESS) return status;
    }
    return pin->set_state(KSSTATE_RUN);
}

PinStream::Wait PinStream::wait_next(client::CompletedFrame& frame, host::sched::Clock::time_point& idle_from,
                                     bool delivered_any, const char* silent_note, const char* stopped_note,
                                     const char* failed_note) {
    if (!pin->wait_completed(frame, 100)) {
        if (host::sched::Clock::now() - idle_from <= kStallLimit) return Wait::Idle;
        note = delivered_any ? stopped_note : silent_note;
        ended = true;
        return Wait::Ended;
    }
    idle_from = host::sched::Clock::now();
    if (frame.status != STATUS_SUCCESS) {
        note = failed_note + status_text(frame.status);
        ended = true;
        return Wait::Ended;
    }
    return Wait::Completed;
}

void PinStream::release() {
    if (pin) pin->close();
    pin.reset();
    if (filter) filter->close();
    filter.reset();
}

}  // namespace qh::tool
