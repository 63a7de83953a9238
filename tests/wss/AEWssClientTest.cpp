// The MQTT client over the WebSocket transport against the real broker's ws and wss
// listeners: round trips of hit- and wave-sized messages, a broker restart with the
// queue delivered in order, and a Stop that must not wait for a blocked reader.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "AEMqtt.h"
#include "AEWssBroker.h"
#include "AEWssBrokerTest.h"
#include "common/AEStallPeers.h"
#include "mqtt/AEMqttTestUtil.h"

namespace {

using namespace std::chrono_literals;

const std::string kWsUrl = "ws://127.0.0.1:" + std::to_string(kWsPort) + "/mqtt";
const std::string kWssUrl = "wss://localhost:" + std::to_string(kWssPort) + "/mqtt";

constexpr std::size_t kHitBytes = 76;
constexpr std::size_t kWaveBytes = 88 + 2 * 4096;  // a hit file of 4096 samples

// Distinct bytes per message, so that a swapped or damaged message shows.
TAEBytes Payload(std::size_t size, int n) {
  TAEBytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 31 + n * 7 + (i >> 9));
  return b;
}

class WssClient : public WssBrokerTest, public testing::WithParamInterface<std::string> {
 protected:
  // A client over the URL under test that receives what it publishes under Root(). A
  // root per client: under Wine the tests share one broker.
  std::unique_ptr<TAEMqttClient> Make(const std::string& clientId) {
    FRoot = "kivu/" + clientId + "/";
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.ClientId = clientId;
    o.KeepAliveSec = 5;
    auto c = std::make_unique<TAEMqttClient>(CreateWssTransport(GetParam()), o);
    c->OnLog = FLog.Proc();
    c->OnMessage = FGot.Proc();
    c->Subscribe(FRoot + "#", 1);
    return c;
  }
  std::string Topic(const char* leaf) const { return FRoot + leaf; }
  std::string FRoot;
  TLogSink FLog;
  TMessageSink FGot;
};

TEST_P(WssClient, HitsAndWavesMakeTheRoundTripIntactWithQos0And1) {
  auto c = Make("wss-roundtrip");
  c->Start();
  ASSERT_TRUE(FLog.WaitFor("connected to " + GetParam(), 15s)) << FLog.Joined();
  struct TMsg {
    std::string Topic;
    std::size_t Size;
    std::uint8_t QoS;
  };
  // A topic per kind: the broker keeps the order of each QoS, not across them (its
  // QoS 1 window may hold messages back that QoS 0 ones overtake).
  const TMsg kinds[] = {{Topic("hit0"), kHitBytes, 0}, {Topic("hit1"), kHitBytes, 1},
                        {Topic("wave0"), kWaveBytes, 0}, {Topic("wave1"), kWaveBytes, 1}};
  constexpr int kRounds = 25;
  // The subscription is acknowledged before the first message is read back: wait for
  // one probe to come round before the counted messages go out.
  c->Publish(Topic("probe"), std::string_view("probe"), 1, false);
  ASSERT_TRUE(FGot.WaitForCount(1, 10s)) << FLog.Joined();
  for (int r = 0; r < kRounds; ++r)
    for (int k = 0; k < 4; ++k) c->Publish(kinds[k].Topic, Payload(kinds[k].Size, r * 4 + k), kinds[k].QoS, false);
  ASSERT_TRUE(FGot.WaitForCount(1 + 4 * kRounds, 30s)) << FLog.Joined();
  const auto msgs = FGot.Messages();
  ASSERT_EQ(msgs.size(), 1u + 4 * kRounds);
  for (int k = 0; k < 4; ++k) {
    SCOPED_TRACE(kinds[k].Topic);
    int round = 0;
    for (std::size_t i = 1; i < msgs.size(); ++i) {
      if (msgs[i].Topic != kinds[k].Topic) continue;
      ASSERT_LT(round, kRounds) << "a message came twice";
      EXPECT_TRUE(msgs[i].Payload == Payload(kinds[k].Size, round * 4 + k))
          << "round " << round << ", size " << msgs[i].Payload.size();
      ++round;
    }
    EXPECT_EQ(round, kRounds);
  }
  c->Stop();
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Sent, 1 + 4 * kRounds);
  EXPECT_EQ(s.Received, 1 + 4 * kRounds);
  EXPECT_EQ(s.Reconnects, 0) << FLog.Joined();
  EXPECT_EQ(s.Dropped, 0);
}

