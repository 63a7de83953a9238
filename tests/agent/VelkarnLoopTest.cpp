// The generator loop's passes, driven with a controlled clock and a fixed seed: what
// each pass sends, when channels fail, how hits are drawn and where their files go.
#include <cmath>
#include <filesystem>
#include <memory>
#include <thread>

#include "AEErrors.h"
#include "AERandom.h"
#include "VelkarnTestKit.h"

namespace fs = std::filesystem;

class AgentLoop : public testing::Test {
 protected:
  TIniValues Defaults() {
    return {{"Agent.AgentId", "7"},
            {"Agent.Channels", "3"},
            {"Agent.HitsPerSecPerChannel", "0"},
            {"Agent.SampleRateHz", "2000000"},
            {"Agent.SamplesPerHit", "256"},
            {"Agent.DataRoot", Temp.Str("Data")},
            {"Network.UdpHost", "127.0.0.1"},
            {"Network.UdpPort", std::to_string(Udp.Port())},
            {"Network.PingIntervalSec", "1"},
            {"Simulation.FailAfterSec", "1000"},
            {"Parametric.IntervalMs", "100"}};
  }
  std::unique_ptr<TVelkarn> Make(const TIniValues& over = {}) { return MakeSeededAgent(Temp, Defaults(), over); }

  TAETempDir Temp;
  TTestUdpReceiver Udp;
};

TEST_F(AgentLoop, FirstPassSendsParamsAndPingsThenKeepsTheirIntervals) {
  auto agent = Make();
  TVelkarnProbe probe(*agent);
  // Pass times in ms; a due time is set from the pass that fired.
  const std::int64_t times[] = {10, 50, 109, 111, 500, 1009, 1011, 2010, 2025};
  for (const std::int64_t t : times) ASSERT_TRUE(probe.Pass(t));
  const TDatagrams d = DrainDatagrams(Udp);
  EXPECT_TRUE(d.Bad.empty());
  // Params at 10, 111 (>= 110), 500, 1009, 2010: five pairs.
  ASSERT_EQ(d.Params.size(), 10u);
  for (std::size_t i = 0; i < d.Params.size(); ++i) {
    EXPECT_EQ(d.Params[i].ParamId, i % 2 + 1);
    EXPECT_EQ(d.Params[i].Kind, i % 2 + 1);
    EXPECT_EQ(d.Params[i].Seq, i / 2 + 1);
    EXPECT_EQ(d.Params[i].AgentId, 7);
  }
  // Pings at 10, 1011 (>= 1010), 2025 (>= 2011): three rounds over three channels.
  ASSERT_EQ(d.Pings.size(), 9u);
  const std::uint32_t uptimes[] = {0, 1, 2};
  for (std::size_t i = 0; i < d.Pings.size(); ++i) {
    EXPECT_EQ(d.Pings[i].Channel, i % 3 + 1);
    EXPECT_EQ(d.Pings[i].Seq, i / 3 + 1);
    EXPECT_EQ(d.Pings[i].UptimeSec, uptimes[i / 3]);
    EXPECT_EQ(d.Pings[i].IntervalSec, 1);
    EXPECT_EQ(d.Pings[i].Status, 1) << "no hits since the last ping";
  }
  EXPECT_EQ(agent->Stats().PingsSent, 9);
  EXPECT_EQ(agent->Stats().ParamsSent, 10);
}

TEST_F(AgentLoop, ZeroOrNegativeIntervalsSendNothingOfThatKind) {
  struct TCase {
    const char* Ping;
    const char* Param;
    std::size_t Pings, Params;
  };
  for (const TCase c : {TCase{"0", "100", 0, 4}, TCase{"-5", "0", 0, 0}, TCase{"1", "-1", 3, 0}}) {
    SCOPED_TRACE(std::string("ping ") + c.Ping + ", param " + c.Param);
    auto agent = Make({{"Network.PingIntervalSec", c.Ping}, {"Parametric.IntervalMs", c.Param}});
    TVelkarnProbe probe(*agent);
    ASSERT_TRUE(probe.Pass(10));
    ASSERT_TRUE(probe.Pass(120));
    const TDatagrams d = DrainDatagrams(Udp);
    EXPECT_EQ(d.Pings.size(), c.Pings);
    EXPECT_EQ(d.Params.size(), c.Params);
  }
}

