// The real executable in mqtt mode with a ws:// or wss:// broker URL against the real
// broker's WebSocket listeners: what a subscriber receives, a broker restart under the
// running node, and the node's stop while its WebSocket reader is blocked.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <utility>

#include "AEWssBroker.h"
#include "AEWssBrokerTest.h"
#include "VelkarnProgramKit.h"
#include "VelkarnTestKit.h"
#include "agentmqtt/AEMqttWatch.h"
#include "agentmqtt/AEOutageHits.h"
#include "common/AEPollUntil.h"
#include "mqtt/AEMqttTestUtil.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

const std::string kHitTopic = "kivu/agent12/hit";

class WssNode : public WssBrokerTest, public testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override {
    WssBrokerTest::SetUp();
    Program = std::make_unique<TVelkarnCopy>(FDir);
    ClearRetainedStatus();
  }
  // Under Wine the tests share one broker: the status an earlier node left retained
  // would reach a new watcher first. An empty retained message removes it.
  void ClearRetainedStatus() {
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.ClientId = "status-clearer";
    TAEMqttClient c(CreateTcpTransport("127.0.0.1", kTcpPort), o);
    TLogSink log;
    c.OnLog = log.Proc();
    c.Publish("kivu/agent12/status", TAEBytes{}, 1, true);
    c.Start();
    ASSERT_TRUE(WaitForStats(c, 10s, [](const TAEMqttStats& s) { return s.Sent == 1; })) << log.Joined();
    c.Stop();
  }
  void WriteIni(const TIniValues& over = {}) {
    Program->WriteIni({{"Agent.Channels", "2"},
                       {"Agent.HitsPerSecPerChannel", "10"},
                       {"Agent.SamplesPerHit", "1024"},
                       {"Agent.DataRoot", FDir.Str("Data")},
                       {"Network.Transport", "mqtt"},
                       {"Network.PingIntervalSec", "1"},
                       {"Parametric.IntervalMs", "500"},
                       {"Simulation.FailAfterSec", "1000"},
                       {"Mqtt.Url", GetParam()},
                       {"Mqtt.User", "agent12"},
                       {"Mqtt.Password", "pw-agent12"},
                       {"Mqtt.KeepAliveSec", "5"},
                       {"Mqtt.SendWaves", "1"},
                       {"Mqtt.MaxWavesPerSec", "5"}},
                      over);
  }
  std::unique_ptr<TTestProcess> Run(std::vector<std::string> args) { return Program->Run(std::move(args)); }
  std::string Output() const { return Program->Output(); }
  std::unique_ptr<TMqttWatch> Watch(const std::string& id) {
    return std::make_unique<TMqttWatch>("127.0.0.1", kTcpPort, id);
  }
  bool WaitForOutput(const std::regex& re, std::chrono::milliseconds limit) const {
    return Program->WaitForOutput(re, limit);
  }
  std::string HitFile(const TAEHitRecord& h) const { return Program->HitFile(FDir.Str("Data"), h); }

  std::unique_ptr<TVelkarnCopy> Program;  // after the base's SetUp, which makes the folder ready
};

TEST_P(WssNode, ARunPublishesHitsWavesAndStatusThatASubscriberReceives) {
  WriteIni();
  auto watch = Watch("watcher");
  auto node = Run({"5"});
  ASSERT_TRUE(watch->CollectUntilStatus("stopped", 90s)) << Output();
  ASSERT_EQ(node->Wait(30000), 0) << Output();
  EXPECT_TRUE(std::regex_search(Output(), std::regex(R"(\d\d:\d\d:\d\d  MQTT: connected to )" + GetParam())))
      << Output();

  SCOPED_TRACE(Output());
  ASSERT_FALSE(watch->Got.empty());
  // "online" follows whatever the node queued while it connected.
  EXPECT_EQ(std::count_if(watch->Got.begin(), watch->Got.end(),
                          [](const TRawPublish& m) { return TMqttWatch::IsStatus(m, "online"); }),
            1);
  EXPECT_TRUE(TMqttWatch::IsStatus(watch->Got.back(), "stopped"));
  std::map<std::string, std::size_t> count;
  for (const TRawPublish& m : watch->Got) {
    SCOPED_TRACE(m.Topic);
    ++count[m.Topic];
    if (m.Topic == kHitTopic) {
      const auto h = As<TAEHitRecord>(m.Payload);
      EXPECT_EQ(h.AgentId, 12);
      EXPECT_EQ(HitFile(h).substr(4, 76), std::string(m.Payload.begin(), m.Payload.end()));
    } else if (m.Topic == "kivu/agent12/wave") {
      EXPECT_EQ(m.QoS, 1);
      ASSERT_EQ(m.Payload.size(), 88u + 2 * 1024) << "a whole hit file";
      TAEHitRecord h;
      std::memcpy(&h, m.Payload.data() + 4, sizeof h);
      EXPECT_EQ(std::string(m.Payload.begin(), m.Payload.end()), HitFile(h));
    }
  }
  EXPECT_GE(ExpectConsecutiveHits(watch->Got, kHitTopic), 20u);
  EXPECT_GE(count["kivu/agent12/wave"], 5u);
  EXPECT_GE(count["kivu/agent12/ping"], 2u * 3);
  EXPECT_GE(count["kivu/agent12/param"], 2u * 6);
  EXPECT_EQ(count["kivu/agent12/status"], 2u) << "online, stopped";
}

