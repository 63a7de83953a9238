// The client over the real TCP transport against a scripted broker on 127.0.0.1, for
// what a real broker will not do: stay silent, refuse every login, send garbage, close
// in the middle of a packet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "AEMqtt.h"
#include "AEMqttTestUtil.h"
#include "AESocket.h"
#include "common/AETestListener.h"

// Reaches the receive buffer, only once the client's thread has gone.
class TAEMqttClientProbe {
 public:
  static std::size_t ReceiveCapacity(const TAEMqttClient& c) { return c.FIn.capacity(); }
};

namespace {

using namespace std::chrono_literals;

constexpr int kPacketIdsForTest = 65535;

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

// Reads whole packets off a socket in order; the buffer is cut only now and then, so
// that tens of thousands of small packets cost no more than their bytes.
class TPacketReader {
 public:
  explicit TPacketReader(TAESocket& s) : FSocket(s) {}
  // The next packet, or nothing when none is whole before the limit; raises when the
  // client has closed.
  std::optional<TAEMqttPacket> Next(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    TAEMqttPacket p;
    while (!TryTakePacket(FIn, FHead, p)) {
      if (FHead > (1 << 20)) {
        FIn.erase(FIn.begin(), FIn.begin() + static_cast<std::ptrdiff_t>(FHead));
        FHead = 0;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      const auto n = FSocket.Receive(FChunk, static_cast<int>(std::min<long long>(left.count(), 100)));
      if (n == 0) throw std::runtime_error("client left");
      if (n > 0) FIn.insert(FIn.end(), FChunk.begin(), FChunk.begin() + n);
    }
    return p;
  }

 private:
  TAESocket& FSocket;
  TAEBytes FIn;
  std::size_t FHead = 0;
  std::vector<std::uint8_t> FChunk = std::vector<std::uint8_t>(65536);
};

struct TSeenPublish {
  std::uint16_t Id;
  bool Dup;
  std::string Payload;
};

TSeenPublish Seen(const TAEMqttPacket& p) {
  TAEIncomingPublish m;
  if (!ParseIncomingPublish(p.Flags, p.Body, m) || !m.HasPacketId) throw std::runtime_error("not a QoS 1 PUBLISH");
  return {static_cast<std::uint16_t>(m.IdHigh << 8 | m.IdLow), (p.Flags & 0x08) != 0,
          std::string(m.Payload.begin(), m.Payload.end())};
}

// A broker that never acknowledges: the client may have at most 65535 QoS 1 messages
// in flight, each under its own identifier; one PUBACK frees exactly one, and a new
// clean session frees them all and re-sends the unacknowledged ones first, as new
// packets (DUP 0), since the broker has forgotten the old session.
TEST(FakeBroker, PacketIdentifiersAreNeverReusedWhileUnacknowledged) {
  constexpr int kMessages = 66000;
  constexpr int kAcked = 9;  // the message the broker finally acknowledges
  std::mutex lock;
  std::vector<TSeenPublish> first, afterAck, second;
  std::atomic<bool> done{false};
  TFakeBroker broker([&](TAESocket& s, int n) {
    ReadConnect(s);
    s.SendAll(kAccept);
    TPacketReader in(s);
    const auto take = [&](std::vector<TSeenPublish>& into, std::size_t count, std::chrono::milliseconds limit) {
      while (into.size() < count) {
        const auto p = in.Next(limit);
        if (!p) return;
        if (p->Type != kMqttPublish) continue;
        std::lock_guard l(lock);
        into.push_back(Seen(*p));
      }
    };
    if (n == 0) {
      take(first, kPacketIdsForTest, 60s);
      take(first, kPacketIdsForTest + 1, 500ms);  // one more than may come
      const std::uint16_t id = first.at(kAcked).Id;
      s.SendAll(TAEBytes{0x40, 0x02, static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id & 0xFF)});
      take(afterAck, 2, 3s);
      return;  // cut: the session ends with every other message unacknowledged
    }
    if (n == 1) take(second, 20, 30s);
    done = true;
    DrainUntilClosed(s, 10s);
  });
  TLogSink log;
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = "agent3";
  o.MaxQueue = kMessages;
  TAEMqttClient c(CreateTcpTransport("127.0.0.1", broker.Port()), o);
  c.OnLog = log.Proc();
  for (int i = 0; i < kMessages; ++i) c.Publish("kivu/agent3/wave", Numbered("", i), 1, false);
  c.Start();
  const auto deadline = std::chrono::steady_clock::now() + 120s;
  while (!done.load() && std::chrono::steady_clock::now() < deadline) log.WaitFor("never logged", 20ms);
  c.Stop();
  ASSERT_TRUE(done.load()) << log.Joined();
  std::lock_guard l(lock);