TEST_F(AgentLoop, ListedChannelsFailOnceFailAfterSecHasPassed) {
  auto agent = Make({{"Agent.Channels", "4"},
                     {"Agent.HitsPerSecPerChannel", "200"},
                     {"Simulation.FailChannels", "0,2,9,-1,2"},
                     {"Simulation.FailAfterSec", "1"},
                     {"Network.PingIntervalSec", "1"}});
  TVelkarnProbe probe(*agent);
  ASSERT_TRUE(probe.Pass(500));
  ASSERT_TRUE(probe.Pass(999));
  for (int ch = 1; ch <= 4; ++ch) EXPECT_FALSE(probe.Failed(ch)) << ch;
  const std::uint32_t seq2 = probe.Seq(2);
  EXPECT_GT(seq2, 0u) << "working channel 2 draws hits before it fails";
  ASSERT_TRUE(probe.Pass(1000));
  EXPECT_TRUE(probe.Failed(2));
  for (int ch : {1, 3, 4}) EXPECT_FALSE(probe.Failed(ch)) << ch;
  const std::uint32_t seq1 = probe.Seq(1);
  ASSERT_TRUE(probe.Pass(1500));
  ASSERT_TRUE(probe.Pass(2100));
  EXPECT_EQ(probe.Seq(2), seq2) << "a failed channel gets no hits";
  EXPECT_GT(probe.Seq(1), seq1) << "the others go on";
  const TDatagrams d = DrainDatagrams(Udp);
  std::size_t pingsOf2 = 0;
  for (const auto& p : d.Pings) pingsOf2 += p.Channel == 2;
  EXPECT_EQ(pingsOf2, 1u) << "only the ping before the failure";
  EXPECT_EQ(probe.PingSeq(2), 1u);
  EXPECT_EQ(probe.PingSeq(1), 2u);
}

TEST_F(AgentLoop, FailAfterSecZeroOrNegativeFailsAtTheFirstPass) {
  for (const char* after : {"0", "-3"}) {
    SCOPED_TRACE(after);
    auto agent = Make({{"Simulation.FailChannels", "1 3"}, {"Simulation.FailAfterSec", after}});
    TVelkarnProbe probe(*agent);
    ASSERT_TRUE(probe.Pass(10));
    EXPECT_TRUE(probe.Failed(1));
    EXPECT_FALSE(probe.Failed(2));
    EXPECT_TRUE(probe.Failed(3));
    const TDatagrams d = DrainDatagrams(Udp);
    ASSERT_EQ(d.Pings.size(), 1u);
    EXPECT_EQ(d.Pings[0].Channel, 2);
  }
}

TEST_F(AgentLoop, ZeroRateGivesNoHitsButOneDrawPerWorkingChannel) {
  auto agent = Make({{"Agent.Channels", "5"},
                     {"Simulation.FailChannels", "4"},
                     {"Simulation.FailAfterSec", "0"},
                     {"Network.PingIntervalSec", "0"},
                     {"Parametric.IntervalMs", "0"}});
  TVelkarnProbe probe(*agent);
  RandomSeed(99);
  ASSERT_TRUE(probe.Pass(10));
  ASSERT_TRUE(probe.Pass(20));
  const std::uint32_t after = RandomState();
  RandomSeed(99);
  for (int i = 0; i < 2 * 4; ++i) RandomFloat();  // two passes, four working channels
  EXPECT_EQ(after, RandomState());
  EXPECT_EQ(agent->Stats().Hits, 0);
  for (int ch = 1; ch <= 5; ++ch) EXPECT_EQ(probe.Seq(ch), 0u);
}

