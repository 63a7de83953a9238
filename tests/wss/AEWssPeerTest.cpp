// The transport against a scripted server on a real loopback socket.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stdexcept>

#include "AEMqtt.h"
#include "AEMqttWss.h"
#include "AEWssTestPeer.h"
#include "AEWssTestStream.h"
#include "mqtt/AEMqttTestUtil.h"

namespace {
using namespace std::chrono_literals;

class WssUpgradeStatus : public testing::TestWithParam<int> {};

TEST_P(WssUpgradeStatus, AnswerOtherThan101IsRefused) {
  const int status = GetParam();
  TScriptedServer server([status](TTestSocket& listener, TScriptedServer&) {
    TTestSocket conn = AcceptRequest(listener);
    conn.SendAll("HTTP/1.1 " + std::to_string(status) + " Nope\r\nContent-Length: 0\r\n\r\n");
    conn.WaitPeerClosed(kPeerTimeoutMs);
  });
  auto t = CreateWssTransport(server.Url());
  try {
    t->Open();
    FAIL() << "Open succeeded";
  } catch (const std::exception& e) {
    EXPECT_EQ(std::string(e.what()), "WebSocket upgrade refused: HTTP " + std::to_string(status));
  }
  t->Close();
  EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open");
  EXPECT_EQ(server.Finish(), "");
}

INSTANTIATE_TEST_SUITE_P(Statuses, WssUpgradeStatus, testing::Values(200, 404));

// The request carries the path with its query and the subprotocol; an answer split
// over several segments still completes the upgrade; bytes go through both ways. The
// client speaks first: the server's frame then cannot share a read with the end of
// the answer, which Wine's WinHTTP would lose.
TEST(WssPeer, UpgradeSplitAcrossSegmentsThenBytesBothWays) {
  std::string head;
  TScriptedServer server([&head](TTestSocket& listener, TScriptedServer&) {
    TTestSocket conn = AcceptRequest(listener, &head);
    const std::string answer = UpgradeAnswer(head);
    for (std::size_t at = 0; at < answer.size(); at += 17) {
      conn.SendAll(answer.substr(at, 17));
      std::this_thread::sleep_for(2ms);  // a peer that writes slowly, not a wait for a thread
    }
    auto frame = ReadClientFrame(conn);
    if (!frame) throw std::runtime_error("no frame from the client");
    if (!frame->Fin || frame->Opcode != 0x2 || !frame->Masked)
      throw std::runtime_error("client frame is not one masked binary message");
    if (frame->Payload != std::string("\xC0\x00", 2)) throw std::runtime_error("client payload differs");
    conn.SendAll(ServerFrame(0x2, std::string("\x20\x02\x00\x00", 4)));
    if (!AnswerClientClose(conn)) throw std::runtime_error("client did not close");
  });
  auto t = CreateWssTransport(server.Url("/mqtt?agent=7"));
  t->Open();
  t->Send({0xC0, 0x00});
  EXPECT_EQ(ReceiveAtLeast(*t, 4), (TBytes{0x20, 0x02, 0x00, 0x00}));
  t->Close();
  EXPECT_EQ(server.Finish(), "");
  EXPECT_EQ(head.substr(0, head.find("\r\n")), "GET /mqtt?agent=7 HTTP/1.1");
  EXPECT_EQ(HeaderValue(head, "Sec-WebSocket-Protocol"), "mqtt");
  EXPECT_EQ(HeaderValue(head, "Host"), "127.0.0.1:" + std::to_string(server.Port()));
}

// Message boundaries mean nothing: halves of a packet in two messages, two packets in
// one, a fragmented message and a text message all arrive as one byte stream.
TEST(WssPeer, MessagesOfAnyShapeFormOneStream) {
  const std::string stream = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  TScriptedServer server([&stream](TTestSocket& listener, TScriptedServer& self) {
    TTestSocket conn = AcceptSession(listener);
    conn.SendAll(ServerFrame(0x2, stream.substr(0, 5)) + ServerFrame(0x2, stream.substr(5, 5)));
    conn.SendAll(ServerFrame(0x2, stream.substr(10, 10)));
    conn.SendAll(ServerFrame(0x2, stream.substr(20, 4), false) + ServerFrame(0x0, stream.substr(24, 4)));
    conn.SendAll(ServerFrame(0x1, stream.substr(28)));
    self.AwaitRelease();
  });
  auto t = CreateWssTransport(server.Url());
  OpenSession(*t);
  const TBytes got = ReceiveAtLeast(*t, stream.size());
  EXPECT_EQ(std::string(got.begin(), got.end()), stream);
  server.Release();
  t->Close();
  EXPECT_EQ(server.Finish(), "");
}

// Each Send is one unfragmented binary frame whose length takes the 7-bit, 16-bit or
// 64-bit form as its size demands; frames of those sizes from the server arrive whole.
TEST(WssPeer, FramesOnBothSidesOfEachLengthFormGoThroughIntact) {
  const std::vector<std::size_t> sizes{0, 1, 125, 126, 127, 65535, 65536, 65537, 140000};
  auto payload = [](std::size_t n, std::size_t seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 31 + seed + (i >> 9));
    return s;
  };
  TScriptedServer server([&](TTestSocket& listener, TScriptedServer&) {
    TTestSocket conn = AcceptUpgrade(listener);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      auto frame = ReadClientFrame(conn);
      if (!frame) throw std::runtime_error("no frame of " + std::to_string(sizes[i]) + " bytes");
      if (!frame->Fin || frame->Opcode != 0x2 || frame->Payload != payload(sizes[i], i))
        throw std::runtime_error("frame of " + std::to_string(sizes[i]) + " bytes differs");
      conn.SendAll(ServerFrame(0x2, payload(sizes[i], i + 100)));
    }
    AnswerClientClose(conn);
  });
  auto t = CreateWssTransport(server.Url());
  t->Open();
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    SCOPED_TRACE(sizes[i]);
    const std::string sent = payload(sizes[i], i);
    t->Send(TBytes(sent.begin(), sent.end()));
    const TBytes got = ReceiveAtLeast(*t, sizes[i]);
    EXPECT_TRUE(std::string(got.begin(), got.end()) == payload(sizes[i], i + 100));
  }
  t->Close();
  EXPECT_EQ(server.Finish(), "");
}

