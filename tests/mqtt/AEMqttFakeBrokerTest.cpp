// The client over the real TCP transport against a scripted broker on 127.0.0.1, for
// what a real broker will not do: stay silent, refuse every login, send garbage, close
// in the middle of a packet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "AEMqtt.h"
#include "AEMqttTestUtil.h"
#include "AESocket.h"

namespace {

using namespace std::chrono_literals;

// One script call per accepted connection, with the connection's number (from 0).
using TScript = std::function<void(TAESocket& peer, int connection)>;

class TFakeBroker {
 public:
  explicit TFakeBroker(TScript script) : FListener(TAETcpListener::Loopback()), FScript(std::move(script)) {
    FThread = std::jthread([this](std::stop_token stop) {
      int n = 0;
      while (!stop.stop_requested()) {
        TAESocket peer = FListener.Accept(50);
        if (!peer.IsOpen()) continue;
        try {
          FScript(peer, n++);
        } catch (const std::exception&) {
          // The client hung up first; the next connection gets the next script step.
        }
        FConnections = n;
      }
    });
  }
  std::uint16_t Port() const { return FListener.Port(); }
  int Connections() const { return FConnections.load(); }

 private:
  TAETcpListener FListener;
  TScript FScript;
  std::atomic<int> FConnections{0};
  std::jthread FThread;  // last: stopped before the listener goes
};

// Reads the client's CONNECT (any first whole packet).
void ReadConnect(TAESocket& s) {
  TAEBytes in;
  std::vector<std::uint8_t> chunk(4096);
  TAEMqttPacket p;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!TryTakePacket(in, p) && std::chrono::steady_clock::now() < deadline) {
    const auto n = s.Receive(chunk, 100);
    if (n == 0) throw std::runtime_error("client left");
    if (n > 0) in.insert(in.end(), chunk.begin(), chunk.begin() + n);
  }
}

// Keeps reading (and counting PINGREQs) until the client closes or the limit passes.
int DrainUntilClosed(TAESocket& s, std::chrono::milliseconds limit) {
  std::vector<std::uint8_t> chunk(4096);
  int pings = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto n = s.Receive(chunk, 50);
    if (n == 0) break;
    for (std::ptrdiff_t i = 0; i + 1 < n; ++i) pings += chunk[i] == 0xC0 && chunk[i + 1] == 0x00;
  }
  return pings;
}

const TAEBytes kAccept{0x20, 0x02, 0x00, 0x00};

std::unique_ptr<TAEMqttClient> Make(std::uint16_t port, TLogSink& log, std::uint16_t keepAlive = 60) {
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = "agent3";
  o.KeepAliveSec = keepAlive;
  auto c = std::make_unique<TAEMqttClient>(CreateTcpTransport("127.0.0.1", port), o);
  c->OnLog = log.Proc();
  return c;
}

TEST(FakeBroker, SilenceAfterConnackEndsTheSessionAfterTheKeepAlive) {
  std::atomic<int> pings{-1};
  TFakeBroker broker([&](TAESocket& s, int n) {
    ReadConnect(s);
    s.SendAll(kAccept);
    const int seen = DrainUntilClosed(s, 10s);
    if (n == 0) pings = seen;
  });
  TLogSink log;
  auto c = Make(broker.Port(), log, 1);
  c->Start();
  ASSERT_TRUE(log.WaitFor("connection lost: broker silent past the keepalive; next attempt in 1 s", 10s))
      << log.Joined();
  c->Stop();
  const TAEMqttStats s = c->Stats();
  EXPECT_EQ(s.Reconnects, 1);
  EXPECT_EQ(s.LastError, "connection lost: broker silent past the keepalive");
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (pings.load() < 0 && std::chrono::steady_clock::now() < deadline) log.WaitFor("never logged", 20ms);
  EXPECT_GE(pings.load(), 2);  // pinged every half keep-alive before giving up
}

// Every attempt refused, with a code or with an empty CONNACK: waits of 1 s, then 2 s.
TEST(FakeBroker, EveryLoginRefusedBacksOffAndNeverConnects) {
  struct C {
    TAEBytes Connack;
    std::string Reason;
  };
  const std::vector<C> cases = {
      {{0x20, 0x02, 0x00, 0x05}, "broker refused: not authorised"},
      {{0x20, 0x00}, "broker refused the connection: its CONNACK was empty, without a return code"},
  };
  for (const C& k : cases) {
    SCOPED_TRACE(k.Reason);
    TFakeBroker broker([&](TAESocket& s, int) {
      ReadConnect(s);
      s.SendAll(k.Connack);
      DrainUntilClosed(s, 5s);
    });
    TLogSink log;
    auto c = Make(broker.Port(), log);
    c->Start();
    ASSERT_TRUE(log.WaitFor("next attempt in 2 s", 10s)) << log.Joined();
    c->Stop();
    const std::string reason = "connect to mqtt://127.0.0.1:" + std::to_string(broker.Port()) + " failed: " + k.Reason;
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{reason + "; next attempt in 1 s", reason + "; next attempt in 2 s"}));
    EXPECT_EQ(c->Stats().LastError, reason);
    EXPECT_EQ(c->Stats().Reconnects, 0);
    EXPECT_FALSE(c->Stats().Connected);
  }
}

// Bad data after the CONNACK drops the session; the next session starts clean and a
// good message then arrives intact.
TEST(FakeBroker, GarbageOrCutPacketsDropTheSessionAndTheNextOneStartsClean) {
  struct C {
    const char* Name;
    TAEBytes Bad;
    bool CloseAfter;
    std::string Reason;
  };
  const std::vector<C> cases = {
      {"over-long length", {0x30, 0x80, 0x80, 0x80, 0x80, 0x01}, false, "connection lost: malformed packet length"},
      {"closed mid-packet", {0x30, 0x10, 0x00, 0x03, 'a', '/', 'b', 'x'}, true,
       "connection lost: Connection Closed Gracefully."},
      {"topic past the body", {0x30, 0x02, 0x00, 0x09}, false,
       "connection lost: MQTT: PUBLISH topic runs past the end of the packet"},
  };
  for (const C& k : cases) {
    SCOPED_TRACE(k.Name);
    TFakeBroker broker([&](TAESocket& s, int n) {
      ReadConnect(s);
      s.SendAll(kAccept);
      if (n == 0) {
        s.SendAll(k.Bad);
        if (k.CloseAfter) return;  // the socket closes with the script
      } else {
        s.SendAll(TAEBytes{0x30, 0x06, 0x00, 0x01, 't', 'o', 'k', '!'});
      }
      DrainUntilClosed(s, 10s);
    });
    TLogSink log;
    TMessageSink got;
    auto c = Make(broker.Port(), log);
    c->OnMessage = got.Proc();
    c->Start();
    ASSERT_TRUE(got.WaitForCount(1, 10s)) << log.Joined();
    c->Stop();
    const auto msgs = got.Messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0].Topic, "t");
    EXPECT_EQ(msgs[0].Payload, Bytes("ok!"));
    EXPECT_EQ(log.Count(k.Reason + "; next attempt in 1 s"), 1u) << log.Joined();
    EXPECT_EQ(c->Stats().Reconnects, 1);
  }
}

}  // namespace
