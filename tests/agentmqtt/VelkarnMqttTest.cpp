// The agent in mqtt mode: how it reads the broker URL, when it refuses to start, and
// what it publishes (topics, QoS, retain, the wave limit, the status) to a real broker,
// with the generator loop driven pass by pass.
#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "AEErrors.h"
#include "AEMqttWatch.h"
#include "AETestProxy.h"
#include "AERandom.h"
#include "AEMqttWss.h"
#include "VelkarnMqtt.h"
#include "VelkarnStatus.h"
#include "VelkarnTestKit.h"
#include "common/AEPollUntil.h"

using namespace std::chrono_literals;

namespace {

std::string Text(const TAEBytes& b) { return std::string(b.begin(), b.end()); }

std::string ErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return DescribeException(e);
  }
  return "(nothing raised)";
}

}  // namespace

TEST(MqttUrl, TcpUrlsGiveHostAndPort) {
  struct TCase {
    const char* Url;
    const char* Host;
    std::uint16_t Port;
  };
  for (const TCase& c : {TCase{"mqtt://broker.example:8883", "broker.example", 8883},
                         TCase{"MQTT://10.0.0.5", "10.0.0.5", 1883}, TCase{"Mqtt://h:0x50", "h", 80},
                         TCase{"mqtt://h: 65535", "h", 65535}, TCase{"mqtt://h:1", "h", 1}}) {
    SCOPED_TRACE(c.Url);
    const auto e = ParseMqttTcpUrl(c.Url);
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->Host, c.Host);
    EXPECT_EQ(e->Port, c.Port);
    EXPECT_EQ(CreateMqttTransport(c.Url)->Describe(), "mqtt://" + std::string(c.Host) + ":" + std::to_string(c.Port));
  }
  for (const char* url : {"wss://broker.example/mqtt", "ws://broker.example", "broker.example:443/mqtt", "mqtt:/h"}) {
    SCOPED_TRACE(url);
    EXPECT_FALSE(ParseMqttTcpUrl(url).has_value());
  }
}

TEST(MqttUrl, BadTcpUrlsAreRefusedWithAClearError) {
  struct TCase {
    const char* Url;
    const char* Error;
  };
  for (const TCase& c : {
           TCase{"mqtt://h:8883/path", "EConvertError: '8883/path' is not a valid integer value"},
           TCase{"mqtt://h:", "EConvertError: '' is not a valid integer value"},
           TCase{"mqtt://h:70000", "Exception: [Mqtt] Url=mqtt://h:70000: port 70000 is outside 1..65535"},
           TCase{"mqtt://h:0", "Exception: [Mqtt] Url=mqtt://h:0: port 0 is outside 1..65535"},
           TCase{"mqtt://h:-1883", "Exception: [Mqtt] Url=mqtt://h:-1883: port -1883 is outside 1..65535"},
           TCase{"mqtt://:1883", "Exception: [Mqtt] Url=mqtt://:1883 names no host"},
           TCase{"mqtt://", "Exception: [Mqtt] Url=mqtt:// names no host"},
       }) {
    SCOPED_TRACE(c.Url);
    EXPECT_EQ(ErrorOf([&] { ParseMqttTcpUrl(c.Url); }), c.Error);
    EXPECT_EQ(ErrorOf([&] { CreateMqttTransport(c.Url); }), c.Error);
  }
}

// Every URL but mqtt:// goes to the WebSocket transport as it was given.
TEST(MqttUrl, EveryOtherUrlGoesToTheWebSocketTransportWhole) {
  for (const char* url : {"wss://broker.example/mqtt", "WS://broker.example", "broker.example/mqtt?x=1"}) {
    SCOPED_TRACE(url);
    const auto transport = CreateMqttTransport(url);
    ASSERT_NE(dynamic_cast<TAEWssTransport*>(transport.get()), nullptr);
    EXPECT_EQ(transport->Describe(), url);
  }
  EXPECT_NE(ErrorOf([] { CreateMqttTransport("wss://broker.example:70000/mqtt"); }).find("70000"), std::string::npos);
}

