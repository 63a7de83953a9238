// The client against a real mosquitto broker on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "AEMqtt.h"
#include "AEMqttTestUtil.h"
#include "AERawSubscriber.h"
#include "common/AEMosquitto.h"
#include "common/AETestProxy.h"

namespace {

using namespace std::chrono_literals;

class Broker : public testing::Test {
 protected:
  void SetUp() override {
    FBroker = std::make_unique<TAEMosquitto>(std::vector<std::pair<std::string, std::string>>{
        {"agent12", "pw-agent12"}, {"watcher", "pw-watcher"}});
    FBroker->Start();
  }
  std::unique_ptr<TAEMqttClient> Make(const std::string& clientId, const std::string& password, TLogSink& log,
                                      std::int32_t maxQueue = 1000) {
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.ClientId = clientId;
    o.User = "agent12";
    o.Password = password;
    o.MaxQueue = maxQueue;
    auto c = std::make_unique<TAEMqttClient>(CreateTcpTransport(FBroker->Host(), FBroker->Port()), o);
    c->OnLog = log.Proc();
    return c;
  }
  std::unique_ptr<TRawSubscriber> Watch(const std::string& filter, const std::string& id = "watcher") {
    return std::make_unique<TRawSubscriber>(FBroker->Host(), FBroker->Port(), "watcher", "pw-watcher", id, filter);
  }
  std::string Describe() const { return "mqtt://127.0.0.1:" + std::to_string(FBroker->Port()); }
  std::unique_ptr<TAEMosquitto> FBroker;
};

TEST_F(Broker, DeliversWithTheQosAndRetainAskedFor) {
  auto watcher = Watch("kivu/agent12/#");
  TLogSink log;
  auto c = Make("agent12", "pw-agent12", log);
  c->Start();
  ASSERT_TRUE(log.WaitFor("connected to " + Describe(), 10s)) << log.Joined() << FBroker->Log();
  const TAEBytes hit(76, 0xA5);
  c->Publish("kivu/agent12/hit", hit, 0, false);
  c->Publish("kivu/agent12/wave", TAEBytes(4000, 7), 1, false);
  c->Publish("kivu/agent12/status", std::string_view("online"), 1, true);
  struct TWant {
    std::string Topic;
    std::uint8_t QoS;
    std::size_t Size;
  };
  for (const TWant& w : {TWant{"kivu/agent12/hit", 0, 76}, TWant{"kivu/agent12/wave", 1, 4000},
                         TWant{"kivu/agent12/status", 1, 6}}) {
    SCOPED_TRACE(w.Topic);
    const auto m = watcher->NextPublish(10s);
    ASSERT_TRUE(m.has_value());
    EXPECT_EQ(m->Topic, w.Topic);
    EXPECT_EQ(m->QoS, w.QoS);
    EXPECT_FALSE(m->Retain);  // live delivery
    EXPECT_EQ(m->Payload.size(), w.Size);
  }
  // A late subscriber gets the status as the broker kept it: retained.
  auto late = Watch("kivu/agent12/status", "late");
  const auto kept = late->NextPublish(10s);
  ASSERT_TRUE(kept.has_value());
  EXPECT_TRUE(kept->Retain);
  EXPECT_EQ(kept->Payload, Bytes("online"));
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Sent == 3; }));
  c->Stop();
  EXPECT_EQ(c->Stats().Reconnects, 0);
}

TEST_F(Broker, WrongPasswordIsRefusedAndRetriedWithGrowingWaits) {
  TLogSink log;
  auto c = Make("agent12", "wrong", log);
  c->Start();
  ASSERT_TRUE(log.WaitFor("; next attempt in 2 s", 10s)) << log.Joined();
  c->Stop();
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u) << log.Joined();
  const std::string reason = "connect to " + Describe() + " failed: broker refused: not authorised";
  EXPECT_EQ(lines[0], reason + "; next attempt in 1 s");
  EXPECT_EQ(lines[1], reason + "; next attempt in 2 s");
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.LastError, reason);
  EXPECT_FALSE(s.Connected);
  EXPECT_EQ(s.Reconnects, 0);
}

