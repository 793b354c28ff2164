// Options every quadhdmi command shares: how the simulated card is set up, and where the
// driver's trace goes.
#pragma once

#include "sim/card.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace qh::tool {

struct CommonOptions {
    std::vector<std::string> sources;      // "N=1920x1080i60", "N=none"
    std::vector<std::string> audio_codes;  // "N=CODE"
    std::vector<uint32_t> absent;          // receivers that do not answer
    std::vector<uint32_t> wrong_id;        // receivers answering with a wrong identification
    std::vector<uint32_t> i2c_stuck;       // I2C masters that never become idle
    std::vector<std::string> i2c_fail;     // "N=K": the next K transfers of master N hang
    bool msi = false;                      // message-signalled interrupt instead of line-based
    std::string irq_latency;               // "MS" fixed, "~MS[:SEED]" random up to MS
    std::string irq_stall;                 // "MS/EVERY": every EVERY-th interrupt held MS more
    std::string start_seed;                // engine start positions; "": the process's seed
    std::string i2c_khz;                   // I2C bus clock, "100" or "400"; "": the card's default
    std::string bus_read_ns;               // register read latency in ns; "": the card's default
    std::string trace;                     // "" none, "-" standard output, else a file
    bool verbose = false;                  // every timing overrun in the summary, not only those that matter
};

// Adds the shared options to a command.
void add_common_options(CLI::App& command, CommonOptions& options);

// The card the options describe (the default card with the changes applied). On a malformed
// option returns false with `error` set.
bool build_card_config(const CommonOptions& options, sim::CardConfig& config, std::string& error);

// Sends the driver's trace lines (time-stamped) to the chosen destination while alive.
class TraceOutput {
public:
    explicit TraceOutput(const std::string& destination);
    ~TraceOutput();
    bool ok() const { return ok_; }
    const std::string& error() const { return error_; }

private:
    FILE* file_ = nullptr;
    bool own_file_ = false;
    int listener_ = -1;
    std::string destination_;
    bool ok_ = true;
    std::string error_;
};

// True once a trace file could not be written (the failure has been reported).
bool trace_output_failed();

// "1.234567 text" with the time in seconds since the tool started.
std::string format_trace_line(int64_t time_ns, const std::string& text);

}  // namespace qh::tool
