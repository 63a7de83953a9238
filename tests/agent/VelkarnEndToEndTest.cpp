// The real executable, copied into a temp folder with its INI: what it prints, sends and
// writes, how it ends, and how it refuses a second copy or a broken configuration.
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>

#include "AETestTcpClient.h"
#include "AEWaveServer.h"
#include "VelkarnProgramKit.h"
#include "VelkarnTestKit.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> SplitCrLf(const std::string& text, bool& allCrLf) {
  std::vector<std::string> lines;
  allCrLf = true;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t lf = text.find('\n', pos);
    if (lf == std::string::npos) {
      allCrLf = false;
      lines.push_back(text.substr(pos));
      break;
    }
    if (lf == pos || text[lf - 1] != '\r') allCrLf = false;
    lines.push_back(text.substr(pos, lf - pos - (lf > pos && text[lf - 1] == '\r' ? 1 : 0)));
    pos = lf + 1;
  }
  return lines;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// Checks the "Tray:" line at index 4 and removes the line of a tray that could not be
// created, which may follow it only where the program tried a tray: an interactive
// session with the console hidden or --tray (a Windows session without a display).
void DropTrayFailure(std::vector<std::string>& lines) {
  ASSERT_GE(lines.size(), 5u);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[4], m, std::regex("Tray: user session (True|False), console visible "
                                                       "(True|False), --tray (True|False)")))
      << lines[4];
  const bool tried = m[1] == "True" && (m[2] == "False" || m[3] == "True");
  const bool failed =
      lines.size() > 5 && std::regex_match(lines[5], std::regex(R"(Tray icon could not be created \(error \d+\))"));
  if (failed) lines.erase(lines.begin() + 5);
  EXPECT_TRUE(tried || !failed) << "a tray line without a tray: " << lines[4];
}

}  // namespace

class EndToEnd : public testing::Test {
 protected:
  void WriteIni(const TIniValues& over) {
    Program.WriteIni({{"Agent.AgentId", "42"},
                      {"Agent.Channels", "3"},
                      {"Agent.HitsPerSecPerChannel", "15"},
                      {"Agent.SamplesPerHit", "1024"},
                      {"Agent.DataRoot", Temp.Str("Data")},
                      {"Network.UdpHost", "127.0.0.1"},
                      {"Network.UdpPort", std::to_string(Udp.Port())},
                      {"Network.WaveServerPort", std::to_string(WavePort)},
                      {"Network.PingIntervalSec", "1"},
                      {"Parametric.IntervalMs", "250"},
                      {"Simulation.FailAfterSec", "1000"}},
                     over);
  }
  TTestProcess::TOptions Options(std::vector<std::string> args, const std::string& out = "out.txt") {
    return Program.Options(std::move(args), out);
  }
  // Runs to the end, collecting datagrams meanwhile; returns the exit code.
  std::optional<int> RunCollecting(const TTestProcess::TOptions& o, TDatagrams& got, int timeoutMs = 60000) {
    TTestProcess p(o);
    std::vector<std::uint8_t> d;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::optional<int> code;
    while (!code && std::chrono::steady_clock::now() < deadline) {
      while (Udp.Receive(d, 50)) Decode(d, got);
      code = p.Wait(0);
    }
    while (Udp.Receive(d, 200)) Decode(d, got);
    return code;
  }
  std::vector<std::string> Output(const std::string& name = "out.txt") {
    bool crlf = false;
    auto lines = SplitCrLf(Program.Output(name), crlf);
    EXPECT_TRUE(crlf) << "every line ends in CR LF";
    return lines;
  }
  // Waits until the output holds the line (the program is up), at most timeoutMs.
  bool WaitForLine(const std::string& line, int timeoutMs, const std::string& name = "out.txt") {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<std::uint8_t> d;
    TDatagrams ignored;
    while (std::chrono::steady_clock::now() < deadline) {
      bool crlf = false;
      if (Contains(SplitCrLf(Program.Output(name), crlf), line)) return true;
      Udp.Receive(d, 50);  // paces the poll and keeps the socket drained
    }
    return false;
  }

  TAETempDir Temp;
  TTestUdpReceiver Udp;
  std::uint16_t WavePort = FreeLoopbackTcpPort();
  TVelkarnCopy Program{Temp};
  std::string Ini = Program.Ini();
};