TEST_F(AgentLoop, HugeRateStaysBoundedAndAStopCutsThePassShort) {
  auto agent = Make({{"Agent.Channels", "1"},
                     {"Agent.HitsPerSecPerChannel", "1e12"},
                     {"Agent.SamplesPerHit", "64"},
                     {"Network.PingIntervalSec", "0"},
                     {"Parametric.IntervalMs", "0"}});
  TVelkarnProbe probe(*agent);
  ASSERT_TRUE(probe.Pass(1000));
  const std::int64_t hits = agent->Stats().Hits;
  EXPECT_GT(hits, 0);
  EXPECT_LT(hits, 2000) << "the Poisson draw caps an unreachable mean";
  EXPECT_EQ(static_cast<std::int64_t>(probe.Seq(1)), hits);

  std::stop_source stop;
  stop.request_stop();
  ASSERT_TRUE(probe.Pass(2000, stop.get_token()));
  EXPECT_EQ(agent->Stats().Hits, hits) << "a requested stop ends the burst before its next hit";
}

TEST_F(AgentLoop, HitsAreNumberedPerChannelAndTheirFilesMatchTheRecords) {
  auto agent = Make({{"Agent.HitsPerSecPerChannel", "300"}, {"Network.PingIntervalSec", "0"}});
  TVelkarnProbe probe(*agent);
  for (std::int64_t t = 100; t <= 300; t += 100) ASSERT_TRUE(probe.Pass(t));
  const TAEStats s = agent->Stats();
  const TDatagrams d = DrainDatagrams(Udp);
  ASSERT_TRUE(d.Bad.empty());
  ASSERT_EQ(static_cast<std::int64_t>(d.Hits.size()), s.Hits);
  ASSERT_GT(s.Hits, 30);
  EXPECT_EQ(s.UdpSent, s.Hits);
  EXPECT_EQ(s.FilesWritten, s.Hits);
  EXPECT_EQ(s.BytesWritten, s.Hits * (88 + 2 * 256));
  EXPECT_EQ(s.FileErrors, 0);
  std::uint32_t next[4] = {1, 1, 1, 1};
  std::int64_t confusion = 0;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) confusion += s.Confusion[i][j];
  EXPECT_EQ(confusion, s.Hits);
  for (const TAEHitRecord& h : d.Hits) {
    ASSERT_GE(h.Channel, 1);
    ASSERT_LE(h.Channel, 3);
    EXPECT_EQ(h.Seq, next[h.Channel]++) << "channel " << h.Channel;
    EXPECT_EQ(h.AgentId, 7);
    EXPECT_EQ(h.SampleCount, 256u);
    EXPECT_EQ(h.SampleRateHz, 2000000u);
    EXPECT_EQ(h.Marker, 2);
    std::uint32_t reserved = 0;
    std::memcpy(&reserved, &h.Reserved, 4);
    EXPECT_EQ(reserved, kReservedNaNBits);
    const std::string file = ReadFileBytes(HitFileName(Temp.Str("Data"), h.Channel, h.FileTime, h.Seq));
    ASSERT_EQ(file.size(), 88u + 2 * 256);
    EXPECT_EQ(file.substr(0, 4), "AEW1");
    EXPECT_EQ(file.substr(4, 76), std::string(reinterpret_cast<const char*>(&h), 76));
    EXPECT_LE(static_cast<std::uint8_t>(file[80]), 3);
    EXPECT_EQ(file.substr(81, 3), std::string(3, '\0'));
    float vpc = 0;
    std::memcpy(&vpc, file.data() + 84, 4);
    EXPECT_EQ(vpc, static_cast<float>(agent->Settings().VoltsPerCount()));
  }
  for (int ch = 1; ch <= 3; ++ch) EXPECT_EQ(probe.Seq(ch), next[ch] - 1);
}

