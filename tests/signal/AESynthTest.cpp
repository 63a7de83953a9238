#include "AESynth.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

#include "AEDsp.h"
#include "AERandom.h"
#include "AESynthReference.h"

namespace {

// Default settings: 2 MS/s, 4096 samples, 10 V full scale at 40 dB preamp, 40 dB threshold.
constexpr double kRate = 2e6;
constexpr std::size_t kSamples = 4096;
constexpr double kVoltsPerCount = 3.0517578125e-06;
constexpr double kThresholdV = 1e-4;
const char* const kClassNames[] = {"noise", "crack", "leak", "unknown"};

std::vector<std::int16_t> Synthesize(std::uint8_t hitClass, std::uint32_t seed, std::size_t n = kSamples,
                                     double voltsPerCount = kVoltsPerCount) {
  RandomSeed(seed);
  std::vector<std::int16_t> w(n, 12345);
  SynthesizeHit(hitClass, kRate, voltsPerCount, w);
  return w;
}

// An independent copy of the generator's step, to predict draws without touching it.
std::uint32_t Advance(std::uint32_t state, std::uint64_t steps) {
  for (std::uint64_t i = 0; i < steps; ++i)
    state = state * 134775813u + 1u;
  return state;
}

double UniformAfter(std::uint32_t seed, std::uint64_t steps) { return Advance(seed, steps) * 0x1p-32; }

// A seed whose noise hit takes the spike branch (selector < 0.3) or the burst branch.
std::uint32_t NoiseSeed(std::size_t n, bool spike) {
  for (std::uint32_t seed = 1;; ++seed)
    if ((UniformAfter(seed, 2 * n + 1) < 0.3) == spike)
      return seed;
}

}  // namespace

TEST(SynthesizeHit, SameStateGivesTheSameWindowAndAnotherStateAnother) {
  for (std::uint8_t cls = 0; cls < 4; ++cls) {
    SCOPED_TRACE(kClassNames[cls]);
    const auto a = Synthesize(cls, 4711);
    const std::uint32_t after = RandomState();
    const auto b = Synthesize(cls, 4711);
    EXPECT_EQ(a, b);
    EXPECT_EQ(RandomState(), after);
    const auto c = Synthesize(cls, 4712);
    EXPECT_NE(a, c);
  }
}

TEST(SynthesizeHit, TakesTheDocumentedNumberOfDraws) {
  const std::size_t n = 100;
  const std::uint64_t background = 2 * n;
  struct TDraws {
    std::uint8_t HitClass;
    std::uint32_t Seed;
    std::uint64_t Draws;
  };
  const TDraws cases[] = {
      {1, 1, background + 4 + 2},                                   // four values, two phases
      {2, 1, background + 1 + 48 * 3 + 2 * n},                      // level, tones, one normal per sample
      {3, 1, background + 1 + 2},                                   // level, carrier, phase
      {0, NoiseSeed(n, true), background + 1 + 2},                  // selector, level, position
      {0, NoiseSeed(n, false), background + 1 + 4 + 2},             // selector, four values, two phases
      {200, NoiseSeed(n, false), background + 1 + 4 + 2},           // unknown codes are noise
  };
  for (const TDraws& c : cases) {
    SCOPED_TRACE(testing::Message() << "class " << int(c.HitClass) << ", seed " << c.Seed);
    Synthesize(c.HitClass, c.Seed, n);
    EXPECT_EQ(RandomState(), Advance(c.Seed, c.Draws));
  }
}

TEST(SynthesizeHit, StaysWithinOneCountOfTheDirectEvaluation) {
  for (std::uint8_t cls = 0; cls < 4; ++cls) {
    for (std::size_t n : {kSamples, std::size_t{8192}, std::size_t{100}, std::size_t{17}, std::size_t{2}}) {
      for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(testing::Message() << kClassNames[cls] << ", " << n << " samples, seed " << seed);
        const auto fast = Synthesize(cls, seed, n);
        const std::uint32_t after = RandomState();
        RandomSeed(seed);
        const std::vector<double> volts = ReferenceSynthesizeVolts(cls, kRate, n);
        ASSERT_EQ(RandomState(), after);  // same draws, same order
        int worst = 0;
        for (std::size_t i = 0; i < n; ++i) {
          const double exact = std::clamp(std::nearbyint(volts[i] / kVoltsPerCount), -32768.0, 32767.0);
          worst = std::max(worst, static_cast<int>(std::fabs(fast[i] - exact)));
        }
        EXPECT_LE(worst, 1);
      }
    }
  }
}

