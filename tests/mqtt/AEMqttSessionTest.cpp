// The client session against an in-memory transport: queue, order, flush, stop,
// subscriptions, incoming packets and the reasons it logs.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <future>
#include <thread>

#include "AEFakeTransport.h"
#include "AEMqtt.h"
#include "AEMqttTestUtil.h"

namespace {

using namespace std::chrono_literals;

class Session : public testing::Test {
 protected:
  std::unique_ptr<TAEMqttClient> Make(TAEMqttOptions o = TAEMqttOptions::Default()) {
    if (o.ClientId.empty()) o.ClientId = "agent7";
    auto c = std::make_unique<TAEMqttClient>(std::make_unique<TFakeTransport>(FWire), o);
    c->OnLog = FLog.Proc();
    return c;
  }
  bool WaitConnected(TAEMqttClient& c) {
    return WaitForStats(c, 5s, [](const TAEMqttStats& s) { return s.Connected; });
  }
  bool WaitPublishes(std::size_t n) {
    return FWire->WaitFor(5s, [&] {
      std::size_t k = 0;
      for (const auto& p : FWire->Written) k += p.Type == 3;
      return k >= n;
    });
  }
  std::vector<std::string> PublishedTopics() {
    std::vector<std::string> out;
    for (const auto& p : FWire->OfType(3)) out.push_back(PublishTopic(p));
    return out;
  }
  std::shared_ptr<TFakeWire> FWire = std::make_shared<TFakeWire>();
  TLogSink FLog;
};

std::uint16_t PublishId(const TAEMqttPacket& p) {
  const std::size_t at = 2 + (static_cast<std::size_t>(p.Body[0]) << 8 | p.Body[1]);
  return static_cast<std::uint16_t>(p.Body[at] << 8 | p.Body[at + 1]);
}

// The process's CPU time in seconds: the client's thread is the only one that works.
double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST_F(Session, ZeroKeepAliveAndQueueLimitTakeTheirDefaults) {
  for (int maxQueue : {0, -5}) {
    SCOPED_TRACE(maxQueue);
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.KeepAliveSec = 0;
    o.MaxQueue = maxQueue;
    auto c = Make(o);
    for (int i = 0; i < 1000; ++i) EXPECT_TRUE(c->Publish("t", std::string_view("x"), 0, false));
    EXPECT_FALSE(c->Publish("t", std::string_view("x"), 0, false));
    EXPECT_EQ(c->Stats().Queued, 1000);
    EXPECT_EQ(c->Stats().Dropped, 1);
  }
  auto c = Make([] {
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.KeepAliveSec = 0;
    return o;
  }());
  c->Start();
  ASSERT_TRUE(WaitConnected(*c));
  const TAEMqttPacket connect = FWire->Packets().at(0);
  ASSERT_EQ(connect.Type, 1);
  EXPECT_EQ(connect.Body[8], 0x00);
  EXPECT_EQ(connect.Body[9], 60);
}

TEST_F(Session, FullQueueDropsOldestAndSendsTheRestInOrder) {
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.MaxQueue = 3;
  auto c = Make(o);
  std::vector<bool> kept;
  for (int i = 1; i <= 5; ++i) kept.push_back(c->Publish(Numbered("m", i), TAEBytes{1}, 0, false));
  EXPECT_EQ(kept, (std::vector<bool>{true, true, true, false, false}));
  TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Dropped, 2);
  EXPECT_EQ(s.Queued, 3);
  c->Start();
  ASSERT_TRUE(WaitPublishes(3));
  EXPECT_EQ(PublishedTopics(), (std::vector<std::string>{"m3", "m4", "m5"}));
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& st) { return st.Sent == 3 && st.Queued == 0; }));
}