TEST_F(AgentLoop, PingStatusFollowsTheHitsSinceTheLastPing) {
  auto quiet = Make({{"Agent.Channels", "1"}, {"Parametric.IntervalMs", "0"}});
  TVelkarnProbe quietProbe(*quiet);
  ASSERT_TRUE(quietProbe.Pass(10));
  TDatagrams d = DrainDatagrams(Udp);
  ASSERT_EQ(d.Pings.size(), 1u);
  EXPECT_EQ(d.Pings[0].Status, 1) << "no hits since the last ping";
  EXPECT_EQ(d.Pings[0].HitsSinceLast, 0u);

  auto busy = Make({{"Agent.Channels", "1"}, {"Parametric.IntervalMs", "0"}, {"Agent.HitsPerSecPerChannel", "500"}});
  TVelkarnProbe probe(*busy);
  ASSERT_TRUE(probe.Pass(100));  // a pass makes its hits before its ping
  const std::uint32_t first = probe.Seq(1);
  ASSERT_TRUE(probe.Pass(1100));
  const std::uint32_t second = probe.Seq(1) - first;
  ASSERT_GT(first, 0u);
  ASSERT_GT(second, 0u);
  d = DrainDatagrams(Udp);
  ASSERT_EQ(d.Pings.size(), 2u);
  EXPECT_EQ(d.Pings[0].HitsSinceLast, first);
  EXPECT_EQ(d.Pings[1].HitsSinceLast, second) << "each ping starts the count afresh";
  EXPECT_EQ(d.Pings[0].Status, 0);
  EXPECT_EQ(d.Pings[1].Status, 0);
}

TEST_F(AgentLoop, AHitFileThatCannotBeWrittenCountsLeavesNoPartAndTheRunGoesOn) {
  // A regular file where channel 1's folder must be: root cannot write past it either.
  fs::create_directories(Temp.Path() / "Data");
  WriteFileBytes(Temp.Path() / "Data" / "Ch0001", "not a folder");
  auto agent = Make({{"Agent.Channels", "2"}, {"Agent.HitsPerSecPerChannel", "200"}, {"Network.PingIntervalSec", "0"}});
  TVelkarnProbe probe(*agent);
  ASSERT_TRUE(probe.Pass(100));
  ASSERT_TRUE(probe.Pass(200));
  TAEStats s = agent->Stats();
  ASSERT_GT(probe.Seq(1), 0u);
  EXPECT_EQ(s.FileErrors, static_cast<std::int64_t>(probe.Seq(1)));
  EXPECT_EQ(s.FilesWritten, static_cast<std::int64_t>(probe.Seq(2)));
  EXPECT_EQ(s.UdpSent, s.Hits) << "the hit is still sent";
  EXPECT_EQ(s.Hits, static_cast<std::int64_t>(probe.Seq(1) + probe.Seq(2)));
  EXPECT_EQ(s.LoopErrors, 0);
  EXPECT_EQ(DrainDatagrams(Udp).Hits.size(), static_cast<std::size_t>(s.Hits));

  // Once the way is free again, the folder is made and files follow.
  fs::remove(Temp.Path() / "Data" / "Ch0001");
  const std::int64_t errorsBefore = s.FileErrors;
  ASSERT_TRUE(probe.Pass(300));
  s = agent->Stats();
  EXPECT_EQ(s.FileErrors, errorsBefore);
  EXPECT_EQ(s.FilesWritten, s.Hits - errorsBefore);
  for (const auto& e : fs::recursive_directory_iterator(Temp.Path() / "Data"))
    if (e.is_regular_file()) {
      EXPECT_EQ(e.path().extension(), ".aeh") << e.path();
    }
}

