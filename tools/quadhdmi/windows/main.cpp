// quadhdmi.exe: the card's tool on Windows, against the cards fitted in this machine. The commands
// that need only the driver's filters, properties and pins are the host tool's own
// (device_commands, device_capture); what needs the simulated card (plugging it in, its options,
// its stamp checks, removal and power play, the host's cost figures and trace) has no meaning here
// and is not offered.
#include "client/windows/win32.h"
#include "tools/quadhdmi/describe.h"
#include "tools/quadhdmi/device/device_capture.h"
#include "tools/quadhdmi/device/device_commands.h"
#include "tools/quadhdmi/device/option_checks.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <functional>
#include <optional>

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kExitNoCard = 5;
constexpr const char* kExitStatusHelp =
    "Exit status:\n"
    "  0  done as asked\n"
    "  1  the command failed (a filter that did not open, a property the driver refused, a file not\n"
    "     written, a bad frame or buffer, an input that delivered nothing)\n"
    "  2  the command line was refused before anything ran\n"
    "  5  no quadhdmi card was found (or the card asked for with --card is not there)";

using namespace qh;

// Longest capture the tool takes on: a day, or a million frames (about four and a half hours).
constexpr double kMaxSeconds = 86400;
constexpr uint64_t kMaxFrames = 1000000;

// The card the command runs against, or a message and kExitNoCard.
int with_card(uint32_t index, const std::function<int(client::Device&)>& command) {
    std::string searched, error;
    std::vector<client::win32::Card> cards = client::win32::find_cards(searched, error);
    if (!error.empty()) {
        std::fprintf(stderr, "quadhdmi: looking for cards failed: %s\n", error.c_str());
        return kExitNoCard;
    }
    if (cards.empty()) {
        std::fprintf(stderr, "quadhdmi: no quadhdmi card found (searched %s)\n", searched.c_str());
        return kExitNoCard;
    }
    if (index >= cards.size()) {
        std::fprintf(stderr, "quadhdmi: there is no card %u: %zu card(s) found\n", index, cards.size());
        return kExitNoCard;
    }
    std::printf("card %u: %s\n", index, cards[index].instance.c_str());
    return command(*cards[index].device);
}

