#include "AEDsp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AEDspReference.h"
#include "AERandom.h"
#include "AESynth.h"

namespace {

constexpr double kPi = std::numbers::pi;

// 1 µV per count and 1 MS/s make the expected values easy to work out by hand: a count
// is a microvolt and a sample is a microsecond. The threshold is computed the way the
// samples are, so "exactly at threshold" is exact.
constexpr double kVolts = 1e-6;
constexpr double kRate = 1e6;
const double kThreshold = 10 * kVolts;

// The amplitude of a peak of the given number of microvolts, as stored.
float Db(double microvolts) { return static_cast<float>(20 * std::log10(microvolts)); }

enum class TSpectrum { None, Some, AllLines };

struct TFeatureCase {
  std::string Name;
  std::vector<std::int16_t> Samples;
  float AmplitudeDb, Energy, RiseTimeUs, DurationUs;
  std::uint32_t Counts;
  TSpectrum Spectrum;
};

std::string Bits(const TAEHitFeatures& f) {
  std::string s(sizeof f, '\0');
  std::memcpy(s.data(), &f, sizeof f);
  return s;
}

void ExpectFeatures(const TFeatureCase& c, const TAEHitFeatures& f) {
  EXPECT_FLOAT_EQ(f.AmplitudeDb, c.AmplitudeDb);
  EXPECT_FLOAT_EQ(f.Energy, c.Energy);
  EXPECT_FLOAT_EQ(f.RiseTimeUs, c.RiseTimeUs);
  EXPECT_FLOAT_EQ(f.DurationUs, c.DurationUs);
  EXPECT_EQ(f.Counts, c.Counts);
  switch (c.Spectrum) {
    case TSpectrum::None:
      EXPECT_EQ(f.PeakFreqKHz, 0.0f);
      EXPECT_EQ(f.CentroidKHz, 0.0f);
      EXPECT_EQ(f.Tonality, 0.0f);
      break;
    case TSpectrum::Some:
      EXPECT_GT(f.PeakFreqKHz, 0.0f);
      EXPECT_GT(f.CentroidKHz, 0.0f);
      EXPECT_GT(f.Tonality, 0.0f);
      EXPECT_LE(f.Tonality, 1.0f);
      break;
    case TSpectrum::AllLines:  // at most 10 lines: all of the power is in the strongest ten
      EXPECT_GT(f.PeakFreqKHz, 0.0f);
      EXPECT_FLOAT_EQ(f.Tonality, 1.0f);
      break;
  }
}

std::vector<std::int16_t> RandomWindow(std::mt19937& rng, std::size_t n, int amplitude) {
  std::uniform_int_distribution<int> dist(-amplitude, amplitude);
  std::vector<std::int16_t> w(n);
  for (auto& s : w)
    s = static_cast<std::int16_t>(dist(rng));
  return w;
}

std::vector<std::int16_t> Tone(std::size_t n, double freqHz, double rate, double amplitude) {
  std::vector<std::int16_t> w(n);
  for (std::size_t i = 0; i < n; ++i)
    w[i] = static_cast<std::int16_t>(std::lround(amplitude * std::sin(2 * kPi * freqHz * i / rate)));
  return w;
}

}  // namespace

