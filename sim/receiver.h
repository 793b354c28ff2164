// One HDMI receiver as seen from its I2C bus: an IO map at the fixed address 0x98 and further
// register maps that answer only where the IO map's registers 0xF4..0xFD place them. Read-only
// status registers are computed from the input's source; everything written is kept and logged.
#pragma once

#include "sim/card.h"
#include "platform/host/sched/sched.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace sim {

// The bus-facing side of an I2C target, driven by the master one byte at a time.
class I2cTarget {
public:
    virtual ~I2cTarget() = default;
    // A START (or repeated START) with this address byte; true when something acknowledges it.
    virtual bool address(uint8_t address_byte) = 0;
    virtual void write(uint8_t byte) = 0;  // first byte after a write-direction START: sub-address
    virtual uint8_t read() = 0;
    virtual void stop() = 0;
};

class Receiver : public I2cTarget {
public:
    using Clock = host::sched::Clock;
    static constexpr uint8_t kId[2] = {0x20, 0x51};
    static constexpr uint8_t kWrongId[2] = {0x20, 0x52};

    Receiver();

    // Inputs from the card (called under the card's lock).
    void set_source(const SourceConfig& source, Clock::time_point now);
    void set_settle(std::chrono::milliseconds settle) { settle_ = settle; }
    void set_absent(bool absent) { absent_ = absent; }
    void set_wrong_id(bool wrong) { wrong_id_ = wrong; }
    // Power taken away: every map back to its default and nothing placed, as a reset does
    // (but not counted as one: no one asked for it).
    void power_off() {
        const uint32_t resets = reset_count_;
        reset();
        reset_count_ = resets;
    }

    bool address(uint8_t address_byte) override;
    void write(uint8_t byte) override;
    uint8_t read() override;
    void stop() override;

    // What the receiver reports now.
    bool configured() const { return configured_; }
    bool locked(Clock::time_point now) const;
    uint8_t register_value(Map map, uint8_t sub, Clock::time_point now) const;
    uint8_t map_address(Map map) const;
    uint32_t reset_count() const { return reset_count_; }
    const std::vector<ReceiverWrite>& writes() const { return writes_; }
    void clear_writes() { writes_.clear(); }

    // 13-bit value of CP 0xB8..0xB9 for a unit rate: (v + 103662) / v gives back the rate's whole part.
    static uint32_t rate_code(double units_per_second);

private:
    static constexpr size_t kMaps = static_cast<size_t>(Map::Count);
    static constexpr size_t kMaxLoggedWrites = 1u << 16;

    void reset();
    void store(Map map, uint8_t sub, uint8_t value);
    int map_at(uint8_t address_byte) const;  // -1 when nothing answers

    std::array<std::array<uint8_t, 256>, kMaps> regs_{};
    std::array<uint8_t, kMaps> pointer_{};
    SourceConfig source_{};
    Clock::time_point source_since_{};
    Clock::time_point configured_since_{};
    std::chrono::milliseconds settle_{0};
    bool configured_ = false;
    bool absent_ = false;
    bool wrong_id_ = false;
    uint32_t reset_count_ = 0;
    int selected_ = -1;
    bool expect_pointer_ = false;
    std::vector<ReceiverWrite> writes_;
};

}  // namespace sim
