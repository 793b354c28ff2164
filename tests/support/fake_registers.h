// A register window for the tests below the card model (the host's bus and verifier, the image
// loader, the driver's register, interrupt and DMA-programming routines): every access logged in
// order with the value it carried, reads answered from a per-offset script first, then from the
// window's contents. Registered with host::register_mmio it is reached like the card, through
// MmMapIoSpace and the register accessors.
#pragma once

#include "platform/host/bus/bus.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace qh::testing {

struct RegisterAccess {
    bool write;
    uint32_t offset;
    uint32_t value;  // written, or answered
    bool operator==(const RegisterAccess&) const = default;
};
inline RegisterAccess R(uint32_t offset, uint32_t value = 0) { return {false, offset, value}; }
inline RegisterAccess W(uint32_t offset, uint32_t value) { return {true, offset, value}; }

class FakeRegisters : public host::MmioRegion {
public:
    // What an unscripted read answers: the last value written there (a register file), or, for a
    // window whose writes only go into the log, always the same value.
    enum class Reads { LastWritten, Fixed };

    explicit FakeRegisters(uint32_t length = 0x10000, Reads reads = Reads::LastWritten, uint32_t fixed = 0)
        : regs_(length / 4, 0), reads_(reads), fixed_(fixed) {}

    uint32_t read32(uint32_t offset) override {
        Inside inside(*this);
        std::lock_guard<std::mutex> lock(mutex_);
        uint32_t value = reads_ == Reads::Fixed ? fixed_ : regs_.at(offset / 4);
        auto it = script_.find(offset);
        if (it != script_.end() && !it->second.empty()) {
            value = it->second.front();
            it->second.pop_front();
        }
        log_.push_back({false, offset, value});
        return value;
    }
    void write32(uint32_t offset, uint32_t value) override {
        Inside inside(*this);
        std::lock_guard<std::mutex> lock(mutex_);
        log_.push_back({true, offset, value});
        if (reads_ == Reads::LastWritten) regs_.at(offset / 4) = value;
    }

    // The next reads of `offset` answer these values, then the window's answer again.
    void script(uint32_t offset, std::vector<uint32_t> values) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (uint32_t v : values)
            script_[offset].push_back(v);
    }
    // A register's contents, set or read without an access of the bus (and without a log entry).
    void set(uint32_t offset, uint32_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        regs_.at(offset / 4) = value;
    }
    uint32_t value(uint32_t offset) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return regs_.at(offset / 4);
    }

    std::vector<RegisterAccess> log() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return log_;
    }
    size_t writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const RegisterAccess& a : log_)
            n += a.write ? 1 : 0;
        return n;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.clear();
    }
    // Accesses that arrived while another was still inside the window. The host serialises the
    // accesses of every thread into a device model, so this stays 0; counted before the fake's
    // own lock is taken, which would otherwise hide a host that did not.
    int overlaps() const { return overlaps_.load(); }

private:
    struct Inside {
        explicit Inside(FakeRegisters& r) : regs(r) {
            if (regs.inside_.fetch_add(1) != 0) regs.overlaps_.fetch_add(1);
        }
        ~Inside() { regs.inside_.fetch_sub(1); }
        FakeRegisters& regs;
    };

    mutable std::mutex mutex_;
    std::vector<uint32_t> regs_;
    Reads reads_;
    uint32_t fixed_;
    std::map<uint32_t, std::deque<uint32_t>> script_;
    std::vector<RegisterAccess> log_;
    std::atomic<int> inside_{0};
    std::atomic<int> overlaps_{0};
};

}  // namespace qh::testing
