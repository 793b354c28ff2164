#include "sim/i2c_master.h"

#include <algorithm>

namespace sim {

bool I2cMaster::write_command(uint32_t word) {
    const uint8_t control = word & 0xFF;
    const uint8_t address = (word >> 8) & 0xFF;
    const bool start = control & 0x80;
    const bool stop = control & 0x40;
    uint32_t count = control & 0x07;
    ++chunks_;
    last_command_ = word;
    flags_ = 0;
    hung_ = false;
    busy_left_ = 0;

    if (start) {
        if (!open_) {
            // A new transaction begins on an idle bus.
            ++transfers_;
            if (fail_next_ > 0) {
                // The transfer hangs: the master never reports idle for this chunk and abandons
                // the bus, so the next START begins afresh.
                --fail_next_;
                hung_ = true;
                return false;
            }
        }
        open_ = true;
        address_ = address;
        acked_ = target_.address(address);
    } else if (!open_) {
        // A continuation with no transaction open moves no bytes.
        flags_ |= kProtocol;
        count = 0;
    }

    if (!acked_) flags_ |= kNack;
    if (open_ && (address_ & 1)) {
        if (count > 4) {
            flags_ |= kProtocol;
            count = 4;
        }
        rx_ = 0;
        for (uint32_t i = 0; i < count; ++i) {
            uint8_t byte = acked_ ? target_.read() : 0xFF;
            rx_ |= static_cast<uint32_t>(byte) << (8 * i);
        }
    } else if (open_) {
        if (count > 6) {
            flags_ |= kProtocol;
            count = 6;
        }
        const uint8_t bytes[6] = {static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24),
                                  static_cast<uint8_t>(tx_),        static_cast<uint8_t>(tx_ >> 8),
                                  static_cast<uint8_t>(tx_ >> 16),  static_cast<uint8_t>(tx_ >> 24)};
        if (acked_)
            for (uint32_t i = 0; i < count; ++i) target_.write(bytes[i]);
    }
    if (stop && open_) {
        target_.stop();
        open_ = false;
    }
    busy_left_ = busy_reads_;
    return busy_left_ == 0 && !stuck_;
}

uint32_t I2cMaster::peek_status() const {
    bool busy = stuck_ || hung_ || busy_left_ > 0;
    return (busy ? 0 : kIdle) | flags_ | ((last_command_ & 0xFFFF) << 8);
}

uint32_t I2cMaster::read_status(bool* completed) {
    *completed = false;
    if (stuck_ || hung_) return peek_status();
    if (busy_left_ > 0) {
        uint32_t value = peek_status();
        if (--busy_left_ == 0) *completed = true;
        return value;
    }
    return peek_status();
}

}  // namespace sim
