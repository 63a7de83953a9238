// The running agent in audio mode against the test capture device, which plays a known
// file at the real rate: the hits that come out are exactly the model's windows, with
// their files and classes, on Linux (ALSA) and under Wine (waveIn over Wine's ALSA).
#include <chrono>

#include "audio/AETestCapture.h"
#include "VelkarnTriggerKit.h"

using namespace std::chrono_literals;

namespace {

TEST(AudioDevice, KnownFileGivesTheModelsWindowsFilesAndClasses) {
  TAETempDir temp;
  TTestUdpReceiver udp;
  const std::vector<std::int16_t> file = KnownFile();
  ServeCaptureFile(temp, file);
  const auto want = KnownFileWindows();
  std::vector<std::int64_t> triggers;
  for (const auto& w : want) triggers.push_back(w.TriggerIdx);
  ASSERT_EQ(triggers, (std::vector<std::int64_t>{0, 4095, 7000, 9500, 15000}));

  auto agent = MakeAgent(temp, AudioIni(temp, udp.Port(), kKnownRate, kKnownP, kKnownL, kKnownDeadMs));
  agent->Start();
  EXPECT_TRUE(agent->AudioOk());
  TDatagrams got;
  std::vector<std::uint8_t> d;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got.Hits.size() < want.size() && std::chrono::steady_clock::now() < deadline)
    if (udp.Receive(d, 100)) Decode(d, got);
  // Half a second more of the device's silence: nothing further may come.
  const auto quiet = std::chrono::steady_clock::now() + 500ms;
  while (std::chrono::steady_clock::now() < quiet)
    if (udp.Receive(d, 50)) Decode(d, got);
  agent->Stop();
  EXPECT_FALSE(agent->AudioOk());

  EXPECT_TRUE(got.Bad.empty());
  ExpectHits(got.Hits, want, temp.Str("Data"), 1, kKnownRate);
  ExpectKnownFileClasses(got.Hits);
  const TAEStats stats = agent->Stats();
  EXPECT_EQ(stats.Hits, 5);
  EXPECT_EQ(stats.FilesWritten, 5);
  EXPECT_EQ(stats.AudioErrors, 0);
  EXPECT_EQ(stats.LoopErrors, 0);
}

}  // namespace
