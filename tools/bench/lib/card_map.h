// The registers of the card the benchmarks name: those whose accesses they count in the card's
// access log, and the engine blocks the card benchmark programs. Offsets of the card's window as
// its hardware description places them; the benchmarks never see the driver's own map.
#pragma once

#include "sim/card.h"

#include <cstdint>

namespace bench::card {

constexpr uint32_t kInterruptStatus = 0xC000;
constexpr uint32_t kCalibration = 0x24;  // read-only, without side effects: a bus-read probe
constexpr uint32_t kVideoBlock[sim::kInputs] = {0x9000, 0xB000, 0x9800, 0xB800};
constexpr uint32_t kAudioBlock[sim::kInputs] = {0x8000, 0xA000, 0x8800, 0xA800};
// A video engine's block register: the unit just completed was a bottom field.
constexpr uint32_t kBottomField = 1u << 24;

}  // namespace bench::card
