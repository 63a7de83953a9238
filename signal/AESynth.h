// The hit synthesiser: fills a hit window with background noise and the signal model of
// a true class, drawing from the process-wide generator (AERandom.h). Generator thread
// only. One generator state, class and window length always give the same samples.
#pragma once

#include <cstdint>
#include <span>

// One uniform draw: a + u * (b - a), in [a, b).
double RandomUniform(double a, double b);
// Box-Muller, cosine form: two draws, radius first, then angle.
double RandomNormal();
// dB re 1 µV to volts.
double DbToVolts(double db);

// Adds a linear-attack, exponential-decay burst from start to the end of buf (stops once
// the envelope falls below 1e-4). Draws two phases whether or not harmonic is set.
void AddBurst(std::span<double> buf, std::int64_t start, double fs, double amp, double freq, double rise,
              double decay, bool harmonic);
// Adds 48-tone hiss, modulated at 300 Hz, scaled so that its largest sample is amp.
void AddLeakNoise(std::span<double> buf, double fs, double amp);
// Adds a phase-modulated tone with two harmonics; never exceeds amp.
void AddForeignTone(std::span<double> buf, double fs, double amp);

// Volts to the nearest count (halves to even), saturated to -32768 .. 32767; NaN gives 0.
std::int16_t VoltsToCounts(double volts, double voltsPerCount);

// Overwrites every element of samples. Any class code but 1, 2 and 3 is made as noise.
void SynthesizeHit(std::uint8_t hitClass, double sampleRate, double voltsPerCount, std::span<std::int16_t> samples);
