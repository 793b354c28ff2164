#include "tools/quadhdmi/options.h"

#include "platform/host/trace.h"

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
    const std::string number = text.substr(0, eq);
    char* end = nullptr;
    const unsigned long n = std::strtoul(number.c_str(), &end, 10);
    if (*end != '\0' || n >= sim::kInputs) {
        error = "'" + text + "': the input must be 0.." + std::to_string(sim::kInputs - 1);
        return false;
    }
    input = uint32_t(n);
    value = text.substr(eq + 1);
    return true;
}

bool check_input(uint32_t input, std::string& error) {
    if (input < sim::kInputs) return true;
    error = "input " + std::to_string(input) + " does not exist (0.." + std::to_string(sim::kInputs - 1) + ")";
    return false;
}

// Milliseconds as a decimal number ("2.5"), at most 10 s.
bool parse_ms(const std::string& text, uint32_t& us) {
    char* end = nullptr;
    const double ms = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !(ms >= 0) || ms > 10000) return false;
    us = static_cast<uint32_t>(ms * 1000 + 0.5);
    return true;
}

bool parse_interrupt_timing(const CommonOptions& options, sim::InterruptTiming& timing, std::string& error) {
    if (!options.irq_latency.empty()) {
        std::string text = options.irq_latency;
        timing.random_latency = text[0] == '~';
        if (timing.random_latency) text.erase(0, 1);
        const size_t colon = text.find(':');
        if (timing.random_latency && colon != std::string::npos) {
            char* end = nullptr;
            timing.seed = std::strtoull(text.c_str() + colon + 1, &end, 0);
            if (colon + 1 == text.size() || *end != '\0') {
                error = "'" + options.irq_latency + "': expected MS or ~MS[:SEED]";
                return false;
            }
            text.resize(colon);
        }
        if (!parse_ms(text, timing.latency_us)) {
            error = "'" + options.irq_latency + "': expected MS or ~MS[:SEED], MS from 0 to 10000";
            return false;
        }
    }
    if (!options.irq_stall.empty()) {
        const size_t slash = options.irq_stall.find('/');
        uint32_t us = 0;
        char* end = nullptr;
        const unsigned long every =
            slash == std::string::npos ? 0 : std::strtoul(options.irq_stall.c_str() + slash + 1, &end, 10);
        if (slash == std::string::npos || !parse_ms(options.irq_stall.substr(0, slash), us) || every == 0 ||
            *end != '\0') {
            error = "'" + options.irq_stall + "': expected MS/EVERY, e.g. 25/50";
            return false;
        }
        timing.stall_ms = (us + 500) / 1000;
        timing.stall_every = static_cast<uint32_t>(every);
    }
    return true;
}

}  // namespace

void add_common_options(CLI::App& command, CommonOptions& options) {
    command.add_option("--source", options.sources,
                       "Simulated HDMI source of an input, e.g. 1=1920x1080i60, 2=1280x720p50, 3=none (repeatable)")
        ->group("Simulated card");
    command.add_option("--audio-code", options.audio_codes,
                       "Sampling-frequency code a receiver reports, e.g. 0=2 (48 kHz) or 0=0 (44.1 kHz)")
        ->group("Simulated card");
    command.add_option("--absent", options.absent, "Input whose receiver does not answer on I2C (repeatable)")
        ->group("Simulated card");
    command.add_option("--wrong-id", options.wrong_id, "Input whose receiver reports a wrong identification")
        ->group("Simulated card");
    command.add_option("--i2c-stuck", options.i2c_stuck, "Input whose I2C master never becomes idle")
        ->group("Simulated card");
    command.add_option("--i2c-fail", options.i2c_fail, "INPUT=K: the next K I2C transfers of that input hang")
        ->group("Simulated card");
    command.add_flag("--msi", options.msi, "Use a message-signalled interrupt instead of a line-based one")
        ->group("Simulated card");
    command.add_option("--irq-latency", options.irq_latency,
                       "Delay before every interrupt routine: MS (fixed) or ~MS[:SEED] (random up to MS)")
        ->group("Simulated card");
    command.add_option("--irq-stall", options.irq_stall, "MS/EVERY: every EVERY-th interrupt routine held MS more")
        ->group("Simulated card");
    command.add_option("--trace", options.trace, "Write the driver's debug output with time stamps to FILE, or - for "
                                                 "standard output");
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
        // A source keeps the audio code it had unless --audio-code says otherwise.
        source->audio_code = config.sources[input].audio_code;
        config.sources[input] = *source;
    }
    for (const std::string& text : options.audio_codes) {
        uint32_t input;
        std::string value;
        if (!split_input(text, input, value, error)) return false;
        char* end = nullptr;
        const unsigned long code = std::strtoul(value.c_str(), &end, 0);
        if (value.empty() || *end != '\0' || code > 15) {
            error = "'" + text + "': the audio code is 0..15";
            return false;
        }
        config.sources[input].audio_code = uint8_t(code);
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
        char* end = nullptr;
        const unsigned long count = std::strtoul(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0') {
            error = "'" + text + "': expected INPUT=COUNT";
            return false;
        }
        config.faults[input].i2c_fail_next = uint32_t(count);
    }
    config.interrupt_mode = options.msi ? sim::InterruptMode::Message : sim::InterruptMode::Level;
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
    FILE* out = file_;
    listener_ = host::trace::add_listener([out](const host::trace::Line& line) {
        const std::string text = format_trace_line(line.time_ns, line.text);
        std::fwrite(text.data(), 1, text.size(), out);
    });
}

TraceOutput::~TraceOutput() {
    if (listener_ >= 0) host::trace::remove_listener(listener_);
    if (file_) std::fflush(file_);
    if (own_file_) std::fclose(file_);
}

}  // namespace qh::tool
