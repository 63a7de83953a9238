// The real executable in audio mode against the test capture device: banner with the
// device list, the known file's hits and hit files, pings of an open input, no
// classifier report; the same on Linux and under Wine.
#include <chrono>
#include <filesystem>

#include "audio/AETestCapture.h"
#include "common/AETestProcess.h"
#include "VelkarnTriggerKit.h"

namespace fs = std::filesystem;

namespace {

TEST(AudioEndToEnd, TheProgramTurnsTheKnownFileIntoItsHits) {
  TAETempDir temp;
  TTestUdpReceiver udp;
  ServeCaptureFile(temp, KnownFile());
  const std::string exe = (temp.Path() / fs::path(VelkarnExePath()).filename()).string();
  fs::copy_file(VelkarnExePath(), exe);
  TIniValues ini = AudioIni(temp, udp.Port(), kKnownRate, kKnownP, kKnownL, kKnownDeadMs);
  ini["Network.PingIntervalSec"] = "1";
  // Earlier runs left hits 1 to 6 of this channel.
  fs::create_directories(temp.Path() / "Data" / "Ch0001" / "20261209" / "23");
  WriteFileBytes(temp.Path() / "Data" / "Ch0001" / "20261209" / "23" / "00000006.aeh", "old");
  WriteFileBytes(fs::path(exe).replace_extension(".ini"), IniText(ini));

  TTestProcess::TOptions o;
  o.Exe = exe;
  o.Args = {"3"};
  o.StdoutPath = temp.Str("out.txt");
  o.TempFolder = temp.Str();
  TTestProcess p(o);
  TDatagrams got;
  std::vector<std::uint8_t> d;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  std::optional<int> code;
  while (!code && std::chrono::steady_clock::now() < deadline) {
    while (udp.Receive(d, 50)) Decode(d, got);
    code = p.Wait(0);
  }
  while (udp.Receive(d, 200)) Decode(d, got);
  ASSERT_EQ(code, 0);

  const std::vector<std::string> lines = ConsoleLines(ReadFileBytes(temp.Path() / "out.txt"));
  const std::vector<std::string> devices = TAEAudioIn::DeviceNames();
  ASSERT_FALSE(devices.empty());
  ASSERT_GE(lines.size(), 6 + devices.size());
  EXPECT_EQ(lines[0], "Velkarn 9: AUDIO source, device -1, 16000 Hz, window 1024 samples, threshold 40 dB, dead time 50 ms");
  for (std::size_t i = 0; i < devices.size(); ++i)
    EXPECT_EQ(lines[1 + i], "  recording device " + std::to_string(i) + ": " + devices[i]);
  EXPECT_EQ(lines[1 + devices.size()], "Waveforms -> " + temp.Str("Data") + " (kept 24 h)");
  EXPECT_EQ(lines.back(), "Stopping...") << "no classifier report in audio mode";
  for (const std::string& line : lines) EXPECT_EQ(line.find("Audio input"), std::string::npos) << line;

  EXPECT_TRUE(got.Bad.empty());
  ExpectHits(got.Hits, KnownFileWindows(), temp.Str("Data"), 7, kKnownRate);
  ExpectKnownFileClasses(got.Hits);
  ASSERT_GE(got.Pings.size(), 2u);
  for (const TAEPingRecord& ping : got.Pings) {
    EXPECT_EQ(ping.Channel, 1);
    EXPECT_NE(ping.Status, 2) << "the input is open";
  }
  EXPECT_TRUE(got.Params.empty());
}

}  // namespace
