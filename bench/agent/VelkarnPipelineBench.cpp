// Simulated hits per second on one core: the whole road of a hit (synthesis, features,
// classifier, hit file in a temp folder, UDP datagram to 127.0.0.1) beside its parts
// done bare: the signal work alone, the hit file written under its temporary name and
// renamed, and the datagram. Default window (4096 samples at 2 MHz). Targets: at least
// 2,000 whole hits per second, and a whole hit within 1.25 times the sum of its parts
// (the last row takes the two in turns, so that the disk's drift cannot tell them apart).
// On ext4 a file create costs more for seconds after many files were deleted (the
// inode allocator skips recently freed inodes): the folders are removed only at exit,
// so that no row pays for the clean-up of the one before.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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

// A new folder below the temp folder per benchmark run, removed at exit.
fs::path BenchFolder(const std::string& kind) {
  struct TFolders {
    std::vector<fs::path> All;
    ~TFolders() {
      for (const fs::path& p : All) fs::remove_all(p);
    }
  };
  static TFolders folders;
  const fs::path dir = fs::temp_directory_path() / ("velkarn_bench_" + kind + "_" + std::to_string(::getpid()) +
                                                    "_" + std::to_string(folders.All.size()));
  fs::create_directories(dir);
  folders.All.push_back(dir);
  return dir;
}

// One channel, no timed hits (the benchmark makes them), records to the sink.
void WriteAgentIni(const fs::path& dir, std::uint16_t udpPort) {
  std::ofstream ini(dir / "v.ini");
  ini << "[Agent]\nChannels=1\nHitsPerSecPerChannel=0\nDataRoot=" << (dir / "Data").string()
      << "\n[Network]\nUdpHost=127.0.0.1\nUdpPort=" << udpPort << "\n";
}

void BM_WholeHit(benchmark::State& state) {
  const fs::path dir = BenchFolder("whole");
  TBenchUdpSink sink;
  WriteAgentIni(dir, sink.Port);
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
}
BENCHMARK(BM_WholeHit)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The ceiling of the file part: a bare create, two writes and close of a hit-file-sized
// file per hit in the same temp folder, new names each time, no temp-and-rename.
void BM_PlainFileCeiling(benchmark::State& state) {
  const fs::path dir = BenchFolder("plain");
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
}
BENCHMARK(BM_PlainFileCeiling)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The hit file as it must be written, bare: under its temporary name, two writes,
// close, then renamed into place; new names each time in one folder, as one channel's
// hits within an hour are.
class TBareHitFile {
 public:
  TBareHitFile() : FDir(BenchFolder("hit")), FHead(88, 'h'), FBody(8192, 's') {}
  void Write() {
    const std::string path = (FDir / (std::to_string(++FCount) + ".aeh")).string();
    const std::string temp = path + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    benchmark::DoNotOptimize(::write(fd, FHead.data(), FHead.size()));
    benchmark::DoNotOptimize(::write(fd, FBody.data(), FBody.size()));
    ::close(fd);
    benchmark::DoNotOptimize(::rename(temp.c_str(), path.c_str()));
  }

 private:
  fs::path FDir;
  std::vector<char> FHead, FBody;
  std::int64_t FCount = 0;
};

// One 76-byte datagram to 127.0.0.1 on a socket kept open, bare.
class TBareUdpSend {
 public:
  TBareUdpSend() : FFd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)), FRecord(76, 0x5a) {
    FTo.sin_family = AF_INET;
    FTo.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FTo.sin_port = htons(FSink.Port);
  }
  ~TBareUdpSend() { ::close(FFd); }
  void Send() {
    benchmark::DoNotOptimize(
        ::sendto(FFd, FRecord.data(), FRecord.size(), 0, reinterpret_cast<const sockaddr*>(&FTo), sizeof FTo));
  }

 private:
  TBenchUdpSink FSink;
  int FFd;
  sockaddr_in FTo{};
  std::vector<std::uint8_t> FRecord;
};

