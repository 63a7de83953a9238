#include "AESynth.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <numbers>
#include <vector>

#include "AEProtocol.h"
#include "AERandom.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr int kLeakTones = 48;

// Two doubles in one SSE2 register (any x86-64), with lane-wise IEEE operations; the
// noise arithmetic below runs on pairs of samples.
typedef double TPair __attribute__((vector_size(16)));
typedef std::int64_t TPairBits __attribute__((vector_size(16)));

// sin and cos of the foreign tone's modulation angle (|a| <= 0.3) by their Taylor
// series; the first omitted terms are below 1e-16.
double SinSmall(double a) {
  const double z = a * a;
  const double z2 = z * z;
  const double even = 1 + z2 * (1.0 / 120 + z2 * 1.0 / 362880);
  const double odd = -1.0 / 6 + z2 * (-1.0 / 5040 + z2 * -1.0 / 39916800);
  return a * (even + z * odd);
}

double CosSmall(double a) {
  const double z = a * a;
  const double z2 = z * z;
  const double even = 1 + z2 * (1.0 / 24 + z2 * (1.0 / 40320 + z2 * 1.0 / 479001600));
  const double odd = -0.5 + z2 * (-1.0 / 720 + z2 * -1.0 / 3628800);
  return even + z * odd;
}

// Tables for the noise arithmetic, made once (thread-safe static initialisation) with
// the library's own log, sin and cos.
struct TNoiseTables {
  static constexpr int kCells = 256;
  double CosCell[kCells], SinCell[kCells];  // of 2 pi c / kCells
  double InvCenter[kCells], LogCenter[kCells];  // 1 / m0 rounded, and -ln of that value
  TNoiseTables() {
    for (int c = 0; c < kCells; ++c) {
      CosCell[c] = std::cos(kTwoPi * c / kCells);
      SinCell[c] = std::sin(kTwoPi * c / kCells);
      InvCenter[c] = 1.0 / (1.0 + (c + 0.5) / kCells);
      LogCenter[c] = -std::log(InvCenter[c]);
    }
  }
};

const TNoiseTables& NoiseTables() {
  static const TNoiseTables tables;
  return tables;
}

// cos(2 pi u) for u in [0, 1): 256 u splits exactly into a table cell c and a fraction
// r, and cos(A + b) = cos A cos b - sin A sin b with b = 2 pi r / 256 < 0.025, whose
// short series are exact to about 1e-16.
TPair CosTurn(TPair u, const TNoiseTables& t) {
  const TPair x = u * TNoiseTables::kCells;
  const TPairBits cell = __builtin_convertvector(x, TPairBits);  // x >= 0: truncation is floor
  const TPair b = (x - __builtin_convertvector(cell, TPair)) * (kTwoPi / TNoiseTables::kCells);
  const TPair b2 = b * b;
  const TPair cosB = 1 + b2 * (-0.5 + b2 * (1.0 / 24 + b2 * (-1.0 / 720)));
  const TPair sinB = b * (1 + b2 * (-1.0 / 6 + b2 * (1.0 / 120)));
  const TPair cosA = {t.CosCell[cell[0]], t.CosCell[cell[1]]};
  const TPair sinA = {t.SinCell[cell[0]], t.SinCell[cell[1]]};
  return cosA * cosB - sinA * sinB;
}

// ln y for y in (0, 1] (a multiple of 2^-32 here): y = m 2^e with m in [1, 2); the top
// eight mantissa bits pick a cell, m / m0 = 1 + d with |d| < 0.002, and
// ln m = ln m0 + ln(1 + d) by five terms of its series (error near 1e-17).
TPair LogPositive(TPair y, const TNoiseTables& t) {
  TPairBits bits;
  std::memcpy(&bits, &y, sizeof bits);
  // The biased exponent as a double, exactly: placed in the mantissa of 2^52.
  const TPairBits exponentBits = (bits >> 52) | 0x4330000000000000ll;
  TPair e;
  std::memcpy(&e, &exponentBits, sizeof e);
  e = e - (0x1p52 + 1023);
  const TPairBits mantissaBits = (bits & 0x000FFFFFFFFFFFFFll) | 0x3FF0000000000000ll;
  TPair m;
  std::memcpy(&m, &mantissaBits, sizeof m);
  const TPairBits cell = (bits >> 44) & (TNoiseTables::kCells - 1);
  const TPair inv = {t.InvCenter[cell[0]], t.InvCenter[cell[1]]};
  const TPair logCenter = {t.LogCenter[cell[0]], t.LogCenter[cell[1]]};
  const TPair d = m * inv - 1;
  const TPair series = d * (1 + d * (-0.5 + d * (1.0 / 3 + d * (-0.25 + d * 0.2))));
  return e * std::numbers::ln2 + (logCenter + series);
}

// Two values of RandomNormal from draws (radius, angle, radius, angle).
TPair NormalPair(const double* draws, const TNoiseTables& t) {
  const TPair radius = {draws[0], draws[2]};
  const TPair angle = {draws[1], draws[3]};
  const TPair squared = -2.0 * LogPositive(1.0 - radius, t);
  const TPair root = {std::sqrt(squared[0]), std::sqrt(squared[1])};
  return root * CosTurn(angle, t);
}

