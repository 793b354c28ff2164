// The registers of the card the benchmarks name: those whose accesses they count in the card's
// access log, and the engine blocks the card benchmark programs. They are the card's own map
// (the benchmarks never see the driver's), under the names the benchmarks use.
#pragma once

#include "sim/card.h"
#include "sim/card_registers.h"

#include <cstdint>

namespace bench::card {

constexpr uint32_t kInterruptStatus = sim::regs::kIntStatus;
constexpr uint32_t kCalibration = sim::regs::kRate02;  // read-only, without side effects: a bus-read probe
constexpr const uint32_t (&kVideoBlock)[sim::kInputs] = sim::regs::kVideoBase;
constexpr const uint32_t (&kAudioBlock)[sim::kInputs] = sim::regs::kAudioBase;
// A video engine's block register: the unit just completed was a bottom field.
constexpr uint32_t kBottomField = sim::regs::kVideoBottomField;

}  // namespace bench::card
