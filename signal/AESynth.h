// The hit synthesiser: fills a hit window with background noise and the signal model of
// a true class, drawing from the process-wide generator (AERandom.h). Generator thread
// only.
#pragma once

#include <cstdint>
#include <span>

double RandomUniform(double a, double b);
double RandomNormal();
double DbToVolts(double db);

void AddBurst(std::span<double> buf, std::int64_t start, double fs, double amp, double freq, double rise,
              double decay, bool harmonic);
void AddLeakNoise(std::span<double> buf, double fs, double amp);
void AddForeignTone(std::span<double> buf, double fs, double amp);

// Overwrites every element of samples.
void SynthesizeHit(std::uint8_t hitClass, double sampleRate, double voltsPerCount, std::span<std::int16_t> samples);
