// Feature extraction, FFT and synthesiser speed. Peers in the same run: FFTW's forward
// complex double FFT (planned once, FFTW_MEASURE) beside our FFT, and the literal
// reference transcription beside the production feature extraction.
#include <benchmark/benchmark.h>
#include <fftw3.h>

#include <random>
#include <vector>

#include "AEDsp.h"
#include "AEDspReference.h"
#include "AERandom.h"
#include "AESynth.h"

namespace {

constexpr double kRate = 2e6;
constexpr double kVoltsPerCount = 3.0517578125e-06;
constexpr double kThresholdV = 1e-4;

std::vector<double> RandomReals(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> dist(-1, 1);
  std::vector<double> v(n);
  for (double& x : v)
    x = dist(rng);
  return v;
}

// A crack hit: the windows the agent measures most of the time look like this.
std::vector<std::int16_t> Hit(std::size_t n) {
  RandomSeed(1234);
  std::vector<std::int16_t> w(n);
  SynthesizeHit(1, kRate, kVoltsPerCount, w);
  return w;
}

void BM_FFT(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::vector<double> re0 = RandomReals(n, 1), im0 = RandomReals(n, 2);
  std::vector<double> re = re0, im = im0;
  for (auto _ : state) {
    // Copying back keeps the values bounded; FFTW's loop does the same copy.
    std::copy(re0.begin(), re0.end(), re.begin());
    std::copy(im0.begin(), im0.end(), im.begin());
    FFT(re, im);
    benchmark::DoNotOptimize(re.data());
    benchmark::DoNotOptimize(im.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_FFTW(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  auto* in = fftw_alloc_complex(static_cast<std::size_t>(n));
  auto* out = fftw_alloc_complex(static_cast<std::size_t>(n));
  const fftw_plan plan = fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_MEASURE);
  const std::vector<double> re0 = RandomReals(n, 1), im0 = RandomReals(n, 2);
  for (auto _ : state) {
    for (int i = 0; i < n; ++i) {
      in[i][0] = re0[i];
      in[i][1] = im0[i];
    }
    fftw_execute(plan);
    benchmark::DoNotOptimize(out);
  }
  fftw_destroy_plan(plan);
  fftw_free(in);
  fftw_free(out);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}

void BM_ExtractFeatures(benchmark::State& state) {
  const auto w = Hit(static_cast<std::size_t>(state.range(0)));
  TAEHitFeatures f;
  for (auto _ : state) {
    ExtractFeatures(w, kRate, kVoltsPerCount, kThresholdV, f);
    benchmark::DoNotOptimize(f);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_ReferenceExtractFeatures(benchmark::State& state) {
  const auto w = Hit(static_cast<std::size_t>(state.range(0)));
  TAEHitFeatures f;
  for (auto _ : state) {
    ReferenceExtractFeatures(w, kRate, kVoltsPerCount, kThresholdV, f);
    benchmark::DoNotOptimize(f);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Classify(benchmark::State& state) {
  TAEHitFeatures f;
  ExtractFeatures(Hit(4096), kRate, kVoltsPerCount, kThresholdV, f);
  std::uint8_t hitClass = 0, subCode = 0;
  float confidence = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(f);
    f.Classify(2048, hitClass, subCode, confidence);
    benchmark::DoNotOptimize(confidence);
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_SynthesizeHit(benchmark::State& state) {
  const auto hitClass = static_cast<std::uint8_t>(state.range(0));
  std::vector<std::int16_t> w(4096);
  RandomSeed(42);
  for (auto _ : state) {
    SynthesizeHit(hitClass, kRate, kVoltsPerCount, w);
    benchmark::DoNotOptimize(w.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(hitClass == 0 ? "noise" : hitClass == 1 ? "crack" : hitClass == 2 ? "leak" : "unknown");
}

}  // namespace

BENCHMARK(BM_FFT)->Arg(4096)->Arg(8192);
BENCHMARK(BM_FFTW)->Arg(4096)->Arg(8192);
BENCHMARK(BM_ExtractFeatures)->Arg(4096)->Arg(8192);
BENCHMARK(BM_ReferenceExtractFeatures)->Arg(4096)->Arg(8192);
BENCHMARK(BM_Classify);
BENCHMARK(BM_SynthesizeHit)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
