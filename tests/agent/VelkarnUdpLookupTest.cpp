// A UdpHost name that does not resolve: the generator keeps its pace, the records count
// as errors, and the console is told once when the lookup fails and once when it works.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "AEConsole.h"
#include "AEErrors.h"
#include "VelkarnTestKit.h"

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
  // Runs the started agent for about runFor, then stops it; the seconds it ran.
  double Run(TVelkarn& agent, std::chrono::milliseconds runFor) {
    const auto began = std::chrono::steady_clock::now();
    agent.Start();
    std::this_thread::sleep_for(runFor);  // the run's length is what is measured
    agent.Stop();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  }
  std::string Console() { return ReadFileBytes(Temp.Path() / "console.txt"); }

  TAETempDir Temp;
  TTestUdpReceiver Udp;
};

}  // namespace

TEST_F(AgentUdpLookup, AnInvalidNameCountsEveryRecordAsAnErrorAndSaysSoOnce) {
  auto agent = Make("velkarn-test.invalid");
  const double seconds = Run(*agent, 1500ms);
  const TAEStats s = agent->Stats();
  const double expected = 2 * 100 * seconds;
  EXPECT_GT(s.Hits, 0.75 * expected) << "over " << seconds << " s";
  EXPECT_LT(s.Hits, 1.25 * expected) << "over " << seconds << " s";
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
  // The first lookup hangs for a second, as a resolver waiting on a silent name server
  // does, then fails; the next one, a retry interval later, finds the collector.
  std::mutex lock;
  int calls = 0;  // guarded by lock
  auto agent = Make("collector.invalid");
  TVelkarnProbe probe(*agent);
  probe.UseUdpResolver(
      [&](const std::string& host) -> std::string {
        int call = 0;
        {
          std::lock_guard guard(lock);
          call = ++calls;
        }
        if (call > 1) return "127.0.0.1";
        std::this_thread::sleep_for(1s);  // the hang being simulated
        throw EAEOsError("cannot resolve " + host + ": timed out", 1);
      },
      300ms);
  const double seconds = Run(*agent, 2500ms);
  const TAEStats s = agent->Stats();
  const double expected = 2 * 100 * seconds;
  EXPECT_GT(s.Hits, 0.75 * expected) << "over " << seconds << " s";
  EXPECT_LT(s.Hits, 1.25 * expected) << "over " << seconds << " s";
  EXPECT_GT(s.UdpErrors, 0) << "records before the address was known";
  EXPECT_GT(s.UdpSent, 0) << "records after";
  const TDatagrams d = DrainDatagrams(Udp);
  EXPECT_EQ(static_cast<std::int64_t>(d.Hits.size()), s.UdpSent);
  {
    std::lock_guard guard(lock);
    EXPECT_EQ(calls, 2) << "one failed lookup, one that found the address, none after";
  }
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
