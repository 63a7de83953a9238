// The TCP transport and the socket layer under it, against real sockets on 127.0.0.1.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <functional>
#include <optional>
#include <thread>
#include <string>
#include <vector>

#include "AEMqtt.h"
#include "AEMqttPacket.h"
#include "AEMqttTcpTransport.h"
#include "AEMqttTestUtil.h"
#include "AESocket.h"
#include "common/AEStallPeers.h"
#include "common/AETestListener.h"

namespace {

using namespace std::chrono_literals;
using TClock = std::chrono::steady_clock;

TAEBytes B(std::initializer_list<int> v) {
  TAEBytes out;
  for (int x : v) out.push_back(static_cast<std::uint8_t>(x));
  return out;
}

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// Reads from a transport until want bytes have been appended or 5 s have passed.
void ReceiveAtLeast(IAEMqttTransport& t, TAEBytes& buf, std::size_t want) {
  const auto deadline = TClock::now() + 5s;
  while (buf.size() < want && TClock::now() < deadline) t.Receive(buf, 100);
  ASSERT_GE(buf.size(), want);
}

// Runs f on its own thread after delayMs; joined when destroyed.
class TLater {
 public:
  TLater(int delayMs, std::function<void()> f)
      : FThread([delayMs, f = std::move(f)] {
          std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
          f();
        }) {}
  ~TLater() { FThread.join(); }