TEST_F(Session, MaxQueueOneKeepsOnlyTheNewest) {
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.MaxQueue = 1;
  auto c = Make(o);
  EXPECT_TRUE(c->Publish("a", std::string_view("1"), 0, false));
  EXPECT_FALSE(c->Publish("b", std::string_view("2"), 0, false));
  EXPECT_FALSE(c->Publish("c", std::string_view("3"), 0, false));
  c->Start();
  ASSERT_TRUE(WaitPublishes(1));
  c->Stop();
  EXPECT_EQ(PublishedTopics(), std::vector<std::string>{"c"});
}

// A Publish on a full queue while the head is being written drops the very entry in
// flight; the flush must then leave the new head alone, not remove it unsent, and the
// dropped entry counts once, as Dropped, whatever its QoS.
TEST_F(Session, FlushRemovesOnlyTheEntryItSent) {
  for (const std::uint8_t qos : {0, 1}) {
    SCOPED_TRACE(testing::Message() << "QoS " << int(qos));
    FWire = std::make_shared<TFakeWire>();
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.MaxQueue = 2;
    auto c = Make(o);
    TAEMqttClient* client = c.get();
    bool once = false;
    FWire->OnSend = [&](const TAEMqttPacket& p) {
      if (p.Type == 3 && PublishTopic(p) == "m0" && !once) {
        once = true;
        client->Publish("n1", std::string_view("x"), qos, false);
        client->Publish("n2", std::string_view("x"), qos, false);  // full: drops m0, in flight
      }
    };
    c->Publish("m0", std::string_view("x"), qos, false);
    c->Start();
    ASSERT_TRUE(WaitPublishes(3)) << "written: " << PublishedTopics().size();
    EXPECT_EQ(PublishedTopics(), (std::vector<std::string>{"m0", "n1", "n2"}));
    ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Queued == 0; }));
    c->Stop();
    const TAEMqttStats s = c->Stats();
    EXPECT_EQ(s.Sent, 2);
    EXPECT_EQ(s.Dropped, 1);
    EXPECT_EQ(s.Sent + s.Dropped + s.Queued, 3) << "each published message counted once";
  }
}

// A QoS 1 message that the limit dropped while awaiting its PUBACK stays counted as
// Dropped when the PUBACK comes; the sum still matches what was published.
TEST_F(Session, AnEntryDroppedInFlightIsCountedOnce) {
  FWire->AutoPubAck = false;
  // n1 is held in its write until n2 is published: a client that has sent n1 before
  // then has room for n2, and nothing is dropped.
  std::promise<void> n2Published;
  std::shared_future<void> n2Done = n2Published.get_future().share();
  FWire->OnSend = [n2Done](const TAEMqttPacket& p) {
    if (p.Type == 3 && PublishTopic(p) == "n1") n2Done.wait_for(10s);
  };
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.MaxQueue = 2;
  auto c = Make(o);
  c->Publish("m0", std::string_view("x"), 1, false);
  c->Start();
  ASSERT_TRUE(WaitPublishes(1));
  const std::uint16_t id = PublishId(FWire->OfType(3).at(0));
  c->Publish("n1", std::string_view("x"), 0, false);
  c->Publish("n2", std::string_view("x"), 0, false);  // full: drops m0, in flight or not
  n2Published.set_value();
  ASSERT_TRUE(WaitPublishes(3));
  FWire->Inject(BuildPubAck(static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)));
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Sent == 2 && s.Queued == 0; }));
  c->Stop();
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Dropped, 1);
  EXPECT_EQ(s.Sent + s.Dropped + s.Queued, 3);
}

