// The sound-card trigger's cost on one core: samples per second through the trigger at
// 192 kHz in the input's 1024-sample buffers, with no trigger at all and with a hit
// every 10 ms (each hit with its features, hit file and datagram), reported as a
// multiple of real time (target: at least 100x). Beside them the ceilings: a bare copy
// of the same buffers (the least any per-sample pass costs) and the hits' output alone,
// without the trigger around it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "../common/AEBenchUdpSink.h"
#include "VelkarnCore.h"

namespace fs = std::filesystem;

class TVelkarnAudioProbe {
 public:
  explicit TVelkarnAudioProbe(TVelkarn& agent) : FAgent(agent) { FAgent.ResetTrigger(); }
  void Process(const std::int16_t* s, std::int32_t n) { FAgent.ProcessSamples(s, n); }
  void EmitAudioHit() { FAgent.EmitAudioHit(); }

 private:
  TVelkarn& FAgent;
};

namespace {

constexpr std::int32_t kRate = 192000;
constexpr std::int32_t kBuffer = 1024;
constexpr std::size_t kSecond = kRate;
constexpr std::size_t kHitEvery = kRate / 100;  // 10 ms

// Where the hit files go: the temp folder on disk, or memory (/dev/shm), which shows
// how much of a hit's cost is the file system's.
fs::path BenchFolder(bool inMemory) {
  const fs::path base = inMemory ? fs::path("/dev/shm") : fs::temp_directory_path();
  return base / ("velkarn_trigger_bench_" + std::to_string(::getpid()));
}

// An audio-mode agent at 192 kHz: a 1024-sample window with 256 before the trigger,
// no dead time, the default level of 33 counts.
struct TBenchAgent {
  fs::path Dir;
  TBenchUdpSink Sink;
  std::unique_ptr<TVelkarn> Agent;
  std::unique_ptr<TVelkarnAudioProbe> Probe;
  explicit TBenchAgent(bool inMemory) : Dir(BenchFolder(inMemory)) {
    fs::create_directories(Dir);
    std::ofstream(Dir / "v.ini") << "[Agent]\nSource=audio\nSampleRateHz=" << kRate
                                 << "\nSamplesPerHit=1024\nDataRoot=" << (Dir / "Data").string()
                                 << "\n[Audio]\nPreTriggerSamples=256\nDeadTimeMs=0\n[Network]\nUdpHost=127.0.0.1\nUdpPort="
                                 << Sink.Port << "\n";
    Agent = std::make_unique<TVelkarn>((Dir / "v.ini").string());
    Probe = std::make_unique<TVelkarnAudioProbe>(*Agent);
  }
  ~TBenchAgent() {
    Probe.reset();
    Agent.reset();
    std::error_code ec;
    fs::remove_all(Dir, ec);
  }
};

// One second of quiet noise (|s| <= 32); with hits, a decaying click every 10 ms.
std::vector<std::int16_t> Stream(bool hits) {
  std::vector<std::int16_t> s(kSecond);
  std::uint32_t x = 1;
  for (auto& v : s) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<std::int16_t>(static_cast<std::int32_t>((x >> 8) % 65) - 32);
  }
  if (hits)
    for (std::size_t at = 0; at + 200 < s.size(); at += kHitEvery)
      for (std::size_t k = 0; k < 200; ++k)
        s[at + k] = static_cast<std::int16_t>(std::lround(12000 * std::exp(-static_cast<double>(k) / 40)));
  return s;
}

void Report(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kSecond));
  // Seconds of sound per second of work.
  state.counters["xRealTime"] =
      benchmark::Counter(static_cast<double>(kSecond) / kRate, benchmark::Counter::kIsIterationInvariantRate);
}

void RunTrigger(benchmark::State& state, bool hits) {
  TBenchAgent b(state.range(0) != 0);
  const std::vector<std::int16_t> s = Stream(hits);
  for (auto _ : state) {
    for (std::size_t at = 0; at < s.size(); at += kBuffer)
      b.Probe->Process(s.data() + at, static_cast<std::int32_t>(std::min<std::size_t>(kBuffer, s.size() - at)));
    benchmark::ClobberMemory();
  }
  Report(state);
}

void BM_TriggerQuiet(benchmark::State& state) { RunTrigger(state, false); }
void BM_TriggerHitEvery10ms(benchmark::State& state) { RunTrigger(state, true); }

// Ceiling of the quiet case: the same buffers copied, nothing looked at.
void BM_CeilingBareCopy(benchmark::State& state) {
  const std::vector<std::int16_t> s = Stream(false);
  std::vector<std::int16_t> ring(kBuffer);
  for (auto _ : state) {
    for (std::size_t at = 0; at < s.size(); at += kBuffer) {
      std::memcpy(ring.data(), s.data() + at, std::min<std::size_t>(kBuffer, s.size() - at) * 2);
      benchmark::DoNotOptimize(ring.data());
    }
    benchmark::ClobberMemory();
  }
  Report(state);
}

// Ceiling of the hit case: one second's 100 hits emitted alone, with no trigger.
void BM_CeilingHitOutputOnly(benchmark::State& state) {
  TBenchAgent b(state.range(0) != 0);
  const std::vector<std::int16_t> s = Stream(true);
  b.Probe->Process(s.data(), static_cast<std::int32_t>(kHitEvery));  // a real click in the window
  for (auto _ : state)
    for (std::size_t h = 0; h < kSecond / kHitEvery; ++h) b.Probe->EmitAudioHit();
  Report(state);
}

// Argument: 0 = hit files on disk, 1 = in memory.
BENCHMARK(BM_TriggerQuiet)->Arg(0)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CeilingBareCopy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TriggerHitEvery10ms)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CeilingHitOutputOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