 private:
  std::thread FThread;
};

TAEBytes PeerReadAll(TAESocket& s, std::size_t want) {
  TAEBytes got;
  std::vector<std::uint8_t> chunk(65536);
  const auto deadline = TClock::now() + 10s;
  while (got.size() < want && TClock::now() < deadline) {
    const auto n = s.Receive(chunk, 100);
    if (n == 0) break;
    if (n > 0) got.insert(got.end(), chunk.begin(), chunk.begin() + n);
  }
  return got;
}

class TcpTransport : public testing::Test {
 protected:
  void SetUp() override {
    FListener = TAETcpListener::Loopback();
    FTransport = CreateTcpTransport("127.0.0.1", FListener.Port());
  }
  // Opens the transport and accepts its connection on the peer side.
  TAESocket OpenAndAccept() {
    FTransport->Open();
    TAESocket peer = FListener.Accept(5000);
    EXPECT_TRUE(peer.IsOpen());
    return peer;
  }
  TAETcpListener FListener;
  std::unique_ptr<IAEMqttTransport> FTransport;
};

TEST(TcpTransportSetup, DescribesAndRefusesBadEndpointsBeforeConnecting) {
  EXPECT_EQ(CreateTcpTransport("10.0.0.5", 1883)->Describe(), "mqtt://10.0.0.5:1883");
  EXPECT_EQ(MessageOf([] { CreateTcpTransport("", 1883)->Open(); }), "A Host is required");
  EXPECT_EQ(MessageOf([] { CreateTcpTransport("", 0)->Open(); }), "A Host is required");
  EXPECT_EQ(MessageOf([] { CreateTcpTransport("127.0.0.1", 0)->Open(); }), "A Port is required");
}

TEST(TcpTransportSetup, ReportsSocketErrorsByNumber) {
  std::uint16_t freePort;
  {
    TAETcpListener l = TAETcpListener::Loopback();
    freePort = l.Port();
  }  // closed: nothing listens there now
  for (const std::string& host : {std::string("127.0.0.1"), std::string("no-such-host.invalid")}) {
    SCOPED_TRACE(host);
    auto t = CreateTcpTransport(host, freePort);
    const std::string msg = MessageOf([&] { t->Open(); });
    EXPECT_EQ(msg.rfind("Socket Error # ", 0), 0u) << msg;
    const auto crlf = msg.find("\r\n");
    ASSERT_NE(crlf, std::string::npos) << msg;
    EXPECT_GT(msg.size(), crlf + 2) << "no description after the number";
    // A failed open leaves a transport that can be closed and opened again.
    t->Close();
    EXPECT_THROW(t->Open(), EAEError);
  }
}

TEST(TcpTransportSetup, CloseAndIoOnANeverOpenedTransport) {
  auto t = CreateTcpTransport("127.0.0.1", 1);
  t->Close();
  t->Close();
  TAEBytes buf;
  EXPECT_THROW(t->Receive(buf, 0), EAEError);
  EXPECT_THROW(t->Send(B({1})), EAEError);
  t->Send({});  // nothing to write is no error even when closed
}

TEST_F(TcpTransport, ReceiveTimesOutWithoutData) {
  TAESocket peer = OpenAndAccept();
  TAEBytes buf = B({9});
  const auto start = TClock::now();
  EXPECT_EQ(FTransport->Receive(buf, 150), 0);
  EXPECT_GE(TClock::now() - start, 100ms);
  EXPECT_EQ(FTransport->Receive(buf, 0), 0);
  EXPECT_EQ(buf, B({9}));
}

TEST_F(TcpTransport, ReceiveAppendsBehindWhatIsThere) {
  TAESocket peer = OpenAndAccept();
  peer.SendAll(B({1, 2, 3, 4, 5}));
  TAEBytes buf = B({7, 8, 9});
  std::int32_t total = 0;
  const auto deadline = TClock::now() + 5s;
  while (total < 5 && TClock::now() < deadline) total += FTransport->Receive(buf, 100);
  EXPECT_EQ(total, 5);
  EXPECT_EQ(buf, B({7, 8, 9, 1, 2, 3, 4, 5}));
}

TEST_F(TcpTransport, PeerCloseDeliversLastBytesThenRaisesUntilReopened) {
  TAESocket peer = OpenAndAccept();
  peer.SendAll(B({0x20, 0x02, 0x00, 0x00}));
  peer.Close();
  TAEBytes buf;
  ReceiveAtLeast(*FTransport, buf, 4);
  EXPECT_EQ(buf, B({0x20, 0x02, 0x00, 0x00}));
  const auto deadline = TClock::now() + 5s;
  std::string msg;
  while (msg.empty() && TClock::now() < deadline) {
    try {
      EXPECT_EQ(FTransport->Receive(buf, 100), 0);
    } catch (const EAEError& e) {
      msg = e.what();
    }
  }
  EXPECT_EQ(msg, "Connection Closed Gracefully.");
  EXPECT_EQ(MessageOf([&] { FTransport->Receive(buf, 0); }), "Connection Closed Gracefully.");
  EXPECT_EQ(MessageOf([&] { FTransport->Send(B({0xC0, 0})); }), "Connection Closed Gracefully.");
  // A new Open works again.
  TAESocket peer2 = OpenAndAccept();
  FTransport->Send(B({0xC0, 0x00}));
  EXPECT_EQ(PeerReadAll(peer2, 2), B({0xC0, 0x00}));
}

TEST_F(TcpTransport, ReopenNeverDeliversBytesOfTheOldConnection) {
  TAESocket old = OpenAndAccept();
  old.SendAll(B({0xAA, 0xAA, 0xAA}));
  TAESocket fresh = OpenAndAccept();  // Open on an open transport closes the old stream
  fresh.SendAll(B({0x55}));
  TAEBytes buf;
  ReceiveAtLeast(*FTransport, buf, 1);
  EXPECT_EQ(buf, B({0x55}));
  // The old stream was really closed by the transport.
  std::vector<std::uint8_t> chunk(16);
  std::ptrdiff_t n = -1;
  const auto deadline = TClock::now() + 5s;
  while (n < 0 && TClock::now() < deadline) {
    try {
      n = old.Receive(chunk, 100);
    } catch (const EAESocketError&) {
      n = 0;  // a reset is also the end
    }
  }
  EXPECT_EQ(n, 0);
}

TEST_F(TcpTransport, SendsLargePacketsWholeAndInOrder) {
  TAESocket peer = OpenAndAccept();
  TAEBytes big(3 * 1024 * 1024 + 17);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 131 + (i >> 11));
  TAEBytes got;
  std::thread reader([&] { got = PeerReadAll(peer, big.size() + 2); });
  FTransport->Send(big);  // more than the socket buffers take at once: partial writes
  FTransport->Send(B({0xE0, 0x00}));
  reader.join();
  ASSERT_EQ(got.size(), big.size() + 2);
  EXPECT_TRUE(std::equal(big.begin(), big.end(), got.begin()));
  EXPECT_EQ(got[big.size()], 0xE0);
}

TEST_F(TcpTransport, CloseEndsTheStreamAndIsRepeatable) {
  TAESocket peer = OpenAndAccept();
  FTransport->Close();
  FTransport->Close();
  TAEBytes buf;
  EXPECT_EQ(MessageOf([&] { FTransport->Receive(buf, 0); }), "Connection Closed Gracefully.");
  EXPECT_EQ(PeerReadAll(peer, 1).size(), 0u);  // the peer sees the end, nothing else
}