// Messages published while the broker is away wait in the queue and arrive in order
// after the reconnect, behind the re-sent subscription and before what OnConnected adds.
TEST_F(Broker, QueuedMessagesSurviveABrokerRestartInOrder) {
  TLogSink log;
  TMessageSink got;
  auto c = Make("agent12", "pw-agent12", log);
  TAEMqttClient* client = c.get();
  c->OnMessage = got.Proc();
  c->OnConnected = [client] { client->Publish("kivu/agent12/status", std::string_view("online"), 1, true); };
  c->Subscribe("kivu/agent12/#", 1);
  c->Start();
  ASSERT_TRUE(got.WaitForCount(1, 10s)) << log.Joined();  // its own "online"
  FBroker->Stop();
  ASSERT_TRUE(log.WaitFor("connection lost: ", 10s)) << log.Joined();
  for (int i = 0; i < 20; ++i) c->Publish("kivu/agent12/hit", Numbered("n", i), i % 2, false);
  EXPECT_EQ(c->Stats().Queued, 20);
  FBroker->Start();
  ASSERT_TRUE(got.WaitForCount(1 + 20 + 1, 30s)) << log.Joined();
  const auto msgs = got.Messages();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(msgs[1 + i].Payload, Bytes(Numbered("n", i)));
  EXPECT_EQ(msgs[21].Payload, Bytes("online"));
  // A QoS 1 message counts once its PUBACK is in, which may follow its delivery.
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& st) { return st.Sent == 22; })) << c->Stats().Sent;
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Reconnects, 1);
  EXPECT_TRUE(s.Connected);
  EXPECT_EQ(log.Count("connected to " + Describe()), 2u);
}

TEST_F(Broker, FullQueueWhileAwayKeepsTheNewest) {
  FBroker->Stop();
  TLogSink log;
  TMessageSink got;
  auto c = Make("agent12", "pw-agent12", log, 5);
  c->OnMessage = got.Proc();
  c->Subscribe("kivu/agent12/#", 1);
  c->Start();
  int falses = 0;
  for (int i = 0; i < 8; ++i) falses += !c->Publish("kivu/agent12/param", Numbered("p", i), 1, false);
  EXPECT_EQ(falses, 3);
  EXPECT_EQ(c->Stats().Dropped, 3);
  EXPECT_EQ(c->Stats().Queued, 5);
  ASSERT_TRUE(log.WaitFor("failed: ", 10s)) << log.Joined();
  FBroker->Start();
  ASSERT_TRUE(got.WaitForCount(5, 30s)) << log.Joined();
  const auto msgs = got.Messages();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(msgs[i].Payload, Bytes(Numbered("p", i + 3)));
  EXPECT_EQ(c->Stats().Dropped, 3);
}

TEST_F(Broker, StopSendsWhatIsQueuedThenDisconnects) {
  auto watcher = Watch("kivu/agent12/#");
  TLogSink log;
  auto c = Make("agent12", "pw-agent12", log);
  c->Start();
  ASSERT_TRUE(log.WaitFor("connected to", 10s)) << log.Joined();
  for (int i = 0; i < 100; ++i) c->Publish("kivu/agent12/hit", Numbered("h", i), 0, false);
  c->Publish("kivu/agent12/status", std::string_view("stopped"), 1, true);
  c->Stop();
  for (int i = 0; i < 100; ++i) {
    const auto m = watcher->NextPublish(10s);
    ASSERT_TRUE(m.has_value()) << i;
    EXPECT_EQ(m->Payload, Bytes(Numbered("h", i)));
  }
  const auto last = watcher->NextPublish(10s);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->Payload, Bytes("stopped"));
  EXPECT_EQ(c->Stats().Queued, 0);
  EXPECT_FALSE(c->Stats().Connected);
}