TEST(SynthesizeHit, DefaultSettingsGiveUnclippedHitsOfTheDrawnClass) {
  // Measured with these seeds: noise 100 %, crack 100 %, leak 100 %, foreign tone 100 %
  // of 200 hits each. The bound leaves room for a model change, not for a broken one.
  const int hits = 200;
  double backgroundSquares = 0;
  std::size_t backgroundSamples = 0;
  for (std::uint8_t cls = 0; cls < 4; ++cls) {
    SCOPED_TRACE(kClassNames[cls]);
    int right = 0;
    for (int h = 0; h < hits; ++h) {
      const auto w = Synthesize(cls, 1000u + h * 7919u);
      const auto [lo, hi] = std::minmax_element(w.begin(), w.end());
      ASSERT_GT(*lo, -32768);
      ASSERT_LT(*hi, 32767);
      TAEHitFeatures f;
      ExtractFeatures(w, kRate, kVoltsPerCount, kThresholdV, f);
      std::uint8_t got = 0, sub = 0;
      float confidence = 0;
      f.Classify(kSamples / kRate * 1e6, got, sub, confidence);
      right += got == cls;
      if (cls <= 1) {  // noise and crack leave the samples before the onset alone
        for (std::size_t i = 0; i < kSamples / 16; ++i)
          backgroundSquares += static_cast<double>(w[i]) * w[i];
        backgroundSamples += kSamples / 16;
      }
    }
    EXPECT_GE(right, hits * 85 / 100) << right << " of " << hits;
  }
  // 25 dB re 1 µV = 17.78 µV = 5.83 counts standard deviation (plus rounding, 1/12 count²).
  const double rms = std::sqrt(backgroundSquares / backgroundSamples);
  EXPECT_NEAR(rms, std::sqrt(5.8264 * 5.8264 + 1.0 / 12), 0.1);
}

TEST(SynthesizeHit, BurstStartsAtTheOnsetAndEndsWhenItHasDecayed) {
  const std::uint32_t seed = 77;
  const auto hit = Synthesize(1, seed);
  // The same background without any signal: replay the first 2n draws.
  RandomSeed(seed);
  std::vector<std::int16_t> background(kSamples);
  for (auto& s : background)
    s = VoltsToCounts(DbToVolts(25) * RandomNormal(), kVoltsPerCount);
  RandomUniform(55, 85);
  RandomUniform(150000, 300000);
  const double riseUs = RandomUniform(2, 20);
  const double decayUs = RandomUniform(30, 150);
  const std::size_t onset = kSamples / 16;
  const auto end = onset + static_cast<std::size_t>(std::ceil((riseUs + decayUs * std::log(1e4)) * 1e-6 * kRate));
  ASSERT_LT(end, kSamples);
  for (std::size_t i = 0; i < kSamples; ++i) {
    if (i <= onset || i > end) {
      ASSERT_EQ(hit[i], background[i]) << "sample " << i;
    }
  }
  EXPECT_NE(std::vector(hit.begin() + onset + 1, hit.begin() + onset + 20),
            std::vector(background.begin() + onset + 1, background.begin() + onset + 20));
}

TEST(SynthesizeHit, SpikeFitsEveryWindowAndSkipsWhenThereIsNoRoom) {
  // Two samples: the spike takes both.
  const auto two = Synthesize(0, NoiseSeed(2, true), 2);
  EXPECT_GT(two[0], 90);  // at least 50 dB re 1 µV = 104 counts, background aside
  EXPECT_LT(two[1], -50);
  // Longer windows: the spike lies between the onset and the third-last sample.
  for (std::size_t n : {std::size_t{3}, std::size_t{16}, std::size_t{40}}) {
    SCOPED_TRACE(n);
    int spikes = 0;
    for (std::uint32_t seed = 1; spikes < 30; ++seed) {
      if (UniformAfter(seed, 2 * n + 1) >= 0.3)
        continue;
      ++spikes;
      const auto w = Synthesize(0, seed, n);
      const auto j = static_cast<std::size_t>(std::max_element(w.begin(), w.end()) - w.begin());
      EXPECT_GT(w[j], 90);
      EXPECT_GE(j, n / 16);
      ASSERT_LE(j, n - 3);
      EXPECT_LT(w[j + 1], -50);
    }
  }
  // Zero or one sample: no room, background only, and nothing written outside.
  for (std::size_t n : {std::size_t{0}, std::size_t{1}}) {
    const std::uint32_t seed = NoiseSeed(n, true);
    const auto w = Synthesize(0, seed, n);
    EXPECT_EQ(RandomState(), Advance(seed, 2 * n + 3));
    for (std::int16_t s : w)
      EXPECT_LT(std::abs(s), 60);  // ten standard deviations of the background
  }
}