// What was unacknowledged when a session ended goes out again: into a clean session as a
// new packet (new identifier, DUP 0), into a kept one under its identifier with DUP 1.
TEST_F(Session, AReSentMessageIsANewPacketOnlyInACleanSession) {
  for (const bool clean : {true, false}) {
    SCOPED_TRACE(clean ? "CleanSession 1" : "CleanSession 0");
    FWire = std::make_shared<TFakeWire>();
    FWire->AutoPubAck = false;
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.CleanSession = clean;
    auto c = Make(o);
    c->Publish("a", std::string_view("1"), 1, false);
    c->Publish("b", std::string_view("2"), 1, false);
    c->Start();
    ASSERT_TRUE(WaitPublishes(2));
    FWire->End();  // the session ends with both unacknowledged
    ASSERT_TRUE(WaitPublishes(4)) << FLog.Joined();
    c->Stop();
    const auto pubs = FWire->OfType(3);
    ASSERT_GE(pubs.size(), 4u);
    EXPECT_EQ(FWire->Packets().at(FWire->OpenedAt.at(1)).Type, 1) << "the re-sends follow the second CONNECT";
    for (int i = 0; i < 2; ++i) {
      SCOPED_TRACE(i);
      const TAEMqttPacket& first = pubs[i];
      const TAEMqttPacket& again = pubs[i + 2];
      EXPECT_EQ(PublishTopic(again), PublishTopic(first));
      EXPECT_EQ(first.Flags & 0x08, 0) << "a first attempt has DUP 0";
      if (clean) {
        EXPECT_EQ(again.Flags & 0x08, 0);
        EXPECT_NE(PublishId(again), PublishId(first));
        EXPECT_NE(PublishId(again), 0);
      } else {
        EXPECT_EQ(again.Flags & 0x08, 0x08);
        EXPECT_EQ(PublishId(again), PublishId(first));
      }
    }
    EXPECT_NE(PublishId(pubs[2]), PublishId(pubs[3]));
  }
}

// A broker that acknowledges late, after the DISCONNECT of a Stop: the PUBACK read
// before the connection closes still frees the entry and counts it.
TEST_F(Session, APubAckDuringTheDrainAfterDisconnectCounts) {
  FWire->AutoPubAck = false;
  FWire->OnSend = [this](const TAEMqttPacket& p) {
    if (p.Type != 14) return;
    const TAEMqttPacket pub = FWire->OfType(3).at(0);
    const std::uint16_t id = PublishId(pub);
    FWire->Inject(BuildPubAck(static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id)));
    FWire->End();
  };
  auto c = Make();
  c->Start();
  ASSERT_TRUE(WaitConnected(*c));
  c->Publish("late", std::string_view("x"), 1, false);
  ASSERT_TRUE(WaitPublishes(1));
  c->Stop();
  ASSERT_EQ(FWire->OfType(14).size(), 1u);
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Sent, 1);
  EXPECT_EQ(s.Queued, 0);
  EXPECT_TRUE(FWire->OfType(4).empty()) << "nothing written after DISCONNECT";
}

// A SUBACK that carries the identifier of a PUBLISH awaiting its PUBACK frees nothing;
// the PUBACK that follows frees the entry and counts it.
TEST_F(Session, AnAcknowledgementFreesOnlyWhatItAcknowledges) {
  FWire->AutoPubAck = false;
  auto c = Make();
  c->Publish("m", std::string_view("x"), 1, false);
  c->Start();
  ASSERT_TRUE(WaitPublishes(1));
  const std::uint16_t id = PublishId(FWire->OfType(3).at(0));
  const auto hi = static_cast<std::uint8_t>(id >> 8), lo = static_cast<std::uint8_t>(id);
  FWire->Inject({0x90, 0x03, hi, lo, 0x00});
  FWire->Inject(BuildPubAck(hi, lo));
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Sent == 1 && s.Queued == 0; }))
      << "Sent " << c->Stats().Sent << ", Queued " << c->Stats().Queued;
  // A PUBACK for a SUBSCRIBE's identifier frees nothing either: the next SUBSCRIBE
  // goes out under another identifier than the one still awaiting its SUBACK.
  c->Subscribe("f", 0);
  ASSERT_TRUE(FWire->WaitFor(5s, [&] {
    for (const auto& p : FWire->Written)
      if (p.Type == 8) return true;
    return false;
  }));
  const TAEMqttPacket sub = FWire->OfType(8).at(0);
  FWire->Inject(BuildPubAck(sub.Body[0], sub.Body[1]));
  c->Subscribe("g", 0);
  ASSERT_TRUE(FWire->WaitFor(5s, [&] {
    int n = 0;
    for (const auto& p : FWire->Written) n += p.Type == 8;
    return n >= 3;
  }));
  c->Stop();
  const auto subs = FWire->OfType(8);
  for (std::size_t i = 1; i < subs.size(); ++i)
    EXPECT_FALSE(subs[i].Body[0] == sub.Body[0] && subs[i].Body[1] == sub.Body[1]) << i;
  EXPECT_EQ(c->Stats().Sent, 1);
}

