// A filter's pin types and topology as a client learns them: from the answers to the pin and
// topology properties alone, asked the way a proxy asks them (the size first where the size
// varies). Nothing but the property calls reaches the filter, so the same code serves any
// transport.
#pragma once

#include "client/client.h"

#include <functional>
#include <string>
#include <vector>

namespace qh::client {

// One property request to the filter: `request` is the whole request (KSPROPERTY, KSP_PIN,
// KSP_NODE), `output_length` the output buffer's length (0 asks for the size).
using PropertyFn = std::function<PropertyResult(const std::vector<uint8_t>& request, uint32_t output_length)>;

// Every pin type of the filter, in id order. A pin type without a category or without a
// registered name is no failure (category GUID_NULL, name empty). On failure `pins` is empty and
// the status is the failing request's (STATUS_INVALID_BUFFER_SIZE for an answer that does not
// hold what it claims).
NTSTATUS query_pins(const PropertyFn& property, std::vector<PinInfo>& pins);

// The filter's node types and connections. On failure `topology` is empty.
NTSTATUS query_topology(const PropertyFn& property, Topology& topology);

// UTF-8 for printing a name; a lone surrogate becomes U+FFFD.
std::string to_utf8(const std::u16string& text);

}  // namespace qh::client