// A login that would put wildcards or ill-formed text into the agent's topics and its
// CONNECT is refused with a line that names the key and the fault.
TEST(MqttUser, LoginsThatCannotNameTopicsAreRefused) {
  struct TCase {
    std::string User;
    std::string Error;  // "" when accepted
  };
  const TCase cases[] = {
      {"agent+7", "Exception: [Mqtt] User=agent+7 holds \"+\", an MQTT wildcard, which the agent's topics made "
                  "from it may not"},
      {"#agent", "Exception: [Mqtt] User=#agent holds \"#\", an MQTT wildcard, which the agent's topics made "
                 "from it may not"},
      {"agent\xF8", "Exception: [Mqtt] User is not well-formed UTF-8: byte $F8 at offset 5"},
      {"\xED\xB0\x80x", "Exception: [Mqtt] User is not well-formed UTF-8: byte $ED at offset 0"},
      {std::string("agent\0", 6), "Exception: [Mqtt] User holds U+0000 at offset 5, which no MQTT string may"},
      {std::string(65524, 'u'), "Exception: [Mqtt] User takes 65524 bytes; the agent's topics leave room for 65523"},
      {"agent\xC2\x81", "Exception: [Mqtt] User holds the control character U+0081 at offset 5, which a broker "
                        "may refuse"},
      {"ag\tent", "Exception: [Mqtt] User holds the control character U+0009 at offset 2, which a broker may refuse"},
      {"\x1F" "a", "Exception: [Mqtt] User holds the control character U+001F at offset 0, which a broker may refuse"},
      {"agent\x7F", "Exception: [Mqtt] User holds the control character U+007F at offset 5, which a broker may refuse"},
      {"a\xC2\x9F", "Exception: [Mqtt] User holds the control character U+009F at offset 1, which a broker may refuse"},
      {"agent\xC2\xA0" "7", ""},  // U+00A0, the first past the C1 range
      {std::string(65523, 'u'), ""},
      {"agent12", ""},
      {"ag\xC3\xA9nt/7", ""},
      {"", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.User.substr(0, 20));
    EXPECT_EQ(ErrorOf([&] { CheckMqttUser(c.User); }), c.Error.empty() ? "(nothing raised)" : c.Error);
  }
}

class AgentMqtt : public testing::Test {
 protected:
  TIniValues Defaults() {
    return {{"Agent.AgentId", "7"},
            {"Agent.Channels", "2"},
            {"Agent.HitsPerSecPerChannel", "3000"},
            {"Agent.SamplesPerHit", "256"},
            {"Agent.DataRoot", Temp.Str("Data")},
            {"Network.Transport", "mqtt"},
            {"Network.PingIntervalSec", "1"},
            {"Simulation.FailAfterSec", "1000"},
            {"Parametric.IntervalMs", "100"},
            {"Mqtt.Url", Url()},
            {"Mqtt.User", "agent12"},
            {"Mqtt.Password", "pw-agent12"}};
  }
  std::string Url() const { return "mqtt://127.0.0.1:" + std::to_string(Broker->Port()); }
  std::unique_ptr<TVelkarn> Make(const TIniValues& over = {}) { return MakeSeededAgent(Temp, Defaults(), over); }
  static bool WaitConnected(const TVelkarn& agent, std::chrono::milliseconds limit) {
    return PollUntil(
        [&] {
          TAEMqttStats s;
          return agent.MqttStats(s) && s.Connected;
        },
        limit);
  }

  std::unique_ptr<TAEMosquitto> Broker = StartNodeBroker();
  TAETempDir Temp;
};