// A QoS the client does not offer is refused, not turned into something else.
TEST_F(Session, PublishRefusesAQosAboveOne) {
  auto c = Make();
  for (const std::uint8_t qos : {2, 3, 255}) {
    SCOPED_TRACE(int(qos));
    EXPECT_THROW(c->Publish("t", std::string_view("x"), qos, false), EAEError);
  }
  EXPECT_EQ(c->Stats().Queued, 0);
  EXPECT_EQ(c->Stats().Dropped, 0);
  c->Start();
  ASSERT_TRUE(WaitConnected(*c));
  c->Stop();
  EXPECT_TRUE(FWire->OfType(3).empty());
  EXPECT_TRUE(FWire->OfType(8).empty()) << "no re-subscription behind a QoS value";
}

// With nearly every identifier in flight, a re-subscription at the head waits for
// acknowledgements the way a QoS 1 message does, without spinning.
TEST_F(Session, WaitingForIdentifiersDoesNotSpin) {
  FWire->AutoPubAck = false;
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.MaxQueue = 70000;
  auto c = Make(o);
  constexpr int kInFlight = 65533;
  for (int i = 0; i < kInFlight; ++i) c->Publish("m", std::string_view("x"), 1, false);
  c->Start();
  ASSERT_TRUE(FWire->WaitFor(60s, [&] { return FWire->Written.size() >= 1 + kInFlight; }));
  // Two identifiers are left; whatever the flush sees of these, one re-subscription
  // needs more than are free.
  c->Subscribe("a", 0);
  c->Subscribe("b", 0);
  c->Subscribe("c", 0);
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Queued > kInFlight; }));
  const double before = ProcessCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  FLog.WaitFor("never logged", 1s);
  const double wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpuS = ProcessCpuSeconds() - before;
  c->Stop();
  // A spin takes a whole core (1 s per second); waiting takes a few milliseconds.
  EXPECT_LT(cpuS, 0.25 * wallS) << cpuS << " s of CPU in " << wallS << " s";
}

// A topic that can never be written is dropped, counted and logged once; the session
// and the entries behind it go on.
TEST_F(Session, UnbuildableTopicIsDroppedNotRetriedForEver) {
  auto c = Make();
  c->Publish(std::string(65536, 't'), std::string_view("x"), 0, false);
  c->Publish("ok", std::string_view("y"), 1, false);
  c->Start();
  ASSERT_TRUE(WaitPublishes(1));
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Queued == 0; }));
  c->Stop();
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(PublishedTopics(), std::vector<std::string>{"ok"});
  EXPECT_EQ(s.Dropped, 1);
  EXPECT_EQ(s.Sent, 1);
  EXPECT_EQ(s.Reconnects, 0);
  EXPECT_EQ(s.LastError, "");
  EXPECT_EQ(FLog.Count("65536 bytes"), 1u) << FLog.Joined();
  EXPECT_EQ(FWire->Opens, 1);
  EXPECT_THROW(c->Subscribe(std::string(65536, 'f'), 0), EAEMqttStringTooLong);
}

