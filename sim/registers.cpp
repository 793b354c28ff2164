// The register window: which register an offset names, and what reading or writing it does. The
// parts behind the registers (I2C masters, interrupts, engines) keep their own semantics; this
// file only decodes, logs each access and answers for a card that is gone or powered off.
#include "sim/card_impl.h"
#include "platform/host/sched/sched.h"

#include <cmath>

namespace sim {

using namespace regs;

namespace {

// The input of a register repeated once per input at `base`, `stride` apart, or kInputs.
uint32_t input_of(uint32_t offset, uint32_t base, uint32_t stride) {
    return offset >= base && offset < base + kInputs * stride ? (offset - base) / stride : kInputs;
}

enum class EngineKind { None, Video, Audio };

struct EngineRegister {
    EngineKind kind = EngineKind::None;
    uint32_t input = 0;
    uint32_t reg = 0;  // offset inside the engine's block
};

// The engine blocks are interleaved (see kVideoBase, kAudioBase), so each is looked up by range.
EngineRegister engine_register(uint32_t offset) {
    for (uint32_t n = 0; n < kInputs; ++n) {
        if (offset >= kVideoBase[n] && offset < kVideoBase[n] + kEngineSpan)
            return {EngineKind::Video, n, offset - kVideoBase[n]};
        if (offset >= kAudioBase[n] && offset < kAudioBase[n] + kEngineSpan)
            return {EngineKind::Audio, n, offset - kAudioBase[n]};
    }
    return {};
}

bool is_enable(uint32_t offset) { return offset >= kEnableFirst && offset <= kEnableLast; }
uint32_t enable_input(uint32_t offset) { return (offset - kEnableFirst) / kEnableStride; }
uint32_t enable_slot(uint32_t offset) { return (offset - kEnableFirst) % kEnableStride; }
bool is_audio_enable(uint32_t offset) { return enable_slot(offset) == kAudioEnable0 - kEnableFirst; }
bool is_video_enable(uint32_t offset) { return enable_slot(offset) == kVideoEnable0 - kEnableFirst; }

}  // namespace

uint32_t Card::Impl::fpga_status_word(uint32_t n, Clock::time_point now) const {
    const auto& s = sources[n].config;
    uint32_t v = 0;
    if (s.cable) v |= kStatusCable;
    if (rx[n].locked(now)) v |= kStatusLocked;
    if (s.cable && s.interlaced) v |= kStatusInterlaced;
    if (video[n].running()) v |= kStatusVideoRunning;
    if (audio[n].running()) v |= kStatusAudioRunning;
    v |= static_cast<uint32_t>((frames[n] - frames_at_power_on[n]) & kStatusFramesMask) << kStatusFramesShift;
    return v;
}

// Measured rate of one input: whole units per second, then hundredths; 0 without a signal.
uint32_t Card::Impl::rate_field(uint32_t n, Clock::time_point now) const {
    if (!rx[n].locked(now)) return 0;
    double fps = std::clamp(sources[n].config.fps, 0.0, 255.0);
    uint32_t whole = static_cast<uint32_t>(std::floor(fps));
    uint32_t hundredths = std::min(99u, static_cast<uint32_t>(std::lround((fps - whole) * 100.0)));
    return (whole << kRateWholeShift) | hundredths;
}

uint32_t Card::read32(uint32_t offset) {
    const host::sched::HardwareScope on_the_bus;
    offset = window_offset(offset);
    uint32_t value = 0;
    bool line_dirty = false;
    {
        std::lock_guard<host::sched::Mutex> lk(impl_->mu);
        Impl& d = *impl_;
        if (d.dead()) {
            d.record(offset, kAllOnes, false);
            return kAllOnes;
        }
        const uint32_t i2c = input_of(offset, kI2cBase, kI2cSpan);
        if (offset - kStatusWord0 <= kStatusWordLast - kStatusWord0) {
            value = d.fpga_status_word((offset - kStatusWord0) / 4, Clock::now());
        } else if (offset == kRate13) {
            const auto now = Clock::now();
            value = d.rate_field(1, now) << kRateHighShift | d.rate_field(3, now);
        } else if (offset == kRate02) {
            const auto now = Clock::now();
            value = d.rate_field(0, now) << kRateHighShift | d.rate_field(2, now);
        } else if (offset == kVersionRegister) {
            value = kVersion;
        } else if (offset == kVideoTotal) {
            value = static_cast<uint32_t>(d.units_total - d.units_at_power_on);
        } else if (offset == kAudioTotal) {
            value = static_cast<uint32_t>(d.blocks_total - d.blocks_at_power_on);
        } else if (i2c < kInputs) {
            const uint32_t reg = offset - kI2cBase - i2c * kI2cSpan;
            if (reg == kI2cCommand) {
                bool completed = false;
                value = d.i2c[i2c]->read_status(&completed);
                if (completed) {
                    d.raise(i2c_cause(i2c));
                    line_dirty = true;
                }
            } else if (reg == kI2cData) {
                value = d.i2c[i2c]->read_data();
            }
        } else if (offset == kIntStatus) {
            value = d.status;
        } else if (offset == kIntEnable) {
            value = d.enable;
        } else if (is_enable(offset)) {
            const uint32_t n = enable_input(offset);
            value = is_audio_enable(offset) ? d.audio[n].enable : d.video[n].enable;
        } else {
            const EngineRegister r = engine_register(offset);
            if (r.kind == EngineKind::Video)
                value = d.video[r.input].read_register(r.reg, config_.variant);
            else if (r.kind == EngineKind::Audio)
                value = d.audio[r.input].read_register(r.reg);
        }
        d.record(offset, value, false);
    }
    if (line_dirty) impl_->update_line();
    int64_t armed = offset;
    if (unplug_after_read_.load() == armed && unplug_after_read_.compare_exchange_strong(armed, -1)) unplug();
    return value;
}

void Card::write32(uint32_t offset, uint32_t value) {
    const host::sched::HardwareScope on_the_bus;
    offset = window_offset(offset);
    bool line_dirty = false;
    {
        std::unique_lock<host::sched::Mutex> lk(impl_->mu);
        Impl& d = *impl_;
        if (d.removed) return;
        d.record(offset, value, true);
        // Powered down: the write reached the card's slot and went no further.
        if (d.off) return;
        const uint32_t i2c = input_of(offset, kI2cBase, kI2cSpan);
        if (i2c < kInputs) {
            const uint32_t reg = offset - kI2cBase - i2c * kI2cSpan;
            if (reg == kI2cCommand) {
                if (d.i2c[i2c]->write_command(value)) {
                    d.raise(i2c_cause(i2c));
                    line_dirty = true;
                }
            } else if (reg == kI2cData) {
                d.i2c[i2c]->write_data(value);
            }
        } else if (offset == kIntStatus) {
            d.write_interrupt_status(value);
            line_dirty = true;
        } else if (offset == kIntEnable) {
            d.write_interrupt_enable(value);
            line_dirty = true;
        } else if (is_enable(offset)) {
            const uint32_t n = enable_input(offset);
            if (is_audio_enable(offset))
                d.set_audio_enable(n, value, lk);
            else if (is_video_enable(offset))
                d.set_video_enable(n, value, lk);
        } else {
            const EngineRegister r = engine_register(offset);
            if (r.kind == EngineKind::Video)
                d.write_video_register(r.input, r.reg, value, lk);
            else if (r.kind == EngineKind::Audio)
                d.write_audio_register(r.input, r.reg, value, lk);
        }
    }
    if (line_dirty) impl_->update_line();
}

}  // namespace sim
