// Feature extraction and the rule-and-sigmoid classifier. Stateless routines; safe to
// call from any number of threads at once.
#pragma once

#include <cstdint>
#include <span>

struct TAEHitFeatures {
  float AmplitudeDb = 0;
  float Energy = 0;
  float PeakFreqKHz = 0;
  float CentroidKHz = 0;
  float RiseTimeUs = 0;
  float DurationUs = 0;
  std::uint32_t Counts = 0;
  float Tonality = 0;

  // Assigns class code, sub-code and confidence; windowUs is the window length in µs.
  void Classify(double windowUs, std::uint8_t& hitClass, std::uint8_t& subCode, float& confidence) const;
};
static_assert(sizeof(TAEHitFeatures) == 32);

// The sound-card hit's two-way rule: a long tonal window with a real peak frequency is
// "unknown" (sub-code 1, confidence the tonality up to 0.99), everything else "noise"
// (sub-code 2, confidence 1). windowSamples / sampleRateHz is the window's length.
void ClassifyAudioHit(const TAEHitFeatures& f, std::int32_t windowSamples, std::uint32_t sampleRateHz,
                      std::uint8_t& hitClass, std::uint8_t& subCode, float& confidence);

void ExtractFeatures(std::span<const std::int16_t> samples, double sampleRate, double voltsPerCount,
                     double thresholdV, TAEHitFeatures& f);

// In-place forward radix-2 FFT, unscaled; re.size() == im.size(), a power of two (1
// allowed), else std::invalid_argument. Twiddles and permutations are built once per
// size and shared (thread-safe).
void FFT(std::span<double> re, std::span<double> im);

double Sigmoid(double x);
