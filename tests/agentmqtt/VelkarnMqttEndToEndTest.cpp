// The real executable in mqtt mode against a real mosquitto: what reaches a subscriber
// during a run, the status it leaves behind when stopped or killed, a broker restart
// under a running node, and a login that two clients share.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <utility>

#include "AEMqtt.h"
#include "AEMqttWatch.h"
#include "AEOutageHits.h"
#include "VelkarnProgramKit.h"
#include "VelkarnTestKit.h"
#include "common/AEPollUntil.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string Text(const TAEBytes& b) { return std::string(b.begin(), b.end()); }

// FileTime of a record message, whatever its kind.
std::int64_t RecordTime(const TRawPublish& m) {
  if (m.Topic == "kivu/agent12/hit") return As<TAEHitRecord>(m.Payload).FileTime;
  if (m.Topic == "kivu/agent12/ping") return As<TAEPingRecord>(m.Payload).FileTime;
  if (m.Topic == "kivu/agent12/param") return As<TAEParamRecord>(m.Payload).FileTime;
  ADD_FAILURE() << "not a record: " << m.Topic;
  return 0;
}

}  // namespace

class MqttEndToEnd : public testing::Test {
 protected:
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(Broker->Port()); }
  // withBom: UTF-8 with its mark, so that the bytes reach the program as written.
  void WriteIni(const TIniValues& over = {}, bool withBom = false) {
    Program.WriteIni({{"Agent.AgentId", "42"},
                      {"Agent.Channels", "3"},
                      {"Agent.HitsPerSecPerChannel", "15"},
                      {"Agent.SamplesPerHit", "1024"},
                      {"Agent.DataRoot", Temp.Str("Data")},
                      {"Network.Transport", "mqtt"},
                      {"Network.PingIntervalSec", "1"},
                      {"Parametric.IntervalMs", "250"},
                      {"Simulation.FailAfterSec", "1000"},
                      {"Mqtt.Url", Url()},
                      {"Mqtt.User", "agent12"},
                      {"Mqtt.Password", "pw-agent12"},
                      {"Mqtt.SendWaves", "1"},
                      {"Mqtt.MaxWavesPerSec", "5"}},
                     over, withBom);
  }
  std::unique_ptr<TTestProcess> Run(std::vector<std::string> args) { return Program.Run(std::move(args)); }
  std::vector<std::string> Output() const { return OutputLines(Program.Output()); }
  // Waits until a line of the output matches, at most limit; the line or nothing.
  std::optional<std::string> WaitForLine(const std::regex& re, std::chrono::milliseconds limit) const {
    std::optional<std::string> found;
    PollUntil(
        [&] {
          for (const std::string& line : Output())
            if (std::regex_search(line, re)) return (found = line).has_value();
          return false;
        },
        limit, 50ms);
    return found;
  }
  std::string HitFile(const TAEHitRecord& h) const { return Program.HitFile(Temp.Str("Data"), h); }

  std::unique_ptr<TAEMosquitto> Broker = StartNodeBroker();
  TAETempDir Temp;
  TVelkarnCopy Program{Temp};
};