// Every kind of PUBLISH that cannot be built goes the same way: dropped, counted and
// logged once with its fault, while the entries around it go out.
TEST_F(Session, EveryUnbuildablePublishIsDroppedCountedAndLoggedOnce) {
  struct TCase {
    std::string Topic;
    std::string Line;
  };
  const TCase cases[] = {
      {"kivu/agent+7/hit", "dropped a message whose topic holds the wildcard \"+\", which no topic name may"},
      {"kivu/#/hit", "dropped a message whose topic holds the wildcard \"#\", which no topic name may"},
      {"kivu/agent\xF8/hit", "dropped a message whose topic is not well-formed UTF-8: byte $F8 at offset 10"},
      {std::string("kivu/\0", 6), "dropped a message whose topic holds U+0000 at offset 5, which no MQTT string may"},
  };
  auto c = Make();
  c->Publish("first", std::string_view("1"), 1, false);
  for (const TCase& k : cases) c->Publish(k.Topic, std::string_view("x"), 1, false);
  c->Publish("last", std::string_view("2"), 0, false);
  c->Start();
  ASSERT_TRUE(WaitPublishes(2));
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Queued == 0; }));
  c->Stop();
  EXPECT_EQ(PublishedTopics(), (std::vector<std::string>{"first", "last"}));
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Dropped, 4);
  EXPECT_EQ(s.Sent, 2);
  EXPECT_EQ(s.Reconnects, 0);
  EXPECT_EQ(FWire->Opens, 1);
  for (const TCase& k : cases) EXPECT_EQ(FLog.Count(k.Line), 1u) << k.Line << "\n" << FLog.Joined();
  EXPECT_THROW(c->Subscribe("kivu/\xF8", 0), EAEMqttUnbuildable);
}

TEST_F(Session, ConnackRefusalsAndSurprisesFailTheAttemptWithTheirReason) {
  struct C {
    TAEBytes Connack;
    std::string Reason;
  };
  const std::vector<C> cases = {
      {{0x20, 0x02, 0x00, 0x05}, "broker refused: not authorised"},
      {{0x20, 0x02, 0x00, 0x04}, "broker refused: bad user name or password"},
      {{0x20, 0x02, 0x00, 0x02}, "broker refused the connection (code 2)"},
      {{0x20, 0x01, 0x04}, "broker refused: bad user name or password"},
      {{0x20, 0x00}, "broker refused the connection: its CONNACK was empty, without a return code"},
      {{0x30, 0x02, 0x00, 0x00}, "expected CONNACK, got packet type 3"},
  };
  for (const C& k : cases) {
    SCOPED_TRACE(k.Reason);
    FWire = std::make_shared<TFakeWire>();
    FWire->Connack = k.Connack;
    TLogSink log;
    auto c = std::make_unique<TAEMqttClient>(std::make_unique<TFakeTransport>(FWire), TAEMqttOptions::Default());
    c->OnLog = log.Proc();
    c->Start();
    const std::string line = "connect to fake://broker failed: " + k.Reason + "; next attempt in 1 s";
    EXPECT_TRUE(log.WaitFor(line, 5s)) << log.Joined();
    c->Stop();
    const TAEMqttStats s = c->Stats();
    EXPECT_EQ(s.LastError, "connect to fake://broker failed: " + k.Reason);
    EXPECT_EQ(s.Reconnects, 0);
    EXPECT_FALSE(s.Connected);
  }
}

