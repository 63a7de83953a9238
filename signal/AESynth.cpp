#include "AESynth.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "AEProtocol.h"
#include "AERandom.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr int kLeakTones = 48;

void AddNoiseSpike(std::span<double> buf, std::size_t onset) {
  const double amp = DbToVolts(RandomUniform(50, 70));
  const std::size_t n = buf.size();
  if (n < 2) {
    // No room for two samples: keep the draw count of a spike, write nothing.
    RandomBelow(0);
    return;
  }
  const std::size_t j = onset + RandomBelow(static_cast<std::uint32_t>(n - onset - 2));
  buf[j] += amp;
  buf[j + 1] -= 0.6 * amp;
}

}  // namespace

double RandomUniform(double a, double b) { return a + RandomFloat() * (b - a); }

double RandomNormal() {
  const double u1 = RandomFloat();
  const double u2 = RandomFloat();
  return std::sqrt(-2.0 * std::log(1.0 - u1)) * std::cos(kTwoPi * u2);
}

double DbToVolts(double db) { return std::pow(10.0, db / 20.0) * 1e-6; }

void AddBurst(std::span<double> buf, std::int64_t start, double fs, double amp, double freq, double rise,
              double decay, bool harmonic) {
  const double phase1 = RandomUniform(0, kTwoPi);
  const double phase2 = RandomUniform(0, kTwoPi);
  const auto n = static_cast<std::int64_t>(buf.size());
  for (std::int64_t i = std::max<std::int64_t>(start, 0); i < n; ++i) {
    const double t = static_cast<double>(i - start) / fs;
    double e;
    if (t < rise) {
      e = t / rise;
    } else {
      e = std::exp(-(t - rise) / decay);
      if (e < 1e-4)
        break;
    }
    buf[i] += amp * e * std::sin(kTwoPi * freq * t + phase1);
    if (harmonic)
      buf[i] += 0.35 * amp * e * std::sin(kTwoPi * 1.7 * freq * t + phase2);
  }
}

void AddLeakNoise(std::span<double> buf, double fs, double amp) {
  double freq[kLeakTones];
  double weight[kLeakTones];
  double phase[kLeakTones];
  for (int k = 0; k < kLeakTones; ++k) {
    freq[k] = RandomUniform(20000, 90000);
    weight[k] = RandomUniform(0.3, 1);
    phase[k] = RandomUniform(0, kTwoPi);
  }
  std::vector<double> w(buf.size());
  double largest = 0.0;
  for (std::size_t i = 0; i < buf.size(); ++i) {
    const double t = static_cast<double>(i) / fs;
    double s = 0.0;
    for (int k = 0; k < kLeakTones; ++k)
      s += weight[k] * std::sin(kTwoPi * freq[k] * t + phase[k]);
    const double m = std::sin(kTwoPi * 300 * t);
    w[i] = s * (1 + 0.2 * m) + 0.3 * RandomNormal();
    largest = std::max(largest, std::fabs(w[i]));
  }
  if (largest > 0)
    for (std::size_t i = 0; i < buf.size(); ++i)
      buf[i] += amp * w[i] / largest;
}

void AddForeignTone(std::span<double> buf, double fs, double amp) {
  const double fc = RandomUniform(20000, 35000);
  const double phi = RandomUniform(0, kTwoPi);
  for (std::size_t i = 0; i < buf.size(); ++i) {
    const double t = static_cast<double>(i) / fs;
    buf[i] += amp *
              (std::sin(kTwoPi * fc * t + 0.3 * std::sin(kTwoPi * 500 * t) + phi) +
               0.5 * std::sin(2 * kTwoPi * fc * t) + 0.3 * std::sin(3 * kTwoPi * fc * t)) /
              1.8;
  }
}

std::int16_t VoltsToCounts(double volts, double voltsPerCount) {
  const double counts = std::nearbyint(volts / voltsPerCount);  // default rounding: halves to even
  if (std::isnan(counts))
    return 0;
  return static_cast<std::int16_t>(std::clamp(counts, -32768.0, 32767.0));
}

void SynthesizeHit(std::uint8_t hitClass, double sampleRate, double voltsPerCount, std::span<std::int16_t> samples) {
  const std::size_t n = samples.size();
  std::vector<double> buf(n, 0.0);
  const std::size_t onset = n / 16;
  const double background = DbToVolts(25);
  for (std::size_t i = 0; i < n; ++i)
    buf[i] = background * RandomNormal();

  const auto start = static_cast<std::int64_t>(onset);
  switch (hitClass) {
    case hcCrack: {
      const double amp = DbToVolts(RandomUniform(55, 85));
      const double freq = RandomUniform(150000, 300000);
      const double riseUs = RandomUniform(2, 20);
      const double decayUs = RandomUniform(30, 150);
      AddBurst(buf, start, sampleRate, amp, freq, riseUs * 1e-6, decayUs * 1e-6, true);
      break;
    }
    case hcLeak:
      AddLeakNoise(buf, sampleRate, DbToVolts(RandomUniform(44, 58)));
      break;
    case hcUnknown:
      AddForeignTone(buf, sampleRate, DbToVolts(RandomUniform(45, 60)));
      break;
    default:
      if (RandomFloat() < 0.3) {
        AddNoiseSpike(buf, onset);
      } else {
        const double amp = DbToVolts(RandomUniform(40, 55));
        const double freq = RandomUniform(15000, 60000);
        const double riseUs = RandomUniform(100, 400);
        const double decayUs = RandomUniform(150, 400);
        AddBurst(buf, start, sampleRate, amp, freq, riseUs * 1e-6, decayUs * 1e-6, false);
      }
      break;
  }
  for (std::size_t i = 0; i < n; ++i)
    samples[i] = VoltsToCounts(buf[i], voltsPerCount);
}