// out[i] = scale * RandomNormal() for every i in order, with the same draws, but with
// the logarithm and cosine by the tables and series above instead of the library's: the window
// needs one normal value per sample, and this keeps every count within one of the
// library's result. All draws come first, then the arithmetic on pairs.
void FillNormals(std::span<double> out, double scale) {
  // Draws a stretch at a time on the stack: a heap block per call costs page faults.
  constexpr std::size_t kStretch = 256;
  double draws[2 * kStretch + 8];  // radius, angle, ...; spares up to four values
  const TNoiseTables& tables = NoiseTables();
  for (std::size_t first = 0; first < out.size(); first += kStretch) {
    const std::size_t count = std::min(kStretch, out.size() - first);
    RandomFloats(std::span(draws, 2 * count));
    std::fill(draws + 2 * count, draws + 2 * count + 8, 0.5);
    // Four values per round: two independent pairs let the polynomial chains of one
    // overlap with the other's.
    for (std::size_t i = 0; i < count; i += 4) {
      const TPair v = scale * NormalPair(&draws[2 * i], tables);
      const TPair w = scale * NormalPair(&draws[2 * i + 4], tables);
      const double values[4] = {v[0], v[1], w[0], w[1]};
      for (std::size_t k = 0; k < 4 && i + k < count; ++k)
        out[first + i + k] = values[k];
    }
  }
}

// sin and cos of the angle 2 pi freq (i - origin) / fs + phase for a run of samples.
// The phasor is set by the library's sin and cos at the start of every run and every
// kAnchor samples, and rotated in between by a table of kBlock steps, so the error stays
// near 1e-14 however long the window, and the inner loop has no dependency chain.
class TOscillator {
 public:
  static constexpr std::size_t kBlock = 32;
  static constexpr std::size_t kAnchor = 512;

  TOscillator(double freq, double fs, double phase, std::int64_t origin)
      : FFreq(freq), FFs(fs), FPhase(phase), FOrigin(origin) {
    const double omega = kTwoPi * freq / fs;
    const double c1 = std::cos(omega);
    const double s1 = std::sin(omega);
    FStepR[0] = 1;
    FStepI[0] = 0;
    for (std::size_t j = 1; j < kBlock; ++j) {
      FStepR[j] = FStepR[j - 1] * c1 - FStepI[j - 1] * s1;
      FStepI[j] = FStepR[j - 1] * s1 + FStepI[j - 1] * c1;
    }
    FBlockR = FStepR[kBlock - 1] * c1 - FStepI[kBlock - 1] * s1;
    FBlockI = FStepR[kBlock - 1] * s1 + FStepI[kBlock - 1] * c1;
  }

  // sum[i] = (sum[i] + wa sin_a(i)) + wb sin_b(i) for i = begin .. end-1: two tones per
  // pass over the sums, added in the order one tone after the other would add them.
  static void AddTwoSines(const TOscillator& a, double wa, const TOscillator& b, double wb, std::size_t begin,
                          std::size_t end, double* sum) {
    for (std::size_t anchor = begin; anchor < end; anchor += kAnchor) {
      double ar, ai, br, bi;
      a.Anchor(anchor, ar, ai);
      b.Anchor(anchor, br, bi);
      const std::size_t stop = std::min(end, anchor + kAnchor);
      for (std::size_t base = anchor; base < stop; base += kBlock) {
        const std::size_t count = std::min(kBlock, stop - base);
        double* out = sum + base;
        for (std::size_t j = 0; j < count; ++j) {
          const double sa = ar * a.FStepI[j] + ai * a.FStepR[j];
          const double sb = br * b.FStepI[j] + bi * b.FStepR[j];
          out[j] = (out[j] + wa * sa) + wb * sb;
        }
        a.Advance(ar, ai);
        b.Advance(br, bi);
      }
    }
  }

  // Calls visit(i, cos, sin) for i = begin .. end-1 in order.
  template <class TVisit>
  void Run(std::size_t begin, std::size_t end, TVisit&& visit) const {
    for (std::size_t anchor = begin; anchor < end; anchor += kAnchor) {
      double zr, zi;
      Anchor(anchor, zr, zi);
      const std::size_t stop = std::min(end, anchor + kAnchor);
      for (std::size_t base = anchor; base < stop; base += kBlock) {
        const std::size_t count = std::min(kBlock, stop - base);
        for (std::size_t j = 0; j < count; ++j)
          visit(base + j, zr * FStepR[j] - zi * FStepI[j], zr * FStepI[j] + zi * FStepR[j]);
        Advance(zr, zi);
      }
    }
  }

 private:
  // The phasor at sample i by the direct expression of the angle.
  void Anchor(std::size_t i, double& zr, double& zi) const {
    const double t = static_cast<double>(static_cast<std::int64_t>(i) - FOrigin) / FFs;
    const double angle = kTwoPi * FFreq * t + FPhase;
    zr = std::cos(angle);
    zi = std::sin(angle);
  }