TEST_F(Session, StopWhileConnectedFlushesThenDisconnectsThenCloses) {
  auto c = Make();
  c->Start();
  ASSERT_TRUE(WaitConnected(*c));
  for (int i = 0; i < 50; ++i) c->Publish(Numbered("q/", i), std::string_view("v"), i % 2, false);
  c->Stop();
  const auto packets = FWire->Packets();
  ASSERT_GE(packets.size(), 52u);
  EXPECT_EQ(packets.back().Type, 14);  // DISCONNECT last
  EXPECT_TRUE(packets.back().Body.empty());
  const auto topics = PublishedTopics();
  ASSERT_EQ(topics.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_EQ(topics[i], Numbered("q/", i));
  EXPECT_FALSE(FWire->IsOpen);
  const TAEMqttStats s = c->Stats();
  EXPECT_FALSE(s.Connected);
  EXPECT_EQ(s.Queued, 0);
  EXPECT_EQ(s.Sent, 50);
  EXPECT_EQ(s.Reconnects, 0);
  c->Stop();  // a second Stop does nothing
  EXPECT_EQ(FWire->Packets().size(), packets.size());
}

TEST_F(Session, StopIsQuickInEveryState) {
  {
    auto c = Make();
    c->Stop();  // before Start
  }
  // Waiting out a back-off.
  FWire->FailOpen = true;
  auto c = Make();
  c->Publish("kept", std::string_view("v"), 0, false);
  c->Start();
  ASSERT_TRUE(FLog.WaitFor("next attempt in 1 s", 5s));
  auto start = std::chrono::steady_clock::now();
  c->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(c->Stats().Queued, 1);  // nothing sent while disconnected; the entry stays
  EXPECT_TRUE(FWire->OfType(14).empty());
  // Waiting for a CONNACK that never comes.
  FWire->FailOpen = false;
  FWire->Connack.clear();
  c->Start();
  ASSERT_TRUE(FWire->WaitFor(5s, [&] { return !FWire->Written.empty(); }));
  start = std::chrono::steady_clock::now();
  c->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_FALSE(FWire->IsOpen);
}

TEST_F(Session, SubscriptionsQueuedMessagesAndOnConnectedGoOutInThatOrder) {
  auto c = Make();
  TAEMqttClient* client = c.get();
  c->OnConnected = [client] { client->Publish("status", std::string_view("online"), 1, true); };
  c->Subscribe("cmd/#", 2);
  c->Subscribe("cfg", 0);
  c->Publish("early1", std::string_view("a"), 0, false);
  c->Publish("early2", std::string_view("b"), 1, false);
  c->Start();
  ASSERT_TRUE(WaitPublishes(3));
  std::vector<std::string> order;
  std::vector<std::uint16_t> ids;
  for (const auto& p : FWire->Packets()) {
    if (p.Type == 8) {
      order.push_back("SUB " + std::string(p.Body.begin() + 4, p.Body.end() - 1) + " q" + std::to_string(p.Body.back()));
      ids.push_back(static_cast<std::uint16_t>(p.Body[0] * 256 + p.Body[1]));
    }
    if (p.Type == 3) order.push_back(PublishTopic(p));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"SUB cmd/# q1", "SUB cfg q0", "early1", "early2", "status"}));
  EXPECT_EQ(ids, (std::vector<std::uint16_t>{1, 2}));
  // The QoS 1 messages take the identifiers after the subscriptions'.
  const auto pubs = FWire->OfType(3);
  EXPECT_EQ(pubs[1].Flags, 0x2);
  EXPECT_EQ(pubs[1].Body[2 + 6], 0);
  EXPECT_EQ(pubs[1].Body[2 + 6 + 1], 3);
  EXPECT_EQ(pubs[2].Flags, 0x3);  // QoS 1, retained
  // Subscribing while connected re-sends every remembered filter, not counted as sent.
  ASSERT_TRUE(WaitForStats(*c, 5s, [](const TAEMqttStats& s) { return s.Queued == 0; }));
  c->Subscribe("cfg", 1);
  ASSERT_TRUE(FWire->WaitFor(5s, [&] {
    std::size_t n = 0;
    for (const auto& p : FWire->Written) n += p.Type == 8;
    return n >= 5;
  }));
  EXPECT_EQ(c->Stats().Sent, 3);
}