TEST_F(EndToEnd, ASimulationRunSendsWritesReportsAndEndsWithZero) {
  WriteIni({});
  TDatagrams got;
  ASSERT_EQ(RunCollecting(Options({"6"}), got), 0);
  auto lines = Output();
  DropTrayFailure(lines);
  ASSERT_GE(lines.size(), 14u);
  EXPECT_EQ(lines[0], "Velkarn 42: 3 channels, 15.0 hits/s/ch, 1024 samples at 2.0 MS/s");
  EXPECT_EQ(lines[1], "Waveforms -> " + Temp.Str("Data") + " (kept 24 h)");
  EXPECT_EQ(lines[2], "UDP hits  -> 127.0.0.1:" + std::to_string(Udp.Port()) + "    wave server on TCP " +
                          std::to_string(WavePort));
  EXPECT_EQ(lines[3], "Ctrl+C to stop.");
  EXPECT_TRUE(std::regex_match(lines[4], std::regex("Tray: user session (True|False), console visible "
                                                    "(True|False), --tray False")))
      << lines[4];
  const std::regex status(
      R"(\d\d:\d\d:\d\d  hits (\d+) \(\+\d+/s\)  sent (\d+) ping (\d+) param (\d+) err 0  files (\d+) \(\d+\.\d MB\) err 0  wave req 0  loop err 0  audio err 0)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(lines[5], m, status)) << lines[5];
  // The snapshot is copied without a lock while the generator thread runs: the hit in
  // flight may already count as written and sent but not yet as a hit.
  const long long hits = std::stoll(m[1]);
  EXPECT_GE(std::stoll(m[2]), hits) << "every hit sent";
  EXPECT_LE(std::stoll(m[2]), hits + 1) << lines[5];
  EXPECT_GE(std::stoll(m[5]), hits) << "every hit written";
  EXPECT_LE(std::stoll(m[5]), hits + 1) << lines[5];
  EXPECT_EQ(lines[6], "Stopping...");
  EXPECT_EQ(lines[7], "");
  EXPECT_EQ(lines[8], "Classifier vs. simulator truth (rows = true class):");
  EXPECT_EQ(lines[9], "                noise      crack       leak    unknown");
  const char* names[] = {"     noise", "     crack", "      leak", "   unknown"};
  std::int64_t total = 0;
  for (int j = 0; j < 4; ++j) {
    ASSERT_EQ(lines[10 + j].substr(0, 10), names[j]);
    ASSERT_EQ(lines[10 + j].size(), 54u);
    for (int i = 0; i < 4; ++i) total += std::stoll(lines[10 + j].substr(10 + 11 * i, 11));
  }
  ASSERT_EQ(lines.size(), 15u);
  EXPECT_TRUE(std::regex_match(lines[14], std::regex(R"(Accuracy: \d+\.\d% of \d+ hits)"))) << lines[14];
  EXPECT_NE(lines[14].find(" of " + std::to_string(total) + " hits"), std::string::npos);

  EXPECT_TRUE(got.Bad.empty()) << got.Bad.front();
  EXPECT_EQ(static_cast<std::int64_t>(got.Hits.size()), total) << "the report counts every hit sent";
  EXPECT_GT(got.Hits.size(), 100u);
  std::map<int, std::uint32_t> nextSeq;
  for (const TAEHitRecord& h : got.Hits) {
    ASSERT_EQ(h.AgentId, 42);
    ASSERT_TRUE(h.Channel >= 1 && h.Channel <= 3) << h.Channel;
    auto& next = nextSeq.try_emplace(h.Channel, 1).first->second;
    ASSERT_EQ(h.Seq, next++) << "channel " << h.Channel;
    const std::string file = ReadFileBytes(HitFileName(Temp.Str("Data"), h.Channel, h.FileTime, h.Seq));
    ASSERT_EQ(file.size(), 88u + 2 * h.SampleCount);
    ASSERT_EQ(h.SampleCount, 1024u);
    ASSERT_EQ(file.substr(0, 4), "AEW1");
    ASSERT_EQ(file.substr(4, 76), std::string(reinterpret_cast<const char*>(&h), 76));
  }
  EXPECT_EQ(nextSeq.size(), 3u);
  // Pings every second per channel from the first pass; parameters every 250 ms.
  std::map<int, std::vector<TAEPingRecord>> pings;
  for (const auto& p : got.Pings) pings[p.Channel].push_back(p);
  ASSERT_EQ(pings.size(), 3u);
  for (const auto& [ch, list] : pings) {
    ASSERT_GE(list.size(), 5u);
    ASSERT_LE(list.size(), 8u);
    for (std::size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].Seq, i + 1);
      EXPECT_EQ(list[i].AgentId, 42);
      if (i == 0) continue;
      const std::int64_t gapMs = (list[i].FileTime - list[i - 1].FileTime) / 10000;
      EXPECT_LE(gapMs, 2500) << "channel " << ch;  // no ping round skipped
    }
    // Time stamps are read after the pass's hits, so single gaps may shrink a little;
    // on average the interval is kept.
    const std::int64_t meanMs = (list.back().FileTime - list.front().FileTime) / 10000 /
                                static_cast<std::int64_t>(list.size() - 1);
    EXPECT_GE(meanMs, 990) << "channel " << ch;
  }
  std::map<int, std::vector<TAEParamRecord>> params;
  for (const auto& p : got.Params) params[p.ParamId].push_back(p);
  ASSERT_EQ(params.size(), 2u);
  for (const auto& [id, list] : params) {
    ASSERT_GE(list.size(), 18u);
    for (std::size_t i = 0; i < list.size(); ++i) {
      EXPECT_EQ(list[i].Seq, i + 1);
      EXPECT_EQ(list[i].Kind, id);
    }
    const std::int64_t meanMs = (list.back().FileTime - list.front().FileTime) / 10000 /
                                static_cast<std::int64_t>(list.size() - 1);
    EXPECT_GE(meanMs, 245) << "parameter " << id;
  }
  EXPECT_NEAR(params[1].front().Value, 40.0, 0.5) << "the run starts at the base pressure";
}