TEST_F(AgentLoop, AHitFolderRemovedWhileRunningIsMadeAgainAtTheNextHit) {
  // What is deleted from outside between two passes: the hour folders, the channel
  // folders or the whole data root. Every hit after it must still get its file.
  struct TCase {
    const char* What;
    int Depth;  // 0 = data root, 1 = channel folders, 2 = hour folders
  };
  const TCase cases[] = {{"hour folders", 2}, {"channel folders", 1}, {"data root", 0}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TAETempDir temp;
    TIniValues values = Defaults();
    values["Agent.DataRoot"] = temp.Str("Data");
    auto agent = MakeSeededAgent(temp, values, {{"Agent.HitsPerSecPerChannel", "300"}, {"Network.PingIntervalSec", "0"}});
    TVelkarnProbe probe(*agent);
    ASSERT_TRUE(probe.Pass(100));
    ASSERT_GT(agent->Stats().FilesWritten, 0);
    std::vector<fs::path> gone{temp.Path() / "Data"};
    for (int depth = 0; depth < c.Depth; ++depth) {
      std::vector<fs::path> below;
      for (const fs::path& p : gone)
        for (const auto& e : fs::directory_iterator(p))
          if (e.is_directory()) below.push_back(e.path());
      gone = below;
    }
    ASSERT_FALSE(gone.empty());
    for (const fs::path& p : gone) fs::remove_all(p);
    DrainDatagrams(Udp);

    ASSERT_TRUE(probe.Pass(200));
    const TAEStats s = agent->Stats();
    EXPECT_EQ(s.FileErrors, 0);
    EXPECT_EQ(s.FilesWritten, s.Hits);
    const TDatagrams d = DrainDatagrams(Udp);
    ASSERT_FALSE(d.Hits.empty());
    std::size_t whole = 0;
    for (const TAEHitRecord& h : d.Hits)
      if (ReadFileBytes(HitFileName(temp.Str("Data"), h.Channel, h.FileTime, h.Seq)).size() == 88u + 2 * 256) ++whole;
    EXPECT_EQ(whole, d.Hits.size()) << "hits announced with a whole file";
  }
}

TEST_F(AgentLoop, FailedSendsCountAsUdpErrorsAndKeepTheirNumbers) {
  // Port 0 on the loopback: every send is refused at once.
  auto agent = Make({{"Network.UdpPort", "0"}, {"Agent.Channels", "1"}, {"Agent.HitsPerSecPerChannel", "300"}});
  TVelkarnProbe probe(*agent);
  ASSERT_TRUE(probe.Pass(100));
  ASSERT_TRUE(probe.Pass(200));
  const TAEStats s = agent->Stats();
  ASSERT_GT(s.Hits, 0);
  EXPECT_EQ(s.UdpSent, 0);
  EXPECT_EQ(s.PingsSent, 0);
  EXPECT_EQ(s.ParamsSent, 0);
  EXPECT_EQ(s.UdpErrors, s.Hits + 1 + 4) << "hits, one ping, two pairs of params";
  EXPECT_EQ(s.FilesWritten, s.Hits);
  EXPECT_EQ(probe.PingSeq(1), 1u);
  EXPECT_EQ(s.LoopErrors, 0);
}

TEST(AgentProcess, PressureCycleAndTemperatureFollowTheLoopClock) {
  TAETempDir temp;
  struct TCase {
    const char* CycleSec;
    double T;
    double Pressure, Factor;
  };
  // Base 40 bar, swing 20 bar.
  const TCase cases[] = {
      {"180", 0, 40, 2.5},    {"180", 36, 50, 2.5},  {"180", 72, 60, 0.8},  {"180", 90, 60, 0.8},
      {"180", 126, 50, 0.2},  {"180", 144, 40, 0.1}, {"180", 200, 40 + 20 * (20.0 / 180) / 0.4, 2.5},
      {"0", 4, 60, 0.8},      {"5", 8, 40, 0.1},     {"10", 6.5, 55, 0.2},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string("cycle ") + c.CycleSec + ", t " + std::to_string(c.T));
    WriteFileBytes(temp.Path() / "v.ini", IniText({{"Parametric.PressureCycleSec", c.CycleSec},
                                                   {"Agent.DataRoot", temp.Str("Data")}}));
    TVelkarn agent(temp.Str("v.ini"));
    TVelkarnProbe probe(agent);
    probe.UpdateProcess(c.T);
    EXPECT_NEAR(probe.Pressure(), c.Pressure, 1e-9);
    EXPECT_EQ(probe.CrackFactor(), c.Factor);
  }
  WriteFileBytes(temp.Path() / "v.ini", IniText({{"Agent.DataRoot", temp.Str("Data")}}));
  TVelkarn agent(temp.Str("v.ini"));
  TVelkarnProbe probe(agent);
  for (const auto& [t, temperature] : std::vector<std::pair<double, double>>{{0, 25}, {150, 30}, {450, 20}}) {
    probe.UpdateProcess(t);
    EXPECT_NEAR(probe.Temperature(), temperature, 1e-9) << t;
  }
}