// Published while the broker is away: queued, then delivered in order after the
// reconnect, behind the re-sent subscription and ahead of what OnConnected adds.
TEST_P(WssClient, QueueSurvivesABrokerRestartInOrder) {
  auto c = Make("wss-restart");
  TAEMqttClient* client = c.get();
  const std::string status = Topic("status");
  c->OnConnected = [client, status] { client->Publish(status, std::string_view("online"), 1, false); };
  c->Start();
  ASSERT_TRUE(FGot.WaitForCount(1, 15s)) << FLog.Joined();
  ASSERT_TRUE(FBroker->Stop());
  ASSERT_TRUE(FLog.WaitFor("connection lost: ", 10s)) << FLog.Joined();
  constexpr int kQueued = 20;
  for (int i = 0; i < kQueued; ++i)
    c->Publish(Topic(i % 2 ? "wave" : "hit"), Payload(i % 2 ? kWaveBytes : kHitBytes, i), i % 2, false);
  EXPECT_EQ(c->Stats().Queued, kQueued);
  EXPECT_FALSE(c->Stats().Connected);
  ASSERT_TRUE(FBroker->Start());
  ASSERT_TRUE(FGot.WaitForCount(1 + kQueued + 1, 60s)) << FLog.Joined();
  const auto msgs = FGot.Messages();
  ASSERT_EQ(msgs.size(), 1u + kQueued + 1);
  for (int i = 0; i < kQueued; ++i)
    EXPECT_TRUE(msgs[1 + i].Payload == Payload(i % 2 ? kWaveBytes : kHitBytes, i)) << "message " << i;
  EXPECT_EQ(msgs.back().Payload, Bytes("online"));
  // The attempts while the broker was away followed the back-off from its first step.
  EXPECT_EQ(FLog.Count("; next attempt in 1 s"), 1u) << FLog.Joined();
  // "online" leaves the queue at its PUBACK, which may follow its delivery.
  EXPECT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& st) { return st.Queued == 0; }));
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Reconnects, 1);
  EXPECT_TRUE(s.Connected);
  EXPECT_EQ(FLog.Count("connected to " + GetParam()), 2u) << FLog.Joined();
  c->Stop();
}

// The reader is blocked in its receive while the session idles; Stop must end it. With
// a frozen broker nothing answers the DISCONNECT or the close either.
TEST_P(WssClient, StopWhileTheReaderIsBlockedReturnsPromptly) {
  for (bool frozen : {false, true}) {
    SCOPED_TRACE(frozen ? "frozen broker" : "live broker");
    auto c = Make(frozen ? "wss-stop-frozen" : "wss-stop-live");
    c->Start();
    ASSERT_TRUE(FLog.WaitFor("connected to " + GetParam(), 15s, frozen ? 2 : 1)) << FLog.Joined();
    ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Connected; }));
    if (frozen) FBroker->Freeze();
    c->Publish(Topic("status"), std::string_view("stopped"), 1, false);
    // Stopped on a thread of its own, so that a Stop that hangs fails here, by the limit.
    const auto limit = StopLimit(frozen);
    std::mutex m;
    std::condition_variable changed;
    bool stopped = false;
    const auto before = std::chrono::steady_clock::now();
    std::thread stopper([&] {
      c->Stop();
      std::lock_guard lock(m);
      stopped = true;
      changed.notify_all();
    });
    {
      std::unique_lock lock(m);
      EXPECT_TRUE(changed.wait_for(lock, limit, [&] { return stopped; }))
          << "Stop still runs after " << limit.count() << " ms";
    }
    if (frozen) FBroker->Thaw();  // lets a hanging Stop end, so the test can go on
    stopper.join();
    RecordProperty(frozen ? "StopMsFrozen" : "StopMsLive",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - before)
                                        .count()));
    EXPECT_FALSE(c->Stats().Connected);
    // A frozen broker acknowledges nothing: the message stays for the next session.
    EXPECT_EQ(c->Stats().Queued, frozen ? 1 : 0) << "sent before the end";
  }
}

// Stop while the first attempt hangs in a step of the WebSocket's Open: the TCP connect
// (no answer at all), or, the connect done, the TLS handshake (wss) or the upgrade (ws)
// that a peer never answers. Stop ends the attempt within a second and reports nothing.
TEST_P(WssClient, StopDuringAStalledAttemptReturnsWithinASecond) {
  const bool secure = GetParam().rfind("wss", 0) == 0;
  for (bool connectHangs : {true, false}) {
    SCOPED_TRACE(connectHangs ? "TCP connect" : secure ? "TLS handshake" : "WebSocket upgrade");
    const TStalledAttempt peer(connectHangs);
    ASSERT_TRUE(peer.Ready());
    const std::uint16_t port = peer.Port();
    const std::string url = (secure ? "wss://localhost:" : "ws://127.0.0.1:") + std::to_string(port) + "/mqtt";
    TLogSink log;
    TAEMqttClient c(CreateWssTransport(url), TAEMqttOptions::Default());
    c.OnLog = log.Proc();
    c.Start();
    std::this_thread::sleep_for(500ms);  // well into the step
    // Stopped on a thread of its own, so that a Stop that hangs fails here, by the limit.
    std::mutex m;
    std::condition_variable changed;
    bool stopped = false;
    const auto before = std::chrono::steady_clock::now();
    std::thread stopper([&] {
      c.Stop();
      std::lock_guard lock(m);
      stopped = true;
      changed.notify_all();
    });
    {
      std::unique_lock lock(m);
      EXPECT_TRUE(changed.wait_for(lock, 1s, [&] { return stopped; })) << "Stop still runs after 1 s";
    }
    stopper.join();
    RecordProperty(connectHangs ? "StopMsConnect" : "StopMsHandshake",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - before)
                                        .count()));
    EXPECT_EQ(log.Joined(), "");
    EXPECT_FALSE(c.Stats().Connected);
  }
}

INSTANTIATE_TEST_SUITE_P(Listeners, WssClient, testing::Values(kWsUrl, kWssUrl),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param.rfind("wss", 0) == 0 ? std::string("Wss") : std::string("Ws");
                         });

}  // namespace
