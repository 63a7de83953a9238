// The program's texts: command line, banner, status line, tray text and the report.
#include <gtest/gtest.h>

#include "VelkarnProgram.h"
#include "VelkarnStatus.h"
#include "common/AETestTemp.h"

TEST(CommandLine, TraySwitchAndTheLastNumberWin) {
  struct TCase {
    std::vector<std::string> Args;
    std::int32_t RunSeconds;
    bool Tray;
  };
  const TCase cases[] = {
      {{}, 0, false},
      {{"30", "--tray"}, 30, true},
      {{"10", "20"}, 20, false},
      {{"ten"}, 0, false},
      {{"/TRAY"}, 0, true},
      {{"--Tray", "7", "x", "-3"}, -3, true},
      {{" 12"}, 12, false},
      {{"$10"}, 16, false},
      {{"0x1F"}, 31, false},
      {{"12s"}, 0, false},
      {{"4294967296"}, 0, false},  // beyond 32 bits: not a number
      {{"-tray"}, 0, false},
  };
  for (const TCase& c : cases) {
    std::string trace;
    for (const auto& a : c.Args) trace += "[" + a + "]";
    SCOPED_TRACE(trace);
    const TAECommandLine cmd = ParseCommandLine(c.Args);
    EXPECT_EQ(cmd.RunSeconds, c.RunSeconds);
    EXPECT_EQ(cmd.StartInTray, c.Tray);
  }
}

TEST(Banner, SimulationUdpAndMqttLines) {
  TAESettings s;
  s.AgentId = 3;
  s.Channels = 16;
  s.HitsPerSecPerChannel = 5;
  s.SamplesPerHit = 4096;
  s.SampleRateHz = 2000000;
  s.DataRoot = "D:\\AE\\Data";
  s.RetentionHours = -2;
  s.UdpHost = "10.1.2.3";
  s.UdpPort = 47100;
  s.WaveServerPort = 47101;
  s.Source = "sim";
  s.Transport = "udp";
  EXPECT_EQ(BannerLines(s), (std::vector<std::string>{
                                "Velkarn 3: 16 channels, 5.0 hits/s/ch, 4096 samples at 2.0 MS/s",
                                "Waveforms -> D:\\AE\\Data (kept -2 h)",
                                "UDP hits  -> 10.1.2.3:47100    wave server on TCP 47101",
                                "Ctrl+C to stop.",
                            }));
  s.Transport = "mqtt";
  s.CompanyName = "Acme Tanks";
  s.MqttUrl = "wss://b.example/mqtt";
  s.MqttUser = "agent3";
  s.MqttPassword = "secret";
  s.MqttSendWaves = true;
  s.MqttMaxWavesPerSec = 5;
  s.HitsPerSecPerChannel = 0.25;
  s.SampleRateHz = 1000000;
  const auto lines = BannerLines(s);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[0], "Velkarn 3: 16 channels, 0.2 hits/s/ch, 4096 samples at 1.0 MS/s");
  EXPECT_EQ(lines[2], "Company: Acme Tanks");
  EXPECT_EQ(lines[3], "MQTT hits -> wss://b.example/mqtt as agent3 (waveforms to the server: up to 5/s)");
  for (const auto& l : lines) EXPECT_EQ(l.find("secret"), std::string::npos) << "the password is never printed";
  s.MqttSendWaves = false;
  EXPECT_EQ(BannerLines(s)[3], "MQTT hits -> wss://b.example/mqtt as agent3 (waveforms to the server: off)");
  s.Source = "audio";
  s.AudioDevice = -1;
  s.SampleRateHz = 44100;
  s.ThresholdDb = 40.4;
  s.DeadTimeMs = 250;
  EXPECT_EQ(BannerLines(s)[0],
            "Velkarn 3: AUDIO source, device -1, 44100 Hz, window 4096 samples, threshold 40 dB, dead time 250 ms");
  const auto withDevices = BannerLines(s, {"Line In (USB)", "?"});
  ASSERT_EQ(withDevices.size(), 7u);
  EXPECT_EQ(withDevices[1], "  recording device 0: Line In (USB)");
  EXPECT_EQ(withDevices[2], "  recording device 1: ?");
  EXPECT_EQ(withDevices[3].substr(0, 13), "Waveforms -> ");
}

TEST(TrayTitle, AgentIdAndTheCompanyOnlyWhenThereIsOne) {
  struct TCase {
    std::uint16_t AgentId;
    std::string Company;
    std::string Title;
  };
  const TCase cases[] = {
      {7, "", "KIVU Velkarn 7"},
      {65535, "Acme Tanks", "KIVU Velkarn 65535 - Acme Tanks"},
      {0, " ", "KIVU Velkarn 0 -  "},
  };
  for (const TCase& c : cases) {
    TAESettings s;
    s.AgentId = c.AgentId;
    s.CompanyName = c.Company;
    EXPECT_EQ(TrayTitle(s), c.Title);
  }
}