TEST(WssPeer, CloseFrameEndsTheStreamAfterItsBytes) {
  TScriptedServer server([](TTestSocket& listener, TScriptedServer& self) {
    TTestSocket conn = AcceptSession(listener);
    conn.SendAll(ServerFrame(0x2, std::string("\x30\x03\x00\x01t", 5)) +
                 ServerFrame(0x8, std::string("\x03\xE8", 2)));
    // Keeps the TCP connection: the frame alone must end the stream.
    self.AwaitRelease(30000);
  });
  auto t = CreateWssTransport(server.Url());
  OpenSession(*t);
  const TBytes got = ReceiveAtLeast(*t, 5);
  EXPECT_EQ(got, (TBytes{0x30, 0x03, 0x00, 0x01, 't'}));
  EXPECT_EQ(ReceiveUntilError(*t), "closed by the server");
  EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open: closed by the server");
  // The reason stays until the next Open.
  EXPECT_EQ(ReceiveUntilError(*t), "closed by the server");
  server.Release();
  t->Close();
  EXPECT_EQ(server.Finish(), "");
}

TEST(WssPeer, CloseFrameWakesAWaitingReceiveAtOnce) {
  std::promise<void> waiting;
  TScriptedServer server([&waiting](TTestSocket& listener, TScriptedServer& self) {
    TTestSocket conn = AcceptUpgrade(listener);
    waiting.get_future().wait_for(10s);
    conn.SendAll(ServerFrame(0x8, ""));
    self.AwaitRelease(30000);
  });
  auto t = CreateWssTransport(server.Url());
  t->Open();
  auto receive = std::async(std::launch::async, [&t] {
    TBytes buf;
    try {
      // Far longer than the deadline below: only the close frame can end this early.
      while (t->Receive(buf, 600000) == 0) {
      }
      return std::string("(bytes)");
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  });
  waiting.set_value();
  const bool woke = receive.wait_for(10s) == std::future_status::ready;
  server.Release();
  ASSERT_TRUE(woke) << "Receive slept through the close frame";
  EXPECT_EQ(receive.get(), "closed by the server");
  t->Close();
  EXPECT_EQ(server.Finish(), "");
}

TEST(WssPeer, DroppedConnectionIsAReceiveError) {
  TScriptedServer server([](TTestSocket& listener, TScriptedServer&) {
    TTestSocket conn = AcceptSession(listener);
    conn.SendAll(ServerFrame(0x2, "xy"));
    conn.Close();  // no close frame: the TCP connection just ends
  });
  auto t = CreateWssTransport(server.Url());
  OpenSession(*t);
  EXPECT_EQ(ReceiveAtLeast(*t, 2), (TBytes{'x', 'y'}));
  const std::string error = ReceiveUntilError(*t);
  EXPECT_EQ(error.rfind("WebSocket receive error ", 0), 0u) << error;
  EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open: " + error);
  t->Close();
  EXPECT_EQ(server.Finish(), "");
}

// A second Open ends the first WebSocket; nothing that came on it is delivered later.
TEST(WssPeer, ReopenDropsTheOldStream) {
  TScriptedServer server([](TTestSocket& listener, TScriptedServer&) {
    TTestSocket first = AcceptSession(listener);
    first.SendAll(ServerFrame(0x2, "old"));
    TTestSocket second = AcceptSession(listener);
    second.SendAll(ServerFrame(0x2, "new"));
    AnswerClientClose(second);
  });
  auto t = CreateWssTransport(server.Url());
  OpenSession(*t);
  OpenSession(*t);
  const TBytes got = ReceiveAtLeast(*t, 3);
  EXPECT_EQ(std::string(got.begin(), got.end()), "new");
  t->Close();
  EXPECT_EQ(server.Finish(), "");
}

TEST(WssPeer, RefusedConnectionFailsOpenAndCanBeRetried) {
  const TAEHeldPort closed = TAEHeldPort::Loopback();
  auto t = CreateWssTransport("ws://127.0.0.1:" + std::to_string(closed.Port()) + "/mqtt");
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      t->Open();
      FAIL() << "Open succeeded with nothing listening";
    } catch (const std::exception& e) {
      EXPECT_NE(std::string(e.what()).find(" failed: "), std::string::npos) << e.what();
    }
    t->Close();
    TBytes buf;
    EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open");
  }
}
// The server goes silent after the upgrade, so the reader sits in a blocking receive:
// Close must still come back, and the stream then ends without a reason of its own.
// Last in this file: under Wine the reader that Close leaves behind there can stall
// later WinHTTP calls of the process.
TEST(WssPeer, CloseWhileTheReaderIsBlockedReturns) {
  TScriptedServer server([](TTestSocket& listener, TScriptedServer& self) {
    TTestSocket conn = AcceptUpgrade(listener);
    self.AwaitRelease(30000);
  });
  auto t = CreateWssTransport(server.Url());
  t->Open();
  TBytes buf;
  EXPECT_EQ(t->Receive(buf, 50), 0);
  auto closing = std::async(std::launch::async, [&t] { t->Close(); });
  ASSERT_EQ(closing.wait_for(10s), std::future_status::ready) << "Close hangs on the blocked reader";
  EXPECT_EQ(ReceiveUntilError(*t), "WebSocket closed");
  EXPECT_EQ(SendError(*t, {0xC0, 0x00}), "WebSocket not open");
  server.Release();
  EXPECT_EQ(server.Finish(), "");
}

