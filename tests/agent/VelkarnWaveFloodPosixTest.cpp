// A peer that floods the running program's wave server with idle connections, with the
// program held to the common limit of 1,024 descriptors: hit files and collectors must
// go on as before.
#include <sys/resource.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <regex>
#include <stdexcept>
#include <vector>

#include "AETestProcess.h"
#include "AETestTcpClient.h"
#include "AEWaveServer.h"
#include "VelkarnProgramKit.h"
#include "VelkarnTestKit.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr int kNodeFileLimit = 1024;
constexpr int kIdlePeers = 2000;

class WaveFlood : public testing::Test {
 protected:
  void SetUp() override {
    // The test itself holds every idle connection: it needs more than the node.
    rlimit own{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &own), 0);
    ASSERT_GE(own.rlim_max, static_cast<rlim_t>(kIdlePeers + 200)) << "the hard descriptor limit is too low for this test";
    own.rlim_cur = own.rlim_max;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &own), 0);

    Program.WriteIni({{"Agent.AgentId", "42"}, {"Agent.Channels", "2"}, {"Agent.HitsPerSecPerChannel", "10"},
                      {"Agent.SamplesPerHit", "512"}, {"Agent.DataRoot", Temp.Str("Data")},
                      {"Network.UdpPort", std::to_string(Udp.Port())},
                      {"Network.WaveServerPort", std::to_string(WavePort)},
                      {"Simulation.FailAfterSec", "1000"}},
                     {});
  }

  // The next hit records that arrive, at least count of them, within limit.
  std::vector<TAEHitRecord> NextHits(std::size_t count, std::chrono::milliseconds limit = 20s) {
    TDatagrams got;
    std::vector<std::uint8_t> d;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (got.Hits.size() < count && std::chrono::steady_clock::now() < deadline)
      if (Udp.Receive(d, 100)) Decode(d, got);
    return got.Hits;
  }

  // Asks for the hit's file; true when it comes back exactly as stored.
  bool Fetch(TAETestTcpClient& collector, const TAEHitRecord& h) {
    const TAEWaveRequest rq{kWaveRequestMagic, h.AgentId, h.Channel, h.Seq, {}, h.FileTime};
    try {
      collector.Send(std::string_view(reinterpret_cast<const char*>(&rq), sizeof rq));
    } catch (const std::runtime_error&) {
      return false;
    }
    const std::string head = collector.Receive(sizeof(TAEWaveReply));
    if (head.size() != sizeof(TAEWaveReply)) return false;
    TAEWaveReply reply{};
    std::memcpy(&reply, head.data(), sizeof reply);
    if (reply.Status != wsFound) return false;
    const std::string file = ReadFileBytes(HitFileName(Temp.Str("Data"), h.Channel, h.FileTime, h.Seq));
    return reply.Length == static_cast<std::int32_t>(file.size()) && collector.Receive(file.size()) == file;
  }

  TAETempDir Temp;
  TVelkarnCopy Program{Temp};
  TTestUdpReceiver Udp;
  std::uint16_t WavePort = FreeLoopbackTcpPort();
};

TEST_F(WaveFlood, IdleConnectionsBeyondTheDescriptorLimitStarveNeitherHitFilesNorCollectors) {
  TTestProcess::TOptions o = Program.Options({"16"});
  o.MaxOpenFiles = kNodeFileLimit;
  TTestProcess node(o);

  // A collector that was there before the flood.
  const auto first = NextHits(1);
  ASSERT_FALSE(first.empty()) << "no hit record from the node";
  TAETestTcpClient collector("127.0.0.1", WavePort);
  ASSERT_TRUE(Fetch(collector, first.front()));

  std::vector<std::unique_ptr<TAETestTcpClient>> idle;
  idle.reserve(kIdlePeers);
  for (int i = 0; i < kIdlePeers; ++i) idle.push_back(std::make_unique<TAETestTcpClient>("127.0.0.1", WavePort));

  // Every hit of the next seconds has its file, and the collector gets it.
  const auto during = NextHits(40);
  ASSERT_GE(during.size(), 40u);
  for (const TAEHitRecord& h : during)
    EXPECT_TRUE(fs::exists(HitFileName(Temp.Str("Data"), h.Channel, h.FileTime, h.Seq))) << "hit " << h.Seq << " has no file";
  EXPECT_TRUE(Fetch(collector, during.back())) << "the collector got no reply during the flood";

  // Once the flood has gone, a new collector is served as soon as the node has let its
  // connections go.
  idle.clear();
  const auto after = NextHits(1);
  ASSERT_FALSE(after.empty());
  bool served = false;
  for (const auto deadline = std::chrono::steady_clock::now() + 10s; !served && std::chrono::steady_clock::now() < deadline;) {
    TAETestTcpClient late("127.0.0.1", WavePort);
    served = Fetch(late, after.front());
  }
  EXPECT_TRUE(served) << "no new collector was served after the flood";

  ASSERT_EQ(node.Wait(60000), 0);
  const std::string out = ReadFileBytes(Temp.Path() / "out.txt");
  const std::regex status(R"(  files (\d+) \([^)]*\) err (\d+)  wave req (\d+))");
  int lines = 0;
  for (std::sregex_iterator it(out.begin(), out.end(), status), end; it != end; ++it, ++lines)
    EXPECT_EQ((*it)[2], "0") << "file errors in: " << it->str();
  EXPECT_GE(lines, 2) << out;
}

}  // namespace