TEST(ExtractFeatures, EdgeCases) {
  std::mt19937 rng(7);
  const std::vector<TFeatureCase> cases = {
      {"empty window: eight zeros, not -60 dB", {}, 0, 0, 0, 0, 0, TSpectrum::None},
      {"silence", std::vector<std::int16_t>(8, 0), -60, 0, 0, 0, 0, TSpectrum::None},
      {"no threshold sample", {1, -3, 2, 0, 5, 4, -1, 2}, Db(5), 0, 0, 0, 0, TSpectrum::AllLines},
      {"one sample: never a count, no lines", {20}, Db(20), 4e-4f, 0, 0, 0, TSpectrum::None},
      {"two samples: no line between DC and Nyquist", {0, 20}, Db(20), 4e-4f, 0, 0, 1, TSpectrum::None},
      {"equal maxima: the earlier is the peak", {0, 12, 15, 3, -15, 15, 0, 0}, Db(15), 8.28e-4f, 1, 4, 2,
       TSpectrum::AllLines},
      {"exactly at threshold after a lower sample", {0, 9, 10, 10, 9, 10, 0, 0}, 20, 3.81e-4f, 0, 3, 2,
       TSpectrum::AllLines},
      {"negative excursions: span but no counts", {0, -20, 0, -25, 0, 0, 0, 0}, Db(25), 1.025e-3f, 2, 2, 0,
       TSpectrum::AllLines},
      {"upward crossing from below -threshold", {0, -20, 20, 0}, Db(20), 8e-4f, 0, 1, 1, TSpectrum::AllLines},
      {"first sample above threshold: no count; its Hann weight is 0", {30, 0, 0, 0}, Db(30), 9e-4f, 0, 0, 0, TSpectrum::None},
      {"N/2 = 8 <= 10: tonality 1", RandomWindow(rng, 16, 9), 0, 0, 0, 0, 0, TSpectrum::AllLines},
  };
  for (const TFeatureCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TFeatureCase expected = c;
    if (c.Name.starts_with("N/2")) {  // random samples: take the peak from the data
      int peak = 0;
      for (std::int16_t s : c.Samples)
        peak = std::max(peak, std::abs(static_cast<int>(s)));
      expected.AmplitudeDb = static_cast<float>(20 * std::log10(peak));
    }
    TAEHitFeatures f;
    f.Counts = 99;  // stale values must not survive
    f.Tonality = 0.5f;
    ExtractFeatures(c.Samples, kRate, kVolts, kThreshold, f);
    ExpectFeatures(expected, f);
    TAEHitFeatures r;
    ReferenceExtractFeatures(c.Samples, kRate, kVolts, kThreshold, r);
    ExpectFeatures(expected, r);
  }
}

TEST(ExtractFeatures, SilenceAndEmptyClassifyAsConfidentNoise) {
  for (std::size_t n : {0, 4096}) {
    const std::vector<std::int16_t> w(n, 0);
    TAEHitFeatures f;
    ExtractFeatures(w, 2e6, 3.0517578125e-06, 1e-4, f);
    std::uint8_t cls = 9, sub = 9;
    float conf = 0;
    f.Classify(n / 2e6 * 1e6, cls, sub, conf);
    EXPECT_EQ(cls, 0);
    EXPECT_EQ(sub, 0);
    EXPECT_EQ(conf, 0.95f);
  }
}

TEST(ExtractFeatures, PureToneGivesItsLineAsPeakCentroidAndTonality) {
  const double rate = 2e6;
  const double freq = 100 * rate / 4096;  // exactly bin 100
  TAEHitFeatures f;
  ExtractFeatures(Tone(4096, freq, rate, 8000), rate, 1e-6, 1e-4, f);
  EXPECT_FLOAT_EQ(f.PeakFreqKHz, static_cast<float>(freq / 1000));
  EXPECT_NEAR(f.CentroidKHz, freq / 1000, 1.0);  // Hann main lobe is symmetric about the line
  EXPECT_GT(f.Tonality, 0.99f);
  EXPECT_GE(f.Counts, 99u);  // 100 cycles; the first may start exactly at zero
  EXPECT_LE(f.Counts, 100u);

  std::mt19937 rng(3);
  TAEHitFeatures noise;
  ExtractFeatures(RandomWindow(rng, 4096, 8000), rate, 1e-6, 1e-4, noise);
  EXPECT_LT(noise.Tonality, 0.05f);  // white noise spreads over 2047 lines
  EXPECT_NEAR(noise.CentroidKHz, rate / 4 / 1000, 30);
}

