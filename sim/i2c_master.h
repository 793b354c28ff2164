// The FPGA's I2C master of one input: a command/status register and a data register. Each
// command word runs one chunk of a bus transaction on the input's I2C bus.
//
// A chunk keeps the master busy for its time on the wire. The card has no clock the driver can
// see other than its own register reads, so that time is counted in status reads: each read of
// the status register stands for one round trip over the host bus (`read_ns`), and the master
// reports busy until the reads made since the command cover the chunk's wire time. A polled wait
// bounded by a number of reads therefore behaves as on hardware, and does so deterministically
// whatever the host's own speed.
#pragma once

#include "sim/receiver.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Bus clock and the host's register read latency.
struct I2cTiming {
    uint32_t khz = 100;
    uint32_t read_ns = 500;
    // Bit times of a chunk: a START or repeated START and the address byte when it opens, nine
    // (eight bits and the acknowledge) per data byte, one for a STOP.
    static uint32_t chunk_bits(bool start, uint32_t bytes, bool stop) {
        return (start ? 1 + 9 : 0) + 9 * bytes + (stop ? 1 : 0);
    }
    uint64_t wire_ns(uint32_t bits) const { return uint64_t{bits} * 1'000'000u / (khz ? khz : 1); }
    // Status reads that see the master busy for a chunk of this wire time.
    uint64_t busy_reads(uint64_t wire) const {
        const uint64_t r = read_ns ? read_ns : 1;
        return (wire + r - 1) / r;
    }
};

class I2cMaster {
public:
    // The command word and status bits are in sim/card_registers.h (kI2c...).
    explicit I2cMaster(I2cTarget& target) : target_(target) {}

    void set_timing(const I2cTiming& timing) { timing_ = timing; }
    const I2cTiming& timing() const { return timing_; }

    // Starts a chunk. A command written while the master is busy, or one that breaks into a
    // transfer left open (no STOP yet) other than by continuing it or by the repeated START that
    // turns its sub-address phase into a read of the same device, is misuse: another transfer's
    // chunks would land in the middle of this one on the wire. It is counted and flagged in the
    // status, and then carried out as written, with whatever that does to the bus. True when the
    // chunk took no time at all (nothing on the wire) and so has ended already.
    bool write_command(uint32_t word);
    // The data register is the next write chunk's bytes: changing it while a chunk runs changes
    // the bytes on the wire, so that is misuse too.
    void write_data(uint32_t value);
    // A status read; *completed is set when the chunk ended with this read (the read that used
    // up its wire time; the next read sees the master idle).
    uint32_t read_status(bool* completed);
    uint32_t read_data() const { return rx_; }
    uint32_t peek_status() const;
    bool busy() const { return stuck_ || hung_ || busy_left_ > 0; }

    void set_stuck_busy(bool stuck) { stuck_ = stuck; }
    void fail_next(uint32_t transfers) { fail_next_ = transfers; }
    uint32_t fail_next_remaining() const { return fail_next_; }

    // Power removed: the master forgets any chunk and transfer in progress.
    void power_on_reset();

    const I2cCounters& counters() const { return counters_; }
    // The first misuses, described (for a failing test's message).
    const std::vector<std::string>& fault_log() const { return fault_log_; }

private:
    void fault(const std::string& what);

    I2cTarget& target_;
    I2cTiming timing_;
    uint32_t tx_ = 0;
    uint32_t rx_ = 0;
    uint32_t last_command_ = 0;
    uint32_t flags_ = 0;
    uint64_t busy_left_ = 0;
    uint32_t fail_next_ = 0;
    bool hung_ = false;  // the current chunk never completes (failed transfer)
    bool stuck_ = false;
    bool open_ = false;    // a START was sent and no STOP yet
    uint8_t address_ = 0;  // address byte of the chunk that opened or last restarted the transfer
    bool acked_ = false;
    I2cCounters counters_;
    std::vector<std::string> fault_log_;
};

}  // namespace sim
