#include "AESynth.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <vector>

#include "AEProtocol.h"
#include "AERandom.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr int kLeakTones = 48;

// sin and cos of a in [-pi/4, pi/4] by their Taylor series; the first omitted terms
// are below 1e-16 of the result.
double SinSmall(double a) {
  const double a2 = a * a;
  return a * (1 + a2 * (-1.0 / 6 + a2 * (1.0 / 120 + a2 * (-1.0 / 5040 + a2 * (1.0 / 362880 +
         a2 * (-1.0 / 39916800 + a2 * (1.0 / 6227020800 + a2 * (-1.0 / 1307674368000))))))));
}

double CosSmall(double a) {
  const double a2 = a * a;
  return 1 + a2 * (-0.5 + a2 * (1.0 / 24 + a2 * (-1.0 / 720 + a2 * (1.0 / 40320 + a2 * (-1.0 / 3628800 +
         a2 * (1.0 / 479001600 + a2 * (-1.0 / 87178291200 + a2 * (1.0 / 20922789888000))))))));
}

// cos(2 pi u) for u in [0, 1): u * 4 and its fraction are exact, so the quarter turn is
// found without rounding and the series only sees [0, pi/4]. Selections instead of
// branches, so that a loop of these vectorises.
double CosTurn(double u) {
  const double x = u * 4;
  const int quarter = static_cast<int>(x);
  const double f = x - quarter;
  const bool low = f <= 0.5;
  const double a = (low ? f : 1 - f) * (std::numbers::pi / 2);
  const double ca = CosSmall(a);
  const double sa = SinSmall(a);
  const double c = low ? ca : sa;  // cos and sin of f * pi/2
  const double s = low ? sa : ca;
  const double even = (quarter & 2) ? -c : c;
  const double odd = (quarter & 2) ? s : -s;
  return (quarter & 1) ? odd : even;
}

// ln y for y in (0, 1], a multiple of 2^-32 here: y = m * 2^e with m in [sqrt(1/2),
// sqrt(2)), ln m = 2 atanh((m - 1) / (m + 1)) by its series (|s| < 0.172, twelve terms).
double LogPositive(double y) {
  auto bits = std::bit_cast<std::uint64_t>(y);
  int e = static_cast<int>(bits >> 52) - 1023;
  double m = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  if (m > std::numbers::sqrt2) {
    m *= 0.5;
    ++e;
  }
  const double s = (m - 1) / (m + 1);
  const double s2 = s * s;
  const double series =
      1 + s2 * (1.0 / 3 + s2 * (1.0 / 5 + s2 * (1.0 / 7 + s2 * (1.0 / 9 + s2 * (1.0 / 11 + s2 * (1.0 / 13 +
      s2 * (1.0 / 15 + s2 * (1.0 / 17 + s2 * (1.0 / 19 + s2 * (1.0 / 21 + s2 * (1.0 / 23)))))))))));
  return e * std::numbers::ln2 + 2 * s * series;
}

// out[i] = scale * RandomNormal() for every i in order, with the same draws, but with
// the logarithm and cosine by the series above instead of the library's: the window
// needs one normal value per sample, and this keeps every count within one of the
// library's result. All draws come first, so the arithmetic of successive values
// overlaps instead of waiting on one chain.
void FillNormals(std::span<double> out, double scale) {
  const std::size_t n = out.size();
  std::vector<double> draws(2 * n);  // radius, angle, radius, angle, ...
  RandomFloats(draws);
  for (std::size_t i = 0; i < n; ++i)
    out[i] = scale * (std::sqrt(-2.0 * LogPositive(1.0 - draws[2 * i])) * CosTurn(draws[2 * i + 1]));
}