TEST(ExtractFeatures, PadsToThePowerOfTwoAtOrAboveTheLength) {
  const double rate = 2e6;
  // A line halfway between two bins of 4096 points is exactly bin 201 of 8192.
  const double freq = 201 * rate / 8192;
  TAEHitFeatures f4096, f4097;
  ExtractFeatures(Tone(4096, freq, rate, 8000), rate, 1e-6, 1e-4, f4096);
  ExtractFeatures(Tone(4097, freq, rate, 8000), rate, 1e-6, 1e-4, f4097);
  EXPECT_FLOAT_EQ(f4097.PeakFreqKHz, static_cast<float>(freq / 1000));
  const double bins4096 = f4096.PeakFreqKHz * 1000.0 / (rate / 4096);
  EXPECT_NEAR(bins4096, std::round(bins4096), 1e-3);  // on the 4096-point grid: not padded
  EXPECT_NE(f4096.PeakFreqKHz, f4097.PeakFreqKHz);
}

struct TClassifyCase {
  float PeakFreqKHz, RiseTimeUs;
  std::uint32_t Counts;
  float DurationUs, Tonality;
  std::uint8_t HitClass, SubCode;
  float Confidence;
};

TEST(Classify, WorkedResultsAndRules) {
  const TClassifyCase cases[] = {
      // The worked table for a 2048 µs window.
      {200, 10, 20, 200, 0.3f, 1, 0, 0.8687f},
      {60, 20, 30, 1900, 0.2f, 2, 0, 0.8662f},
      {60, 20, 30, 1900, 0.7f, 3, 1, 0.7000f},
      {30, 200, 5, 300, 0.2f, 0, 1, 0.9999f},
      {25, 1, 1, 0.5f, 0.9f, 0, 3, 0.9947f},
      // No counts: confident noise whatever else.
      {200, 10, 0, 1900, 0.9f, 0, 0, 0.9500f},
      // Tonality 1 is capped at 0.99.
      {60, 20, 30, 1900, 1.0f, 3, 1, 0.9900f},
      // Crack and leak both weak (d = 0.65): low confidence gives unknown, sub-code 0.
      {110, 10, 20, 1331.2f, 0.2f, 3, 0, 0.3524f},
      // Same but long and tonal: the override wins over the low-confidence rule.
      {110, 10, 20, 1474.56f, 0.65f, 3, 1, 0.6500f},
      {110, 10, 20, 1474.56f, 0.2f, 2, 0, 0.6591f},
      // Few counts and short: sub-code 3 even with low frequency and slow rise.
      {30, 200, 2, 4, 0.1f, 0, 3, 1.0000f},
      // Noise without a sub-code rule.
      {90, 60, 3, 100, 0.2f, 0, 0, 0.7988f},
  };
  for (const TClassifyCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.PeakFreqKHz << " kHz, " << c.RiseTimeUs << " us rise, " << c.Counts
                                    << " counts, " << c.DurationUs << " us, tonality " << c.Tonality);
    TAEHitFeatures f;
    f.PeakFreqKHz = c.PeakFreqKHz;
    f.RiseTimeUs = c.RiseTimeUs;
    f.Counts = c.Counts;
    f.DurationUs = c.DurationUs;
    f.Tonality = c.Tonality;
    std::uint8_t cls = 99, sub = 99;
    float conf = -1;
    f.Classify(2048, cls, sub, conf);
    EXPECT_EQ(cls, c.HitClass);
    EXPECT_EQ(sub, c.SubCode);
    EXPECT_NEAR(conf, c.Confidence, 5e-5);
  }
}

