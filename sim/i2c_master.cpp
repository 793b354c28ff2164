#include "sim/i2c_master.h"

#include "sim/card_registers.h"

#include <cstdio>

namespace sim {

using namespace regs;

namespace {
constexpr size_t kFaultsKept = 16;
}

void I2cMaster::fault(const std::string& what) {
    flags_ |= kI2cProtocol;
    ++counters_.protocol_faults;
    if (fault_log_.size() < kFaultsKept) fault_log_.push_back(what);
}

bool I2cMaster::write_command(uint32_t word) {
    const bool start = word & kI2cStart;
    const bool stop = word & kI2cStop;
    const uint8_t address = static_cast<uint8_t>(word >> kI2cAddressShift);
    uint32_t count = word & kI2cCountMask;
    ++counters_.chunks;
    flags_ = 0;

    char text[160];
    if (busy()) {
        std::snprintf(text, sizeof text, "command %08X written while the chunk of command %08X still runs", word,
                      last_command_);
        fault(text);
    } else if (open_ && start) {
        // The one START a transfer takes while open: the sub-address was written, and the same
        // device is now addressed for reading it.
        const bool same_device = (address & kI2cAddressMask) == (address_ & kI2cAddressMask);
        if (!(same_device && (address & kI2cReadBit) && !(address_ & kI2cReadBit))) {
            std::snprintf(text, sizeof text, "START with address %02X (command %08X) inside the open transfer to %02X",
                          address, word, address_);
            fault(text);
        }
    } else if (!start && !open_) {
        std::snprintf(text, sizeof text, "continuation %08X with no transfer open", word);
        fault(text);
    }
    last_command_ = word;
    hung_ = false;
    busy_left_ = 0;

    if (start) {
        if (!open_) {
            // A new transaction begins on an idle bus.
            ++counters_.transfers;
            if (fail_next_ > 0) {
                // The transfer hangs: the master never reports idle for this chunk and abandons
                // the bus, so the next START begins afresh.
                --fail_next_;
                hung_ = true;
                counters_.bus_ns += timing_.wire_ns(I2cTiming::chunk_bits(true, 0, false));
                return false;
            }
        }
        open_ = true;
        address_ = address;
        acked_ = target_.address(address);
    } else if (!open_) {
        // A continuation with no transaction open moves no bytes.
        count = 0;
    }

    if (!acked_) flags_ |= kI2cNack;
    if (open_ && (address_ & kI2cReadBit)) {
        if (count > kI2cMaxRead) {
            flags_ |= kI2cProtocol;
            count = kI2cMaxRead;
        }
        rx_ = 0;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t byte = acked_ ? target_.read() : 0xFF;
            rx_ |= static_cast<uint32_t>(byte) << (8 * i);
        }
    } else if (open_) {
        if (count > kI2cMaxWrite) {
            flags_ |= kI2cProtocol;
            count = kI2cMaxWrite;
        }
        const uint8_t bytes[kI2cMaxWrite] = {static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24),
                                             static_cast<uint8_t>(tx_),        static_cast<uint8_t>(tx_ >> 8),
                                             static_cast<uint8_t>(tx_ >> 16),  static_cast<uint8_t>(tx_ >> 24)};
        if (acked_)
            for (uint32_t i = 0; i < count; ++i)
                target_.write(bytes[i]);
    }
    const bool stopped = stop && open_;
    if (stopped) {
        target_.stop();
        open_ = false;
    }
    const uint64_t wire = timing_.wire_ns(I2cTiming::chunk_bits(start, count, stopped));
    counters_.bus_ns += wire;
    busy_left_ = timing_.busy_reads(wire);
    return busy_left_ == 0 && !stuck_;
}

void I2cMaster::write_data(uint32_t value) {
    if (busy()) {
        char text[160];
        std::snprintf(text, sizeof text, "data %08X written while the chunk of command %08X still runs", value,
                      last_command_);
        fault(text);
    }
    tx_ = value;
}

uint32_t I2cMaster::peek_status() const {
    return (busy() ? 0 : kI2cIdle) | flags_ | ((last_command_ & kI2cEchoMask) << kI2cEchoShift);
}

uint32_t I2cMaster::read_status(bool* completed) {
    *completed = false;
    ++counters_.status_reads;
    const uint32_t value = peek_status();
    if (!busy()) return value;
    ++counters_.busy_reads;
    if (!stuck_ && !hung_ && --busy_left_ == 0) *completed = true;
    return value;
}

void I2cMaster::power_on_reset() {
    tx_ = rx_ = 0;
    last_command_ = 0;
    flags_ = 0;
    busy_left_ = 0;
    hung_ = false;
    open_ = false;
    address_ = 0;
    acked_ = false;
}

}  // namespace sim
