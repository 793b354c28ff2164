// A register window that records every access and answers reads from a script, mapped through
// the host kernel like the card's; and a device extension wired to it, with DPC objects whose
// routines only count their runs. Lets the register, interrupt and DMA-programming routines be
// checked access by access, without a card model in between.
#pragma once

#include "driver/device/devext.h"
#include "platform/host/bus.h"
#include "platform/host/kernel.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace devtest {

struct Access {
    bool write;
    uint32_t offset;
    uint32_t value;
    bool operator==(const Access&) const = default;
};
inline Access R(uint32_t offset) { return {false, offset, 0}; }
inline Access W(uint32_t offset, uint32_t value) { return {true, offset, value}; }

class FakeWindow : public host::MmioRegion {
public:
    static constexpr uint32_t kLength = 0x10000;

    uint32_t read32(uint32_t offset) override {
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t value = 0;
        auto it = script_.find(offset);
        if (it != script_.end() && !it->second.empty()) {
            value = it->second.front();
            it->second.pop_front();
        }
        log_.push_back({false, offset, 0});
        return value;
    }
    void write32(uint32_t offset, uint32_t value) override {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back({true, offset, value});
    }
    // The next reads of `offset` answer these values, then 0.
    void script(uint32_t offset, std::vector<uint32_t> values) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (uint32_t v : values) script_[offset].push_back(v);
    }
    std::vector<Access> log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::map<uint32_t, std::deque<uint32_t>> script_;
    std::vector<Access> log_;
};

// A device extension whose window is a FakeWindow and whose DPCs count their runs.
class FakeDevice {
public:
    static constexpr KIRQL kDeviceIrql = 5;

    FakeDevice() : ext_(std::make_unique<devext>()) {
        host::reset();
        physical_ = host::register_mmio(&window_, FakeWindow::kLength);
        PHYSICAL_ADDRESS pa;
        pa.QuadPart = static_cast<LONGLONG>(physical_);
        ext_->RegisterBase = MmMapIoSpace(pa, FakeWindow::kLength, MmNonCached);
        ext_->RegisterLength = FakeWindow::kLength;
        for (ULONG ch = 0; ch < kChannelCount; ++ch) {
            KeInitializeDpc(AudioDpc(ext_.get(), ch), &Count, &audio_runs_[ch]);
            KeInitializeDpc(VideoDpc(ext_.get(), ch), &Count, &video_runs_[ch]);
        }
    }
    ~FakeDevice() {
        host::flush_dpcs();
        if (ext_->RegisterBase) {
            MmUnmapIoSpace(ext_->RegisterBase, FakeWindow::kLength);
        }
        host::unregister_mmio(physical_);
    }

    devext* ext() { return ext_.get(); }
    FakeWindow& window() { return window_; }
    // Runs of each channel's DPCs so far, after every queued DPC has run.
    int audio_runs(ULONG ch) { host::flush_dpcs(); return audio_runs_[ch].load(); }
    int video_runs(ULONG ch) { host::flush_dpcs(); return video_runs_[ch].load(); }
    int total_runs() {
        int n = 0;
        for (ULONG ch = 0; ch < kChannelCount; ++ch) n += audio_runs(ch) + video_runs(ch);
        return n;
    }

private:
    static void NTAPI Count(PKDPC, PVOID context, PVOID, PVOID) { static_cast<std::atomic<int>*>(context)->fetch_add(1); }

    FakeWindow window_;
    uint64_t physical_ = 0;
    std::unique_ptr<devext> ext_;
    std::array<std::atomic<int>, kChannelCount> audio_runs_{};
    std::array<std::atomic<int>, kChannelCount> video_runs_{};
};

}  // namespace devtest
