// A literal transcription of the synthesiser: one sine (and one exponential) per sample
// and component, drawing from the process-wide generator in the documented order. The
// production synthesiser must stay within one count of it on every sample.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// The working buffer in volts, before conversion to counts.
std::vector<double> ReferenceSynthesizeVolts(std::uint8_t hitClass, double sampleRate, std::size_t n);