TEST_F(MqttEndToEnd, ARunPublishesItsHitFilesRecordsAndStatus) {
  WriteIni();
  TMqttWatch watch(*Broker, "watcher");
  auto node = Run({"6"});
  ASSERT_TRUE(watch.CollectUntilStatus("stopped", 90s)) << Broker->Log();
  ASSERT_EQ(node->Wait(30000), 0);
  watch.CollectFor(300ms);

  const auto lines = Output();
  ASSERT_GE(lines.size(), 8u);
  EXPECT_EQ(lines[0], "Velkarn 12: 3 channels, 15.0 hits/s/ch, 1024 samples at 2.0 MS/s") << "id from the login";
  EXPECT_EQ(lines[2], "MQTT hits -> " + Url() + " as agent12 (waveforms to the server: up to 5/s)");
  EXPECT_EQ(lines[3], "Ctrl+C to stop.");
  const std::string all = ReadFileBytes(Temp.Path() / "out.txt");
  EXPECT_TRUE(std::regex_search(all, std::regex(R"(\d\d:\d\d:\d\d  MQTT: connected to )" + Url() + "\r\n"))) << all;
  EXPECT_EQ(all.find("pw-agent12"), std::string::npos) << "the password is never printed";
  const std::regex status(R"(  audio err 0  \| mqtt up queued \d+ dropped 0 reconnects 0$)");
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const auto& l) { return std::regex_search(l, status); }))
      << all;
  std::smatch accuracy;
  ASSERT_TRUE(std::regex_match(lines.back(), accuracy, std::regex(R"(Accuracy: \d+\.\d% of (\d+) hits)"))) << all;

  ASSERT_FALSE(watch.Got.empty());
  EXPECT_TRUE(TMqttWatch::IsStatus(watch.Got.front(), "online"));
  EXPECT_TRUE(TMqttWatch::IsStatus(watch.Got.back(), "stopped"));
  std::vector<TAEHitRecord> hits;
  std::vector<const TRawPublish*> waves;
  std::map<int, std::vector<TAEPingRecord>> pings;
  std::map<int, std::vector<TAEParamRecord>> params;
  for (const TRawPublish& m : watch.Got) {
    SCOPED_TRACE(m.Topic);
    if (m.Topic == "kivu/agent12/hit") {
      ASSERT_EQ(m.QoS, 0);
      hits.push_back(As<TAEHitRecord>(m.Payload));
      ASSERT_EQ(hits.back().AgentId, 12);
      ASSERT_EQ(HitFile(hits.back()).substr(4, 76), Text(m.Payload)) << "the record is the one in its hit file";
    } else if (m.Topic == "kivu/agent12/wave") {
      ASSERT_EQ(m.QoS, 1);
      waves.push_back(&m);
    } else if (m.Topic == "kivu/agent12/ping") {
      ASSERT_EQ(m.QoS, 0);
      const auto p = As<TAEPingRecord>(m.Payload);
      pings[p.Channel].push_back(p);
    } else if (m.Topic == "kivu/agent12/param") {
      ASSERT_EQ(m.QoS, 0);
      const auto p = As<TAEParamRecord>(m.Payload);
      params[p.ParamId].push_back(p);
    } else {
      ASSERT_EQ(m.Topic, "kivu/agent12/status");
      ASSERT_EQ(m.QoS, 1);
    }
  }
  // Every hit of the run, and nothing else: the report counts each hit once.
  EXPECT_EQ(std::to_string(hits.size()), accuracy[1].str());
  ExpectConsecutiveHits(watch.Got, "kivu/agent12/hit");
  // Waves: whole hit files, at most 5 in any UTC second (a wave leaves within a moment
  // of its hit's time stamp, so the seconds its hits span bound the windows used).
  ASSERT_FALSE(hits.empty());
  const std::int64_t firstSecond = hits.front().FileTime / 10000000;
  const std::int64_t lastSecond = hits.back().FileTime / 10000000;
  EXPECT_LE(waves.size(), static_cast<std::size_t>(5 * (lastSecond - firstSecond + 2)));
  EXPECT_GE(waves.size(), static_cast<std::size_t>(5 * (lastSecond - firstSecond - 1)));
  for (const TRawPublish* w : waves) {
    ASSERT_GE(w->Payload.size(), 88u);
    TAEHitRecord h;
    std::memcpy(&h, w->Payload.data() + 4, sizeof h);
    ASSERT_EQ(Text(w->Payload), HitFile(h));
  }
  // Every ping and parameter record the node had counted as sent by its last status
  // line reached the broker, each channel's and each parameter's in order from 1.
  std::size_t pingsSent = 0, paramsSent = 0;
  const std::regex sentCounts(R"(  sent \d+ ping (\d+) param (\d+) err )");
  for (const std::string& line : lines) {
    std::smatch m;
    if (std::regex_search(line, m, sentCounts)) {
      pingsSent = std::stoul(m[1].str());
      paramsSent = std::stoul(m[2].str());
    }
  }
  std::size_t pingsGot = 0, paramsGot = 0;
  ASSERT_EQ(pings.size(), 3u);
  for (const auto& [ch, list] : pings) {
    pingsGot += list.size();
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].Seq, i + 1) << "channel " << ch;
  }
  ASSERT_EQ(params.size(), 2u);
  for (const auto& [id, list] : params) {
    paramsGot += list.size();
    for (std::size_t i = 0; i < list.size(); ++i) EXPECT_EQ(list[i].Seq, i + 1) << "parameter " << id;
  }
  EXPECT_GE(pingsGot, pingsSent) << all;
  EXPECT_GE(paramsGot, paramsSent) << all;

  TMqttWatch late(*Broker, "late");
  ASSERT_TRUE(late.CollectUntil(10s, [](const TRawPublish&) { return true; })) << "nothing retained";
  late.CollectFor(1s);  // nothing more may come
  ASSERT_EQ(late.Got.size(), 1u) << "only the status is retained";
  EXPECT_TRUE(TMqttWatch::IsStatus(late.Got[0], "stopped"));
  EXPECT_TRUE(late.Got[0].Retain);
}

