// Wave-server load: collectors fetching 4096-sample hit files from a running server on
// 127.0.0.1, over 1 and 8 connections at once, beside two ceilings: the same process
// reading the same files straight from disk on as many threads, and, for one
// connection, a bare loopback peer answering the same 24-byte requests with a reply of
// the same size from memory, alone and after a read of the same file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "AEFileSystem.h"
#include "AEProtocol.h"
#include "AEWaveServer.h"
#include "AEBareLoopback.h"
#include "common/AETestTcpClient.h"

namespace {

constexpr std::uint16_t kAgent = 7;
constexpr int kFiles = 256;
constexpr std::size_t kSamples = 4096;
constexpr std::int64_t kHitTime = 134'000'000'000'000'000;  // an hour in 2025

std::string HitFile(std::uint32_t seq) {
  TAEHitRecord r{};
  r.AgentId = kAgent;
  r.Channel = 1;
  r.Seq = seq;
  r.FileTime = kHitTime;
  r.SampleCount = kSamples;
  InitHitRecord(r);
  std::string bytes(88 + 2 * kSamples, '\0');
  std::memcpy(bytes.data(), "AEW1", 4);
  std::memcpy(bytes.data() + 4, &r, sizeof r);
  for (std::size_t i = 0; i < kSamples; ++i) {
    const auto s = static_cast<std::int16_t>((i * 37) % 2000 - 1000);
    std::memcpy(bytes.data() + 88 + 2 * i, &s, 2);
  }
  return bytes;
}

// One data root with kFiles hit files and one server on it, for the whole run.
struct TFixture {
  TFixture() {
    Root = (std::filesystem::temp_directory_path() / ("velkarn_wave_bench_" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()))).string();
    Settings.AgentId = kAgent;
    Settings.DataRoot = Root;
    for (int seq = 1; seq <= kFiles; ++seq) {
      const std::string path = HitFileName(Root, 1, kHitTime, static_cast<std::uint32_t>(seq));
      ForceDirectories(ExtractFilePath(path));
      WriteWholeFile(path, HitFile(static_cast<std::uint32_t>(seq)));
      Paths.push_back(path);
    }
    Server = std::make_unique<TAEWaveServer>(Settings, Requests, Served);
    Server->Activate(0);
  }
  ~TFixture() {
    Server->Deactivate();
    std::error_code ec;
    std::filesystem::remove_all(Root, ec);
  }
  std::string Root;
  TAESettings Settings;
  std::vector<std::string> Paths;
  std::atomic<std::int64_t> Requests{0}, Served{0};
  std::unique_ptr<TAEWaveServer> Server;
};

TFixture& Fixture() {
  static TFixture f;
  return f;
}

std::string Request(std::uint32_t seq) {
  TAEWaveRequest r{};
  r.Magic = kWaveRequestMagic;
  r.AgentId = kAgent;
  r.Channel = 1;
  r.Seq = seq;
  r.FileTime = kHitTime;
  return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

constexpr std::size_t kReplySize = 12 + 88 + 2 * kSamples;

// One request and its whole reply; false for a short reply or one that is not "found".
bool FetchOne(TAETestTcpClient& client, const std::string& request) {
  client.Send(request);
  const std::string reply = client.Receive(kReplySize, std::chrono::seconds(10));
  return reply.size() == kReplySize && reply[4] == 0;
}

// The same client loop for the server and the bare peer.
void FetchLoop(benchmark::State& state, std::uint16_t port) {
  TAETestTcpClient client("127.0.0.1", port);
  std::vector<double> latencyUs;
  latencyUs.reserve(1 << 20);
  std::uint32_t seq = static_cast<std::uint32_t>(state.thread_index() * 31);
  for (auto _ : state) {
    seq = seq % kFiles + 1;
    const auto t0 = std::chrono::steady_clock::now();
    const bool found = FetchOne(client, Request(seq));
    latencyUs.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (!found) {
      state.SkipWithError("short reply or not found");
      break;
    }
  }
  std::sort(latencyUs.begin(), latencyUs.end());
  const double p99 = latencyUs.empty() ? 0 : latencyUs[latencyUs.size() * 99 / 100];
  state.counters["p99_us"] = benchmark::Counter(p99, benchmark::Counter::kAvgThreads);
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kReplySize));
}