TEST(AgentProcess, TrueClassesFollowTheScaledShares) {
  TAETempDir temp;
  struct TCase {
    const char* Crack;
    const char* Leak;
    const char* Foreign;
    double Factor;
    double Expected[4];  // noise, crack, leak, foreign tone
  };
  const TCase cases[] = {
      {"0.15", "0.25", "0.05", 2.5, {0.325, 0.375, 0.25, 0.05}},
      {"0.15", "0.25", "0.05", 0.1, {0.685, 0.015, 0.25, 0.05}},
      {"0.3", "0.4", "0.3", 1.0, {0, 0.3, 0.4, 0.3}},  // shares reach 1: no noise
      {"0.5", "0.25", "0.05", 2.5, {0, 1, 0, 0}},      // crack alone reaches 1
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Crack) + " x " + std::to_string(c.Factor));
    WriteFileBytes(temp.Path() / "v.ini",
                   IniText({{"Simulation.CrackShare", c.Crack}, {"Simulation.LeakShare", c.Leak},
                            {"Simulation.ForeignShare", c.Foreign}, {"Agent.DataRoot", temp.Str("Data")}}));
    TVelkarn agent(temp.Str("v.ini"));
    TVelkarnProbe probe(agent);
    probe.SetCrackFactor(c.Factor);
    RandomSeed(2024);
    const int n = 200000;
    int counts[4] = {0, 0, 0, 0};
    for (int i = 0; i < n; ++i) ++counts[probe.DrawTrueClass()];
    for (int k = 0; k < 4; ++k) {
      EXPECT_NEAR(counts[k] / double(n), c.Expected[k], 0.006) << "class " << k;
      if (c.Expected[k] == 0) {
        EXPECT_EQ(counts[k], 0) << "class " << k;
      }
    }
  }
}

TEST(AgentPoisson, DrawsKPlusOneAndAveragesTheMean) {
  for (const double mean : {0.0, -2.0, std::nan("")}) {
    RandomSeed(5);
    EXPECT_EQ(PoissonRandom(mean), 0) << mean;
    RandomSeed(5);
    RandomFloat();
    const std::uint32_t oneDraw = RandomState();
    RandomSeed(5);
    PoissonRandom(mean);
    EXPECT_EQ(RandomState(), oneDraw) << "one draw for mean " << mean;
  }
  for (const double mean : {0.05, 3.0, 40.0}) {
    RandomSeed(77);
    double sum = 0;
    double sumSq = 0;
    const int n = 20000;
    for (int i = 0; i < n; ++i) {
      const std::uint32_t before = RandomState();
      const int k = PoissonRandom(mean);
      ASSERT_GE(k, 0);
      const std::uint32_t after = RandomState();
      RandomSeed(before);
      for (int j = 0; j <= k; ++j) RandomFloat();
      ASSERT_EQ(RandomState(), after) << "k + 1 draws";
      sum += k;
      sumSq += double(k) * k;
    }
    const double avg = sum / n;
    EXPECT_NEAR(avg, mean, 5 * std::sqrt(mean / n) + 1e-9) << mean;
    EXPECT_NEAR(sumSq / n - avg * avg, mean, mean * 0.1 + 0.01) << "variance of " << mean;
  }
  RandomSeed(1);
  const int huge = PoissonRandom(1e9);
  EXPECT_GT(huge, 0);
  EXPECT_LT(huge, 2000);
}