TEST_F(AgentMqtt, StartIsRefusedWithoutUserOrPasswordOrWithABadUrl) {
  struct TCase {
    TIniValues Ini;
    std::string Error;
  };
  const std::string needs = "Exception: Transport=mqtt needs [Mqtt] User and Password";
  const TCase cases[] = {
      {{{"Mqtt.User", ""}}, needs},
      {{{"Mqtt.Password", ""}}, needs},
      {{{"Mqtt.User", ""}, {"Mqtt.Password", ""}}, needs},
      {{{"Mqtt.Url", "mqtt://127.0.0.1:1883/kivu"}}, "EConvertError: '1883/kivu' is not a valid integer value"},
      {{{"Mqtt.User", "agent+7"}},
       "Exception: [Mqtt] User=agent+7 holds \"+\", an MQTT wildcard, which the agent's topics made from it may not"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Error);
    auto agent = Make(c.Ini);
    EXPECT_EQ(ErrorOf([&] { agent->Start(); }), c.Error);
    TAEMqttStats s;
    s.Connected = true;
    s.Sent = 5;
    s.LastError = "stale";
    EXPECT_FALSE(agent->MqttStats(s)) << "no client was made";
    EXPECT_FALSE(s.Connected);
    EXPECT_EQ(s.Sent, 0);
    EXPECT_EQ(s.LastError, "");
    agent->Stop();
    EXPECT_EQ(agent->Stats().Hits, 0) << "no generator thread ran";
  }
}