int run(int argc, char** argv) {
    CLI::App app{
        "quadhdmi - the four-input HDMI capture card: its filters, registers, counters and captures, on the\n"
        "cards fitted in this machine (found through their kernel-streaming device interfaces)."};
    app.require_subcommand(1);
    app.footer(kExitStatusHelp);
    app.set_help_all_flag("--help-all", "Help for every command");
    app.set_version_flag("--version", "quadhdmi " QH_VERSION, "Print the driver's version and exit");
    uint32_t card = 0;
    app.add_option("--card", card, "Which card, when several are fitted (0 first, in the order Windows lists them)")
        ->check(CLI::Range(0u, 63u));

    CLI::App* list = app.add_subcommand("list", "List the filters, their pins, data ranges and topology");

    CLI::App* reg = app.add_subcommand("reg", "Read or write an FPGA register through input 0's video filter");
    reg->require_subcommand(1);
    std::string reg_offset, reg_value;
    CLI::App* reg_read = reg->add_subcommand("read", "Read the 32-bit register at OFFSET");
    reg_read->add_option("OFFSET", reg_offset, "Byte offset in the register window (0x… or decimal)")->required();
    CLI::App* reg_write = reg->add_subcommand("write", "Write VALUE to the 32-bit register at OFFSET");
    reg_write->add_option("OFFSET", reg_offset, "Byte offset in the register window (0x… or decimal)")->required();
    reg_write->add_option("VALUE", reg_value, "32-bit value (0x… or decimal)")->required();

    uint32_t stats_input = 1;
    CLI::App* stats = app.add_subcommand("stats", "Read the dropped-frames counters of an input's video filter");
    stats->add_option("-i,--input", stats_input, "Input (1-3 answer the dropped-frames property)")
        ->check(CLI::Range(0u, 3u));

    tool::DeviceCaptureOptions capture_options;
    std::string snapshot;
    CLI::App* capture = app.add_subcommand("capture", "Capture video and/or audio from one or more inputs");
    capture->footer(kExitStatusHelp);
    capture->add_option("-i,--input", capture_options.inputs, "Input to capture (0-3, repeatable; default 0)")
        ->check(tool::whole_number(0, 3));
    capture->add_option("--inputs", capture_options.input_list, "Inputs as a list, e.g. 0,1,2,3")
        ->check(tool::not_empty());
    capture->add_option("--frames", capture_options.frames, "Stop after N video frames per input")
        ->check(tool::whole_number(1, kMaxFrames));
    capture->add_option("--seconds", capture_options.seconds, "Stop after S seconds")
        ->check(tool::positive_number(kMaxSeconds));
    capture
        ->add_option("--video", capture_options.video,
                     "Write video to FILE: .y4m (YUV4MPEG2) or anything else as raw YUY2; %d = input")
        ->check(tool::file_pattern());
    capture->add_option("--audio", capture_options.audio, "Write audio to FILE.wav (48 kHz stereo 16-bit); %d = input")
        ->check(tool::file_pattern());
    capture->add_option("--snapshot", snapshot, "Not offered on Windows (no PNG encoder in this build)");
    capture
        ->add_option("--format", capture_options.format,
                     "Video format WxH from the pin's ranges (default: the detected signal, range 0)")
        ->check(tool::not_empty());
    capture
        ->add_option("--buffers", capture_options.buffers, "Video buffers queued per pin (audio: four times as many)")
        ->check(tool::whole_number(1, 64));
    capture->add_flag("-q,--quiet", capture_options.quiet, "No progress line");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help and --version end here too, with status 0; anything else was refused.
        return app.exit(e) == 0 ? 0 : kExitRefused;
    }

    int code = kExitFailed;
    if (list->parsed()) code = with_card(card, [](client::Device& device) { return tool::list_filters(device); });
    if (reg_read->parsed() || reg_write->parsed()) {
        const auto offset = tool::parse_u32(reg_offset);
        const auto value = reg_write->parsed() ? tool::parse_u32(reg_value) : std::optional<uint32_t>();
        if (!offset || (reg_write->parsed() && !value)) {
            std::fprintf(stderr, "quadhdmi: expected OFFSET%s as numbers (0x… or decimal)\n",
                         reg_write->parsed() ? " VALUE" : "");
            return kExitRefused;
        }
        code = with_card(card, [&](client::Device& device) {
            std::unique_ptr<client::Filter> filter;
            const NTSTATUS status = tool::open_input_filter(device, 0, true, filter);
            if (status != STATUS_SUCCESS) {
                std::fprintf(stderr, "quadhdmi: cannot open the video filter of input 0: %s\n",
                             tool::status_text(status).c_str());
                return kExitFailed;
            }
            const int result = tool::register_access(*filter, *offset, value);
            filter->close();
            return result;
        });
    }
    if (stats->parsed()) {
        code = with_card(card, [&](client::Device& device) {
            std::unique_ptr<client::Filter> filter;
            const NTSTATUS status = tool::open_input_filter(device, stats_input, true, filter);
            if (status != STATUS_SUCCESS) {
                std::fprintf(stderr, "quadhdmi: cannot open the video filter: %s\n", tool::status_text(status).c_str());
                return kExitFailed;
            }
            const int result = tool::print_dropped_frames(*filter, stats_input, false);
            filter->close();
            return result;
        });
    }
    if (capture->parsed()) {
        if (capture->count("--snapshot") != 0) {
            std::fprintf(stderr,
                         "quadhdmi: --snapshot is not offered on Windows: this build has no PNG encoder "
                         "(capture with --video and take the picture from the file)\n");
            return kExitRefused;
        }
        const std::string refused = tool::check_device_capture(capture_options);
        if (!refused.empty()) {
            std::fprintf(stderr, "quadhdmi: %s\n", refused.c_str());
            return kExitRefused;
        }
        // No master clock: the driver's filters provide none, and a graph's clock belongs to
        // another device; without one the video pin stamps no presentation times (audio never
        // does), which the checks then do not require.
        code = with_card(
            card, [&](client::Device& device) { return tool::run_device_capture(device, capture_options, nullptr); });
    }
    // What was printed is part of the result.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "quadhdmi: writing to standard output failed\n");
        if (code == 0) code = kExitFailed;
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quadhdmi: %s\n", e.what());
        return kExitFailed;
    }
}
