// The FPGA's I2C master of one input: a command/status register and a data register. Each
// command word runs one chunk of a bus transaction on the input's I2C bus.
#pragma once

#include "sim/receiver.h"

#include <cstdint>

namespace sim {

class I2cMaster {
public:
    // Status register bits (bit 0 is what a driver polls; the rest help a reader of a trace).
    static constexpr uint32_t kIdle = 1u << 0;
    static constexpr uint32_t kNack = 1u << 1;       // the last chunk's address was not acknowledged
    static constexpr uint32_t kProtocol = 1u << 2;   // a chunk the master could not honour as written

    explicit I2cMaster(I2cTarget& target) : target_(target) {}

    // Starts a chunk. True when the chunk completed at once (no busy reads configured).
    bool write_command(uint32_t word);
    void write_data(uint32_t value) { tx_ = value; }
    // A status read; *completed is set when the chunk ended with this read.
    uint32_t read_status(bool* completed);
    uint32_t read_data() const { return rx_; }
    uint32_t peek_status() const;

    void set_stuck_busy(bool stuck) { stuck_ = stuck; }
    void fail_next(uint32_t transfers) { fail_next_ = transfers; }
    uint32_t fail_next_remaining() const { return fail_next_; }
    void set_busy_reads(uint32_t reads) { busy_reads_ = reads; }

    uint64_t chunks() const { return chunks_; }
    uint64_t transfers() const { return transfers_; }

private:
    I2cTarget& target_;
    uint32_t tx_ = 0;
    uint32_t rx_ = 0;
    uint32_t last_command_ = 0;
    uint32_t flags_ = 0;
    uint32_t busy_left_ = 0;
    uint32_t busy_reads_ = 2;
    uint32_t fail_next_ = 0;
    bool hung_ = false;      // the current chunk never completes (failed transfer)
    bool stuck_ = false;
    bool open_ = false;      // a START was sent and no STOP yet
    uint8_t address_ = 0;
    bool acked_ = false;
    uint64_t chunks_ = 0;
    uint64_t transfers_ = 0;
};

}  // namespace sim