// The client's Stop while it waits for a CONNACK that a server, the upgrade done and the
// CONNECT taken, never sends: it returns within a second.
TEST(WssPeer, ClientStopDuringTheConnackWaitReturnsWithinASecond) {
  std::promise<void> connectTaken;
  TScriptedServer server([&](TTestSocket& listener, TScriptedServer& self) {
    TTestSocket conn = AcceptUpgrade(listener);
    const auto connect = ReadClientFrame(conn);
    if (!connect || connect->Payload.empty() || connect->Payload[0] != 0x10)
      throw std::runtime_error("no CONNECT from the client");
    connectTaken.set_value();
    self.AwaitRelease(30000);
  });
  TAEMqttClient c(CreateWssTransport(server.Url()), TAEMqttOptions::Default());
  c.Start();
  ASSERT_EQ(connectTaken.get_future().wait_for(10s), std::future_status::ready);
  const auto before = std::chrono::steady_clock::now();
  auto stopping = std::async(std::launch::async, [&c] { c.Stop(); });
  EXPECT_EQ(stopping.wait_for(1s), std::future_status::ready) << "Stop still runs after 1 s";
  server.Release();
  stopping.wait();
  RecordProperty("StopMs", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                std::chrono::steady_clock::now() - before)
                                                .count()));
  EXPECT_FALSE(c.Stats().Connected);
  EXPECT_EQ(server.Finish(), "");
}