TEST_F(Session, IncomingQos1IsAcknowledgedBeforeItIsHandedOn) {
  auto c = Make();
  TMessageSink sink;
  std::size_t pubacksSeenByCallback = 99;
  c->OnMessage = [&](const std::string& topic, const TAEBytes& payload) {
    pubacksSeenByCallback = FWire->OfType(4).size();
    sink.Proc()(topic, payload);
  };
  c->Start();
  ASSERT_TRUE(WaitConnected(*c));
  // QoS 1 with identifier 12 34, then a QoS 1 without room for its identifier (ignored),
  // then QoS 0, all in one read; then a SUBACK refusal.
  FWire->Inject({0x32, 0x07, 0x00, 0x01, 'a', 0x12, 0x34, 'h', 'i', 0x32, 0x03, 0x00, 0x01, 'z',
                 0x30, 0x04, 0x00, 0x01, 'b', '!', 0x90, 0x03, 0x00, 0x01, 0x80});
  ASSERT_TRUE(sink.WaitForCount(2, 5s));
  ASSERT_TRUE(FLog.WaitFor("subscription refused by the broker (check the ACL)", 5s));
  const auto msgs = sink.Messages();
  EXPECT_EQ(msgs[0].Topic, "a");
  EXPECT_EQ(msgs[0].Payload, Bytes("hi"));
  EXPECT_EQ(msgs[1].Topic, "b");
  EXPECT_EQ(msgs[1].Payload, Bytes("!"));
  EXPECT_EQ(pubacksSeenByCallback, 1u);
  const auto acks = FWire->OfType(4);
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].Body, (TAEBytes{0x12, 0x34}));
  EXPECT_EQ(c->Stats().Received, 2);
}

TEST_F(Session, MalformedIncomingDataDropsTheSession) {
  struct C {
    TAEBytes Bytes;
    std::string Reason;
  };
  const std::vector<C> cases = {
      {{0x30, 0xFF, 0xFF, 0xFF, 0xFF}, "connection lost: malformed packet length"},
      {{0x30, 0x03, 0x00, 0x05, 'x'}, "connection lost: MQTT: PUBLISH topic runs past the end of the packet"},
      {{0x30, 0x04, 0x00, 0x02, 0xC3, 0x28}, "connection lost: MQTT: PUBLISH topic is not valid UTF-8"},
  };
  for (const C& k : cases) {
    SCOPED_TRACE(k.Reason);
    FWire = std::make_shared<TFakeWire>();
    TLogSink log;
    auto c = std::make_unique<TAEMqttClient>(std::make_unique<TFakeTransport>(FWire), TAEMqttOptions::Default());
    c->OnLog = log.Proc();
    c->Start();
    ASSERT_TRUE(WaitConnected(*c));
    FWire->Inject(k.Bytes);
    EXPECT_TRUE(log.WaitFor(k.Reason + "; next attempt in 1 s", 5s)) << log.Joined();
    // Reconnects with an empty buffer: the next session works.
    ASSERT_TRUE(log.WaitFor("connected to fake://broker", 5s, 2)) << log.Joined();
    c->Stop();
    EXPECT_EQ(c->Stats().Reconnects, 1);
    EXPECT_EQ(c->Stats().LastError, k.Reason);
  }
}

TEST_F(Session, FailedWriteKeepsTheEntryAtTheHeadForTheNextSession) {
  FWire->FailSendNumber = 3;  // CONNECT, m1, then m2 fails
  auto c = Make();
  c->Publish("m1", std::string_view("1"), 0, false);
  c->Publish("m2", std::string_view("2"), 0, false);
  c->Publish("m3", std::string_view("3"), 0, false);
  c->Start();
  ASSERT_TRUE(WaitPublishes(3));
  c->Stop();
  EXPECT_EQ(PublishedTopics(), (std::vector<std::string>{"m1", "m2", "m3"}));
  ASSERT_EQ(FWire->OpenedAt.size(), 2u);
  // The second session begins with CONNECT, then m2.
  const auto packets = FWire->Packets();
  EXPECT_EQ(packets.at(FWire->OpenedAt[1]).Type, 1);
  EXPECT_EQ(PublishTopic(packets.at(FWire->OpenedAt[1] + 1)), "m2");
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Sent, 3);
  EXPECT_EQ(s.Reconnects, 1);
  EXPECT_EQ(s.LastError, "connection lost: fake write failure");
}