// A login that would put wildcards or ill-formed text into the topics ends the start
// with exit code 1 and one line naming the key and its fault, before any connection.
TEST_F(MqttEndToEnd, ALoginThatCannotNameTopicsEndsWithOneAndItsLine) {
  struct TCase {
    const char* User;
    const char* Line;
  };
  for (const TCase& c : {TCase{"agent+7", "Exception: [Mqtt] User=agent+7 holds \"+\", an MQTT wildcard, which "
                                          "the agent's topics made from it may not"},
                         TCase{"agent\xF8", "Exception: [Mqtt] User is not well-formed UTF-8: byte $F8 at offset 5"}}) {
    SCOPED_TRACE(c.Line);
    WriteIni({{"Mqtt.User", c.User}}, true);
    auto node = Run({"3"});
    EXPECT_EQ(node->Wait(30000), 1);
    const auto lines = Output();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.Line);
    for (const std::string& line : lines) EXPECT_EQ(line.find("Stopping..."), std::string::npos) << line;
  }
  EXPECT_EQ(Broker->Log().find("New connection from"), std::string::npos) << Broker->Log();
}

// A control character in the login, here the byte 81 of an unmarked (Windows-1252) INI
// that is read as U+0081, is refused at start as a wildcard is: a broker may close the
// connection over it, and the node would retry for ever.
TEST_F(MqttEndToEnd, ALoginWithAControlCharacterEndsWithOneAndItsLine) {
  WriteIni({{"Mqtt.User", "agent\x81"}}, false);
  auto node = Run({"3"});
  EXPECT_EQ(node->Wait(30000), 1);
  const auto lines = Output();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(),
            "Exception: [Mqtt] User holds the control character U+0081 at offset 5, which a broker may refuse");
  for (const std::string& line : lines) EXPECT_EQ(line.find("Stopping..."), std::string::npos) << line;
  EXPECT_EQ(Broker->Log().find("New connection from"), std::string::npos) << Broker->Log();
}

TEST_F(MqttEndToEnd, AKilledNodeLeavesItsWillOffline) {
  WriteIni({{"Agent.HitsPerSecPerChannel", "1"}});
  TMqttWatch watch(*Broker, "watcher", "kivu/agent12/status");
  auto node = Run({"120"});
  ASSERT_TRUE(watch.CollectUntilStatus("online", 60s)) << Broker->Log();
  node.reset();  // SIGKILL, or TerminateProcess under Windows: no DISCONNECT is sent
  ASSERT_TRUE(watch.CollectUntilStatus("offline", 30s)) << Broker->Log();
  EXPECT_EQ(watch.Got.back().QoS, 0);
  TMqttWatch late(*Broker, "late", "kivu/agent12/status");
  ASSERT_TRUE(late.CollectUntilStatus("offline", 10s));
  EXPECT_TRUE(late.Got.back().Retain);
}