// The acknowledgements of QoS 1 messages arrive while Stop flushes; left unread they
// would make the close a reset, losing the end of the flush and firing the will.
TEST_F(Broker, StopAfterQos1TrafficEndsCleanlyWithoutTheWill) {
  auto watcher = Watch("kivu/agent12/#");
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = o.User = "agent12";
  o.Password = "pw-agent12";
  o.WillTopic = "kivu/agent12/status";
  o.WillPayload = Bytes("offline");
  o.WillRetain = true;
  TLogSink log;
  TAEMqttClient c(CreateTcpTransport(FBroker->Host(), FBroker->Port()), o);
  c.OnLog = log.Proc();
  c.Start();
  ASSERT_TRUE(log.WaitFor("connected to", 10s)) << log.Joined();
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 40; ++i) c.Publish("kivu/agent12/wave", TAEBytes(2000, static_cast<std::uint8_t>(i)), 1, false);
    ASSERT_TRUE(WaitForStats(c, 10s, [&](const TAEMqttStats& s) { return s.Sent >= 40 * (round + 1); }));
  }
  for (int i = 0; i < 40; ++i) c.Publish("kivu/agent12/wave", TAEBytes(2000, 1), 1, false);
  c.Publish("kivu/agent12/status", std::string_view("stopped"), 1, true);
  c.Stop();
  for (int i = 0; i < 160; ++i) {
    const auto m = watcher->NextPublish(10s);
    ASSERT_TRUE(m.has_value()) << i;
    ASSERT_EQ(m->Topic, "kivu/agent12/wave");
  }
  const auto last = watcher->NextPublish(10s);
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(last->Payload, Bytes("stopped"));
  EXPECT_FALSE(watcher->NextPublish(1s).has_value()) << "no will after a clean stop";
  auto late = Watch("kivu/agent12/status", "late");
  const auto kept = late->NextPublish(10s);
  ASSERT_TRUE(kept.has_value());
  EXPECT_EQ(kept->Payload, Bytes("stopped"));
}

// Two clients with one client id take the session from each other in turn.
TEST_F(Broker, SameClientIdTwiceRaisesTheDuplicateSuspicion) {
  TLogSink logA, logB;
  auto a = Make("agent12", "pw-agent12", logA);
  auto b = Make("agent12", "pw-agent12", logB);
  a->Start();
  ASSERT_TRUE(logA.WaitFor("connected to", 10s));
  b->Start();
  const auto either = [&] { return a->Stats().DuplicateSuspected || b->Stats().DuplicateSuspected; };
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!either() && std::chrono::steady_clock::now() < deadline)
    logA.WaitFor("is another agent running with the login \"agent12\"", 100ms);
  EXPECT_TRUE(either()) << logA.Joined() << "--\n" << logB.Joined();
  a->Stop();
  b->Stop();
  EXPECT_EQ(logA.Count("is another agent running") + logB.Count("is another agent running"),
            static_cast<std::size_t>(a->Stats().DuplicateSuspected) + b->Stats().DuplicateSuspected);
  EXPECT_GE(a->Stats().Reconnects + b->Stats().Reconnects, 3);
}