// A server that completes the upgrade and the CONNACK, then neither reads nor answers:
// the keep-alive ends that session, also while the client sends into the buffers that
// fill (a send then blocks), and the client connects again. The limit is the 1.5
// keep-alive intervals plus a margin that only a hang exceeds.
struct TDeafCase {
  const char* Name;
  bool Flood;
};

class WssDeafBroker : public testing::TestWithParam<TDeafCase> {};

TEST_P(WssDeafBroker, KeepAliveEndsTheSessionAndTheClientConnectsAgain) {
  constexpr std::int32_t kKeepAliveSec = 2;
  const auto kLostLimit = std::chrono::milliseconds(kKeepAliveSec * 1500) + 10s;
  TScriptedServer server([](TTestSocket& listener, TScriptedServer& self) {
    // The upgrade, the CONNECT taken and accepted.
    const auto session = [&listener] {
      TTestSocket conn = AcceptUpgrade(listener);
      const auto connect = ReadClientFrame(conn);
      if (!connect || connect->Payload.empty() || connect->Payload[0] != 0x10)
        throw std::runtime_error("no CONNECT from the client");
      conn.SendAll(ServerFrame(0x2, std::string("\x20\x02\x00\x00", 4)));
      return conn;
    };
    TTestSocket deaf = session();
    if (!self.AwaitRelease(60000)) throw std::runtime_error("not released");
    // The next session is served: what it sends is read and dropped, to its close.
    TTestSocket next = session();
    if (!AnswerClientClose(next)) throw std::runtime_error("the second session did not close");
  });
  TAEMqttOptions o = TAEMqttOptions::Default();
  o.ClientId = "deaf";
  o.KeepAliveSec = kKeepAliveSec;
  TLogSink log;
  TAEMqttClient c(CreateWssTransport(server.Url()), o);
  c.OnLog = log.Proc();
  c.Start();
  ASSERT_TRUE(log.WaitFor("connected to ", 10s)) << log.Joined();
  // Far more than the loopback buffers hold, so that a send blocks.
  if (GetParam().Flood)
    for (int i = 0; i < 32; ++i) c.Publish("kivu/flood", TAEBytes(768 * 1024, static_cast<std::uint8_t>(i)), 0, false);
  const bool lost = log.WaitFor("connection lost: ", kLostLimit);
  server.Release();
  ASSERT_TRUE(lost) << "no end of the dead session after " << kLostLimit.count() << " ms\n" << log.Joined();
  EXPECT_TRUE(log.WaitFor("connected to ", 15s, 2)) << log.Joined();
  c.Stop();
  EXPECT_EQ(server.Finish(), "");
}

INSTANTIATE_TEST_SUITE_P(Sessions, WssDeafBroker, testing::Values(TDeafCase{"Idle", false}, TDeafCase{"Flooding", true}),
                         [](const testing::TestParamInfo<TDeafCase>& info) { return std::string(info.param.Name); });

}  // namespace