TEST(AgentLife, StartStopAndRefusedStarts) {
  TAETempDir temp;
  const std::string ini = temp.Str("v.ini");
  WriteFileBytes(ini, IniText({{"Agent.DataRoot", temp.Str("Data")}, {"Agent.Channels", "2"},
                               {"Agent.HitsPerSecPerChannel", "0"}, {"Network.UdpPort", "0"}}));
  {
    TVelkarn agent(ini);
    agent.Stop();  // never started: nothing to do
    agent.Start();
    EXPECT_TRUE(fs::is_directory(temp.Path() / "Data" / "Ch0001"));
    const auto begin = std::chrono::steady_clock::now();
    agent.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(1));
    agent.Stop();
  }  // the destructor stops once more
  for (const auto& [key, value] : std::vector<std::pair<std::string, std::string>>{{"Network.Transport", "mqtt"}}) {
    SCOPED_TRACE(key);
    WriteFileBytes(ini, IniText({{"Agent.DataRoot", temp.Str("Data")}, {key, value}}));
    TVelkarn agent(ini);
    EXPECT_THROW(agent.Start(), EAEError);
    agent.Stop();
  }
}

TEST(AgentLife, ManyStartsAndStopsNeverHang) {
  // A stop that lands in every phase of the loop's wait: a wait that misses the wake-up
  // would hang here (it did with condition_variable_any under the Windows runtime).
  TAETempDir temp;
  const std::string ini = temp.Str("v.ini");
  WriteFileBytes(ini, IniText({{"Agent.DataRoot", temp.Str("Data")}, {"Agent.Channels", "1"},
                               {"Agent.HitsPerSecPerChannel", "0"}, {"Network.UdpPort", "0"}}));
  for (int i = 0; i < 150; ++i) {
    TVelkarn agent(ini);
    agent.Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
    const auto begin = std::chrono::steady_clock::now();
    agent.Stop();
    ASSERT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(2)) << "cycle " << i;
  }
}

TEST(AgentLife, ABadFailChannelsEntryFailsConstructionWithTheConversionMessage) {
  TAETempDir temp;
  WriteFileBytes(temp.Path() / "v.ini", IniText({{"Simulation.FailChannels", "1,q2"}}));
  try {
    TVelkarn agent(temp.Str("v.ini"));
    FAIL() << "constructed";
  } catch (const EAEConvertError& e) {
    EXPECT_EQ(DescribeException(e), "EConvertError: 'q2' is not a valid integer value");
  }
}

TEST(AgentStats, CopiesWhileTheLoopWritesAreConsistentPerCounter) {
  // Run the real thread against a refused port (fast sends) and copy concurrently: the
  // thread sanitizer tree checks this for races; every copy must be monotonic.
  TAETempDir temp;
  WriteFileBytes(temp.Path() / "v.ini",
                 IniText({{"Agent.DataRoot", temp.Str("Data")}, {"Agent.Channels", "2"},
                          {"Agent.SamplesPerHit", "64"}, {"Agent.HitsPerSecPerChannel", "2000"},
                          {"Network.UdpPort", "0"}, {"Network.PingIntervalSec", "1"}}));
  TVelkarn agent(temp.Str("v.ini"));
  agent.Start();
  std::int64_t lastHits = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (lastHits < 200 && std::chrono::steady_clock::now() < deadline) {
    const TAEStats s = agent.Stats();
    ASSERT_GE(s.Hits, lastHits);
    lastHits = s.Hits;
    std::this_thread::yield();
  }
  agent.Stop();
  EXPECT_GE(lastHits, 200);
  const TAEStats s = agent.Stats();
  EXPECT_EQ(s.FilesWritten + s.FileErrors, s.Hits);
}
