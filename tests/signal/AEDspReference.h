// Plain, literal transcriptions of the feature algorithm: one loop per step, no caches,
// the twiddle recurrence run afresh in every block, a full sort for the strongest
// lines. The production code is held to them bit for bit.
#pragma once

#include <cstdint>
#include <span>

#include "AEDsp.h"

void ReferenceFFT(std::span<double> re, std::span<double> im);
void ReferenceExtractFeatures(std::span<const std::int16_t> samples, double sampleRate, double voltsPerCount,
                              double thresholdV, TAEHitFeatures& f);