// One pass of many hits within one UTC second: the records go out on their topics with
// QoS 0, the first waves (QoS 1, the whole hit file) up to the limit ahead of their
// records, and the status brackets it all: "online" first, "stopped" once at the end.
TEST_F(AgentMqtt, PublishesRecordsWavesAndStatusOnTheirTopics) {
  struct TCase {
    const char* SendWaves;
    const char* MaxPerSec;
    std::size_t Limit;  // waves per second the settings allow
  };
  for (const TCase& c : {TCase{"1", "5", 5}, TCase{"0", "5", 0}, TCase{"1", "0", 0}}) {
    SCOPED_TRACE(std::string("SendWaves ") + c.SendWaves + ", MaxWavesPerSec " + c.MaxPerSec);
    Broker->Restart();  // no retained status left from the case before
    TMqttWatch watch(*Broker, "watcher");
    auto agent = Make({{"Mqtt.SendWaves", c.SendWaves}, {"Mqtt.MaxWavesPerSec", c.MaxPerSec}});
    EXPECT_EQ(agent->Settings().AgentId, 12) << "from the login";
    TVelkarnProbe probe(*agent);
    probe.StartMqtt();
    ASSERT_TRUE(WaitConnected(*agent, 10s));
    ASSERT_TRUE(watch.CollectUntilStatus("online", 10s));
    EXPECT_EQ(StatusTextOf(*agent), "hits 0, errors 0, server OK");
    // Start the pass early in a UTC second, so that its hits mostly share one wave window;
    // the windows it did span are counted.
    PollUntil([] { return NowFileTime() % 10000000 <= 6000000; }, 2s, 20ms);  // true within a second
    const std::int64_t firstSecond = NowFileTime() / 10000000;
    ASSERT_TRUE(probe.Pass(10));
    const auto windows = static_cast<std::size_t>(NowFileTime() / 10000000 - firstSecond + 1);
    agent->Stop();
    agent->Stop();  // a second stop publishes nothing more
    std::string idle = "hits ";
    idle += std::to_string(agent->Stats().Hits);
    idle += ", errors 0";
    EXPECT_EQ(StatusTextOf(*agent), idle) << "no client after the stop";
    ASSERT_TRUE(watch.CollectUntilStatus("stopped", 10s)) << [&] {
      std::string topics;
      for (const auto& m : watch.Got) topics.append(" ").append(m.Topic);
      return topics;
    }();
    watch.CollectFor(500ms);

    const TAEStats stats = agent->Stats();
    ASSERT_GE(stats.Hits, 20) << "a pass of many hits";
    std::vector<TRawPublish> hits, waves, pings, params, status;
    std::vector<std::size_t> hitAt, waveAt;
    for (std::size_t i = 0; i < watch.Got.size(); ++i) {
      const TRawPublish& m = watch.Got[i];
      const std::map<std::string, std::vector<TRawPublish>*> byTopic = {
          {"kivu/agent12/hit", &hits},   {"kivu/agent12/wave", &waves},    {"kivu/agent12/ping", &pings},
          {"kivu/agent12/param", &params}, {"kivu/agent12/status", &status}};
      const auto it = byTopic.find(m.Topic);
      ASSERT_NE(it, byTopic.end()) << m.Topic;
      it->second->push_back(m);
      if (it->second == &hits) hitAt.push_back(i);
      if (it->second == &waves) waveAt.push_back(i);
    }
    ASSERT_EQ(status.size(), 2u);
    EXPECT_EQ(Text(status[0].Payload), "online");
    EXPECT_EQ(Text(status[1].Payload), "stopped");
    EXPECT_TRUE(TMqttWatch::IsStatus(watch.Got.front(), "online"));
    EXPECT_TRUE(TMqttWatch::IsStatus(watch.Got.back(), "stopped")) << "nothing after the stop";
    for (const auto& m : status) EXPECT_EQ(m.QoS, 1);

    ASSERT_EQ(static_cast<std::int64_t>(hits.size()), stats.Hits);
    EXPECT_EQ(stats.UdpSent, stats.Hits) << "a queued record counts as sent";
    for (const TRawPublish& h : hits) {
      ASSERT_EQ(h.QoS, 0);
      ASSERT_EQ(h.Payload.size(), sizeof(TAEHitRecord));
      TAEHitRecord r;
      std::memcpy(&r, h.Payload.data(), sizeof r);
      ASSERT_EQ(r.AgentId, 12);
      const std::string file = ReadFileBytes(HitFileName(Temp.Str("Data"), r.Channel, r.FileTime, r.Seq));
      ASSERT_EQ(file.substr(4, 76), Text(h.Payload)) << "the record on the broker is the one in the hit file";
    }
    // The count starts at nought, so the first hits up to the limit take a wave each;
    // each later window the pass reached allows the limit again.
    const std::size_t want = std::min<std::size_t>(c.Limit, hits.size());
    if (windows == 1)
      ASSERT_EQ(waves.size(), want);
    else
      ASSERT_TRUE(waves.size() >= want && waves.size() <= windows * c.Limit) << waves.size() << " over " << windows;
    std::size_t next = 0;  // into hits: the waves go to hits in their order
    for (std::size_t i = 0; i < waves.size(); ++i) {
      SCOPED_TRACE(i);
      EXPECT_EQ(waves[i].QoS, 1);
      ASSERT_GE(waves[i].Payload.size(), 4 + sizeof(TAEHitRecord));
      TAEHitRecord w;
      std::memcpy(&w, waves[i].Payload.data() + 4, sizeof w);
      TAEHitRecord r{};
      while (next < hits.size()) {
        std::memcpy(&r, hits[next].Payload.data(), sizeof r);
        if (r.Channel == w.Channel && r.Seq == w.Seq) break;
        ++next;
      }
      ASSERT_LT(next, hits.size()) << "a wave without its record, or out of order";
      if (i < want) EXPECT_EQ(next, i) << "the first hits take the first waves";
      EXPECT_EQ(Text(waves[i].Payload), ReadFileBytes(HitFileName(Temp.Str("Data"), r.Channel, r.FileTime, r.Seq)));
      EXPECT_LT(waveAt[i], hitAt[next]) << "a wave goes ahead of its record";
      ++next;
    }
    ASSERT_EQ(pings.size(), 2u);
    ASSERT_EQ(params.size(), 2u);
    for (const auto* list : {&pings, &params})
      for (const TRawPublish& m : *list) EXPECT_EQ(m.QoS, 0);
    EXPECT_EQ(pings[0].Payload.size(), sizeof(TAEPingRecord));
    EXPECT_EQ(params[0].Payload.size(), sizeof(TAEParamRecord));
    EXPECT_EQ(stats.PingsSent, 2);
    EXPECT_EQ(stats.ParamsSent, 2);

    // Only the status is kept by the broker, as the last one published.
    TMqttWatch late(*Broker, "late");
    ASSERT_TRUE(late.CollectUntil(10s, [](const TRawPublish&) { return true; })) << "nothing retained";
    late.CollectFor(1s);  // nothing more may come
    ASSERT_EQ(late.Got.size(), 1u);
    EXPECT_TRUE(TMqttWatch::IsStatus(late.Got[0], "stopped"));
    EXPECT_TRUE(late.Got[0].Retain);
  }
}

