// Audio mode on a machine without a capture device: the start reports it and goes on,
// pings say the input is closed, and the reopen is tried every 3 s without a word.
#include <regex>

#include "AEConsole.h"
#include "VelkarnTriggerKit.h"

namespace {

TEST(AudioNoDevice, StartReportsOncePingsSayClosedAndRetriesEvery3sSilently) {
  TAETempDir temp;
  TTestUdpReceiver udp;
  TIniValues ini = AudioIni(temp, udp.Port(), 48000, 512, 4096, 250);
  ini["Network.PingIntervalSec"] = "1";
  auto agent = MakeAgent(temp, ini);
  TVelkarnAudioProbe probe(*agent);
  RedirectConsoleToFile(temp.Str("console.txt"));

  probe.PrepareAudio();  // the audio step of Start
  EXPECT_FALSE(agent->AudioOk());
  EXPECT_EQ(probe.RetryMs(), 3000);
  EXPECT_EQ(probe.TriggerCounts(), 33);
  std::vector<std::string> lines = ConsoleLines(ReadFileBytes(temp.Path() / "console.txt"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(Audio input not available: Audio input: open failed \(-?\d+\) .* - retrying every 3 s)")))
      << lines[0];

  struct TStep {
    std::int64_t NowMs, RetryMsAfter;
  };
  for (const TStep s : {TStep{10, 3000}, TStep{2999, 3000}, TStep{3000, 6000}, TStep{5999, 6000}, TStep{6500, 9500}}) {
    SCOPED_TRACE(s.NowMs);
    ASSERT_TRUE(probe.Pass(s.NowMs));
    EXPECT_EQ(probe.RetryMs(), s.RetryMsAfter);
  }
  EXPECT_EQ(ConsoleLines(ReadFileBytes(temp.Path() / "console.txt")).size(), 1u) << "failed reopens say nothing";
  EXPECT_EQ(agent->Stats().AudioErrors, 0);
  EXPECT_EQ(agent->Stats().LoopErrors, 0);

  const TDatagrams got = DrainDatagrams(udp);
  EXPECT_TRUE(got.Bad.empty());
  EXPECT_TRUE(got.Hits.empty());
  EXPECT_TRUE(got.Params.empty()) << "no process parameters in audio mode";
  ASSERT_EQ(got.Pings.size(), 3u);  // passes 10, 2999 and 5999 are due
  for (const TAEPingRecord& p : got.Pings) {
    EXPECT_EQ(p.Channel, 1);
    EXPECT_EQ(p.Status, 2) << "the input is closed";
  }
}

}  // namespace