void BM_WaveFetch(benchmark::State& state) { FetchLoop(state, Fixture().Server->Port()); }

std::string BareReply() {
  TAEWaveReply head{kWaveReplyMagic, wsFound, static_cast<std::int32_t>(kReplySize - sizeof(TAEWaveReply))};
  std::string reply(reinterpret_cast<const char*>(&head), sizeof head);
  return reply + HitFile(1);
}

// The ceiling of one connection: what loopback TCP and the client cost, with no file.
void BM_BareLoopbackCeiling(benchmark::State& state) {
  static TBareReplyServer peer(BareReply());
  FetchLoop(state, peer.Port());
}

// What a reading peer does before each reply: one of the hit files read whole.
void ReadAHitFile() {
  static std::string bytes;
  static std::uint32_t next = 0;
  next = next % kFiles + 1;
  TryReadWholeFile(Fixture().Paths[next - 1], bytes);
}

// The bare peer reading one of the hit files before each reply, as a server must: the
// ceiling of a server that does no more than its unavoidable work.
void BM_BareLoopbackWithFileRead(benchmark::State& state) {
  static TBareReplyServer peer(BareReply(), ReadAHitFile);
  FetchLoop(state, peer.Port());
}

// The ceiling: the same files read whole from disk in this process.
void BM_DiskReadCeiling(benchmark::State& state) {
  TFixture& f = Fixture();
  std::string bytes;
  std::size_t i = static_cast<std::size_t>(state.thread_index() * 31);
  for (auto _ : state) {
    i = (i + 1) % f.Paths.size();
    if (!TryReadWholeFile(f.Paths[i], bytes)) {
      state.SkipWithError("file missing");
      break;
    }
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(88 + 2 * kSamples));
}

// One request to the server, one to the bare peer and one to the reading peer in
// turns, on three connections of one client thread, so that all three meet the same
// moment of a shared machine, whose loopback round trip drifts by half from one minute
// to the next. The shares are each peer's time over the server's (the server's rate as
// a share of that ceiling's).
void BM_WaveFetchInTurns(benchmark::State& state) {
  static TBareReplyServer barePeer(BareReply());
  static TBareReplyServer readingPeer(BareReply(), ReadAHitFile);
  TAETestTcpClient server("127.0.0.1", Fixture().Server->Port());
  TAETestTcpClient bare("127.0.0.1", barePeer.Port());
  TAETestTcpClient reading("127.0.0.1", readingPeer.Port());
  std::chrono::steady_clock::duration serverTime{}, bareTime{}, readingTime{};
  const auto fetch = [](TAETestTcpClient& c, const std::string& request, std::chrono::steady_clock::duration& sum) {
    const auto t0 = std::chrono::steady_clock::now();
    const bool found = FetchOne(c, request);
    sum += std::chrono::steady_clock::now() - t0;
    return found;
  };
  std::uint32_t seq = 0;
  for (auto _ : state) {
    seq = seq % kFiles + 1;
    const std::string request = Request(seq);
    if (!fetch(server, request, serverTime) || !fetch(bare, request, bareTime) ||
        !fetch(reading, request, readingTime)) {
      state.SkipWithError("short reply or not found");
      break;
    }
  }
  const double n = static_cast<double>(std::max<benchmark::IterationCount>(state.iterations(), 1));
  const auto us = [n](std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count() / n;
  };
  const double serverUs = us(serverTime), bareUs = us(bareTime), readingUs = us(readingTime);
  state.counters["server_us"] = serverUs;
  state.counters["bare_us"] = bareUs;
  state.counters["reading_us"] = readingUs;
  state.counters["bare_share"] = serverUs > 0 ? bareUs / serverUs : 0;
  state.counters["reading_share"] = serverUs > 0 ? readingUs / serverUs : 0;
  state.SetLabel("server, bare and reading peers in turns; target bare_share >= 0.8");
}

}  // namespace

BENCHMARK(BM_WaveFetch)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_DiskReadCeiling)->Threads(1)->Threads(8)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BareLoopbackCeiling)->Threads(1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BareLoopbackWithFileRead)->Threads(1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_WaveFetchInTurns)->UseRealTime()->MinTime(4.0);

BENCHMARK_MAIN();
