// A device extension wired to a fake register window (tests/support/fake_registers.h) mapped
// through the host kernel like the card's, with DPC objects whose routines only count their runs.
// Lets the register, interrupt and DMA-programming routines be checked access by access, without
// a card model in between.
#pragma once

#include "driver/core/devext.h"
#include "platform/host/bus/bus.h"
#include "platform/host/kernel/kernel.h"
#include "tests/support/fake_registers.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

namespace devtest {

using qh::testing::R;
using qh::testing::W;
using Access = qh::testing::RegisterAccess;

// A device extension whose window answers scripted reads (0 otherwise) and only logs writes, and
// whose DPCs count their runs.
class FakeDevice {
public:
    static constexpr KIRQL kDeviceIrql = 5;
    static constexpr uint32_t kLength = 0x10000;

    FakeDevice() : ext_(std::make_unique<devext>()) {
        host::reset();
        physical_ = host::register_mmio(&window_, kLength);
        PHYSICAL_ADDRESS pa;
        pa.QuadPart = static_cast<LONGLONG>(physical_);
        ext_->RegisterBase = MmMapIoSpace(pa, kLength, MmNonCached);
        ext_->RegisterLength = kLength;
        for (ULONG ch = 0; ch < kChannelCount; ++ch) {
            KeInitializeDpc(AudioDpc(ext_.get(), ch), &Count, &audio_runs_[ch]);
            KeInitializeDpc(VideoDpc(ext_.get(), ch), &Count, &video_runs_[ch]);
        }
    }
    ~FakeDevice() {
        host::flush_dpcs();
        if (ext_->RegisterBase) {
            MmUnmapIoSpace(ext_->RegisterBase, kLength);
        }
        host::unregister_mmio(physical_);
    }

    devext* ext() { return ext_.get(); }
    qh::testing::FakeRegisters& window() { return window_; }
    // Runs of each channel's DPCs so far, after every queued DPC has run.
    int audio_runs(ULONG ch) {
        host::flush_dpcs();
        return audio_runs_[ch].load();
    }
    int video_runs(ULONG ch) {
        host::flush_dpcs();
        return video_runs_[ch].load();
    }
    int total_runs() {
        int n = 0;
        for (ULONG ch = 0; ch < kChannelCount; ++ch)
            n += audio_runs(ch) + video_runs(ch);
        return n;
    }

private:
    static void NTAPI Count(PKDPC, PVOID context, PVOID, PVOID) {
        static_cast<std::atomic<int>*>(context)->fetch_add(1);
    }

    qh::testing::FakeRegisters window_{kLength, qh::testing::FakeRegisters::Reads::Fixed, 0};
    uint64_t physical_ = 0;
    std::unique_ptr<devext> ext_;
    std::array<std::atomic<int>, kChannelCount> audio_runs_{};
    std::array<std::atomic<int>, kChannelCount> video_runs_{};
};

}  // namespace devtest
