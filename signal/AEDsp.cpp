#include "AEDsp.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "AEProtocol.h"

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

}  // namespace

double Sigmoid(double x) {
  const double clamped = std::clamp(x, -50.0, 50.0);
  return 1.0 / (1.0 + std::exp(-clamped));
}

void FFT(std::span<double> re, std::span<double> im) {
  const std::size_t n = re.size();
  if (n < 2 || im.size() != n)
    return;
  // Bit-reversal permutation with a running reversed index.
  std::size_t j = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
    std::size_t k = n / 2;
    while (k <= j) {
      j -= k;
      k /= 2;
    }
    j += k;
  }
  for (std::size_t len = 2; len <= n; len *= 2) {
    const double theta = -kTwoPi / static_cast<double>(len);
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    const std::size_t half = len / 2;
    for (std::size_t i = 0; i < n; i += len) {
      double wr = 1.0;
      double wi = 0.0;
      for (std::size_t jj = 0; jj < half; ++jj) {
        const std::size_t a = i + jj;
        const std::size_t b = a + half;
        const double tr = re[b] * wr - im[b] * wi;
        const double ti = re[b] * wi + im[b] * wr;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] = re[a] + tr;
        im[a] = im[a] + ti;
        const double nextWr = wr * c - wi * s;
        wi = wr * s + wi * c;
        wr = nextWr;
      }
    }
  }
}

void ExtractFeatures(std::span<const std::int16_t> samples, double sampleRate, double voltsPerCount,
                     double thresholdV, TAEHitFeatures& f) {
  f = TAEHitFeatures{};
  const std::size_t n = samples.size();
  if (n == 0)
    return;

  double peak = 0.0;
  std::size_t peakIndex = 0;
  std::ptrdiff_t first = -1;
  std::ptrdiff_t last = -1;
  double previous = 0.0;
  std::uint32_t counts = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = samples[i] * voltsPerCount;
    const double a = std::fabs(v);
    if (a > peak) {
      peak = a;
      peakIndex = i;
    }
    if (a >= thresholdV) {
      if (first < 0)
        first = static_cast<std::ptrdiff_t>(i);
      last = static_cast<std::ptrdiff_t>(i);
    }
    if (i > 0 && previous < thresholdV && v >= thresholdV)
      ++counts;
    previous = v;
  }
  f.Counts = counts;
  f.AmplitudeDb = static_cast<float>(20.0 * std::log10(std::max(peak, 1e-9) / 1e-6));
  if (first >= 0) {
    const auto firstIndex = static_cast<std::size_t>(first);
    if (peakIndex >= firstIndex)
      f.RiseTimeUs = static_cast<float>(static_cast<double>(peakIndex - firstIndex) / sampleRate * 1e6);
    f.DurationUs = static_cast<float>(static_cast<double>(last - first) / sampleRate * 1e6);
    double energy = 0.0;
    for (std::size_t i = firstIndex; i <= static_cast<std::size_t>(last); ++i) {
      const double v = samples[i] * voltsPerCount;
      energy += v * v;
    }
    f.Energy = static_cast<float>(energy / sampleRate * 1e12);
  }

  std::size_t padded = 1;
  while (padded < n)
    padded *= 2;
  std::vector<double> re(padded, 0.0);
  std::vector<double> im(padded, 0.0);
  const double d = static_cast<double>(std::max<std::size_t>(n - 1, 1));
  for (std::size_t i = 0; i < n; ++i) {
    const double v = samples[i] * voltsPerCount;
    re[i] = v * (0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(i) / d));
  }
  FFT(re, im);

  const double binHz = sampleRate / static_cast<double>(padded);
  const std::size_t half = padded / 2;
  std::vector<double> power(half, 0.0);
  double total = 0.0;
  double largest = 0.0;
  double sumA = 0.0;
  double sumAf = 0.0;
  for (std::size_t k = 1; k < half; ++k) {
    power[k] = re[k] * re[k] + im[k] * im[k];
    total += power[k];
    const double a = std::sqrt(power[k]);
    if (a > largest) {
      largest = a;
      f.PeakFreqKHz = static_cast<float>(static_cast<double>(k) * binHz / 1000.0);
    }
    sumA += a;
    sumAf += a * static_cast<double>(k) * binHz;
  }
  if (sumA > 0)
    f.CentroidKHz = static_cast<float>(sumAf / sumA / 1000.0);
  if (total > 0) {
    std::sort(power.begin(), power.end());
    const std::size_t strongest = std::min<std::size_t>(10, half);
    double top = 0.0;
    for (std::size_t k = half - strongest; k < half; ++k)
      top += power[k];
    f.Tonality = static_cast<float>(top / total);
  }
}

void TAEHitFeatures::Classify(double windowUs, std::uint8_t& hitClass, std::uint8_t& subCode,
                              float& confidence) const {
  subCode = 0;
  if (Counts == 0) {
    hitClass = hcNoise;
    confidence = 0.95f;
    return;
  }
  const double peakKHz = PeakFreqKHz;
  const double riseUs = RiseTimeUs;
  const double durationUs = DurationUs;
  const double counts = Counts;
  const double tonality = Tonality;
  const double d = durationUs / windowUs;
  const double h = Sigmoid((peakKHz - 100) / 15) * Sigmoid((50 - riseUs) / 8) * Sigmoid(counts - 3) *
                   Sigmoid((0.6 - d) / 0.05);
  const double l = Sigmoid((d - 0.7) / 0.05) * Sigmoid((120 - peakKHz) / 15);
  hitClass = hcNoise;
  double best = 0.15;  // the fixed noise score; ties keep the earlier class
  if (h > best) {
    hitClass = hcCrack;
    best = h;
  }
  if (l > best) {
    hitClass = hcLeak;
    best = l;
  }
  confidence = static_cast<float>(best / (h + l + 0.15));
  if (d > 0.7 && tonality > 0.6) {
    hitClass = hcUnknown;  // a long tonal hit is a foreign source, whatever scored best
    subCode = 1;
    confidence = static_cast<float>(std::min(tonality, 0.99));
    return;
  }
  if (confidence < 0.5f) {
    hitClass = hcUnknown;
    return;
  }
  if (hitClass == hcNoise) {
    if (Counts <= 2 && durationUs < 5)
      subCode = 3;
    else if (peakKHz < 80 && riseUs > 80)
      subCode = 1;
  }
}
