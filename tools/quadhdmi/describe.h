// Human-readable text for what the tool prints: GUIDs with their well-known names, data ranges,
// status codes.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <string>
#include <vector>

namespace qh::tool {

std::string guid_text(const GUID& guid);   // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
std::string guid_name(const GUID& guid);   // "KSCATEGORY_CAPTURE", … or "" when unknown
std::string guid_label(const GUID& guid);  // the name if known, else the GUID text
std::string status_text(NTSTATUS status);  // "0xC0000272 (STATUS_NO_MATCH)"

// Which input and medium a filter serves, from its reference GUID; false if it is none of ours.
bool filter_identity(const GUID& reference, uint32_t& input, bool& video);

// One line describing a data range given as its bytes: a YUY2 video range with its size and
// frame rate, a PCM audio range with channels, bits and frequencies, or the bare major/sub type.
std::string describe_range(const std::vector<uint8_t>& range);

// Size and frame duration of a video range (false if the bytes are not a video range).
bool video_range_size(const std::vector<uint8_t>& range, uint32_t& width, uint32_t& height, int64_t& duration);

}  // namespace qh::tool