TEST_F(EndToEnd, ACollectorFetchesHitFilesFromTheRunningNodesWaveServer) {
  WriteIni({{"Agent.HitsPerSecPerChannel", "20"}});
  TTestProcess node(Options({"12"}));
  // The first hit records that arrive name the files to fetch.
  TDatagrams got;
  std::vector<std::uint8_t> d;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (got.Hits.size() < 3 && std::chrono::steady_clock::now() < deadline)
    if (Udp.Receive(d, 100)) Decode(d, got);
  ASSERT_GE(got.Hits.size(), 3u);

  TAETestTcpClient collector("127.0.0.1", WavePort);
  for (std::size_t i = 0; i < 3; ++i) {  // one request after another on one connection
    const TAEHitRecord& h = got.Hits[i];
    TAEWaveRequest rq{kWaveRequestMagic, h.AgentId, h.Channel, h.Seq, {9, 9, 9, 9}, h.FileTime};
    collector.Send(std::string_view(reinterpret_cast<const char*>(&rq), sizeof rq));
    const std::string head = collector.Receive(sizeof(TAEWaveReply));
    ASSERT_EQ(head.size(), sizeof(TAEWaveReply));
    TAEWaveReply reply{};
    std::memcpy(&reply, head.data(), sizeof reply);
    EXPECT_EQ(reply.Magic, kWaveReplyMagic);
    ASSERT_EQ(reply.Status, wsFound) << "hit " << i;
    const std::string file = ReadFileBytes(HitFileName(Temp.Str("Data"), h.Channel, h.FileTime, h.Seq));
    ASSERT_EQ(reply.Length, static_cast<std::int32_t>(file.size()));
    EXPECT_EQ(collector.Receive(file.size()), file);
  }
  // Another agent's id is refused and the connection closed.
  const TAEHitRecord& h = got.Hits[0];
  TAEWaveRequest other{kWaveRequestMagic, static_cast<std::uint16_t>(h.AgentId + 1), h.Channel, h.Seq, {}, h.FileTime};
  collector.Send(std::string_view(reinterpret_cast<const char*>(&other), sizeof other));
  const std::string head = collector.Receive(sizeof(TAEWaveReply));
  ASSERT_EQ(head.size(), sizeof(TAEWaveReply));
  TAEWaveReply reply{};
  std::memcpy(&reply, head.data(), sizeof reply);
  EXPECT_EQ(reply.Status, wsBadRequest);
  EXPECT_TRUE(collector.WaitForEnd());

  // An idle collector connection must not hold up the end of the run.
  TAETestTcpClient idle("127.0.0.1", WavePort);
  EXPECT_EQ(node.Wait(60000), 0);
  const auto lines = Output();
  const std::regex status(R"(\d\d:\d\d:\d\d  hits .*  wave req (\d+) .*)");
  std::smatch m;
  bool sawRequests = false;
  for (const std::string& line : lines)
    if (std::regex_match(line, m, status) && std::stoi(m[1]) >= 4) sawRequests = true;
  EXPECT_TRUE(sawRequests) << "the status line counts the requests";
}

