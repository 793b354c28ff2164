// What the tool does with any device, simulated or real: list its filters, read and write a
// register through input 0's video filter, read an input's dropped-frames counters. Nothing here
// knows of the simulated card or the host; the host's commands and the Windows program share it.
#pragma once

#include "client/client.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace qh::tool {

// Parses a number in decimal or 0x hexadecimal.
std::optional<uint32_t> parse_u32(const std::string& text);

// The filter of an input and medium (by reference GUID), opened; detection runs on open.
NTSTATUS open_input_filter(client::Device& device, uint32_t input, bool video, std::unique_ptr<client::Filter>& filter);

// Prints every filter: categories, reference GUID, pins with their data ranges, topology. 0, or 1
// when a filter could not be opened.
int list_filters(client::Device& device);

// Reads (no `value`) or writes the register at `offset` through the register property of an open
// filter and prints the result. 0, or 1 when the driver refused.
int register_access(client::Filter& filter, uint32_t offset, std::optional<uint32_t> value);

// Prints the dropped-frames property of an input's open video filter (`running`: a pin streams).
// 0, or 1 when the filter does not answer it.
int print_dropped_frames(client::Filter& filter, uint32_t input, bool running);

}  // namespace qh::tool
