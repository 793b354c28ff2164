#include "tools/quadhdmi/options.h"

#include "platform/host/diag/trace.h"
#include "tools/quadhdmi/checks.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace qh::tool {

namespace {

// "N=VALUE" with N an input number.
bool split_input(const std::string& text, uint32_t& input, std::string& value, std::string& error) {
    const size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        error = "'" + text + "': expected INPUT=VALUE";
        return false;
    }
    const auto n = parse_whole(text.substr(0, eq), 0, sim::kInputs - 1);
    if (!n) {
        error = "'" + text + "': the input must be 0.." + std::to_string(sim::kInputs - 1);
        return false;
    }
    input = uint32_t(*n);
    value = text.substr(eq + 1);
    return true;
}

bool check_input(uint32_t input, std::string& error) {
    if (input < sim::kInputs) return true;
    error = "input " + std::to_string(input) + " does not exist (0.." + std::to_string(sim::kInputs - 1) + ")";
    return false;
}

// More failing transfers than this would only keep the driver retrying for minutes.
constexpr uint64_t kMaxI2cFailures = 100;

std::atomic<bool> g_trace_failed{false};

// Milliseconds as a decimal number ("2.5"), at most 10 s.
bool parse_ms(const std::string& text, uint32_t& us) {
    const auto ms = sim::parse_decimal(text);
    if (!ms || *ms > 10000) return false;
    us = static_cast<uint32_t>(*ms * 1000 + 0.5);
    return true;
}

bool parse_interrupt_timing(const CommonOptions& options, sim::InterruptTiming& timing, std::string& error) {
    if (!options.irq_latency.empty() && !sim::parse_interrupt_latency(options.irq_latency, timing)) {
        error = "'" + options.irq_latency + "': expected MS or ~MS[:SEED], MS from 0 to 10000";
        return false;
    }
    if (!options.irq_stall.empty()) {
        const size_t slash = options.irq_stall.find('/');
        uint32_t us = 0;
        const auto every =
            slash == std::string::npos ? std::nullopt : parse_whole(options.irq_stall.substr(slash + 1), 1, UINT32_MAX);
        if (!every || !parse_ms(options.irq_stall.substr(0, slash), us)) {
            error = "'" + options.irq_stall + "': expected MS/EVERY, e.g. 25/50";
            return false;
        }
        timing.stall_ms = (us + 500) / 1000;
        timing.stall_every = static_cast<uint32_t>(*every);
    }
    return true;
}

}  // namespace

bool trace_output_failed() { return g_trace_failed.load(); }

void add_common_options(CLI::App& command, CommonOptions& options) {
    command
        .add_option("--source", options.sources,
                    "Simulated HDMI source of an input, e.g. 1=1920x1080i60, 2=1280x720p50, 3=none (repeatable)")
        ->group("Simulated card");
    command
        .add_option("--audio-code", options.audio_codes,
                    "Sampling-frequency code a receiver reports, e.g. 0=2 (48 kHz) or 0=0 (44.1 kHz)")
        ->group("Simulated card");
    command.add_option("--absent", options.absent, "Input whose receiver does not answer on I2C (repeatable)")
        ->check(whole_number(0, sim::kInputs - 1))
        ->group("Simulated card");
    command.add_option("--wrong-id", options.wrong_id, "Input whose receiver reports a wrong identification")
        ->check(whole_number(0, sim::kInputs - 1))
        ->group("Simulated card");
    command.add_option("--i2c-stuck", options.i2c_stuck, "Input whose I2C master never becomes idle")
        ->check(whole_number(0, sim::kInputs - 1))
        ->group("Simulated card");
    command.add_option("--i2c-fail", options.i2c_fail, "INPUT=K: the next K I2C transfers of that input hang")
        ->group("Simulated card");
    command.add_flag("--msi", options.msi, "Use a message-signalled interrupt instead of a line-based one")
        ->group("Simulated card");
    command
        .add_option("--irq-latency", options.irq_latency,
                    "Delay before every interrupt routine: MS (fixed) or ~MS[:SEED] (random up to MS)")
        ->check(not_empty())
        ->group("Simulated card");
    command.add_option("--irq-stall", options.irq_stall, "MS/EVERY: every EVERY-th interrupt routine held MS more")
        ->check(not_empty())
        ->group("Simulated card");
    command
        .add_option("--start-seed", options.start_seed,
                    "Seed the card's engine start positions are drawn from (the run prints the one it used)")
        ->check(not_empty())
        ->group("Simulated card");
    command.add_option("--i2c-khz", options.i2c_khz, "Clock of the receivers' I2C buses: 100 (default) or 400")
        ->group("Simulated card");
    command
        .add_option("--bus-read-ns", options.bus_read_ns,
                    "Time one register read takes over the bus, in ns (default 500): an I2C chunk keeps its "
                    "master busy for as many status reads as cover its time on the wire")
        ->group("Simulated card");
    command
        .add_option("--trace", options.trace,
                    "Write the driver's debug output with time stamps to FILE, or - for "
                    "standard output")
        ->check(not_empty());
    command.add_flag("-v,--verbose", options.verbose,
                     "List every timing overrun in the summary, also those that only show the host's load");
}