TEST(TrayConsoleLink, OnlyInMqttMode) {
  TAESettings s;
  s.ConsoleUrl = "https://console.example.net/";
  s.CompanyId = "acme";
  s.Transport = "udp";
  EXPECT_EQ(TrayConsoleLink(s), "");
  s.Transport = "mqtt";
  EXPECT_EQ(TrayConsoleLink(s), "https://console.example.net/?tenant=acme");
  s.ConsoleUrl = "";
  EXPECT_EQ(TrayConsoleLink(s), "") << "no link configured";
}

TEST(StatusLine, ShowsTheCountersAndTheRateOverFiveSeconds) {
  TAEStats prev;
  TAEStats cur;
  prev.Hits = 100;
  cur.Hits = 503;
  cur.UdpSent = 500;
  cur.PingsSent = 16;
  cur.ParamsSent = 10;
  cur.UdpErrors = 3;
  cur.FilesWritten = 499;
  cur.BytesWritten = 3 * 1048576 + 104858;  // 3.1 MB
  cur.FileErrors = 4;
  cur.WaveRequests = 6;
  cur.LoopErrors = 7;
  cur.AudioErrors = 8;
  EXPECT_EQ(FormatStatusLine("12:34:56", cur, prev),
            "12:34:56  hits 503 (+81/s)  sent 500 ping 16 param 10 err 3  files 499 (3.1 MB) err 4  wave req 6"
            "  loop err 7  audio err 8");
  EXPECT_EQ(FormatStatusLine("00:00:00", TAEStats(), TAEStats()),
            "00:00:00  hits 0 (+0/s)  sent 0 ping 0 param 0 err 0  files 0 (0.0 MB) err 0  wave req 0  loop err 0"
            "  audio err 0");
}

TEST(ClassifierReport, ZerosWithoutAccuracyAndAFullMatrix) {
  const TAEStats none;
  EXPECT_EQ(ClassifierReportLines(none), (std::vector<std::string>{
                                             "",
                                             "Classifier vs. simulator truth (rows = true class):",
                                             "                noise      crack       leak    unknown",
                                             "     noise          0          0          0          0",
                                             "     crack          0          0          0          0",
                                             "      leak          0          0          0          0",
                                             "   unknown          0          0          0          0",
                                         }));
  TAEStats s;
  s.Confusion[0][0] = 10;
  s.Confusion[0][3] = 5;
  s.Confusion[1][1] = 20;
  s.Confusion[2][0] = 1;
  s.Confusion[3][3] = 12345678901LL;  // wider than its column: pushes the line
  const auto lines = ClassifierReportLines(s);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[3], "     noise         10          0          0          5");
  EXPECT_EQ(lines[6], "   unknown          0          0          0 12345678901");
  EXPECT_EQ(lines[7], "Accuracy: 100.0% of 12345678937 hits");
  TAEStats exact;
  exact.Confusion[1][1] = 3;
  exact.Confusion[2][1] = 1;
  EXPECT_EQ(ClassifierReportLines(exact).back(), "Accuracy: 75.0% of 4 hits");
  exact.Confusion[2][2] = 2;
  EXPECT_EQ(ClassifierReportLines(exact).back(), "Accuracy: 83.3% of 6 hits");
}

TEST(TrayStatus, HitsAndOnlyLoopPlusAudioErrors) {
  TAEStats s;
  s.Hits = 12;
  s.LoopErrors = 2;
  s.AudioErrors = 3;
  s.UdpErrors = 100;
  s.FileErrors = 100;
  EXPECT_EQ(StatusText(s, false, false), "hits 12, errors 5");
  EXPECT_EQ(StatusText(s, true, true), "hits 12, errors 5, microphone OK");
  EXPECT_EQ(StatusText(s, true, false), "hits 12, errors 5, microphone FAULT");

  TAETempDir temp;
  WriteFileBytes(temp.Path() / "v.ini", "[Agent]\r\nDataRoot=" + temp.Str("Data") + "\r\n");
  TVelkarn agent(temp.Str("v.ini"));
  EXPECT_EQ(StatusTextOf(agent), "hits 0, errors 0");
  WriteFileBytes(temp.Path() / "a.ini", "[Agent]\r\nSource=audio\r\nDataRoot=" + temp.Str("Data") + "\r\n");
  TVelkarn audio(temp.Str("a.ini"));
  EXPECT_EQ(StatusTextOf(audio), "hits 0, errors 0, microphone FAULT") << "no sound card open";
  Agent = nullptr;
  EXPECT_EQ(TrayStatusText(), "");
  Agent = &agent;
  EXPECT_EQ(TrayStatusText(), "hits 0, errors 0");
  Agent = nullptr;
  StopRequested = false;
  RequestStop();
  EXPECT_TRUE(StopRequested.load());
}