// Calls visit(i, cos, sin) for i = begin .. end-1 with the angle
// 2 pi freq (i - origin) / fs + phase. The phasor is set by the library's sin and cos
// every kAnchor samples and rotated in between by a table of kBlock steps, so the
// error stays near 1e-14 however long the window, and the inner loop has no chain.
template <class TVisit>
void ForEachPhasor(std::size_t begin, std::size_t end, std::int64_t origin, double freq, double fs, double phase,
                   TVisit&& visit) {
  constexpr std::size_t kBlock = 32;
  constexpr std::size_t kAnchor = 512;
  const double omega = kTwoPi * freq / fs;
  const double c1 = std::cos(omega);
  const double s1 = std::sin(omega);
  double stepR[kBlock], stepI[kBlock];
  stepR[0] = 1;
  stepI[0] = 0;
  for (std::size_t j = 1; j < kBlock; ++j) {
    stepR[j] = stepR[j - 1] * c1 - stepI[j - 1] * s1;
    stepI[j] = stepR[j - 1] * s1 + stepI[j - 1] * c1;
  }
  const double blockR = stepR[kBlock - 1] * c1 - stepI[kBlock - 1] * s1;
  const double blockI = stepR[kBlock - 1] * s1 + stepI[kBlock - 1] * c1;
  for (std::size_t anchor = begin; anchor < end; anchor += kAnchor) {
    const double t = static_cast<double>(static_cast<std::int64_t>(anchor) - origin) / fs;
    const double angle = kTwoPi * freq * t + phase;
    double zr = std::cos(angle);
    double zi = std::sin(angle);
    const std::size_t stop = std::min(end, anchor + kAnchor);
    for (std::size_t base = anchor; base < stop; base += kBlock) {
      const std::size_t count = std::min(kBlock, stop - base);
      for (std::size_t j = 0; j < count; ++j)
        visit(base + j, zr * stepR[j] - zi * stepI[j], zr * stepI[j] + zi * stepR[j]);
      const double nextR = zr * blockR - zi * blockI;
      zi = zr * blockI + zi * blockR;
      zr = nextR;
    }
  }
}

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
  const std::int64_t begin = std::clamp<std::int64_t>(start, 0, n);
  // The envelope first, which also finds where the decay falls below 1e-4.
  std::vector<double> envelope(static_cast<std::size_t>(n - begin));
  std::int64_t end = begin;
  for (; end < n; ++end) {
    const double t = static_cast<double>(end - start) / fs;
    double e;
    if (t < rise) {
      e = t / rise;
    } else {
      e = std::exp(-(t - rise) / decay);
      if (e < 1e-4)
        break;
    }
    envelope[end - begin] = e;
  }
  const auto first = static_cast<std::size_t>(begin);
  const auto last = static_cast<std::size_t>(end);
  ForEachPhasor(first, last, start, freq, fs, phase1,
                [&](std::size_t i, double, double s) { buf[i] += amp * envelope[i - first] * s; });
  if (harmonic) {
    const double amp2 = 0.35 * amp;
    ForEachPhasor(first, last, start, 1.7 * freq, fs, phase2,
                  [&](std::size_t i, double, double s) { buf[i] += amp2 * envelope[i - first] * s; });
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
  const std::size_t n = buf.size();
  // Tone by tone into one sum per sample, in tone order as a per-sample loop would add.
  std::vector<double> w(n, 0.0);
  for (int k = 0; k < kLeakTones; ++k) {
    const double wk = weight[k];
    ForEachPhasor(0, n, 0, freq[k], fs, phase[k], [&](std::size_t i, double, double s) { w[i] += wk * s; });
  }
  std::vector<double> modulation(n);
  ForEachPhasor(0, n, 0, 300, fs, 0, [&](std::size_t i, double, double s) { modulation[i] = s; });
  std::vector<double> hiss(n);
  FillNormals(hiss, 1.0);
  double largest = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    w[i] = w[i] * (1 + 0.2 * modulation[i]) + 0.3 * hiss[i];
    largest = std::max(largest, std::fabs(w[i]));
  }
  if (largest > 0)
    for (std::size_t i = 0; i < n; ++i)
      buf[i] += amp * w[i] / largest;
}

void AddForeignTone(std::span<double> buf, double fs, double amp) {
  const double fc = RandomUniform(20000, 35000);
  const double phi = RandomUniform(0, kTwoPi);
  const std::size_t n = buf.size();
  std::vector<double> cosA(n), sinA(n), slow(n);
  ForEachPhasor(0, n, 0, fc, fs, phi, [&](std::size_t i, double c, double s) {
    cosA[i] = c;
    sinA[i] = s;
  });
  ForEachPhasor(0, n, 0, 500, fs, 0, [&](std::size_t i, double, double s) { slow[i] = s; });
  const double cosPhi = std::cos(phi);
  const double sinPhi = std::sin(phi);
  for (std::size_t i = 0; i < n; ++i) {
    // sin(A + B) with A = 2 pi fc t + phi and B the 0.3 rad modulation; the harmonics
    // of theta = A - phi by the double- and triple-angle identities.
    const double b = 0.3 * slow[i];
    const double fundamental = sinA[i] * CosSmall(b) + cosA[i] * SinSmall(b);
    const double sinTheta = sinA[i] * cosPhi - cosA[i] * sinPhi;
    const double cosTheta = cosA[i] * cosPhi + sinA[i] * sinPhi;
    const double second = 2 * sinTheta * cosTheta;
    const double third = sinTheta * (3 - 4 * sinTheta * sinTheta);
    buf[i] += amp * (fundamental + 0.5 * second + 0.3 * third) / 1.8;
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
  FillNormals(buf, DbToVolts(25));

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