  // Rotates the phasor by one block.
  void Advance(double& zr, double& zi) const {
    const double nextR = zr * FBlockR - zi * FBlockI;
    zi = zr * FBlockI + zi * FBlockR;
    zr = nextR;
  }

  double FFreq, FFs, FPhase;
  std::int64_t FOrigin;
  double FStepR[kBlock], FStepI[kBlock];
  double FBlockR, FBlockI;
};

template <class TVisit>
void ForEachPhasor(std::size_t begin, std::size_t end, std::int64_t origin, double freq, double fs, double phase,
                   TVisit&& visit) {
  TOscillator(freq, fs, phase, origin).Run(begin, end, visit);
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
  // Tone by tone into one sum per sample, in tone order as a per-sample loop would add;
  // a stretch of samples at a time, so that its sums stay in the first-level cache.
  std::vector<TOscillator> tones;
  tones.reserve(kLeakTones);
  for (int k = 0; k < kLeakTones; ++k)
    tones.emplace_back(freq[k], fs, phase[k], 0);
  std::vector<double> w(n, 0.0);
  double* sum = w.data();
  for (std::size_t begin = 0; begin < n; begin += TOscillator::kAnchor) {
    const std::size_t end = std::min(n, begin + TOscillator::kAnchor);
    static_assert(kLeakTones % 2 == 0);
    for (int k = 0; k < kLeakTones; k += 2)
      TOscillator::AddTwoSines(tones[k], weight[k], tones[k + 1], weight[k + 1], begin, end, sum);
  }
  // The 300 Hz modulation, then one normal value per sample in sample order.
  ForEachPhasor(0, n, 0, 300, fs, 0, [sum](std::size_t i, double, double m) { sum[i] = sum[i] * (1 + 0.2 * m); });
  double largest = 0.0;
  double hiss[TOscillator::kAnchor];
  for (std::size_t begin = 0; begin < n; begin += TOscillator::kAnchor) {
    const std::size_t count = std::min(n - begin, TOscillator::kAnchor);
    FillNormals(std::span(hiss, count), 1.0);
    for (std::size_t j = 0; j < count; ++j) {
      sum[begin + j] = sum[begin + j] + 0.3 * hiss[j];
      largest = std::max(largest, std::fabs(sum[begin + j]));
    }
  }
  if (largest > 0)
    for (std::size_t i = 0; i < n; ++i)
      buf[i] += amp * w[i] / largest;
}

void AddForeignTone(std::span<double> buf, double fs, double amp) {
  const double fc = RandomUniform(20000, 35000);
  const double phi = RandomUniform(0, kTwoPi);
  const std::size_t n = buf.size();
  const TOscillator carrier(fc, fs, phi, 0);
  const TOscillator modulation(500, fs, 0, 0);
  const double cosPhi = std::cos(phi);
  const double sinPhi = std::sin(phi);
  constexpr std::size_t kStretch = TOscillator::kAnchor;
  double cosA[kStretch], sinA[kStretch], slow[kStretch];
  for (std::size_t begin = 0; begin < n; begin += kStretch) {
    const std::size_t end = std::min(n, begin + kStretch);
    carrier.Run(begin, end, [&](std::size_t i, double c, double s) {
      cosA[i - begin] = c;
      sinA[i - begin] = s;
    });
    modulation.Run(begin, end, [&](std::size_t i, double, double s) { slow[i - begin] = s; });
    for (std::size_t j = 0; j < end - begin; ++j) {
      // sin(A + B) with A = 2 pi fc t + phi and B the 0.3 rad modulation; the harmonics
      // of theta = A - phi by the double- and triple-angle identities.
      const double b = 0.3 * slow[j];
      const double fundamental = sinA[j] * CosSmall(b) + cosA[j] * SinSmall(b);
      const double sinTheta = sinA[j] * cosPhi - cosA[j] * sinPhi;
      const double cosTheta = cosA[j] * cosPhi + sinA[j] * sinPhi;
      const double second = 2 * sinTheta * cosTheta;
      const double third = sinTheta * (3 - 4 * sinTheta * sinTheta);
      buf[begin + j] += amp * (fundamental + 0.5 * second + 0.3 * third) / 1.8;
    }
  }
}

std::int16_t VoltsToCounts(double volts, double voltsPerCount) {
  const double counts = volts / voltsPerCount;
  if (!(counts == counts))
    return 0;  // NaN
  // Clamped first, so that the sum below stays far inside 2^51: adding and removing
  // 1.5 * 2^52 rounds to an integer in the current rounding mode (nearest, halves to
  // even), as nearbyint would, without a library call in the sample loop.
  const double bounded = std::clamp(counts, -40000.0, 40000.0);
  const double rounded = (bounded + 0x1.8p52) - 0x1.8p52;
  return static_cast<std::int16_t>(std::clamp(rounded, -32768.0, 32767.0));
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
