// quadhdmi: the driver of the four-input HDMI capture card, run on a simulated card.
#include "tools/quadhdmi/checks.h"
#include "tools/quadhdmi/commands.h"
#include "tools/quadhdmi/session.h"
#include "platform/host/diag/verifier.h"
#include "platform/host/sched/sched.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>

namespace {
// Longest capture the tool takes on: a day, or a million frames (about four and a half hours).
constexpr double kMaxSeconds = 86400;
constexpr uint64_t kMaxFrames = 1000000;

int run(int argc, char** argv) {
    using namespace qh::tool;

    CLI::App app{
        "quadhdmi - the four-input HDMI capture driver, running against a simulated card.\n"
        "Every command plugs in the card (configurable with the 'Simulated card' options), loads the\n"
        "driver, starts the device, does its work, and stops and removes the device cleanly."};
    app.require_subcommand(1);
    app.footer(kExitStatusHelp);
    app.set_help_all_flag("--help-all", "Help for every command");
    app.set_version_flag("--version", "quadhdmi " QH_VERSION, "Print the driver's version and exit");

    CommonOptions common;
    std::string driver_image;
    app.add_option("--driver-image", driver_image,
                   "Load this shipped driver image (quadhdmi.sys of the windows build) instead of the driver "
                   "compiled into the tool")
        ->check(CLI::ExistingFile);

    CLI::App* start = app.add_subcommand("start", "Start the device and show the driver's trace and a summary");
    add_common_options(*start, common);

    CLI::App* list = app.add_subcommand("list", "List the filters, their pins, data ranges and topology");
    add_common_options(*list, common);

    CaptureOptions capture_options;
    CLI::App* capture = app.add_subcommand("capture", "Capture video and/or audio from one or more inputs");
    capture->footer(kExitStatusHelp);
    capture->add_option("-i,--input", capture_options.inputs, "Input to capture (0-3, repeatable; default 0)")
        ->check(whole_number(0, 3));
    capture->add_option("--inputs", capture_options.input_list, "Inputs as a list, e.g. 0,1,2,3")->check(not_empty());
    capture->add_option("--frames", capture_options.frames, "Stop after N video frames per input")
        ->check(whole_number(1, kMaxFrames));
    capture->add_option("--seconds", capture_options.seconds, "Stop after S seconds")
        ->check(positive_number(kMaxSeconds));
    capture
        ->add_option("--video", capture_options.video,
                     "Write video to FILE: .y4m (YUV4MPEG2) or anything else as raw YUY2; %d = input")
        ->check(file_pattern());
    capture->add_option("--audio", capture_options.audio, "Write audio to FILE.wav (48 kHz stereo 16-bit); %d = input")
        ->check(file_pattern());
    capture->add_option("--snapshot", capture_options.snapshot, "Save the last video frame as FILE.png; %d = input")
        ->check(file_pattern());
    capture
        ->add_option("--format", capture_options.format,
                     "Video format WxH from the pin's ranges (default: the detected signal, range 0)")
        ->check(not_empty());
    capture
        ->add_option("--buffers", capture_options.buffers, "Video buffers queued per pin (audio: four times as many)")
        ->check(whole_number(1, 64));
    capture->add_flag("-q,--quiet", capture_options.quiet, "No progress line");
    capture->add_flag(
        "--stats", capture_options.stats,
        "Print the driver's CPU time per pin (Process, DPC, share of the interrupt) and the bytes it copied");
    capture->add_option("--unplug-after", capture_options.unplug_after, "Pull the card out after S seconds")
        ->check(positive_number(kMaxSeconds));
    capture
        ->add_option("--replug-after", capture_options.replug_after,
                     "Put the card back S seconds into the capture (after --unplug-after) and capture on")
        ->check(positive_number(kMaxSeconds));
    capture
        ->add_option("--rebalance-after", capture_options.rebalance_after,
                     "Rebalance the device's resources (stop, start elsewhere) after S seconds")
        ->check(positive_number(kMaxSeconds));
    capture
        ->add_option("--sleep-after", capture_options.sleep_after,
                     "Put the system to sleep for half a second after S seconds")
        ->check(positive_number(kMaxSeconds));
    add_common_options(*capture, common);

    CLI::App* reg = app.add_subcommand("reg", "Read or write an FPGA register through input 0's video filter");
    reg->require_subcommand(1);
    std::string reg_offset, reg_value;
    CLI::App* reg_read = reg->add_subcommand("read", "Read the 32-bit register at OFFSET");
    reg_read->add_option("OFFSET", reg_offset, "Byte offset in the register window (0x… or decimal)")->required();
    add_common_options(*reg_read, common);
    CLI::App* reg_write = reg->add_subcommand("write", "Write VALUE to the 32-bit register at OFFSET");
    reg_write->add_option("OFFSET", reg_offset, "Byte offset in the register window (0x… or decimal)")->required();
    reg_write->add_option("VALUE", reg_value, "32-bit value (0x… or decimal)")->required();
    add_common_options(*reg_write, common);

    StatsOptions stats_options;
    CLI::App* stats = app.add_subcommand("stats", "Read the dropped-frames counters of an input's video filter");
    stats->add_option("-i,--input", stats_options.input, "Input (1-3 answer the dropped-frames property)")
        ->check(whole_number(0, 3));
    stats
        ->add_option("--frames", stats_options.frames,
                     "First stream N frames on the input and ask while the pin still runs")
        ->check(whole_number(1, kMaxFrames));
    add_common_options(*stats, common);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with status 0; anything else was refused.
        return app.exit(e) == 0 ? 0 : kExitRefused;
    }
    use_driver_image(driver_image);

    int code = 1;
    if (start->parsed()) code = run_start(common);
    if (list->parsed()) code = run_list(common);
    if (capture->parsed()) code = run_capture(common, capture_options);
    if (reg_read->parsed()) code = run_reg_read(common, reg_offset);
    if (reg_write->parsed()) code = run_reg_write(common, reg_offset, reg_value);
    if (stats->parsed()) code = run_stats(common, stats_options);
    // What was printed is part of the result: a failed write to standard output or to the trace
    // file fails the command.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "quadhdmi: writing to standard output failed\n");
        if (code == 0) code = 1;
    }
    if (trace_output_failed() && code == 0) code = 1;
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    // QH_SCHEDULE=random:SEED or pct:SEED:DEPTH: the whole run one thread at a time, on virtual time.
    std::string schedule_error;
    if (!host::sched::begin_from_environment(schedule_error)) {
        std::fprintf(stderr, "quadhdmi: %s\n", schedule_error.c_str());
        return qh::tool::kExitRefused;
    }
    int code = 1;
    try {
        code = run(argc, argv);
    } catch (const std::exception& e) {
        // A driver image that does not load (an import the host lacks, a malformed file).
        std::fprintf(stderr, "quadhdmi: %s\n", e.what());
        return host::sched::finish(1);
    }
    // Whatever the command, a diagnostic left recorded is a failure (capture prints the count
    // in its summary; the other commands say something only when there is one).
    if (host::verifier::diagnostic_count() != 0) {
        host::verifier::print_summary(stderr, true);
        return host::sched::finish(qh::tool::kExitVerifier);
    }
    return host::sched::finish(code);
}
