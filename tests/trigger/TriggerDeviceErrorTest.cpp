// A capture device that fails every read after its file (Linux: the test device's
// "error" end): one failed poll is counted and reported, the input is reopened 3 s of
// loop time later, and the sample index runs on across the reopen.
#include <chrono>
#include <regex>

#include "AEConsole.h"
#include "audio/AETestCapture.h"
#include "VelkarnTriggerKit.h"

using namespace std::chrono_literals;

namespace {

constexpr std::int32_t kRate = 16000, kP = 64, kL = 512;
constexpr std::size_t kFile = 16384;  // 16 whole buffers of the input

TEST(AudioDeviceError, FailedPollIsCountedReportedAndReopened3sLater) {
  TAETempDir temp;
  TTestUdpReceiver udp;
  // A click early in the file, and one whose window the end of the file cuts short.
  std::vector<std::int16_t> file = QuietStream(kFile, 33, 3);
  AddClick(file, 3000, 5000, 100);
  AddClick(file, kFile - 100, 5000, 100);
  ServeCaptureFile(temp, file, /*errorAtEnd=*/true);
  auto agent = MakeAgent(temp, AudioIni(temp, udp.Port(), kRate, kP, kL, 0));
  TVelkarnAudioProbe probe(*agent);
  RedirectConsoleToFile(temp.Str("console.txt"));
  probe.PrepareAudio();
  ASSERT_TRUE(agent->AudioOk());

  // Passes every few ms; the loop clock is the test's, so that the 3 s can be skipped.
  std::int64_t offsetMs = 0;
  const auto began = std::chrono::steady_clock::now();
  const auto loopMs = [&] {
    return offsetMs + std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began).count();
  };
  const auto passUntilError = [&](std::int64_t errors) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    std::int64_t now = 0;
    while (agent->Stats().AudioErrors < errors && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(5ms);  // the device is paced by its own clock
      now = loopMs();
      EXPECT_TRUE(probe.Pass(now));
    }
    return now;
  };

  const std::int64_t failedAt = passUntilError(1);
  ASSERT_EQ(agent->Stats().AudioErrors, 1);
  EXPECT_FALSE(agent->AudioOk());
  EXPECT_EQ(probe.RetryMs(), failedAt + 3000);
  EXPECT_EQ(probe.SampleIdx(), static_cast<std::int64_t>(kFile)) << "every sample of the file, once";
  EXPECT_TRUE(probe.Capturing()) << "the second window was cut short";
  std::vector<std::string> lines = ConsoleLines(ReadFileBytes(temp.Path() / "console.txt"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\d\d.\d\d.\d\d  Audio input: add buffer failed \(-5\) .+ - retrying every 3 s)")))
      << lines[0];

  ASSERT_TRUE(probe.Pass(failedAt + 2999));
  EXPECT_FALSE(agent->AudioOk());
  ASSERT_TRUE(probe.Pass(failedAt + 3000));
  ASSERT_TRUE(agent->AudioOk());
  EXPECT_FALSE(probe.Capturing()) << "the half window is dropped at the reopen";
  lines = ConsoleLines(ReadFileBytes(temp.Path() / "console.txt"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d\d.\d\d.\d\d  audio input reopened)"))) << lines[1];

  // The reopened device plays the file again from its start.
  offsetMs = failedAt + 3000 - loopMs() + offsetMs;
  passUntilError(2);
  ASSERT_EQ(agent->Stats().AudioErrors, 2);
  EXPECT_EQ(probe.SampleIdx(), static_cast<std::int64_t>(2 * kFile)) << "the index runs on across the reopen";

  // The model sees the file twice in a row, but the window cut short by the first
  // failure is dropped, never completed by samples of the second run.
  std::vector<std::int16_t> twice = file;
  twice.insert(twice.end(), file.begin(), file.end());
  auto want = TReferenceTrigger{kP, kL, 33, 0}.Run(twice);
  ASSERT_EQ(want.size(), 3u);
  ASSERT_EQ(want[1].TriggerIdx, static_cast<std::int64_t>(kFile - 100));
  want.erase(want.begin() + 1);
  ASSERT_EQ(want[1].TriggerIdx, static_cast<std::int64_t>(kFile + 3000));
  ExpectHits(DrainDatagrams(udp).Hits, want, temp.Str("Data"), 1, kRate);
  EXPECT_EQ(agent->Stats().LoopErrors, 0);
}

}  // namespace