TEST(VoltsToCounts, RoundsHalvesToEvenAndSaturates) {
  const struct {
    double Counts;
    std::int16_t Expected;
  } cases[] = {{0.5, 0},       {1.5, 2},          {-2.5, -2},         {2.4999, 2},     {-0.5, 0},
               {32766.5, 32766}, {32767.5, 32767}, {40000, 32767},    {1e300, 32767},  {-32768.5, -32768},
               {-40000, -32768}, {-1e300, -32768}, {std::numeric_limits<double>::quiet_NaN(), 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Counts);
    EXPECT_EQ(VoltsToCounts(c.Counts * 0.25, 0.25), c.Expected);
  }
}

TEST(SynthesizeHit, LoudCrackSaturatesInsteadOfWrapping) {
  const double tinyVoltsPerCount = 1e-9;  // 85 dB would be 17.8 million counts
  const std::uint32_t seed = 31;
  const auto w = Synthesize(1, seed, kSamples, tinyVoltsPerCount);
  RandomSeed(seed);
  const auto volts = ReferenceSynthesizeVolts(1, kRate, kSamples);
  int clippedHigh = 0, clippedLow = 0;
  for (std::size_t i = 0; i < kSamples; ++i) {
    const double counts = volts[i] / tinyVoltsPerCount;
    if (counts > 40000) {
      ASSERT_EQ(w[i], 32767) << i;
      ++clippedHigh;
    } else if (counts < -40000) {
      ASSERT_EQ(w[i], -32768) << i;
      ++clippedLow;
    }
  }
  EXPECT_GT(clippedHigh, 10);
  EXPECT_GT(clippedLow, 10);
}

TEST(SynthesizerParts, LeakPeaksAtItsLevelToneStaysBelowBurstStartsAtZero) {
  RandomSeed(5);
  std::vector<double> leak(kSamples, 0.0);
  AddLeakNoise(leak, kRate, 2e-4);
  double peak = 0;
  for (double v : leak)
    peak = std::max(peak, std::fabs(v));
  EXPECT_NEAR(peak, 2e-4, 2e-4 * 1e-12);

  std::vector<double> tone(kSamples, 0.0);
  AddForeignTone(tone, kRate, 3e-4);
  peak = 0;
  for (double v : tone)
    peak = std::max(peak, std::fabs(v));
  EXPECT_LE(peak, 3e-4 * (1 + 1e-12));
  EXPECT_GT(peak, 3e-4 * 0.7);

  for (bool harmonic : {false, true}) {
    std::vector<double> burst(200, 0.0);
    AddBurst(burst, 50, kRate, 1e-3, 100000, 10e-6, 20e-6, harmonic);
    for (std::size_t i = 0; i <= 50; ++i)
      ASSERT_EQ(burst[i], 0.0) << i;  // before the start, and zero envelope at the start
    EXPECT_NE(burst[51], 0.0);
    // Starting before the buffer only runs the part inside it.
    std::vector<double> early(100, 0.0);
    AddBurst(early, -50, kRate, 1e-3, 100000, 10e-6, 20e-6, harmonic);
    EXPECT_NE(early[0], 0.0);
  }
}

TEST(RandomDraws, NormalUsesRadiusThenAngleAndLevelsAreDecibels) {
  RandomSeed(123);
  const double u1 = UniformAfter(123, 1), u2 = UniformAfter(123, 2);
  EXPECT_EQ(RandomNormal(), std::sqrt(-2 * std::log(1 - u1)) * std::cos(2 * std::numbers::pi * u2));
  RandomSeed(123);
  EXPECT_EQ(RandomUniform(20, 30), 20 + u1 * 10);
  EXPECT_NEAR(DbToVolts(25), 17.7827941e-6, 1e-12);
  EXPECT_NEAR(DbToVolts(0), 1e-6, 1e-20);
  EXPECT_NEAR(DbToVolts(60), 1e-3, 1e-15);

  double sum = 0, squares = 0;
  RandomSeed(99);
  const int draws = 100000;
  for (int i = 0; i < draws; ++i) {
    const double x = RandomNormal();
    sum += x;
    squares += x * x;
  }
  EXPECT_NEAR(sum / draws, 0, 0.02);
  EXPECT_NEAR(squares / draws, 1, 0.02);
}