TEST_F(EndToEnd, AWaveServerPortInUseEndsTheStartWithOne) {
  // Another server already listens on every address of the port.
  TAESettings settings;
  std::atomic<std::int64_t> requests{0}, served{0};
  TAEWaveServer taken(settings, requests, served);
  taken.Activate(WavePort);
  WriteIni({});
  TDatagrams got;
  EXPECT_EQ(RunCollecting(Options({"5"}), got), 1);
  const auto lines = Output();
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find(std::to_string(WavePort)), std::string::npos) << lines.back();
  EXPECT_FALSE(Contains(lines, "Stopping..."));
}

TEST_F(EndToEnd, ASecondCopyEndsWithTwoAndItsLine) {
  WriteIni({{"Agent.HitsPerSecPerChannel", "1"}});
  TTestProcess first(Options({"30"}, "first.txt"));
  ASSERT_TRUE(WaitForLine("Ctrl+C to stop.", 30000, "first.txt"));
  TTestProcess second(Options({"5"}, "second.txt"));
  EXPECT_EQ(second.Wait(30000), 2);
  EXPECT_EQ(Output("second.txt"),
            std::vector<std::string>{"KIVU Velkarn is already running on this computer; this copy exits."});
}

TEST_F(EndToEnd, AMissingIniIsWrittenAndANegativeRunTimeStopsAtOnce) {
  TDatagrams got;
  ASSERT_FALSE(fs::exists(Ini));
  ASSERT_EQ(RunCollecting(Options({"-1"}), got), 0);
  const std::string ini = ReadFileBytes(Ini);
  for (const char* key : {"[Agent]", "AgentId=1", "Channels=16", "[Network]", "UdpPort=47100", "[Simulation]",
                          "[Parametric]", "[Sensor]", "[Mqtt]"})
    EXPECT_NE(ini.find(key), std::string::npos) << key;
  EXPECT_EQ(ini.find("Source="), std::string::npos);
  auto lines = Output();
  DropTrayFailure(lines);
  ASSERT_GE(lines.size(), 13u);
  EXPECT_EQ(lines[5], "Stopping...");
  EXPECT_EQ(lines[7], "Classifier vs. simulator truth (rows = true class):");
  EXPECT_EQ(lines[12].substr(0, 10), "   unknown");
}

TEST_F(EndToEnd, ABrokenConfigurationEndsWithOneAndTheErrorLine) {
  struct TCase {
    TIniValues Ini;
    std::string Line;
    bool Banner;
  };
  const TCase cases[] = {
      {{{"Simulation.FailChannels", "1,q"}}, "EConvertError: 'q' is not a valid integer value", false},
      {{{"Agent.Channels", "-3"}}, "Exception: [Agent] Channels=-3 is negative; it must be 0 or more", false},
      {{{"Network.Transport", "mqtt"}, {"Mqtt.User", "agent5"}},
       "Exception: Transport=mqtt needs [Mqtt] User and Password", true},
      {{{"Network.Transport", "mqtt"}, {"Mqtt.Password", "p"}},
       "Exception: Transport=mqtt needs [Mqtt] User and Password", true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Line);
    WriteIni(c.Ini);
    TDatagrams got;
    EXPECT_EQ(RunCollecting(Options({"3"}), got), 1);
    const auto lines = Output();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.Line);
    EXPECT_EQ(lines.size() > 1, c.Banner);
    EXPECT_FALSE(Contains(lines, "Stopping..."));
    EXPECT_TRUE(got.Hits.empty());
  }
}