TEST(Sigmoid, IsLogisticClampedToFifty) {
  EXPECT_EQ(Sigmoid(0), 0.5);
  EXPECT_NEAR(Sigmoid(1), 1 / (1 + std::exp(-1.0)), 1e-15);
  EXPECT_NEAR(Sigmoid(-2) + Sigmoid(2), 1.0, 1e-15);
  EXPECT_EQ(Sigmoid(1000), Sigmoid(50));
  EXPECT_EQ(Sigmoid(-1000), Sigmoid(-50));
  EXPECT_GT(Sigmoid(-1000), 0.0);  // clamped: exp(1000) would overflow to a zero result
  EXPECT_LT(Sigmoid(-49), Sigmoid(-48));
}

TEST(FFT, MatchesADirectTransform) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> dist(-1, 1);
  for (std::size_t n = 1; n <= 1024; n *= 2) {
    SCOPED_TRACE(n);
    std::vector<double> re(n), im(n);
    for (std::size_t i = 0; i < n; ++i) {
      re[i] = dist(rng);
      im[i] = dist(rng);
    }
    std::vector<std::complex<double>> expected(n);
    double norm = 0;
    for (std::size_t k = 0; k < n; ++k) {
      std::complex<long double> sum = 0;
      for (std::size_t m = 0; m < n; ++m) {
        const long double angle = -2 * std::numbers::pi_v<long double> * static_cast<long double>((k * m) % n) / n;
        sum += std::complex<long double>(re[m], im[m]) * std::polar<long double>(1, angle);
      }
      expected[k] = std::complex<double>(sum);
      norm += std::norm(expected[k]);
    }
    FFT(re, im);
    double error = 0;
    for (std::size_t k = 0; k < n; ++k)
      error += std::norm(std::complex<double>(re[k], im[k]) - expected[k]);
    EXPECT_LE(std::sqrt(error), 1e-13 * std::sqrt(norm) * (1 + std::log2(static_cast<double>(n))));
  }
}

TEST(FFT, RejectsLengthsItCannotTransform) {
  std::vector<double> three(3), four(4), two(2), none;
  EXPECT_THROW(FFT(three, three), std::invalid_argument);
  EXPECT_THROW(FFT(four, two), std::invalid_argument);
  EXPECT_THROW(FFT(none, none), std::invalid_argument);
  std::vector<double> re{2.5}, im{-1};
  FFT(re, im);  // one point is its own transform
  EXPECT_EQ(re[0], 2.5);
  EXPECT_EQ(im[0], -1);
}

TEST(FFT, MatchesTheLiteralTransformBitForBit) {
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> dist(-1000, 1000);
  for (std::size_t n = 1; n <= 8192; n *= 2) {
    SCOPED_TRACE(n);
    for (int round = 0; round < 3; ++round) {
      std::vector<double> re(n), im(n);
      for (std::size_t i = 0; i < n; ++i) {
        re[i] = dist(rng);
        im[i] = round == 0 ? 0.0 : dist(rng);
      }
      std::vector<double> refRe = re, refIm = im;
      FFT(re, im);
      ReferenceFFT(refRe, refIm);
      ASSERT_EQ(0, std::memcmp(re.data(), refRe.data(), n * sizeof(double)));
      ASSERT_EQ(0, std::memcmp(im.data(), refIm.data(), n * sizeof(double)));
    }
  }
}

TEST(ExtractFeatures, MatchesTheReferenceBitForBit) {
  std::mt19937 rng(2026);
  const std::size_t lengths[] = {1, 2, 3, 1000, 4096, 4097, 8192};
  const int amplitudes[] = {0, 3, 40, 1000, 32767};
  const double thresholds[] = {1e-4, 5e-5, 0.0};
  int compared = 0;
  for (std::size_t n : lengths) {
    for (int round = 0; round < 40; ++round) {
      std::vector<std::int16_t> w(n);
      if (round % 2 == 0) {
        w = RandomWindow(rng, n, amplitudes[(round / 2) % 5]);
      } else {
        RandomSeed(static_cast<std::uint32_t>(n * 1000 + round));
        SynthesizeHit(static_cast<std::uint8_t>((round / 2) % 4), 2e6, 3.0517578125e-06, w);
      }
      const double rate = round % 3 == 0 ? 1e6 : 2e6;
      const double threshold = thresholds[round % 3];
      TAEHitFeatures fast, reference;
      ExtractFeatures(w, rate, 3.0517578125e-06, threshold, fast);
      ReferenceExtractFeatures(w, rate, 3.0517578125e-06, threshold, reference);
      ASSERT_EQ(Bits(fast), Bits(reference)) << "length " << n << ", round " << round;
      ++compared;
    }
  }
  EXPECT_EQ(compared, 280);
}