// A peer that never reads must not block a writer for ever.
TEST(Socket, SendThatMakesNoProgressTimesOut) {
  TAETcpListener l = TAETcpListener::Loopback();
  TAESocket s = TAESocket::Connect("127.0.0.1", l.Port(), 5000);
  TAESocket peer = l.Accept(5000);
  ASSERT_TRUE(peer.IsOpen());
  const TAEBytes chunk(1 << 20, 0x42);
  const auto start = TClock::now();
  bool timedOut = false;
  for (int i = 0; i < 256 && !timedOut; ++i) {
    try {
      s.SendAll(chunk, 200);
    } catch (const EAESocketError& e) {
      timedOut = true;
      EXPECT_FALSE(IsConnectionEndedError(e.OsError()));
    }
  }
  EXPECT_TRUE(timedOut);
  EXPECT_LT(TClock::now() - start, 60s);
}

// A listener whose backlog is full stops answering SYNs: the connect wait must end.
TEST(Socket, ConnectGivesUpAfterItsTimeOut) {
  TAETcpListener l = TAETcpListener::Loopback();
  std::vector<TAESocket> held;
  bool timedOut = false;
  for (int i = 0; i < 200 && !timedOut; ++i) {
    try {
      held.push_back(TAESocket::Connect("127.0.0.1", l.Port(), 300));
    } catch (const EAEConnectTimeout& e) {
      EXPECT_STREQ(e.what(), "Connect timed out.");
      timedOut = true;
    }
  }
  EXPECT_TRUE(timedOut) << held.size() << " connects all succeeded";
}

// A cancel from another thread ends a connect that gets no answer at once; it stays in
// force for every later connect until Reset.
TEST(Socket, CancelEndsAConnectAtOnceAndHoldsUntilReset) {
  TUnansweredPort silent;
  ASSERT_TRUE(silent.Stalled());
  TAETcpListener live = TAETcpListener::Loopback();
  TAEConnectCancel cancel;
  EXPECT_FALSE(cancel.IsCancelled());
  {
    TLater later(300, [&] { cancel.Cancel(); });
    const auto start = TClock::now();
    EXPECT_EQ(MessageOf([&] { TAESocket::Connect("127.0.0.1", silent.Port(), 20000, &cancel); }),
              "Connect cancelled.");
    EXPECT_LT(TClock::now() - start, 300ms + 1s);
  }
  EXPECT_TRUE(cancel.IsCancelled());
  cancel.Cancel();  // a second cancel changes nothing
  const auto start = TClock::now();
  EXPECT_THROW(TAESocket::Connect("127.0.0.1", live.Port(), 5000, &cancel), EAEConnectCancelled);
  EXPECT_LT(TClock::now() - start, 1s);
  cancel.Reset();
  EXPECT_FALSE(cancel.IsCancelled());
  TAESocket s = TAESocket::Connect("127.0.0.1", live.Port(), 5000, &cancel);
  EXPECT_TRUE(s.IsOpen());
  EXPECT_TRUE(live.Accept(5000).IsOpen());
}

// Abort ends an Open whose connect gets no answer, and fails every Open after it until
// Close; a stream that is already open goes on working.
TEST_F(TcpTransport, AbortEndsAnOpenInProgressNotAnOpenStream) {
  TUnansweredPort silent;
  ASSERT_TRUE(silent.Stalled());
  const auto stalled = CreateTcpTransport("127.0.0.1", silent.Port());
  {
    TLater later(300, [&] { stalled->Abort(); });
    const auto start = TClock::now();
    EXPECT_EQ(MessageOf([&] { stalled->Open(); }), "Connect cancelled.");
    EXPECT_LT(TClock::now() - start, 300ms + 1s);
  }

  TAESocket peer = OpenAndAccept();
  FTransport->Abort();
  FTransport->Send(B({0xC0, 0x00}));
  EXPECT_EQ(PeerReadAll(peer, 2), B({0xC0, 0x00}));
  const TAEBytes answer = B({0xD0, 0x00});
  peer.SendAll(answer);
  TAEBytes got;
  ReceiveAtLeast(*FTransport, got, 2);
  EXPECT_EQ(got, answer);

  EXPECT_EQ(MessageOf([&] { FTransport->Open(); }), "Connect cancelled.");
  EXPECT_EQ(MessageOf([&] { FTransport->Open(); }), "Connect cancelled.") << "until Close";
  FTransport->Close();
  TAESocket again = OpenAndAccept();
  EXPECT_TRUE(again.IsOpen());
}

