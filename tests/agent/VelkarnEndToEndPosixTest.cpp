// Linux-only ends of the program: a stop by SIGTERM, and a start without standard output.
#include <filesystem>

#include "AETestProcess.h"
#include "VelkarnProgramKit.h"
#include "VelkarnTestKit.h"

namespace fs = std::filesystem;

class EndToEndPosix : public testing::Test {
 protected:
  void SetUp() override {
    Program.WriteIni({{"Agent.Channels", "2"}, {"Agent.HitsPerSecPerChannel", "10"},
                      {"Agent.SamplesPerHit", "512"}, {"Agent.DataRoot", Temp.Str("Data")},
                      {"Network.UdpPort", std::to_string(Udp.Port())},
                      {"Network.WaveServerPort", std::to_string(FreeLoopbackTcpPort())}},
                     {});
  }
  TTestProcess::TOptions Options(std::vector<std::string> args) { return Program.Options(std::move(args)); }
  bool WaitForText(const fs::path& file, const std::string& text, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::uint8_t> d;
    while (std::chrono::steady_clock::now() < deadline) {
      if (ReadFileBytes(file).find(text) != std::string::npos) return true;
      Udp.Receive(d, 50);  // paces the poll and keeps the socket drained
    }
    return false;
  }

  TAETempDir Temp;
  TVelkarnCopy Program{Temp};
  TTestUdpReceiver Udp;
};

TEST_F(EndToEndPosix, SigtermShutsDownInOrder) {
  TTestProcess p(Options({}));  // no run time: until stopped
  ASSERT_TRUE(WaitForText(Temp.Path() / "out.txt", "Tray: ", 30000));
  p.RequestStop();
  ASSERT_EQ(p.Wait(10000), 0);
  const std::string out = ReadFileBytes(Temp.Path() / "out.txt");
  const auto stopping = out.find("Tray: user session False");
  const auto report = out.find("\r\nStopping...\r\n\r\nClassifier vs. simulator truth (rows = true class):\r\n");
  ASSERT_NE(stopping, std::string::npos);
  ASSERT_NE(report, std::string::npos);
  EXPECT_LT(stopping, report);
  EXPECT_NE(out.find("   unknown "), std::string::npos);
}

TEST_F(EndToEndPosix, WithoutStandardOutputTheLinesGoToTheLogFileAppended) {
  auto o = Options({"-1"});
  o.NoStdout = true;
  for (int run = 1; run <= 2; ++run) {
    TTestProcess p(o);
    ASSERT_EQ(p.Wait(30000), 0);
    const std::string log = ReadFileBytes(Temp.Path() / "Velkarn.log");
    std::size_t banners = 0;
    for (std::size_t pos = 0; (pos = log.find("Velkarn 1: 2 channels", pos)) != std::string::npos; ++pos) ++banners;
    EXPECT_EQ(banners, static_cast<std::size_t>(run)) << "appended, not replaced";
    EXPECT_NE(log.find("Stopping...\r\n"), std::string::npos);
  }
  EXPECT_FALSE(fs::exists(Temp.Path() / "out.txt"));
}
