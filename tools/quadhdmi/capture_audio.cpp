// The capture command's audio stream: one input's audio pin in the PCM format it offers, the
// sample index of every buffer checked (sim::AudioIndexCheck), written to a WAV file.
#include "tools/quadhdmi/capture_streams.h"
#include "platform/host/sched/sched.h"

#include "driver/public.h"
#include "tools/quadhdmi/describe.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace qh::tool {

AudioStream::AudioStream() : PinStream(kAudioBufferBytes, sizeof(KSSTREAM_HEADER)) {}

bool AudioStream::open(Session& session, uint32_t in, std::string& error) {
    input = in;
    checker.restart();  // a new pin: its audio follows nothing delivered before
    generic.restart();
    if (!open_filter(session, false, "audio" + std::to_string(input) + " connect:", error)) return false;
    std::vector<client::PinInfo> pins = filter->pins();
    if (pins.empty() || pins[0].ranges.empty()) {
        error = "the audio filter has no capture pin ranges";
        return false;
    }
    std::vector<uint8_t> data_format;
    NTSTATUS status = filter->intersect(0, {pins[0].ranges[0]}, data_format);
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

void AudioStream::loop(uint64_t target_bytes, const std::atomic<bool>& stop) {
    auto idle_from = host::sched::Clock::now();
    while (!stop.load() && !g_capture_interrupted.load() && (target_bytes == 0 || bytes.load() < target_bytes)) {
        client::CompletedFrame frame;
        const Wait wait =
            wait_next(frame, idle_from, bytes != 0, "no audio", "audio stopped arriving", "a buffer completed with ");
        if (wait == Wait::Idle) continue;
        if (wait == Wait::Ended) break;
        generic.check(frame);
        const KSSTREAM_HEADER& header = frame.stream_header();
        const size_t used = std::min<size_t>(header.DataUsed, frame.data.size());
        const bool discontinuity = (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
        if (discontinuity) ++flagged;
        checker.feed(frame.data.data(), used, discontinuity);
        if (write && write_error.empty() && !wav.write(frame.data.data(), used)) write_error = std::strerror(errno);
        bytes.fetch_add(used);
        requeue();
    }
}

void AudioStream::close() {
    release();
    if (write && !wav.close() && write_error.empty()) write_error = std::strerror(errno);
    write = false;
}

}  // namespace qh::tool