// Three sessions in a row replaced within 10 s: the duplicate suspicion, logged once,
// and a 60 s wait.
TEST_F(Session, QuickDropsRaiseTheDuplicateSuspicion) {
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.User = "agent5";
  auto c = Make(o);
  c->OnConnected = [this] { FWire->End(); };  // the broker throws us out at once
  c->Start();
  const std::string dup =
      "the session is replaced right after connecting: is another agent running with the login \"agent5\"? Each "
      "agent needs its own login.";
  ASSERT_TRUE(FLog.WaitFor(dup, 15s)) << FLog.Joined();
  c->Stop();
  const auto lines = FLog.Lines();
  std::vector<std::string> waits;
  for (const auto& l : lines) {
    const auto p = l.find("; next attempt in ");
    if (p != std::string::npos) waits.push_back(l.substr(p + 18));
  }
  ASSERT_GE(waits.size(), 3u) << FLog.Joined();
  EXPECT_EQ(waits[0], "1 s");
  EXPECT_EQ(waits[1], "1 s");
  EXPECT_EQ(waits[2], "60 s");
  // The duplicate line comes right before the third reason line.
  std::size_t dupAt = 0, thirdAt = 0, seen = 0;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == dup) dupAt = i;
    if (lines[i].find("; next attempt in ") != std::string::npos && ++seen == 3) thirdAt = i;
  }
  EXPECT_EQ(dupAt + 1, thirdAt);
  EXPECT_EQ(FLog.Count("is another agent running"), 1u);
  const TAEMqttStats s = c->Stats();
  EXPECT_TRUE(s.DuplicateSuspected);
  EXPECT_EQ(s.Reconnects, 3);
}

TEST_F(Session, UnreachableBrokerBacksOffStepByStep) {
  FWire->FailOpen = true;
  auto c = Make();
  c->Start();
  ASSERT_TRUE(FLog.WaitFor("next attempt in 2 s", 5s)) << FLog.Joined();
  c->Stop();
  const auto lines = FLog.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "connect to fake://broker failed: fake refuses to open; next attempt in 1 s");
  EXPECT_EQ(lines[1], "connect to fake://broker failed: fake refuses to open; next attempt in 2 s");
  EXPECT_EQ(c->Stats().Reconnects, 0);
  EXPECT_EQ(FWire->Opens, 2);
}

TEST_F(Session, SilentBrokerIsDroppedAfterOneAndAHalfKeepAlives) {
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.KeepAliveSec = 1;
  auto c = Make(o);
  const auto start = std::chrono::steady_clock::now();
  c->Start();
  ASSERT_TRUE(FLog.WaitFor("connection lost: broker silent past the keepalive; next attempt in 1 s", 5s))
      << FLog.Joined();
  const auto took = std::chrono::steady_clock::now() - start;
  c->Stop();
  EXPECT_GE(took, 1400ms);
  // Pings went out every half keep-alive while the broker kept silent.
  const auto packets = FWire->Packets();
  std::size_t pings = 0;
  for (const auto& p : packets) pings += p.Type == 12;
  EXPECT_EQ(FWire->Opens, 1);
  EXPECT_GE(pings, 2u);
  EXPECT_LE(pings, 4u);
}

TEST_F(Session, AnsweredPingsKeepTheSession) {
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.KeepAliveSec = 1;
  FWire->OnSend = [this](const TAEMqttPacket& p) {
    if (p.Type == 12) FWire->Inject({0xD0, 0x00});
  };
  auto c = Make(o);
  c->Start();
  ASSERT_TRUE(FWire->WaitFor(5s, [&] {
    std::size_t n = 0;
    for (const auto& p : FWire->Written) n += p.Type == 12;
    return n >= 6;  // three seconds: twice the silence limit
  }));
  c->Stop();
  EXPECT_EQ(c->Stats().Reconnects, 0);
  EXPECT_EQ(FWire->Opens, 1);
}

}  // namespace