// The client's Stop while its first attempt hangs, in the TCP connect or in the wait for
// CONNACK: it returns within a second and reports no failed attempt.
TEST(TcpClientStop, EndsAnAttemptInProgressAtOnce) {
  struct TCase {
    const char* Step;
    bool ConnectHangs;
  };
  for (const TCase& c : {TCase{"TCP connect", true}, TCase{"CONNACK wait", false}}) {
    SCOPED_TRACE(c.Step);
    const TStalledAttempt peer(c.ConnectHangs);
    ASSERT_TRUE(peer.Ready());
    const std::uint16_t port = peer.Port();
    TAEMqttOptions o;
    o.ClientId = "stopper";
    TLogSink log;
    TAEMqttClient client(CreateTcpTransport("127.0.0.1", port), o);
    client.OnLog = log.Proc();
    client.Publish("kivu/stopper/status", std::string_view("stopped"), 1, true);
    client.Start();
    std::this_thread::sleep_for(500ms);  // well into the step
    const auto start = TClock::now();
    client.Stop();
    EXPECT_LT(TClock::now() - start, 1s);
    EXPECT_EQ(log.Joined(), "");
    const TAEMqttStats st = client.Stats();
    EXPECT_FALSE(st.Connected);
    EXPECT_EQ(st.Sent, 0);
    EXPECT_EQ(st.Queued, 1) << "left in the queue, to be discarded with the client";
  }
}

// A transport whose Abort waits until the client's thread has closed it, as a Stop
// whose thread is already on its way out may see it: the abort then comes last.
class TLateAbortTransport : public IAEMqttTransport {
 public:
  explicit TLateAbortTransport(std::unique_ptr<IAEMqttTransport> inner) : FInner(std::move(inner)) {}
  void Open() override { FInner->Open(); }
  void Close() override {
    FInner->Close();
    std::lock_guard lock(FLock);
    ++FCloses;
    FChanged.notify_all();
  }
  void Send(const std::vector<std::uint8_t>& data) override { FInner->Send(data); }
  std::int32_t Receive(std::vector<std::uint8_t>& buf, std::int32_t timeoutMs) override {
    return FInner->Receive(buf, timeoutMs);
  }
  std::string Describe() const override { return FInner->Describe(); }
  void Abort() override {
    {
      // Waits for the thread's last Close, which follows the wake-up of Stop; when that
      // Close came first, the bound lets the Abort go, last all the same.
      std::unique_lock lock(FLock);
      const int closes = FCloses;
      FChanged.wait_for(lock, 2s, [&] { return FCloses > closes; });
    }
    FInner->Abort();
  }

 private:
  std::unique_ptr<IAEMqttTransport> FInner;
  std::mutex FLock;
  std::condition_variable FChanged;
  int FCloses = 0;  // guarded by FLock
};

// Start, a failed attempt against a closed port, Stop, again and again: every Start
// tries at once, and no attempt fails because the Stop before it cancelled it, over TCP
// as over a WebSocket.
TEST(TcpClientStop, LeavesNothingForTheNextStart) {
  const TAEHeldPort closed = TAEHeldPort::Loopback();  // a broker of another test could take a port let go
  const std::uint16_t port = closed.Port();
  const std::string ws = "ws://127.0.0.1:" + std::to_string(port) + "/mqtt";
  for (const bool overWs : {false, true}) {
    SCOPED_TRACE(overWs ? ws : "tcp");
    std::unique_ptr<IAEMqttTransport> inner =
        overWs ? CreateWssTransport(ws) : CreateTcpTransport("127.0.0.1", port);
    const std::string failed = "connect to " + inner->Describe() + " failed: ";
    TLogSink log;
    TAEMqttClient client(std::make_unique<TLateAbortTransport>(std::move(inner)), TAEMqttOptions::Default());
    client.OnLog = log.Proc();
    constexpr int kCycles = 30;
    for (int i = 1; i <= kCycles; ++i) {
      client.Start();
      ASSERT_TRUE(log.WaitFor("; next attempt in", 10s, static_cast<std::size_t>(i))) << i << "\n" << log.Joined();
      client.Stop();
    }
    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), std::size_t{kCycles}) << log.Joined();
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find("cancelled"), std::string::npos) << line;
      EXPECT_EQ(line.find("aborted"), std::string::npos) << line;
      EXPECT_NE(line.find(failed), std::string::npos) << line;
      if (!overWs) EXPECT_NE(line.find(failed + "Socket Error"), std::string::npos) << line;
    }
  }
}

}  // namespace