// QoS 1 is at least once across lost connections: waves of messages with the path
// stalled and then cut three times (what was written into the stalled path never
// reaches the broker). Every message arrives, first arrivals in publishing order, the
// unacknowledged ones again before the next "online"; each counts once as sent.
TEST_F(Broker, Qos1SurvivesCutConnectionsAtLeastOnceInOrder) {
  constexpr int kWave = 25;
  constexpr int kCuts = 3;
  TAETestProxy proxy(FBroker->Host(), FBroker->Port());
  auto watcher = Watch("kivu/agent12/#");
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = o.User = "agent12";
  o.Password = "pw-agent12";
  TLogSink log;
  TAEMqttClient c(CreateTcpTransport("127.0.0.1", proxy.Port()), o);
  TAEMqttClient* client = &c;
  c.OnLog = log.Proc();
  c.OnConnected = [client] { client->Publish("kivu/agent12/status", std::string_view("online"), 1, true); };
  c.Start();
  int published = 0;
  const auto wave = [&] {
    for (int i = 0; i < kWave; ++i) c.Publish("kivu/agent12/wave", Numbered("w", published++), 1, false);
  };
  std::vector<int> publishedBeforeCut;
  for (int cut = 1; cut <= kCuts; ++cut) {
    SCOPED_TRACE(cut);
    ASSERT_TRUE(log.WaitFor("connected to", 20s, static_cast<std::size_t>(cut))) << log.Joined();
    const auto connectedAt = std::chrono::steady_clock::now();
    wave();
    ASSERT_TRUE(WaitForStats(c, 10s, [&](const TAEMqttStats& s) { return s.Sent >= published + cut; }))
        << "the wave and the session's \"online\" acknowledged";
    proxy.Stall();
    const std::int64_t before = proxy.BytesToServer();
    wave();  // written into the stalled path, never acknowledged
    ASSERT_TRUE(WaitForStats(c, 10s, [&](const TAEMqttStats& s) { return s.Queued == kWave; }));
    // The third session lasts past the quick-drop window, so that the client retries
    // after a second rather than suspecting another agent.
    while (cut == kCuts && std::chrono::steady_clock::now() - connectedAt < 10500ms) log.WaitFor("never logged", 50ms);
    std::this_thread::sleep_for(200ms);  // let the client hand the whole wave to the socket
    publishedBeforeCut.push_back(published);
    proxy.Cut();
    EXPECT_EQ(proxy.BytesToServer(), before) << "stalled: nothing passed";
    proxy.Pass();
  }
  ASSERT_TRUE(log.WaitFor("connected to", 20s, kCuts + 1)) << log.Joined();
  wave();
  const int total = published;
  std::vector<int> firstArrivals;
  std::vector<int> onlineAt;  // index into firstArrivals at each "online"
  std::vector<bool> seen(static_cast<std::size_t>(total), false);
  while (static_cast<int>(firstArrivals.size()) < total || onlineAt.size() < std::size_t{kCuts + 1}) {
    const auto m = watcher->NextPublish(30s);
    ASSERT_TRUE(m.has_value()) << "arrived " << firstArrivals.size() << " of " << total << ", \"online\" "
                               << onlineAt.size() << " times\n"
                               << log.Joined();
    if (m->Topic == "kivu/agent12/status") {
      onlineAt.push_back(static_cast<int>(firstArrivals.size()));
      continue;
    }
    const int n = std::stoi(std::string(m->Payload.begin() + 1, m->Payload.end()));
    ASSERT_LT(n, total);
    if (seen[static_cast<std::size_t>(n)]) continue;  // a re-delivery
    seen[static_cast<std::size_t>(n)] = true;
    firstArrivals.push_back(n);
  }
  for (int i = 0; i < total; ++i) ASSERT_EQ(firstArrivals[static_cast<std::size_t>(i)], i) << "in order";
  std::string at;
  for (int i : onlineAt) at += " " + std::to_string(i);
  ASSERT_EQ(onlineAt.size(), std::size_t{kCuts + 1}) << at;
  for (int cut = 0; cut < kCuts; ++cut)
    EXPECT_GE(onlineAt[static_cast<std::size_t>(cut) + 1], publishedBeforeCut[static_cast<std::size_t>(cut)])
        << "what was unacknowledged goes out again before \"online\":" << at;
  ASSERT_TRUE(WaitForStats(c, 10s, [&](const TAEMqttStats& s) { return s.Queued == 0; }));
  c.Stop();
  const TAEMqttStats s = c.Stats();
  EXPECT_EQ(s.Sent, total + kCuts + 1) << "each message and each \"online\" counted once";
  EXPECT_EQ(s.Dropped, 0);
  EXPECT_EQ(s.Reconnects, kCuts);
  EXPECT_FALSE(s.DuplicateSuspected);
}

}  // namespace
