#include "AEDspReference.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace {
constexpr double kTwoPi = 2.0 * std::numbers::pi;
}

void ReferenceFFT(std::span<double> re, std::span<double> im) {
  const std::size_t L = re.size();
  std::size_t j = 0;
  for (std::size_t i = 0; i + 2 <= L; ++i) {
    if (i < j) {
      std::swap(re[i], re[j]);
      std::swap(im[i], im[j]);
    }
    std::size_t k = L / 2;
    while (k <= j && k > 0) {
      j = j - k;
      k = k / 2;
    }
    j = j + k;
  }
  for (std::size_t len = 2; len <= L; len *= 2) {
    const double theta = -kTwoPi / static_cast<double>(len);
    const double c = std::cos(theta);
    const double s = std::sin(theta);
    for (std::size_t i = 0; i < L; i += len) {
      double wr = 1, wi = 0;
      for (std::size_t jj = 0; jj < len / 2; ++jj) {
        const std::size_t a = i + jj;
        const std::size_t b = a + len / 2;
        const double tr = re[b] * wr - im[b] * wi;
        const double ti = re[b] * wi + im[b] * wr;
        re[b] = re[a] - tr;
        im[b] = im[a] - ti;
        re[a] = re[a] + tr;
        im[a] = im[a] + ti;
        const double wr2 = wr * c - wi * s;
        const double wi2 = wr * s + wi * c;
        wr = wr2;
        wi = wi2;
      }
    }
  }
}

void ReferenceExtractFeatures(std::span<const std::int16_t> samples, double sampleRate, double voltsPerCount,
                              double thresholdV, TAEHitFeatures& f) {
  f = TAEHitFeatures{};
  const std::size_t n = samples.size();
  if (n == 0)
    return;
  double peak = 0;
  std::size_t peakIndex = 0;
  long long first = -1, last = -1;
  double previous = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double v = samples[i] * voltsPerCount;
    if (std::fabs(v) > peak) {
      peak = std::fabs(v);
      peakIndex = i;
    }
    if (std::fabs(v) >= thresholdV) {
      if (first < 0)
        first = static_cast<long long>(i);
      last = static_cast<long long>(i);
    }
    if (i > 0 && previous < thresholdV && v >= thresholdV)
      f.Counts = f.Counts + 1;
    previous = v;
  }
  f.AmplitudeDb = static_cast<float>(20 * std::log10(std::max(peak, 1e-9) / 1e-6));
  if (first >= 0) {
    if (static_cast<long long>(peakIndex) >= first)
      f.RiseTimeUs = static_cast<float>(static_cast<double>(static_cast<long long>(peakIndex) - first) /
                                        sampleRate * 1e6);
    f.DurationUs = static_cast<float>(static_cast<double>(last - first) / sampleRate * 1e6);
    double sum = 0;
    for (long long i = first; i <= last; ++i) {
      const double v = samples[static_cast<std::size_t>(i)] * voltsPerCount;
      sum += v * v;
    }
    f.Energy = static_cast<float>(sum / sampleRate * 1e12);
  }

  std::size_t N = 1;
  while (N < n)
    N *= 2;
  std::vector<double> re(N, 0.0), im(N, 0.0);
  const double D = static_cast<double>(std::max<std::size_t>(n - 1, 1));
  for (std::size_t i = 0; i < n; ++i) {
    const double v = samples[i] * voltsPerCount;
    re[i] = v * (0.5 - 0.5 * std::cos(kTwoPi * static_cast<double>(i) / D));
  }
  ReferenceFFT(re, im);
  const double b = sampleRate / static_cast<double>(N);
  std::vector<double> P(N / 2, 0.0);
  double total = 0, largestA = 0, sumA = 0, sumAf = 0;
  for (std::size_t k = 1; k + 1 <= N / 2; ++k) {
    P[k] = re[k] * re[k] + im[k] * im[k];
    total += P[k];
    const double A = std::sqrt(P[k]);
    if (A > largestA) {
      largestA = A;
      f.PeakFreqKHz = static_cast<float>(static_cast<double>(k) * b / 1000);
    }
    sumA += A;
    sumAf += A * static_cast<double>(k) * b;
  }
  if (sumA > 0)
    f.CentroidKHz = static_cast<float>(sumAf / sumA / 1000);
  if (total > 0) {
    std::sort(P.begin(), P.end());
    const std::size_t m = std::min<std::size_t>(10, N / 2);
    double top = 0;
    for (std::size_t k = N / 2 - m; k < N / 2; ++k)
      top += P[k];
    f.Tonality = static_cast<float>(top / total);
  }
}
