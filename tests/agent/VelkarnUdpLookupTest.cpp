// A UdpHost name that does not resolve: the generator keeps making hits, the records
// count as errors, and the console is told once when the lookup fails and once when it
// works.
#include <chrono>
#include <memory>

#include "AEConsole.h"
#include "AEErrors.h"
#include "VelkarnTestKit.h"
#include "common/AEPollUntil.h"
#include "common/AEScriptedResolver.h"

using namespace std::chrono_literals;

namespace {

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class AgentUdpLookup : public testing::Test {
 protected:
  std::unique_ptr<TVelkarn> Make(const std::string& host) {
    RedirectConsoleToFile(Temp.Str("console.txt"));
    return MakeSeededAgent(Temp,
                           {{"Agent.Channels", "2"},
                            {"Agent.HitsPerSecPerChannel", "100"},
                            {"Agent.SamplesPerHit", "256"},
                            {"Agent.DataRoot", Temp.Str("Data")},
                            {"Network.UdpHost", host},
                            {"Network.UdpPort", std::to_string(Udp.Port())},
                            {"Network.PingIntervalSec", "1"},
                            {"Simulation.FailAfterSec", "1000"}},
                           {});
  }
  // Hits are drawn for the time that passed, which lies within the seconds the test saw
  // the run last: a slow machine draws fewer, never more, so twice the rate are made up.
  static void ExpectNoMoreHitsThanTheRunAllows(const TAEStats& s, double seconds) {
    EXPECT_LT(s.Hits, 2 * 2 * 100 * seconds) << "over " << seconds << " s";
  }
  std::string Console() { return ReadFileBytes(Temp.Path() / "console.txt"); }

  TAETempDir Temp;
  TTestUdpReceiver Udp;
};

double SecondsSince(std::chrono::steady_clock::time_point began) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

}  // namespace

TEST_F(AgentUdpLookup, AnInvalidNameCountsEveryRecordAsAnErrorAndSaysSoOnce) {
  auto agent = Make("velkarn-test.invalid");
  const auto began = std::chrono::steady_clock::now();
  agent->Start();
  // The system's resolver answers when it does; the hits go on meanwhile and after.
  const bool told = PollUntil([&] { return CountOf(Console(), "UDP: cannot resolve") > 0; }, 30s);
  const bool hits = PollUntil([&] { return agent->Stats().Hits >= 200; }, 30s);
  agent->Stop();
  const double seconds = SecondsSince(began);
  EXPECT_TRUE(told) << "the failed lookup was never told";
  EXPECT_TRUE(hits) << "the generator stopped making hits";
  const TAEStats s = agent->Stats();
  ExpectNoMoreHitsThanTheRunAllows(s, seconds);
  EXPECT_EQ(s.UdpSent, 0);
  EXPECT_GE(s.UdpErrors, s.Hits + 2) << "every hit and at least the first ping of each channel";
  EXPECT_EQ(s.PingsSent, 0);
  EXPECT_EQ(s.ParamsSent, 0);
  EXPECT_EQ(s.FilesWritten, s.Hits) << "hit files do not depend on the network";
  const std::string console = Console();
  EXPECT_EQ(CountOf(console, "UDP: cannot resolve velkarn-test.invalid: "), 1) << console;
  EXPECT_EQ(CountOf(console, " - records to velkarn-test.invalid:" + std::to_string(Udp.Port()) +
                                 " count as errors until it resolves"),
            1)
      << console;
  EXPECT_EQ(CountOf(console, "resolved to"), 0) << console;
}

TEST_F(AgentUdpLookup, ALookupThatHangsHoldsUpNoHitAndItsLaterSuccessIsTold) {
  // The first lookup hangs, as a resolver waiting on a silent name server does, then
  // fails; the next one, a retry interval later, finds the collector. The hang lasts
  // until the agent has made this many hits: a hit that waited for the lookup would
  // never come, and the hang would end only at the test's limit.
  constexpr std::int64_t kHitsWhileHanging = 200;
  TScriptedResolver resolver({"", "127.0.0.1"}, /*gated=*/true, "timed out");
  auto agent = Make("collector.invalid");
  TVelkarnProbe probe(*agent);
  probe.UseUdpResolver(resolver.Fn(), 300ms);
  const auto began = std::chrono::steady_clock::now();
  agent->Start();
  ASSERT_TRUE(resolver.WaitCalls(1)) << "the lookup never began";
  const std::int64_t atHang = agent->Stats().Hits;
  const bool hitsWhileHanging = PollUntil([&] { return agent->Stats().Hits >= atHang + kHitsWhileHanging; }, 30s);
  const TAEStats hung = agent->Stats();
  resolver.Open();
  // The success is told on the lookup thread once the address is in use.
  const bool sent = PollUntil(
      [&] { return agent->Stats().UdpSent >= 100 && CountOf(Console(), " resolved to ") > 0; }, 30s);
  agent->Stop();
  const double seconds = SecondsSince(began);
  EXPECT_TRUE(hitsWhileHanging) << hung.Hits - atHang << " hits while the lookup hung";
  EXPECT_EQ(hung.UdpSent, 0) << "nothing can be sent before the address is known";
  EXPECT_TRUE(sent) << "the collector found was not told, or records were not sent to it";
  const TAEStats s = agent->Stats();
  ExpectNoMoreHitsThanTheRunAllows(s, seconds);
  EXPECT_GT(s.UdpErrors, 0) << "records before the address was known";
  EXPECT_GT(s.UdpSent, 0) << "records after";
  const TDatagrams d = DrainDatagrams(Udp);
  EXPECT_EQ(static_cast<std::int64_t>(d.Hits.size()), s.UdpSent);
  EXPECT_EQ(resolver.Calls(), 2) << "one failed lookup, one that found the address, none after";
  const std::vector<std::string> lines = [&] {
    std::vector<std::string> out;
    const std::string text = Console();
    for (std::size_t pos = 0, lf; (lf = text.find("\r\n", pos)) != std::string::npos; pos = lf + 2)
      out.push_back(text.substr(pos, lf - pos));
    return out;
  }();
  ASSERT_EQ(lines.size(), 2u) << Console();
  EXPECT_NE(lines[0].find("  UDP: cannot resolve collector.invalid: timed out - records to collector.invalid:" +
                          std::to_string(Udp.Port()) + " count as errors until it resolves"),
            std::string::npos)
      << lines[0];
  EXPECT_NE(lines[1].find("  UDP: collector.invalid:" + std::to_string(Udp.Port()) +
                          " resolved to 127.0.0.1, records are sent again"),
            std::string::npos)
      << lines[1];
}