// What the node publishes while the broker is away waits in its queue and arrives in
// order once it is back, followed by "online"; the status line shows the outage. What
// the node made meanwhile is read from its hit files, so that the check holds at any pace.
TEST_F(MqttEndToEnd, ABrokerRestartDeliversTheQueueInOrderThenOnline) {
  constexpr std::size_t kOutageHits = 5;
  WriteIni({{"Agent.Channels", "2"}, {"Agent.HitsPerSecPerChannel", "5"}, {"Parametric.IntervalMs", "1000"},
            {"Mqtt.SendWaves", "0"}});
  {
    TMqttWatch first(*Broker, "watcher");
    auto node = Run({"120"});
    ASSERT_TRUE(first.CollectUntilStatus("online", 60s)) << Broker->Log();
    // The status lines keep the main loop's pace, which starts only after the start-up
    // (the tray's, slow under Wine): the outage must begin once they run.
    ASSERT_TRUE(WaitForLine(std::regex(R"(  \| mqtt up queued \d+ dropped 0 reconnects 0$)"), 60s))
        << ReadFileBytes(Temp.Path() / "out.txt");
    const std::size_t lines = Output().size();
    Broker->Stop();
    // Once the loss is told, every hit the node makes waits in its queue.
    ASSERT_TRUE(PollUntil(
        [&] {
          const auto now = Output();
          return std::any_of(now.begin() + static_cast<std::ptrdiff_t>(std::min(lines, now.size())), now.end(),
                             [](const std::string& l) { return std::regex_search(l, std::regex("; next attempt in 1 s$")); });
        },
        60s, 50ms))
        << ReadFileBytes(Temp.Path() / "out.txt");
    const std::int64_t lostTime = NowFileTime();
    // The node's third attempt is 5 s away: time enough for the broker and the watcher
    // to be back before it connects again. (A socket error's text spans two lines.)
    ASSERT_TRUE(WaitForLine(std::regex("; next attempt in 5 s$"), 60s)) << ReadFileBytes(Temp.Path() / "out.txt");
    ASSERT_TRUE(PollUntil([&] { return HitsWrittenSince(Temp.Str("Data"), lostTime).size() >= kOutageHits; }, 30s, 50ms))
        << "the node made no hits while the broker was away\n" << ReadFileBytes(Temp.Path() / "out.txt");
    const std::int64_t restartTime = NowFileTime();
    Broker->Start();
    TMqttWatch watch(*Broker, "watcher");
    ASSERT_TRUE(watch.CollectUntilStatus("online", 30s)) << ReadFileBytes(Temp.Path() / "out.txt");
    const std::int64_t onlineTime = NowFileTime();
    // A live hit after "online": the stream goes on from the queue unbroken.
    ASSERT_TRUE(watch.CollectUntil(30s, [](const TRawPublish& m) { return m.Topic == "kivu/agent12/hit"; }))
        << "live records follow";

    const std::size_t online = static_cast<std::size_t>(
        std::find_if(watch.Got.begin(), watch.Got.end(), [](const auto& m) { return TMqttWatch::IsStatus(m, "online"); }) -
        watch.Got.begin());
    for (std::size_t i = 0; i < online; ++i)
      ASSERT_LT(RecordTime(watch.Got[i]), onlineTime) << "before \"online\" only records that waited in the queue";
    EXPECT_GE(ExpectOutageHitsAheadOfOnline(watch.Got, "kivu/agent12/hit", Temp.Str("Data"), lostTime, restartTime),
              kOutageHits)
        << "the hits of the outage were kept";
    ExpectConsecutiveHits(watch.Got, "kivu/agent12/hit");
    EXPECT_TRUE(WaitForLine(std::regex(R"(  \| mqtt DOWN queued [1-9]\d* dropped 0 reconnects 1$)"), 1s))
        << "a status line during the outage\n" << ReadFileBytes(Temp.Path() / "out.txt");
    EXPECT_TRUE(WaitForLine(std::regex(R"(  \| mqtt up queued \d+ dropped 0 reconnects 1$)"), 15s));
  }
}

// A second client with the node's login takes the session over and over: the node
// suspects it, says so once, and shows it in its status line.
TEST_F(MqttEndToEnd, ALoginUsedTwiceIsSuspectedAndShown) {
  WriteIni({{"Agent.HitsPerSecPerChannel", "1"}});
  TMqttWatch watch(*Broker, "watcher", "kivu/agent12/status");
  auto node = Run({"120"});
  ASSERT_TRUE(watch.CollectUntilStatus("online", 60s)) << Broker->Log();
  // The same options a second node with this login would use.
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = o.User = "agent12";
  o.Password = "pw-agent12";
  o.WillTopic = "kivu/agent12/status";
  o.WillPayload = {'o', 'f', 'f', 'l', 'i', 'n', 'e'};
  o.WillRetain = true;
  TAEMqttClient other(CreateTcpTransport(Broker->Host(), Broker->Port()), o);
  other.Start();
  const auto shown = WaitForLine(std::regex(R"(\| mqtt (up|DOWN) queued \d+ dropped \d+ reconnects [1-9]\d*  LOGIN USED BY ANOTHER AGENT\?$)"), 60s);
  other.Stop();
  ASSERT_TRUE(shown.has_value()) << ReadFileBytes(Temp.Path() / "out.txt");
  EXPECT_TRUE(WaitForLine(std::regex(R"(^\d\d:\d\d:\d\d  MQTT: the session is replaced right after connecting: is another )"
                                     R"(agent running with the login "agent12"\? Each agent needs its own login\.$)"),
                          1s));
}
