// Simulated hits per second on one core: the whole road of a hit (synthesis, features,
// classifier, hit file in a temp folder, UDP datagram to 127.0.0.1) beside the signal
// work alone, so that the share of the file and the datagram shows. Default window
// (4096 samples at 2 MHz). Target: at least 2,000 whole hits per second.
#include <fcntl.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "AEDsp.h"
#include "AERandom.h"
#include "AESynth.h"
#include "../common/AEBenchUdpSink.h"
#include "VelkarnCore.h"

namespace fs = std::filesystem;

class TVelkarnProbe {
 public:
  explicit TVelkarnProbe(TVelkarn& agent) : FAgent(agent) {}
  void SimulateHit(int ch) { FAgent.SimulateHit(ch); }

 private:
  TVelkarn& FAgent;
};

namespace {

void BM_WholeHit(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("velkarn_bench_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  TBenchUdpSink sink;
  {
    std::ofstream ini(dir / "v.ini");
    ini << "[Agent]\nChannels=1\nHitsPerSecPerChannel=0\nDataRoot=" << (dir / "Data").string()
        << "\n[Network]\nUdpHost=127.0.0.1\nUdpPort=" << sink.Port << "\n";
  }
  {
    TVelkarn agent((dir / "v.ini").string());
    TVelkarnProbe probe(agent);
    RandomSeed(1);
    for (auto _ : state) probe.SimulateHit(1);
    const TAEStats s = agent.Stats();
    state.counters["file_errors"] = static_cast<double>(s.FileErrors);
    state.counters["udp_errors"] = static_cast<double>(s.UdpErrors);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("target >= 2000 hits/s");
  fs::remove_all(dir);
}
BENCHMARK(BM_WholeHit)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The ceiling of the file part: a bare create, two writes and close of a hit-file-sized
// file per hit in the same temp folder, new names each time, no temp-and-rename.
void BM_PlainFileCeiling(benchmark::State& state) {
  const fs::path dir = fs::temp_directory_path() / ("velkarn_bench_plain_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::vector<char> head(88, 'h');
  const std::vector<char> body(8192, 's');
  std::int64_t n = 0;
  for (auto _ : state) {
    const std::string path = (dir / (std::to_string(++n) + ".aeh")).string();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    benchmark::DoNotOptimize(::write(fd, head.data(), head.size()));
    benchmark::DoNotOptimize(::write(fd, body.data(), body.size()));
    ::close(fd);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("ceiling: bare file create+write+close");
  fs::remove_all(dir);
}
BENCHMARK(BM_PlainFileCeiling)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_SignalOnly(benchmark::State& state) {
  const double rate = 2000000;
  const double voltsPerCount = 10.0 / 32768 / 100;  // defaults: 10 V full scale, 40 dB
  const double thresholdV = 100e-6;                 // 40 dB re 1 uV
  std::vector<std::int16_t> window(4096);
  RandomSeed(1);
  std::uint8_t truth = 0;
  for (auto _ : state) {
    SynthesizeHit(truth, rate, voltsPerCount, window);
    TAEHitFeatures f;
    ExtractFeatures(window, rate, voltsPerCount, thresholdV, f);
    std::uint8_t cls = 0, sub = 0;
    float conf = 0;
    f.Classify(4096 / rate * 1e6, cls, sub, conf);
    benchmark::DoNotOptimize(conf);
    truth = static_cast<std::uint8_t>((truth + 1) % 4);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("peer: synthesis + features + classifier alone");
}
BENCHMARK(BM_SignalOnly)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
