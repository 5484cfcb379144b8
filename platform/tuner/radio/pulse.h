// Shared by the modulator and the decoder: the shaped biphase pulse.
#pragma once

#include <vector>

namespace fmsim::radio {

constexpr int kPulseSpan = 3;  // bits either side of a symbol that its shaped pulse is kept for

// One differentially coded bit's pulse (the biphase symbol through the
// cosine roll-off shaping), per_bit points a bit over [-kPulseSpan,
// kPulseSpan + 0.5] bits, peak 1. energy_per_bit: the mean square of a
// stream of random symbols made of it.
std::vector<float> biphase_pulse(int per_bit, double& energy_per_bit);

}  // namespace fmsim::radio