// Synthesis, features and classifier of one hit, cycling through the four classes.
class TBareSignal {
 public:
  TBareSignal() : FWindow(4096) { RandomSeed(1); }
  void Hit() {
    const double rate = 2000000;
    const double voltsPerCount = 10.0 / 32768 / 100;  // defaults: 10 V full scale, 40 dB
    const double thresholdV = 100e-6;                 // 40 dB re 1 uV
    SynthesizeHit(FTruth, rate, voltsPerCount, FWindow);
    TAEHitFeatures f;
    ExtractFeatures(FWindow, rate, voltsPerCount, thresholdV, f);
    std::uint8_t cls = 0, sub = 0;
    float conf = 0;
    f.Classify(4096 / rate * 1e6, cls, sub, conf);
    benchmark::DoNotOptimize(conf);
    FTruth = static_cast<std::uint8_t>((FTruth + 1) % 4);
  }

 private:
  std::vector<std::int16_t> FWindow;
  std::uint8_t FTruth = 0;
};

void BM_HitFileCeiling(benchmark::State& state) {
  TBareHitFile file;
  for (auto _ : state) file.Write();
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("ceiling: hit file under its temporary name + rename");
}
BENCHMARK(BM_HitFileCeiling)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_UdpSendCeiling(benchmark::State& state) {
  TBareUdpSend udp;
  for (auto _ : state) udp.Send();
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("ceiling: bare UDP send of one hit record");
}
BENCHMARK(BM_UdpSendCeiling)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

void BM_SignalOnly(benchmark::State& state) {
  TBareSignal signal;
  for (auto _ : state) signal.Hit();
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("peer: synthesis + features + classifier alone");
}
BENCHMARK(BM_SignalOnly)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The three parts above back to back, in one loop: their sum measured directly, under
// the same state of the disk as the whole hit beside it. Target: whole hit <= 1.25 x.
void BM_PartsAddedUp(benchmark::State& state) {
  TBareSignal signal;
  TBareHitFile file;
  TBareUdpSend udp;
  for (auto _ : state) {
    signal.Hit();
    file.Write();
    udp.Send();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("ceiling: signal + hit file + UDP send, bare");
}
BENCHMARK(BM_PartsAddedUp)->Unit(benchmark::kMicrosecond)->MinTime(2.0);

// The whole hit and its bare parts taken in turns, hit by hit, so that both meet the
// same state of the disk, whose cost of a file create drifts from second to second on
// a shared machine; parts_share is the sum of the parts' times over the whole hit's
// (the whole hit's rate as a share of the parts' rate; target >= 0.8).
void BM_WholeHitBesideParts(benchmark::State& state) {
  const fs::path dir = BenchFolder("turns");
  TBenchUdpSink sink;
  WriteAgentIni(dir, sink.Port);
  TBareSignal signal;
  TBareHitFile file;
  TBareUdpSend udp;
  std::chrono::steady_clock::duration whole{}, parts{};
  {
    TVelkarn agent((dir / "v.ini").string());
    TVelkarnProbe probe(agent);
    for (auto _ : state) {
      const auto t0 = std::chrono::steady_clock::now();
      probe.SimulateHit(1);
      const auto t1 = std::chrono::steady_clock::now();
      signal.Hit();
      file.Write();
      udp.Send();
      parts += std::chrono::steady_clock::now() - t1;
      whole += t1 - t0;
    }
  }
  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  const double wholeUs = std::chrono::duration<double, std::micro>(whole).count() / n;
  const double partsUs = std::chrono::duration<double, std::micro>(parts).count() / n;
  state.counters["whole_us"] = wholeUs;
  state.counters["parts_us"] = partsUs;
  state.counters["parts_share"] = wholeUs > 0 ? partsUs / wholeUs : 0;
  state.SetLabel("whole hit and bare parts in turns; target parts_share >= 0.8");
}
BENCHMARK(BM_WholeHitBesideParts)->Unit(benchmark::kMicrosecond)->MinTime(4.0);

}  // namespace

BENCHMARK_MAIN();