  ASSERT_EQ(first.size(), std::size_t{kPacketIdsForTest}) << "no more than 65535 in flight";
  std::set<std::uint16_t> ids;
  for (std::size_t i = 0; i < first.size(); ++i) {
    ASSERT_NE(first[i].Id, 0);
    ASSERT_TRUE(ids.insert(first[i].Id).second) << "identifier " << first[i].Id << " reused at message " << i;
    ASSERT_EQ(first[i].Payload, Numbered("", static_cast<int>(i)));
    ASSERT_FALSE(first[i].Dup);
  }
  ASSERT_EQ(afterAck.size(), 1u) << "one PUBACK frees one identifier\n" << log.Joined();
  EXPECT_EQ(afterAck[0].Id, first[kAcked].Id);
  EXPECT_EQ(afterAck[0].Payload, Numbered("", kPacketIdsForTest));

  ASSERT_EQ(second.size(), 20u) << log.Joined();
  for (int i = 0, m = 0; i < 20; ++i, ++m) {
    if (m == kAcked) ++m;  // acknowledged: not sent again
    EXPECT_EQ(second[i].Payload, Numbered("", m)) << i;
    EXPECT_FALSE(second[i].Dup) << i;
  }
  const TAEMqttStats st = c.Stats();
  EXPECT_EQ(st.Sent, 1) << "only the acknowledged message counts as sent";
  EXPECT_EQ(st.Dropped, 0);
  EXPECT_EQ(st.Queued, kMessages - 1);
}

// A broker that announces more than the client accepts ends the session before the
// packet is buffered; the receive buffer gives its memory back. The limit itself is
// accepted.
TEST(FakeBroker, OversizedIncomingPacketEndsTheSessionAndFreesTheBuffer) {
  struct C {
    const char* Name;
    std::uint32_t Limit;  // 0: the default
    std::uint32_t Announced;
    bool Accepted;
  };
  const std::vector<C> cases = {
      {"at the limit", 1000, 1000, true},
      {"one byte over", 1000, 1001, false},
      {"200 MB on the default limit", 0, 200000000, false},
  };
  for (const C& k : cases) {
    SCOPED_TRACE(k.Name);
    std::atomic<std::int64_t> streamed{0};
    TFakeBroker broker([&](TAESocket& s, int n) {
      ReadConnect(s);
      s.SendAll(kAccept);
      if (n == 0) {
        TAEBytes head{0x30};
        AppendBytes(head, EncodeRemainingLength(k.Announced));
        AppendWordBE(head, 1);
        AppendByte(head, 't');
        s.SendAll(head);
        // The body in chunks, until it is complete or the client has gone (at most
        // 64 MiB, far more than it may keep).
        const std::vector<std::uint8_t> chunk(65536, 'x');
        std::int64_t left = static_cast<std::int64_t>(k.Announced) - 3;
        while (left > 0 && streamed.load() < (64 << 20)) {
          const auto size = static_cast<std::size_t>(std::min<std::int64_t>(left, chunk.size()));
          s.SendAll(std::span<const std::uint8_t>(chunk.data(), size), 5000);
          streamed += static_cast<std::int64_t>(size);
          left -= static_cast<std::int64_t>(size);
        }
      }
      DrainUntilClosed(s, 20s);
    });
    TLogSink log;
    TMessageSink got;
    TAEMqttOptions o = TAEMqttOptions::Default();
    o.ClientId = "agent3";
    o.MaxIncomingLength = k.Limit;
    TAEMqttClient c(CreateTcpTransport("127.0.0.1", broker.Port()), o);
    c.OnLog = log.Proc();
    c.OnMessage = got.Proc();
    c.Start();
    const std::string line = "connection lost: the broker announced a packet of " + std::to_string(k.Announced) +
                             " bytes, more than the " + std::to_string(k.Limit ? k.Limit : 1 << 20) + " accepted";
    if (k.Accepted) {
      ASSERT_TRUE(got.WaitForCount(1, 10s)) << log.Joined();
      EXPECT_EQ(got.Messages()[0].Payload.size(), k.Announced - 3);
      EXPECT_EQ(log.Count("connection lost"), 0u) << log.Joined();
    } else {
      ASSERT_TRUE(log.WaitFor(line + "; next attempt in 1 s", 20s)) << log.Joined();
      ASSERT_TRUE(log.WaitFor("connected to", 10s, 2)) << "the next session starts clean";
      EXPECT_TRUE(got.Messages().empty());
      EXPECT_EQ(c.Stats().LastError, line);
    }
    c.Stop();
    EXPECT_LT(TAEMqttClientProbe::ReceiveCapacity(c), std::size_t{k.Accepted ? 2u << 20 : 256u << 10})
        << "the buffer keeps no memory of the big packet";
  }
}

}  // namespace