// Published while the broker is away: queued in the node, delivered in order once the
// broker is back, ahead of the new "online". What the node made meanwhile is read from
// its hit files, so that the check holds at any pace.
TEST_P(WssNode, ABrokerRestartDeliversTheQueueThenOnline) {
  constexpr std::size_t kOutageHits = 10;
  WriteIni({{"Mqtt.SendWaves", "0"}});
  auto first = Watch("watcher");
  auto node = Run({"40"});
  ASSERT_TRUE(first->CollectUntilStatus("online", 60s)) << Output();
  first.reset();
  const std::size_t before = Output().size();
  ASSERT_TRUE(FBroker->Stop());
  // Once the loss is told, every hit the node makes waits in its queue.
  ASSERT_TRUE(PollUntil([&] { return std::regex_search(Output().substr(before), std::regex("; next attempt in 1 s")); },
                        60s, 50ms))
      << Output();
  const std::int64_t lostTime = NowFileTime();
  // Attempts after 1 and 2 s fail; the third is 5 s away: time for the broker and the
  // watcher to be back before the node connects again.
  ASSERT_TRUE(WaitForOutput(std::regex("; next attempt in 5 s"), 60s)) << Output();
  ASSERT_TRUE(PollUntil([&] { return HitsWrittenSince(FDir.Str("Data"), lostTime).size() >= kOutageHits; }, 30s, 50ms))
      << "the node made no hits while the broker was away\n" << Output();
  const std::int64_t restartTime = NowFileTime();
  ASSERT_TRUE(FBroker->Start());
  auto watch = Watch("watcher");
  ASSERT_TRUE(watch->CollectUntilStatus("online", 30s)) << Output();
  // A live hit after "online": the stream goes on from the queue unbroken.
  ASSERT_TRUE(watch->CollectUntil(30s, [](const TRawPublish& m) { return m.Topic == kHitTopic; })) << Output();
  EXPECT_GE(ExpectOutageHitsAheadOfOnline(watch->Got, kHitTopic, FDir.Str("Data"), lostTime, restartTime), kOutageHits);
  ExpectConsecutiveHits(watch->Got, kHitTopic);
  EXPECT_TRUE(WaitForOutput(std::regex(R"(  \| mqtt up queued \d+ dropped 0 reconnects 1)"), 15s)) << Output();
}

// The node's stop, with the broker answering and with the broker frozen (its reader
// waits on a connection where nothing moves): it ends in bounded time with exit code 0.
TEST_P(WssNode, StopWhileTheReaderIsBlockedEndsPromptly) {
  for (bool frozen : {false, true}) {
    SCOPED_TRACE(frozen ? "frozen broker" : "live broker");
    WriteFileBytes(FDir.Path() / "out.txt", "");
    WriteIni({{"Agent.HitsPerSecPerChannel", "1"}, {"Mqtt.SendWaves", "0"}});
    auto watch = Watch(frozen ? "watcher-frozen" : "watcher-live");
    auto node = Run({"6"});
    ASSERT_TRUE(watch->CollectUntilStatus("online", 60s)) << Output();
    if (frozen) FBroker->Freeze();
    // The run time ends the node; its stop starts with this line.
    ASSERT_TRUE(WaitForOutput(std::regex("Stopping\\.\\.\\."), 30s)) << Output();
    // The rest of the stop: threads joined, the report printed, the process gone.
    const auto limit = StopLimit(frozen) + 2000ms;
    const auto code = node->Wait(static_cast<int>(limit.count()));
    EXPECT_EQ(code, std::optional<int>(0)) << "not ended within " << limit.count() << " ms\n" << Output();
    if (frozen) FBroker->Thaw();
    if (!code) node->Wait(60000);
    if (!frozen) {
      ASSERT_TRUE(watch->CollectUntilStatus("stopped", 10s)) << "the stop reached the broker";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Listeners, WssNode,
                         testing::Values("ws://127.0.0.1:" + std::to_string(kWsPort) + "/mqtt",
                                         "wss://localhost:" + std::to_string(kWssPort) + "/mqtt"),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param.rfind("wss", 0) == 0 ? std::string("Wss") : std::string("Ws");
                         });

}  // namespace