bool build_card_config(const CommonOptions& options, sim::CardConfig& config, std::string& error) {
    config = sim::Card::default_config();
    for (const std::string& text : options.sources) {
        uint32_t input;
        std::string value;
        if (!split_input(text, input, value, error)) return false;
        auto source = sim::parse_source(value);
        if (!source) {
            error = "'" + value + "': expected WIDTHxHEIGHT followed by p or i and a rate (1920x1080i60), or none";
            return false;
        }
        const std::string why = uncarriable(*source);
        if (!why.empty()) {
            error = "'" + value + "': the card cannot carry this source: " + why;
            return false;
        }
        // A source keeps the audio code it had unless --audio-code says otherwise.
        source->audio_code = config.sources[input].audio_code;
        config.sources[input] = *source;
    }
    for (const std::string& text : options.audio_codes) {
        uint32_t input;
        std::string value;
        if (!split_input(text, input, value, error)) return false;
        const auto code = parse_whole(value, 0, 15, true);
        if (!code) {
            error = "'" + text + "': the audio code is 0..15";
            return false;
        }
        config.sources[input].audio_code = uint8_t(*code);
    }
    for (uint32_t input : options.absent) {
        if (!check_input(input, error)) return false;
        config.faults[input].receiver_absent = true;
    }
    for (uint32_t input : options.wrong_id) {
        if (!check_input(input, error)) return false;
        config.faults[input].wrong_id = true;
    }
    for (uint32_t input : options.i2c_stuck) {
        if (!check_input(input, error)) return false;
        config.faults[input].i2c_stuck_busy = true;
    }
    for (const std::string& text : options.i2c_fail) {
        uint32_t input;
        std::string value;
        if (!split_input(text, input, value, error)) return false;
        const auto count = parse_whole(value, 0, kMaxI2cFailures);
        if (!count) {
            error = "'" + text + "': expected INPUT=COUNT with a count of 0.." + std::to_string(kMaxI2cFailures);
            return false;
        }
        config.faults[input].i2c_fail_next = uint32_t(*count);
    }
    config.interrupt_mode = options.msi ? sim::InterruptMode::Message : sim::InterruptMode::Level;
    if (!options.start_seed.empty()) {
        const auto seed = parse_whole(options.start_seed, 0, UINT64_MAX);
        if (!seed) {
            error = "'" + options.start_seed + "': the start seed is a whole number";
            return false;
        }
        config.start_seed = *seed;
    }
    if (!options.i2c_khz.empty() && !sim::parse_i2c_khz(options.i2c_khz, config.i2c_khz)) {
        error = "'" + options.i2c_khz + "': the I2C clock is 100 or 400 (kHz)";
        return false;
    }
    if (!options.bus_read_ns.empty() && !sim::parse_bus_read_ns(options.bus_read_ns, config.bus_read_ns)) {
        error = "'" + options.bus_read_ns + "': the bus read latency is a whole number of ns from 1 to 100000";
        return false;
    }
    return parse_interrupt_timing(options, config.interrupt_timing, error);
}

// ---------------------------------------------------------------------------------------------

std::string format_trace_line(int64_t time_ns, const std::string& text) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%4lld.%06lld ", static_cast<long long>(time_ns / 1000000000),
                  static_cast<long long>((time_ns / 1000) % 1000000));
    std::string line = stamp + text;
    if (line.empty() || line.back() != '\n') line += '\n';
    return line;
}

TraceOutput::TraceOutput(const std::string& destination) {
    if (destination.empty()) return;
    if (destination == "-") {
        file_ = stdout;
    } else {
        file_ = std::fopen(destination.c_str(), "w");
        if (!file_) {
            ok_ = false;
            error_ = destination + ": " + std::strerror(errno);
            return;
        }
        own_file_ = true;
    }
    destination_ = destination == "-" ? "standard output" : destination;
    FILE* out = file_;
    listener_ = host::trace::add_listener([out](const host::trace::Line& line) {
        const std::string text = format_trace_line(line.time_ns, line.text);
        std::fwrite(text.data(), 1, text.size(), out);
    });
}

TraceOutput::~TraceOutput() {
    if (listener_ >= 0) host::trace::remove_listener(listener_);
    if (!file_) return;
    // A failed write leaves the stream's error flag set; it is reported once, here.
    bool ok = std::fflush(file_) == 0 && !std::ferror(file_);
    const int error = errno;
    if (own_file_) ok &= std::fclose(file_) == 0;
    if (!ok) {
        std::fprintf(stderr, "quadhdmi: writing the trace to %s failed: %s; the trace is incomplete\n",
                     destination_.c_str(), std::strerror(error ? error : errno));
        g_trace_failed.store(true);
    }
}

}  // namespace qh::tool