TEST(ExtractFeatures, GivesTheSameBitsFromManyThreadsAtOnce) {
  // Whatever the fast path keeps between calls must be safe and length-keyed.
  std::mt19937 rng(9);
  const std::size_t lengths[] = {4096, 4097, 1000, 8192, 3, 4096};
  std::vector<std::vector<std::int16_t>> windows;
  std::vector<std::string> expected;
  for (std::size_t n : lengths) {
    windows.push_back(RandomWindow(rng, n, 2000));
    TAEHitFeatures r;
    ReferenceExtractFeatures(windows.back(), 2e6, 3.0517578125e-06, 1e-4, r);
    expected.push_back(Bits(r));
  }
  std::vector<int> mismatches(windows.size(), 0);
  {
    std::vector<std::jthread> threads;
    for (std::size_t t = 0; t < windows.size(); ++t)
      threads.emplace_back([&, t] {
        for (int i = 0; i < 20; ++i) {
          TAEHitFeatures f;
          ExtractFeatures(windows[t], 2e6, 3.0517578125e-06, 1e-4, f);
          mismatches[t] += Bits(f) != expected[t];
        }
      });
  }
  for (std::size_t t = 0; t < windows.size(); ++t)
    EXPECT_EQ(mismatches[t], 0) << "length " << lengths[t];
}

namespace {

struct TClassCase {
  float DurationUs, Tonality, PeakFreqKHz;
  std::uint8_t Class, SubCode;
  float Confidence;
};

TEST(AudioHitClass, LongTonalWindowsAreUnknownAllElseNoise) {
  // 4096 samples at 48 kHz: 70 % of the window is 59733.33 us.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const TClassCase cases[] = {
      {60000, 0.995f, 1.0f, 3, 1, 0.99f},
      {60000, 0.8f, 1.0f, 3, 1, 0.8f},
      {60000, 0.6f, 1.0f, 3, 1, 0.6f},  // 0.6 in single precision lies above 0.6
      {60000, 0.59f, 1.0f, 0, 2, 1.0f},
      {59733, 0.995f, 1.0f, 0, 2, 1.0f},  // not above 70 % of the window
      {59734, 0.995f, 1.0f, 3, 1, 0.99f},
      {60000, 0.9f, 0.07f, 3, 1, 0.9f},   // 0.07 in single precision is above 0.07
      {60000, 0.9f, 0.069f, 0, 2, 1.0f},
      {nan, 0.9f, 1.0f, 0, 2, 1.0f},
      {60000, nan, 1.0f, 0, 2, 1.0f},
      {60000, 0.9f, nan, 0, 2, 1.0f},
  };
  for (const TClassCase& c : cases) {
    SCOPED_TRACE(std::to_string(c.DurationUs) + " us, tonality " + std::to_string(c.Tonality) + ", peak " +
                 std::to_string(c.PeakFreqKHz));
    TAEHitFeatures f;
    f.DurationUs = c.DurationUs;
    f.Tonality = c.Tonality;
    f.PeakFreqKHz = c.PeakFreqKHz;
    std::uint8_t cls = 99, sub = 99;
    float conf = -1;
    ClassifyAudioHit(f, 4096, 48000, cls, sub, conf);
    EXPECT_EQ(cls, c.Class);
    EXPECT_EQ(sub, c.SubCode);
    EXPECT_EQ(conf, c.Confidence);
  }
}

}  // namespace