namespace {

// Leaves a retained message on the broker as another client would, and waits until
// the broker has taken it.
void PublishRetained(const TAEMosquitto& broker, const std::string& topic, const std::string& text) {
  TAESocket s = TAESocket::Connect(broker.Host(), broker.Port(), 5000);
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = "marker";
  o.User = "watcher";
  o.Password = "pw-watcher";
  s.SendAll(BuildConnect(o));
  s.SendAll(BuildPublish(topic, TAEBytes(text.begin(), text.end()), 1, true, 1));
  TAEBytes in;
  std::vector<std::uint8_t> chunk(256);
  TAEMqttPacket p;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  bool acked = false;
  while (!acked && std::chrono::steady_clock::now() < deadline) {
    while (TryTakePacket(in, p)) acked = acked || p.Type == kMqttPuback;
    if (acked) break;
    const auto n = s.Receive(chunk, 100);
    if (n == 0) break;
    if (n > 0) in.insert(in.end(), chunk.begin(), chunk.begin() + n);
  }
  if (!acked) throw std::runtime_error("the marker was not taken");
  s.SendAll(BuildDisconnect());
}

}  // namespace

// A stop right after the start lands anywhere in the first connection attempt, most
// often between CONNECT and CONNACK. "stopped" must stay the last word: never "online"
// queued behind it, never the will. Every other round stops as soon as the CONNECT has
// passed the proxy, inside that window; the others stop at once, and may stop before
// the client reached the broker, which leaves the broker's status as it was.
TEST_F(AgentMqtt, StoppedIsTheLastStatusAfterAQuickStartAndStop) {
  constexpr int kRounds = 24;
  TAETestProxy proxy(Broker->Host(), Broker->Port());
  const TIniValues viaProxy = {{"Mqtt.Url", "mqtt://127.0.0.1:" + std::to_string(proxy.Port())}};
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE(round);
    const bool inWindow = round % 2 == 1;
    const std::string marker = "round " + std::to_string(round);
    PublishRetained(*Broker, "kivu/agent12/status", marker);
    {
      auto agent = Make(viaProxy);
      TVelkarnProbe probe(*agent);
      const std::int64_t before = proxy.BytesToServer();
      probe.StartMqtt();
      if (inWindow) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (proxy.BytesToServer() == before && std::chrono::steady_clock::now() < deadline)
          std::this_thread::sleep_for(std::chrono::microseconds(200));
        ASSERT_GT(proxy.BytesToServer(), before) << "the CONNECT never passed";
      } else {
        std::this_thread::sleep_for(std::chrono::microseconds(500 * (round % 4)));
      }
      agent->Stop();
    }
    std::this_thread::sleep_for(50ms);  // a will would be published by now
    TMqttWatch late(*Broker, "late", "kivu/agent12/status");
    ASSERT_TRUE(late.CollectUntil(10s, [](const TRawPublish&) { return true; }));
    const std::string status = Text(late.Got[0].Payload);
    if (inWindow) {
      EXPECT_EQ(status, "stopped");
    } else if (status != "stopped") {
      EXPECT_EQ(status, marker) << "only a stop before the broker was reached leaves the status alone";
    }
  }
}
