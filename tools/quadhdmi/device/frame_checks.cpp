#include "tools/quadhdmi/device/frame_checks.h"

#include <cstring>

namespace qh::tool {

namespace {

constexpr uint32_t kVideoHeaderBytes = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
constexpr uint32_t kAudioBlockAlign = 4;  // 16-bit stereo

void part(std::string& text, const char* what, uint64_t n) {
    if (n == 0) return;
    text += (text.empty() ? " (" : ", ") + std::to_string(n) + " " + what;
}

// A presentation time is checked only when the header says it is valid; it must come after the
// one before on the same pin.
bool time_moves_on(const KSSTREAM_HEADER& header, bool& have_time, int64_t& last_time) {
    const int64_t time = header.PresentationTime.Time;
    const bool ok = !have_time || time > last_time;
    have_time = true;
    last_time = time;
    return ok;
}

}  // namespace

void VideoFrameChecks::restart(uint32_t frame_bytes, bool expect_time) {
    frame_bytes_ = frame_bytes;
    expect_time_ = expect_time;
    have_time_ = false;
    last_time_ = 0;
    // The driver counts pictures and drops from the pin's start.
    last_picture_ = 0;
    last_drops_ = 0;
}

bool VideoFrameChecks::check(const client::CompletedFrame& frame) {
    if (frame.status == STATUS_CANCELLED) {
        ++cancelled;
        return true;
    }
    bool good = true;
    if (!frame.guards_intact) {
        ++overwritten;
        good = false;
    }
    if (frame.status != STATUS_SUCCESS) {
        ++failed;
        ++bad;
        return false;
    }
    ++frames;
    if (frame.header.size() < kVideoHeaderBytes) {
        ++wrong_size;
        ++bad;
        return false;
    }
    const KSSTREAM_HEADER& header = frame.stream_header();
    if (header.DataUsed != frame_bytes_ || frame.data.size() < frame_bytes_ || header.FrameExtent < frame_bytes_) {
        ++wrong_size;
        good = false;
    }
    if (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) ++discontinuities;
    if (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) {
        if (!time_moves_on(header, have_time_, last_time_)) {
            ++bad_time;
            good = false;
        }
    } else if (expect_time_) {
        ++bad_time;
        good = false;
    } else {
        ++unstamped;
    }
    KS_FRAME_INFO info;
    std::memcpy(&info, frame.header.data() + sizeof(KSSTREAM_HEADER), sizeof info);
    // The driver counts pictures and drops afresh each time the pin runs; a run after a pause
    // starts with a frame flagged as a discontinuity, from which the counts start again.
    const bool discontinuity = (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
    if (discontinuity && (info.PictureNumber <= last_picture_ || info.DropCount < last_drops_)) {
        last_picture_ = 0;
        last_drops_ = 0;
    }
    if (info.PictureNumber <= last_picture_ || info.DropCount < last_drops_) {
        ++out_of_order;
        good = false;
    } else {
        // Whether the picture number counts the frames dropped as well or only those delivered,
        // a frame that follows drops moves one of the two on by more than the frame itself.
        const uint64_t by_drops = uint64_t(info.DropCount - last_drops_);
        const uint64_t by_pictures = uint64_t(info.PictureNumber - last_picture_ - 1);
        dropped += by_drops > by_pictures ? by_drops : by_pictures;
    }
    last_picture_ = info.PictureNumber > last_picture_ ? info.PictureNumber : last_picture_;
    last_drops_ = info.DropCount > last_drops_ ? info.DropCount : last_drops_;
    if (!good) ++bad;
    return good;
}

std::string VideoFrameChecks::detail() const {
    std::string text;
    part(text, "failed", failed);
    part(text, "wrong size", wrong_size);
    part(text, "bad time", bad_time);
    part(text, "picture number not moving on", out_of_order);
    part(text, "guard bytes overwritten", overwritten);
    return text.empty() ? text : text + ")";
}

void AudioBufferChecks::restart() {
    have_time_ = false;
    last_time_ = 0;
}

bool AudioBufferChecks::check(const client::CompletedFrame& frame) {
    if (frame.status == STATUS_CANCELLED) {
        ++cancelled;
        return true;
    }
    bool good = true;
    if (!frame.guards_intact) {
        ++overwritten;
        good = false;
    }
    if (frame.status != STATUS_SUCCESS || frame.header.size() < sizeof(KSSTREAM_HEADER)) {
        ++failed;
        ++bad;
        return false;
    }
    ++buffers;
    const KSSTREAM_HEADER& header = frame.stream_header();
    if (header.DataUsed > header.FrameExtent || header.DataUsed > frame.data.size() ||
        header.DataUsed % kAudioBlockAlign != 0) {
        ++wrong_size;
        good = false;
    } else {
        bytes += header.DataUsed;
    }
    if (header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) ++flagged;
    if ((header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID) && !time_moves_on(header, have_time_, last_time_)) {
        ++bad_time;
        good = false;
    }
    if (!good) ++bad;
    return good;
}

std::string AudioBufferChecks::detail() const {
    std::string text;
    part(text, "failed", failed);
    part(text, "wrong size", wrong_size);
    part(text, "bad time", bad_time);
    part(text, "guard bytes overwritten", overwritten);
    return text.empty() ? text : text + ")";
}

}  // namespace qh::tool
