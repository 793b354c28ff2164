// quadhdmi.exe: the card's tool on Windows, against the cards fitted in this machine. The commands
// that need only the driver's filters and properties are the host tool's own (device_commands);
// what needs the simulated card (plugging it in, its options, removal and power play, the host's
// cost figures) has no meaning here and is not offered.
#include "client/windows/win32.h"
#include "tools/quadhdmi/describe.h"
#include "tools/quadhdmi/device/device_commands.h"

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
    "  1  the command failed (a filter that did not open, a property the driver refused)\n"
    "  2  the command line was refused before anything ran\n"
    "  5  no quadhdmi card was found (or the card asked for with --card is not there)";

using namespace qh;

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
        "quadhdmi - the four-input HDMI capture card: its filters, registers and counters, on the cards\n"
        "fitted in this machine (found through their kernel-streaming device interfaces)."};
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
